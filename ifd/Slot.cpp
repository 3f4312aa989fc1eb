// A slot of the PC/SC driver on the handle API: power and the ATR, APDUs and
// pseudo-APDUs, the magnetic head's control codes, presence and the reopening
// of a line that vanished.
#include "Slot.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "Control.h"

namespace qd500::ifd {

namespace {

constexpr unsigned kTimeoutMs = 10000;     // every exchange but presence
constexpr unsigned kPollTimeoutMs = 1000;  // presence, which pcscd repeats
constexpr uint64_t kReopenEveryMs = 1000;  // a vanished line is tried again at most this often

// The ATR of a card that gave none a CPU card gives: TS 3B, T0 04 (no
// interface bytes, four historical bytes "MEM" and the memory type byte
// selected, 00 until one is). T=0 is implied, so every connect succeeds.
constexpr uint8_t kMemoryAtr[] = {0x3B, 0x04, 'M', 'E', 'M', 0x00};

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Whether the device status shows a card: not when its status is 21 or its
// first state field is 00. This is the simulator's model of the reader; a
// real reader's fields may differ, and this is the one place that reads them.
bool CardInSlot(int result, const uint8_t state[3]) { return result == 0 && state[0] != 0x00; }

bool CpuAtr(const uint8_t* atr, size_t length) { return length >= 2 && (atr[0] == 0x3B || atr[0] == 0x3F); }

}  // namespace

Slot::Slot(std::string device, std::string trace) : m_device(std::move(device)), m_trace(std::move(trace)) {}

Slot::~Slot() {
    Cancel();
    std::lock_guard<std::mutex> lock(m_busy);
    qd500_close(m_reader);
}

RESPONSECODE Slot::Open() {
    std::lock_guard<std::mutex> lock(m_busy);
    if (qd500_open(m_device.c_str(), &m_reader) != 0) {
        std::fprintf(stderr, "qd500-ifd: %s\n", qd500_message(nullptr));
        return IFD_COMMUNICATION_ERROR;
    }
    // The driver traces only when its configuration asks, whatever the
    // daemon's environment says.
    qd500_set_trace(m_reader, m_trace.empty() ? nullptr : m_trace.c_str());
    qd500_set_timeout_ms(m_reader, kTimeoutMs);
    return IFD_SUCCESS;
}

void Slot::Cancel() { qd500_cancel(m_reader); }

void Slot::ForgetCard() {
    m_mode = CardMode();
    m_atrLength = 0;
    m_protocol = SCARD_PROTOCOL_T0;
}

void Slot::Note(int result) {
    if (result != QD500_E_LINE) return;
    m_lineDown = true;
    m_presence = IFD_COMMUNICATION_ERROR;
}

RESPONSECODE Slot::Failed(int result) {
    Note(result);
    return result == QD500_E_TIMEOUT ? IFD_RESPONSE_TIMEOUT : IFD_COMMUNICATION_ERROR;
}

// ---- power ----

int Slot::SelectAndPower(int type, uint8_t* atr, size_t* atrLength) {
    *atrLength = 0;
    int result = qd500_select_card(m_reader, qd500_card_type_name(type));
    return result != 0 ? result : qd500_power_on(m_reader, atr, QD500_ATR_MAX, atrLength);
}

RESPONSECODE Slot::TakeMemoryAtr() {
    std::memcpy(m_atr, kMemoryAtr, sizeof kMemoryAtr);
    if (m_mode.kind.type >= 0) m_atr[sizeof kMemoryAtr - 1] = static_cast<uint8_t>(m_mode.kind.type);
    m_atrLength = sizeof kMemoryAtr;
    return IFD_SUCCESS;
}

RESPONSECODE Slot::PowerUp() {
    uint8_t atr[QD500_ATR_MAX];
    size_t length = 0;
    // The memory type chosen for this card, if any; else the card is tried
    // as a CPU card, and one that refuses or gives no CPU-card ATR is a
    // memory card whose type the application selects.
    if (m_mode.kind.type >= 0) {
        int result = SelectAndPower(m_mode.kind.type, atr, &length);
        if (result < 0) return Failed(result);
        if (result == 0) return TakeMemoryAtr();
        ForgetCard();  // another card, put in between two polls
    }
    int result = SelectAndPower(kCpuType, atr, &length);
    if (result < 0) return Failed(result);
    if (result == 0 && CpuAtr(atr, length)) {
        m_mode.memory = false;
        std::memcpy(m_atr, atr, length);
        m_atrLength = length;
        m_protocol = OfferedProtocols(atr, length) & SCARD_PROTOCOL_T0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        return IFD_SUCCESS;
    }
    if (result != 0 && result != 24) return IFD_ERROR_POWER_ACTION;
    m_mode.memory = true;
    return TakeMemoryAtr();
}

RESPONSECODE Slot::Power(DWORD action, PUCHAR atr, PDWORD atrLength) {
    const DWORD cap = atrLength ? *atrLength : 0;
    if (atrLength) *atrLength = 0;
    if (action != IFD_POWER_UP && action != IFD_POWER_DOWN && action != IFD_RESET) return IFD_NOT_SUPPORTED;
    std::lock_guard<std::mutex> lock(m_busy);
    if (m_lineDown) return IFD_COMMUNICATION_ERROR;
    if (action == IFD_POWER_DOWN) {
        m_atrLength = 0;
        int result = qd500_power_off(m_reader);
        return result < 0 ? Failed(result) : IFD_SUCCESS;
    }
    RESPONSECODE rc = PowerUp();
    if (rc != IFD_SUCCESS) return rc;
    if (!atr || !atrLength || cap < m_atrLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(atr, m_atr, m_atrLength);
    *atrLength = static_cast<DWORD>(m_atrLength);
    return IFD_SUCCESS;
}

RESPONSECODE Slot::SetProtocol(DWORD protocol) {
    std::lock_guard<std::mutex> lock(m_busy);
    const DWORD offered = OfferedProtocols(m_atr, m_atrLength);
    const DWORD chosen = protocol & offered & SCARD_PROTOCOL_T0 ? SCARD_PROTOCOL_T0 : protocol & offered;
    if (chosen != SCARD_PROTOCOL_T0 && chosen != SCARD_PROTOCOL_T1) return IFD_PROTOCOL_NOT_SUPPORTED;
    m_protocol = chosen;
    return IFD_SUCCESS;
}

DWORD Slot::ProtocolNumber() {
    std::lock_guard<std::mutex> lock(m_busy);
    return m_protocol == SCARD_PROTOCOL_T1 ? 1 : 0;
}

RESPONSECODE Slot::Atr(PUCHAR value, PDWORD length) {
    std::lock_guard<std::mutex> lock(m_busy);
    if (*length < m_atrLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (m_atrLength) std::memcpy(value, m_atr, m_atrLength);
    *length = static_cast<DWORD>(m_atrLength);
    return IFD_SUCCESS;
}

// ---- APDUs ----

// The reader's call for a pseudo-APDU; a read leaves its data at the front
// of rx.
int Slot::RunPseudo(const Request& request, uint8_t* rx, DWORD cap, size_t* dataLength) {
    qd500_reader* r = m_reader;
    switch (request.op) {
        case Op::SelectType: {
            uint8_t atr[QD500_ATR_MAX];
            size_t length = 0;
            int result = SelectAndPower(request.type, atr, &length);
            if (result == 0) {
                m_mode.kind = MemoryKindOf(request.type);
                if (request.type == kCpuType) m_mode.memory = false;
            } else if (result > 0 && (!m_mode.memory || m_mode.kind.type >= 0)) {
                // A type the card refused stays selected in the reader: go back to the card's own.
                qd500_select_card(r, qd500_card_type_name(m_mode.memory ? m_mode.kind.type : kCpuType));
            }
            return result;
        }
        case Op::Read:
        case Op::ReadProtection:
            if (cap < request.length + 2) return QD500_E_BUFFER;
            *dataLength = request.length;
            return request.op == Op::Read ? qd500_read_memory(r, request.address, rx, request.length)
                                          : qd500_read_protection(r, request.address, rx, request.length);
        case Op::Write:
            return qd500_write_memory(r, request.address, request.data, request.length);
        case Op::Protect:
            return qd500_protect(r, request.address, request.data, request.length);
        case Op::PresentCode:
            return m_mode.kind.at88 ? qd500_at88_verify(r, request.address, request.data, request.length)
                                    : qd500_present_code(r, request.data, request.length);
        case Op::ChangeCode:
            return qd500_change_code(r, request.data, request.length);
        default:
            return QD500_E_PARAM;
    }
}

RESPONSECODE Slot::Verdicted(const Verdict& verdict, uint8_t* rx, DWORD cap, size_t dataLength, PDWORD rxLength) {
    switch (verdict.fault) {
        case Fault::None:
            break;
        case Fault::NoCard:
            return IFD_ICC_NOT_PRESENT;
        case Fault::Timeout:
            return IFD_RESPONSE_TIMEOUT;
        case Fault::Buffer:
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        case Fault::Line:
            return IFD_COMMUNICATION_ERROR;
    }
    if (verdict.sw != 0x9000) dataLength = 0;  // a read that failed delivers nothing
    if (cap < dataLength + 2) return IFD_ERROR_INSUFFICIENT_BUFFER;
    rx[dataLength] = static_cast<uint8_t>(verdict.sw >> 8);
    rx[dataLength + 1] = static_cast<uint8_t>(verdict.sw);
    *rxLength = static_cast<DWORD>(dataLength + 2);
    return IFD_SUCCESS;
}

RESPONSECODE Slot::Transmit(const uint8_t* tx, DWORD txLength, uint8_t* rx, PDWORD rxLength) {
    const DWORD cap = *rxLength;
    *rxLength = 0;
    std::lock_guard<std::mutex> lock(m_busy);
    if (m_lineDown) return IFD_COMMUNICATION_ERROR;
    const Request request = ParseApdu(tx, txLength, m_mode);
    Verdict verdict;
    size_t dataLength = 0;
    if (request.op == Op::Answer) {
        verdict.sw = request.sw;
    } else if (request.op == Op::Transmit) {
        size_t length = 0;
        int result = qd500_transmit(m_reader, tx, txLength, rx, cap, &length);
        if (result == 0) {
            *rxLength = static_cast<DWORD>(length);
            return IFD_SUCCESS;
        }
        Note(result);
        verdict = Judge(request.op, result);
    } else {
        int result = RunPseudo(request, rx, cap, &dataLength);
        Note(result);
        verdict = Judge(request.op, result);
    }
    return Verdicted(verdict, rx, cap, dataLength, rxLength);
}

// ---- control codes ----

RESPONSECODE Slot::Control(DWORD code, const uint8_t* in, DWORD inLength, uint8_t* out, DWORD outLength,
                           LPDWORD returned) {
    *returned = 0;
    const ControlRequest request = ParseControl(code, in, inLength);
    if (request.op == ControlOp::Unknown) return IFD_ERROR_NOT_SUPPORTED;
    if (request.op == ControlOp::Features || request.op == ControlOp::TlvProperties) {
        // PC/SC v2 part 10's TLV lists, without the status byte of the driver's own codes.
        const std::string tlv = request.op == ControlOp::Features ? FeatureList() : TlvProperties();
        if (!out || outLength < tlv.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(out, tlv.data(), tlv.size());
        *returned = static_cast<DWORD>(tlv.size());
        return IFD_SUCCESS;
    }
    if (!out || outLength < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::string reply(1, static_cast<char>(kStatusRefused));
    if (request.op == ControlOp::Refused)  // into pcscd's log: the application sees only FD
        std::fprintf(stderr, "qd500-ifd: control code %lu refused, nothing sent: %s\n", code & 0xFFFF, request.refusal);
    if (request.op != ControlOp::Refused) {
        std::lock_guard<std::mutex> lock(m_busy);
        int result = QD500_E_LINE;
        if (m_lineDown) {
            // The line is gone: no exchange until presence has it back.
        } else if (request.op == ControlOp::ReadTracks || request.op == ControlOp::WriteTracks) {
            qd500_set_timeout_ms(m_reader, request.seconds ? request.seconds * 1000u : kTimeoutMs);
            if (request.op == ControlOp::ReadTracks) {
                char track2[QD500_TRACK_MAX + 1] = "", track3[QD500_TRACK_MAX + 1] = "";
                unsigned tracks = (request.track2 ? QD500_TRACK2 : 0u) | (request.track3 ? QD500_TRACK3 : 0u);
                result = qd500_read_tracks(m_reader, tracks, track2, sizeof track2, track3, sizeof track3, nullptr);
                if (result == 0) reply += std::string(track2) + kTrackSeparator + track3;
            } else {
                result = qd500_write_tracks(m_reader, request.track2 ? request.text2.c_str() : nullptr,
                                            request.track3 ? request.text3.c_str() : nullptr, 0);
            }
            qd500_set_timeout_ms(m_reader, kTimeoutMs);
        } else if (request.op == ControlOp::HeadSetting) {
            result = qd500_mag_setting(m_reader, request.letter);
        } else {
            char version[128];
            size_t length = 0;
            result = qd500_version_text(m_reader, version, sizeof version, &length);
            if (result == 0) reply.append(version, length);
        }
        Note(result);
        reply[0] = static_cast<char>(StatusByte(result));
    }
    if (reply.size() > outLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(out, reply.data(), reply.size());
    *returned = static_cast<DWORD>(reply.size());
    return IFD_SUCCESS;
}

// ---- presence ----

RESPONSECODE Slot::Poll() {
    if (m_lineDown) {
        const uint64_t now = NowMs();
        if (now < m_nextReopenMs) return IFD_COMMUNICATION_ERROR;
        m_nextReopenMs = now + kReopenEveryMs;
        if (qd500_reopen(m_reader) != 0) return IFD_COMMUNICATION_ERROR;
        m_lineDown = false;
        ForgetCard();  // a reader that came back has an unpowered card, if any
    }
    uint8_t state[3] = {};
    qd500_set_timeout_ms(m_reader, kPollTimeoutMs);
    int result = qd500_device_status(m_reader, state);
    qd500_set_timeout_ms(m_reader, kTimeoutMs);
    Note(result);
    if (result != 0 && result != 21) return IFD_COMMUNICATION_ERROR;
    if (CardInSlot(result, state)) return IFD_ICC_PRESENT;
    ForgetCard();
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE Slot::Presence() {
    std::unique_lock<std::mutex> lock(m_busy, std::try_to_lock);
    if (!lock.owns_lock()) return m_presence.load();
    RESPONSECODE answer = Poll();
    m_presence = answer;
    return answer;
}

}  // namespace qd500::ifd
