// pcsc-lite's entry points: a table from Lun to slot under one lock; each
// call takes its slot out of the table and runs on it, so readers of this
// driver work side by side.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Slot.h"

using qd500::ifd::Slot;

namespace {

constexpr unsigned char kMaxReaders = 16;

std::mutex g_tableMutex;
std::map<DWORD, std::shared_ptr<Slot>> g_slots;

// One slot a reader: the reader's part of the Lun names it.
DWORD ReaderOf(DWORD lun) { return lun >> 16; }

std::shared_ptr<Slot> Find(DWORD lun) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_slots.find(ReaderOf(lun));
    return it == g_slots.end() ? nullptr : it->second;
}

// DEVICENAME is the port, optionally followed by ":trace=FILE" (pcscd's
// configuration takes ':' in a value, and no tty path holds ":trace=").
// A value with characters pcscd's configuration refuses bare ('+', '?',
// '&', as a TLS line's name has) is written in double quotes, which pcscd
// hands on as they stand.
bool SplitDeviceName(std::string name, std::string& port, std::string& trace) {
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    constexpr char kTrace[] = ":trace=";
    const size_t at = name.find(kTrace);
    port = name.substr(0, at);
    trace = at == std::string::npos ? std::string() : name.substr(at + sizeof kTrace - 1);
    return !port.empty() && (at == std::string::npos || !trace.empty());
}

RESPONSECODE Open(DWORD lun, const std::string& port, const std::string& trace) {
    auto slot = std::make_shared<Slot>(port, trace);
    RESPONSECODE rc = slot->Open();
    if (rc != IFD_SUCCESS) return rc;
    std::shared_ptr<Slot> old;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        old = std::move(g_slots[ReaderOf(lun)]);
        g_slots[ReaderOf(lun)] = std::move(slot);
    }
    return IFD_SUCCESS;  // an old slot of the Lun closes here, outside the lock
}

RESPONSECODE PutByte(PDWORD length, PUCHAR value, unsigned char byte) {
    if (!length || !value || *length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
    *value = byte;
    *length = 1;
    return IFD_SUCCESS;
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    std::string port, trace;
    if (!DeviceName || !SplitDeviceName(DeviceName, port, trace)) {
        std::fprintf(stderr, "qd500-ifd: DEVICENAME \"%s\" is no port[:trace=FILE]\n", DeviceName ? DeviceName : "");
        return IFD_COMMUNICATION_ERROR;
    }
    return Open(Lun, port, trace);
}

// CHANNELID n is the port COMn.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    if (Channel < 1 || Channel > 999) return IFD_COMMUNICATION_ERROR;
    return Open(Lun, "COM" + std::to_string(Channel), "");
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        auto it = g_slots.find(ReaderOf(Lun));
        if (it == g_slots.end()) return IFD_NO_SUCH_DEVICE;
        slot = std::move(it->second);
        g_slots.erase(it);
    }
    slot->Cancel();  // a swipe that waits ends now; the slot closes when its last call returns
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    switch (Tag) {
        case TAG_IFD_ATR:
        case SCARD_ATTR_ATR_STRING: {
            auto slot = Find(Lun);
            if (!slot) return IFD_NO_SUCH_DEVICE;
            if (!Length || !Value) return IFD_ERROR_INSUFFICIENT_BUFFER;
            return slot->Atr(Value, Length);
        }
        case TAG_IFD_SLOTS_NUMBER:
            return PutByte(Length, Value, 1);
        case TAG_IFD_SIMULTANEOUS_ACCESS:
            return PutByte(Length, Value, kMaxReaders);
        case TAG_IFD_THREAD_SAFE:
            return PutByte(Length, Value, 1);  // readers need not wait for each other
        case TAG_IFD_SLOT_THREAD_SAFE:
            return PutByte(Length, Value, 0);  // one slot a reader
        default:
            return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

// The protocol the card's ATR offers (memory cards present an ATR of T=0).
RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
    auto slot = Find(Lun);
    if (!slot) return IFD_NO_SUCH_DEVICE;
    return slot->SetProtocol(Protocol);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    auto slot = Find(Lun);
    if (!slot) return IFD_NO_SUCH_DEVICE;
    return slot->Power(Action, Atr, AtrLength);
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    if (!RxLength) return IFD_COMMUNICATION_ERROR;
    auto slot = Find(Lun);
    if (!slot) {
        *RxLength = 0;
        return IFD_NO_SUCH_DEVICE;
    }
    if (RecvPci) RecvPci->Protocol = slot->ProtocolNumber();
    if (!RxBuffer) *RxLength = 0;
    return slot->Transmit(TxBuffer, TxBuffer ? TxLength : 0, RxBuffer, RxLength);
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (!pdwBytesReturned) return IFD_COMMUNICATION_ERROR;
    *pdwBytesReturned = 0;
    auto slot = Find(Lun);
    if (!slot) return IFD_NO_SUCH_DEVICE;
    return slot->Control(dwControlCode, TxBuffer, TxBuffer ? TxLength : 0, RxBuffer, RxLength, pdwBytesReturned);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    auto slot = Find(Lun);
    return slot ? slot->Presence() : IFD_NO_SUCH_DEVICE;
}

}  // extern "C"
