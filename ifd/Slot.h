// One reader behind one Lun of pcscd: its handle-API reader, what the driver
// knows of the card, and the guard that keeps presence polls from waiting
// behind an exchange (a swipe may hold the reader for seconds).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "Apdu.h"
#include "Pcsc.h"
#include "qd500.h"

namespace qd500::ifd {

class Slot {
public:
    // device: a tty path or COMn; trace: a file to trace into, "" for none.
    Slot(std::string device, std::string trace);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    RESPONSECODE Open();
    // From another thread: ends the exchange that waits (a swipe).
    void Cancel();

    RESPONSECODE Power(DWORD action, PUCHAR atr, PDWORD atrLength);
    RESPONSECODE Atr(PUCHAR value, PDWORD length);
    // The protocol pcscd asks for: one the card's ATR offers (T=0, T=1 or
    // either). The reader speaks to the card itself, so APDUs go the same
    // way under both.
    RESPONSECODE SetProtocol(DWORD protocol);
    // The active protocol's number (0 or 1), for the receive header.
    DWORD ProtocolNumber();
    RESPONSECODE Transmit(const uint8_t* tx, DWORD txLength, uint8_t* rx, PDWORD rxLength);
    RESPONSECODE Control(DWORD code, const uint8_t* in, DWORD inLength, uint8_t* out, DWORD outLength,
                         LPDWORD returned);
    // Never waits behind an exchange: while one runs, the last state.
    RESPONSECODE Presence();

private:
    RESPONSECODE Poll();
    RESPONSECODE PowerUp();
    // The memory-card ATR, naming the type selected for the card.
    RESPONSECODE TakeMemoryAtr();
    int SelectAndPower(int type, uint8_t* atr, size_t* atrLength);
    int RunPseudo(const Request& request, uint8_t* rx, DWORD cap, size_t* dataLength);
    // A line that failed is down until presence reopens it.
    void Note(int result);
    RESPONSECODE Failed(int result);
    RESPONSECODE Verdicted(const Verdict& verdict, uint8_t* rx, DWORD cap, size_t dataLength, PDWORD rxLength);
    void ForgetCard();

    const std::string m_device, m_trace;
    qd500_reader* m_reader = nullptr;
    std::mutex m_busy;  // held by every exchange; presence only tries it
    std::atomic<RESPONSECODE> m_presence{IFD_ICC_NOT_PRESENT};
    // Under m_busy:
    bool m_lineDown = false;
    uint64_t m_nextReopenMs = 0;
    CardMode m_mode;
    uint8_t m_atr[QD500_ATR_MAX] = {};
    size_t m_atrLength = 0;
    DWORD m_protocol = SCARD_PROTOCOL_T0;
};

}  // namespace qd500::ifd
