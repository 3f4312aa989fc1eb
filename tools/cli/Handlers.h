// The command handlers the table in CommandTable.cpp lists, and the pieces
// several of them share. Every handler checks its arguments completely
// before it opens the port, so bad input never reaches the reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Cli.h"

namespace qd500::cli {

// ---- Device.cpp: card type, power, device, the magnetic head, raw frames
void CmdCardType(Context&, const Args&, CommandResult&);
void CmdPowerOn(Context&, const Args&, CommandResult&);
void CmdPowerOff(Context&, const Args&, CommandResult&);
void CmdStatus(Context&, const Args&, CommandResult&);
void CmdVersion(Context&, const Args&, CommandResult&);
void CmdEject(Context&, const Args&, CommandResult&);
void CmdDeviceNo(Context&, const Args&, CommandResult&);
void CmdWatch(Context&, const Args&, CommandResult&);
void CmdAtr(Context&, const Args&, CommandResult&);
void CmdPorts(Context&, const Args&, CommandResult&);
void CmdMagRead(Context&, const Args&, CommandResult&);
void CmdMagWrite(Context&, const Args&, CommandResult&);
void CmdMagSetting(Context&, const Args&, CommandResult&);
void CmdFrame(Context&, const Args&, CommandResult&);

// ---- CpuCommands.cpp
void CmdApdu(Context&, const Args&, CommandResult&);
void CmdGetResponse(Context&, const Args&, CommandResult&);
void CmdSelect(Context&, const Args&, CommandResult&);
void CmdChallenge(Context&, const Args&, CommandResult&);
void CmdVerifyPin(Context&, const Args&, CommandResult&);
void CmdPersonalise(Context&, const Args&, CommandResult&);

// ---- Memory.cpp
void CmdRead(Context&, const Args&, CommandResult&);
void CmdWrite(Context&, const Args&, CommandResult&);
void CmdDump(Context&, const Args&, CommandResult&);
void CmdRestore(Context&, const Args&, CommandResult&);
void CmdSleVerify(Context&, const Args&, CommandResult&);
void CmdSleChangePin(Context&, const Args&, CommandResult&);
void CmdSleCompareWrite(Context&, const Args&, CommandResult&);
void CmdSle4442Protection(Context&, const Args&, CommandResult&);
void CmdSle4428ReadProtected(Context&, const Args&, CommandResult&);
void CmdSle4428WriteProtected(Context&, const Args&, CommandResult&);
void CmdAt88Verify(Context&, const Args&, CommandResult&);
void CmdAt88Erase(Context&, const Args&, CommandResult&);
void CmdAt88Personalise(Context&, const Args&, CommandResult&);
void CmdAt24Read(Context&, const Args&, CommandResult&);
void CmdAt24Write(Context&, const Args&, CommandResult&);

// ---- Crypto.cpp
void CmdTriDes(Context&, const Args&, CommandResult&);
void CmdDiversify(Context&, const Args&, CommandResult&);
void CmdXor(Context&, const Args&, CommandResult&);
void CmdPinBlock(Context&, const Args&, CommandResult&);

// ---- shared

// One APDU on the session's reader, 61xx and 6Cxx followed; the response
// and status word go into o, and a status word other than 9000/61xx
// without --expect is a warning. False when the exchange itself failed.
bool ExchangeApdu(Context& ctx, CommandResult& o, const std::vector<uint8_t>& apdu, const std::string* expectSw);

// The card type a memory command works on: --card NAME (selected on the
// reader now), else the type selected on this session's reader, else the
// one the reader says it has selected (its status). "" with o's failure set
// when none is known. `adopt` selects a type learnt from the status on the
// reader, for calls whose command depends on the card's family.
std::string CardTypeFor(Context& ctx, const Args& a, CommandResult& o, bool adopt);
// The operating system's reason in the library's open message, said as
// people look for it ("busy: another program holds the port").
std::string OpenReason(const std::string& libraryMessage);
// "COM3", "com3" or "3": true, with the digits.
bool ComNumberText(const std::string& given, std::string& digits);

// The canonical name of a card type typed in any case; throws UsageError.
std::string CardTypeName(const std::string& typed);

}  // namespace qd500::cli
