// The command handlers the table in Commands.cpp lists, and the pieces
// several of them share. Every handler checks its arguments completely
// before it opens the port, so bad input never reaches the reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Cli.h"

namespace qd500::cli {

// ---- Device.cpp: card type, power, device, the magnetic head, raw frames
void CmdCardType(Context&, const Args&, Outcome&);
void CmdPowerOn(Context&, const Args&, Outcome&);
void CmdPowerOff(Context&, const Args&, Outcome&);
void CmdStatus(Context&, const Args&, Outcome&);
void CmdVersion(Context&, const Args&, Outcome&);
void CmdEject(Context&, const Args&, Outcome&);
void CmdDeviceNo(Context&, const Args&, Outcome&);
void CmdWatch(Context&, const Args&, Outcome&);
void CmdAtr(Context&, const Args&, Outcome&);
void CmdPorts(Context&, const Args&, Outcome&);
void CmdMagRead(Context&, const Args&, Outcome&);
void CmdMagWrite(Context&, const Args&, Outcome&);
void CmdMagSetting(Context&, const Args&, Outcome&);
void CmdFrame(Context&, const Args&, Outcome&);

// ---- CpuCommands.cpp
void CmdApdu(Context&, const Args&, Outcome&);
void CmdGetResponse(Context&, const Args&, Outcome&);
void CmdSelect(Context&, const Args&, Outcome&);
void CmdChallenge(Context&, const Args&, Outcome&);
void CmdVerifyPin(Context&, const Args&, Outcome&);
void CmdPersonalise(Context&, const Args&, Outcome&);

// ---- Memory.cpp
void CmdRead(Context&, const Args&, Outcome&);
void CmdWrite(Context&, const Args&, Outcome&);
void CmdDump(Context&, const Args&, Outcome&);
void CmdRestore(Context&, const Args&, Outcome&);
void CmdSleVerify(Context&, const Args&, Outcome&);
void CmdSleChangePin(Context&, const Args&, Outcome&);
void CmdSleCompareWrite(Context&, const Args&, Outcome&);
void CmdSle4442Protection(Context&, const Args&, Outcome&);
void CmdSle4428ReadProtected(Context&, const Args&, Outcome&);
void CmdSle4428WriteProtected(Context&, const Args&, Outcome&);
void CmdAt88Verify(Context&, const Args&, Outcome&);
void CmdAt88Erase(Context&, const Args&, Outcome&);
void CmdAt88Personalise(Context&, const Args&, Outcome&);
void CmdAt24Read(Context&, const Args&, Outcome&);
void CmdAt24Write(Context&, const Args&, Outcome&);

// ---- Crypto.cpp
void CmdTriDes(Context&, const Args&, Outcome&);
void CmdDiversify(Context&, const Args&, Outcome&);
void CmdXor(Context&, const Args&, Outcome&);
void CmdPinBlock(Context&, const Args&, Outcome&);

// ---- shared

// One APDU on the session's reader, 61xx and 6Cxx followed; the response
// and status word go into o, and a status word other than 9000/61xx
// without --expect is a warning. False when the exchange itself failed.
bool ExchangeApdu(Context& ctx, Outcome& o, const std::vector<uint8_t>& apdu, const std::string* expectSw);

// The card type a memory command works on: --card NAME (selected on the
// reader now), else the type selected on this session's reader, else the
// one the reader says it has selected (its status). "" with o's failure set
// when none is known. `adopt` selects a type learnt from the status on the
// reader, for calls whose command depends on the card's family.
std::string CardTypeFor(Context& ctx, const Args& a, Outcome& o, bool adopt);
// The operating system's reason in the library's open message, said as
// people look for it ("busy: another program holds the port").
std::string OpenReason(const std::string& libraryMessage);

// The canonical name of a card type typed in any case; throws UsageError.
std::string CardTypeName(const std::string& typed);

}  // namespace qd500::cli
