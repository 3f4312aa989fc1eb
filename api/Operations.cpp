// The reader's operations of qd500.h: bytes in, bytes out, every argument
// checked before anything is sent.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "api/Handle.h"
#include "cards/CardTypes.h"
#include "cards/CpuCard.h"
#include "cards/Magnetic.h"
#include "reader/FrameBodies.h"
#include "reader/Texts.h"

using namespace qd500;
using namespace qd500::api;

namespace {

constexpr size_t kAtrMax = QD500_ATR_MAX;
constexpr size_t kVersionMax = 128;

// The card answered with success: true. Otherwise *result holds the
// result of where it ended.
bool Succeeded(qd500_reader* r, const Outcome& out, int* result) {
    *result = Finish(r, out);
    return *result == 0;
}

// Needs count bytes of room in cap; otherwise QD500_E_BUFFER with *len set
// to the room needed.
bool Room(qd500_reader* r, size_t cap, size_t count, size_t* len, int* result) {
    if (cap >= count) return true;
    if (len) *len = count;
    *result = Fail(r, QD500_E_BUFFER);
    return false;
}

int RunSimple(qd500_reader* r, const FrameBody& body) {
    return Call(r, [&] { return Finish(r, r->reader.Transact(body)); });
}

// ---- APDUs ----

static_assert(kMaxApduResponse == QD500_RESPONSE_MAX, "the handle API states the cards' largest APDU answer");

// Delivers data and SW1 SW2 into resp.
int Deliver(qd500_reader* r, const std::vector<unsigned char>& data, const unsigned char sw[2], unsigned char* resp,
            size_t cap, size_t* respLen) {
    int result = 0;
    if (!Room(r, cap, data.size() + 2, respLen, &result)) return result;
    if (!data.empty()) std::memcpy(resp, data.data(), data.size());
    resp[data.size()] = sw[0];
    resp[data.size() + 1] = sw[1];
    if (respLen) *respLen = data.size() + 2;
    return Succeed(r);
}

// Runs the APDU and, when follow is set, its ISO follow-ups.
int Exchange(qd500_reader* r, const Apdu& apdu, bool follow, unsigned char* resp, size_t cap, size_t* respLen) {
    int result = 0;
    ApduResponse response;
    if (!ExchangeApdu(
            r->reader, apdu, follow, [&](const Outcome& out) { return Succeeded(r, out, &result); }, response))
        return response.malformed ? Fail(r, QD500_E_PROTOCOL) : result;
    return Deliver(r, response.data, response.sw, resp, cap, respLen);
}

int TransmitApdu(qd500_reader* r, const unsigned char* apdu, size_t len, unsigned char* resp, size_t cap,
                 size_t* respLen, bool follow) {
    if (respLen) *respLen = 0;
    Apdu parsed;
    if (!r || !resp || !ParseApdu(apdu, len, parsed)) return Refuse(r);
    return Call(r, [&] {
        int result;
        if (!Room(r, cap, parsed.maxResponse, respLen, &result)) return result;
        return Exchange(r, parsed, follow, resp, cap, respLen);
    });
}

// One answer of a fixed exchange (GET RESPONSE, a personalisation step).
int DeliverAnswer(qd500_reader* r, const CardAnswer& answer, size_t most, unsigned char* resp, size_t cap,
                  size_t* respLen) {
    int result;
    if (!Succeeded(r, answer.out, &result)) return result;
    std::vector<unsigned char> data;
    unsigned char sw[2];
    if (!TakeResponse(answer, most, data, sw)) return Fail(r, QD500_E_PROTOCOL);
    return Deliver(r, data, sw, resp, cap, respLen);
}

// ---- memory ----

// Why a range was refused, before anything was sent.
std::string RangeRefusal(const CardType* type, RangeCheck check, unsigned addr, size_t len, bool protection) {
    if (check == RangeCheck::TypeUnknown)
        return "the card type is not known on this reader: select it before a write of more than " +
               std::to_string(kMaxWriteBytes) + " bytes; nothing was written";
    return "bytes " + std::to_string(addr) + " to " + std::to_string(addr + len - 1) + " run past the end of the " +
           type->name + "'s " + std::to_string(protection ? type->protectedBytes : type->size) +
           (protection ? " protected bytes" : " bytes") + "; nothing was sent";
}

template <typename Op>
int Memory(qd500_reader* r, unsigned addr, const void* data, size_t len, bool write, bool protection, Op op) {
    if (!r || (!data && len > 0) || !MemoryRangeFits(addr, len)) return Refuse(r);
    return Call(r, [&] {
        if (len == 0) return Succeed(r);
        RangeCheck check = CheckRange(r->reader, addr, len, write, protection);
        if (check != RangeCheck::Fits)
            return Refuse(r, RangeRefusal(r->reader.SelectedType(), check, addr, len, protection));
        return Finish(r, op());
    });
}

// A code of 1 to 125 bytes as the hex text its command carries.
bool CodeText(const unsigned char* code, size_t len, std::string& hex) {
    if (!code || len == 0 || len > kMaxBodyChars / 2) return false;
    hex = Hex(code, len);
    return true;
}

int CodeCommand(qd500_reader* r, const unsigned char* code, size_t len, FrameBody (*body)(const char*)) {
    std::string hex;
    if (!r || !CodeText(code, len, hex)) return Refuse(r);
    return RunSimple(r, body(hex.c_str()));
}

// The AT24 sequence on the reader, with the card type selected through it
// (an AT24C16 where none is); the first step that fails ends it, but the
// card is powered off whatever the data step did, and a failed data step is
// what the call reports.
template <typename Data>
int At24(qd500_reader* r, unsigned device, unsigned addr, const void* data, size_t len, Data run) {
    if (!r || device > 255 || (!data && len > 0) || !MemoryRangeFits(addr, len)) return Refuse(r);
    return Call(r, [&] {
        const CardType* type = r->reader.SelectedType();
        if (!type || type->family != CardType::At24) type = FindCardType("AT24C16");
        if (len > 0 && !(addr <= type->size && len <= type->size - addr))
            return Refuse(r, RangeRefusal(type, RangeCheck::PastTheEnd, addr, len, false));
        char code[5];
        CardTypeCode(code, type->name);
        int result = 0;
        int off = 0;
        bool dataRan = false;
        std::string message;
        char status[3] = {};
        RunAt24(
            r->reader, BuildAt24Steps(static_cast<int>(device), code, FrameBody()),
            [&](At24Steps::Step step, const Outcome& out) {
                if (step != At24Steps::PowerOff) return Succeeded(r, out, &result);
                off = Finish(r, out);
                return off == 0;
            },
            [&] {
                r->reader.SetSelectedType(type);
                result = len == 0 ? Succeed(r) : Finish(r, run());
                message = r->message;
                std::memcpy(status, r->status, 3);
                dataRan = true;
                return true;  // powered off whatever it did
            },
            true);
        if (result == 0) return off;
        if (dataRan) {
            r->message = message;
            std::memcpy(r->status, status, 3);
        }
        return result;
    });
}

}  // namespace

extern "C" {

// ---- card type, power, device ----

QD500_C_API int QD500_CDECL qd500_card_type_code(const char* type) {
    const CardType* found = FindCardType(type, true);
    return found ? found->code : -1;
}

QD500_C_API const char* QD500_CDECL qd500_card_type_name(int code) {
    const CardType* found = code >= 0 && code <= 255 ? FindCardType(static_cast<uint8_t>(code)) : nullptr;
    return found ? found->name : nullptr;
}

QD500_C_API int QD500_CDECL qd500_card_size(const char* type) {
    const CardType* found = FindCardType(type, true);
    return found ? static_cast<int>(found->size) : -1;
}

// The card-type table as qd500.h publishes it.
static_assert(QD500_FAMILY_CPU == CardType::Cpu && QD500_FAMILY_SLE4442 == CardType::Sle4442 &&
              QD500_FAMILY_SLE4428 == CardType::Sle4428 && QD500_FAMILY_AT24 == CardType::At24 &&
              QD500_FAMILY_AT88SC == CardType::At88sc);
static_assert(QD500_FEATURE_MEMORY == kMemory && QD500_FEATURE_PRESENT_CODE == kPresentCode &&
              QD500_FEATURE_CHANGE_CODE == kChangeCode && QD500_FEATURE_READ_PROTECTION == kReadProtection &&
              QD500_FEATURE_PROTECT == kProtect && QD500_FEATURE_AT88_VERIFY == kAt88Verify &&
              QD500_FEATURE_AT88_ERASE == kAt88Erase && QD500_FEATURE_AT88_PERSONALISE == kAt88Personalise &&
              QD500_FEATURE_AT24_SEQUENCE == kAt24Sequence && QD500_FEATURE_APDU == kApdu);

static int CardInfo(const CardType& type, struct qd500_card_info* info) {
    if (!info || info->size < sizeof info->size) return RefuseUnbound("struct qd500_card_info");
    // Each field only when the caller's struct reaches past its end.
    struct qd500_card_info full = {info->size,      type.name,      type.code,           type.family,   type.size,
                                   type.codeLength, type.codeTries, type.protectedBytes, type.features, type.alias};
    const size_t n = info->size < sizeof full ? info->size : sizeof full;
    size_t fits = sizeof full.size;
    const size_t ends[] = {offsetof(struct qd500_card_info, name) + sizeof full.name,
                           offsetof(struct qd500_card_info, code) + sizeof full.code,
                           offsetof(struct qd500_card_info, family) + sizeof full.family,
                           offsetof(struct qd500_card_info, memory_size) + sizeof full.memory_size,
                           offsetof(struct qd500_card_info, code_length) + sizeof full.code_length,
                           offsetof(struct qd500_card_info, code_tries) + sizeof full.code_tries,
                           offsetof(struct qd500_card_info, protected_bytes) + sizeof full.protected_bytes,
                           offsetof(struct qd500_card_info, features) + sizeof full.features,
                           offsetof(struct qd500_card_info, alias) + sizeof full.alias};
    for (size_t end : ends)
        if (end <= n) fits = end;
    std::memcpy(reinterpret_cast<unsigned char*>(info) + sizeof full.size,
                reinterpret_cast<const unsigned char*>(&full) + sizeof full.size, fits - sizeof full.size);
    return 0;
}

QD500_C_API int QD500_CDECL qd500_card_info(const char* type, struct qd500_card_info* info) {
    const CardType* found = FindCardType(type, true);
    if (!found) return RefuseUnbound(UnknownCardType(type).c_str());
    return CardInfo(*found, info);
}

QD500_C_API int QD500_CDECL qd500_card_type_count(void) { return CardTypeCount(); }

QD500_C_API int QD500_CDECL qd500_card_info_at(unsigned index, struct qd500_card_info* info) {
    if (index >= static_cast<unsigned>(CardTypeCount())) return RefuseUnbound("no card type at that index");
    return CardInfo(CardTypes()[index], info);
}

QD500_C_API int QD500_CDECL qd500_select_card(qd500_reader* r, const char* type) {
    const CardType* found = FindCardType(type, true);
    if (!r) return Refuse(r);
    if (!found) return Refuse(r, UnknownCardType(type));
    char code[5];
    CardTypeCode(code, found->name);
    return Call(r, [&] {
        int result;
        if (Succeeded(r, r->reader.Transact(SelectCardBody(code)), &result)) r->reader.SetSelectedType(found);
        return result;
    });
}

QD500_C_API int QD500_CDECL qd500_power_on(qd500_reader* r, unsigned char* atr, size_t cap, size_t* len) {
    if (len) *len = 0;
    if (!r || !atr) return Refuse(r);
    return Call(r, [&] {
        int result;
        if (!Room(r, cap, kAtrMax, len, &result)) return result;
        Outcome out = r->reader.Transact(PowerOnBody());
        if (!Succeeded(r, out, &result)) return result;
        int n = DataBytes(out.reply, atr, static_cast<int>(kAtrMax));
        if (n < 0) return Fail(r, QD500_E_PROTOCOL);
        if (len) *len = static_cast<size_t>(n);
        return 0;
    });
}

QD500_C_API int QD500_CDECL qd500_power_off(qd500_reader* r) { return RunSimple(r, PowerOffBody()); }

QD500_C_API int QD500_CDECL qd500_device_status(qd500_reader* r, unsigned char state[3]) {
    if (!r || !state) return Refuse(r);
    return Call(r, [&] {
        Outcome out = r->reader.Transact(DeviceStatusBody());
        int result;
        if (!Succeeded(r, out, &result)) return result;
        // Three fields of two hex characters each follow the status code.
        unsigned char fields[3];
        if (out.reply.tailLen < 6 || DecodeHex(out.reply.tail, 6, fields, 3) != 3) return Fail(r, QD500_E_PROTOCOL);
        std::memcpy(state, fields, 3);
        return 0;
    });
}

QD500_C_API int QD500_CDECL qd500_eject(qd500_reader* r) { return RunSimple(r, EjectBody()); }

QD500_C_API int QD500_CDECL qd500_set_device_no(qd500_reader* r, unsigned number) {
    if (!r || number > 99) return Refuse(r);
    return RunSimple(r, DeviceNumberBody(static_cast<int>(number)));
}

QD500_C_API int QD500_CDECL qd500_version_text(qd500_reader* r, char* text, size_t cap, size_t* len) {
    if (len) *len = 0;
    if (!r || !text) return Refuse(r);
    return Call(r, [&] {
        int result;
        if (!Room(r, cap, kVersionMax, len, &result)) return result;
        Outcome out = r->reader.Transact(VersionBody());
        if (!Succeeded(r, out, &result)) return result;
        int n = DataBytes(out.reply, reinterpret_cast<unsigned char*>(text), static_cast<int>(kVersionMax));
        if (n < 0) return Fail(r, QD500_E_PROTOCOL);
        if (len) *len = static_cast<size_t>(n);
        return 0;
    });
}

QD500_C_API int QD500_CDECL qd500_send_frame(qd500_reader* r, const char* body, char status[3], char* data_hex,
                                             size_t cap) {
    if (status) status[0] = '\0';
    if (data_hex && cap > 0) data_hex[0] = '\0';
    size_t n = body ? strnlen(body, kMaxBodyChars + 1) : 0;
    bool hex = n >= 2 && n <= static_cast<size_t>(kMaxBodyChars) && n % 2 == 0;
    for (size_t i = 0; hex && i < n; ++i) hex = HexDigit(body[i]) >= 0;
    if (!r || !status || !data_hex || cap == 0 || !hex) return Refuse(r);
    return Call(r, [&] {
        Outcome out = r->reader.Transact(FrameBody(body));
        int result = Finish(r, out);
        if (!out.answered()) return result;
        std::memcpy(status, out.reply.status, 3);
        size_t chars = std::min(static_cast<size_t>(std::max(0, out.reply.DataChars())), cap - 1);
        std::memcpy(data_hex, out.reply.tail, chars);
        data_hex[chars] = '\0';
        return result;
    });
}

// ---- CPU cards ----

QD500_C_API int QD500_CDECL qd500_transmit(qd500_reader* r, const unsigned char* apdu, size_t len, unsigned char* resp,
                                           size_t cap, size_t* resp_len) {
    return TransmitApdu(r, apdu, len, resp, cap, resp_len, false);
}

QD500_C_API int QD500_CDECL qd500_transmit_get_response(qd500_reader* r, const unsigned char* apdu, size_t len,
                                                        unsigned char* resp, size_t cap, size_t* resp_len) {
    return TransmitApdu(r, apdu, len, resp, cap, resp_len, true);
}

QD500_C_API int QD500_CDECL qd500_get_response(qd500_reader* r, unsigned le, unsigned char* resp, size_t cap,
                                               size_t* resp_len) {
    if (resp_len) *resp_len = 0;
    if (!r || !resp || le > 256) return Refuse(r);
    return Call(r, [&] {
        int result;
        if (!Room(r, cap, LeBytes(le) + 2, resp_len, &result)) return result;
        return DeliverAnswer(r, GetResponse(r->reader, static_cast<int>(le)), LeBytes(le), resp, cap, resp_len);
    });
}

QD500_C_API int QD500_CDECL qd500_check_pin(qd500_reader* r, unsigned ref, const unsigned char* pin, size_t len) {
    std::string hex;
    if (!r || ref > 255 || !CodeText(pin, len, hex) || len > 255) return Refuse(r);
    char count[3], reference[3];
    HexByte(count, static_cast<int>(len));
    HexByte(reference, static_cast<int>(ref));
    return RunSimple(r, CheckPinBody(hex.c_str(), count, reference));
}

QD500_C_API int QD500_CDECL qd500_personalise(qd500_reader* r, int step, const unsigned char* data, size_t len,
                                              unsigned char* resp, size_t cap, size_t* resp_len) {
    if (resp_len) *resp_len = 0;
    const bool takesInput = step >= QD500_CREATE_DF;
    if (!r || !resp || step < QD500_DELETE_MF || step > QD500_APPEND_RECORD || (takesInput && (!data || len == 0)) ||
        len > kMaxApduDataChars / 2)
        return Refuse(r);
    std::string input = takesInput ? Hex(data, len) : std::string();
    return Call(r, [&] {
        int result;
        if (!Room(r, cap, QD500_RESPONSE_MAX, resp_len, &result)) return result;
        CardAnswer answer = Personalise(r->reader, static_cast<Personalisation>(step), input.c_str());
        return DeliverAnswer(r, answer, QD500_RESPONSE_MAX - 2, resp, cap, resp_len);
    });
}

// ---- memory cards ----

QD500_C_API int QD500_CDECL qd500_read_memory(qd500_reader* r, unsigned addr, unsigned char* data, size_t len) {
    return Memory(r, addr, data, len, false, false, [&] { return ReadMemory(r->reader, addr, data, len); });
}

QD500_C_API int QD500_CDECL qd500_write_memory(qd500_reader* r, unsigned addr, const unsigned char* data, size_t len) {
    return Memory(r, addr, data, len, true, false, [&] { return WriteMemory(r->reader, addr, data, len); });
}

QD500_C_API int QD500_CDECL qd500_read_protection(qd500_reader* r, unsigned addr, unsigned char* flags, size_t len) {
    return Memory(r, addr, flags, len, false, true, [&] { return ReadProtection(r->reader, addr, flags, len); });
}

QD500_C_API int QD500_CDECL qd500_protect(qd500_reader* r, unsigned addr, const unsigned char* data, size_t len) {
    return Memory(r, addr, data, len, true, true, [&] { return Protect(r->reader, addr, data, len); });
}

QD500_C_API int QD500_CDECL qd500_present_code(qd500_reader* r, const unsigned char* code, size_t len) {
    return CodeCommand(r, code, len, PresentCodeBody);
}

QD500_C_API int QD500_CDECL qd500_change_code(qd500_reader* r, const unsigned char* code, size_t len) {
    return CodeCommand(r, code, len, ChangeCodeBody);
}

QD500_C_API int QD500_CDECL qd500_at88_verify(qd500_reader* r, unsigned addr, const unsigned char* code, size_t len) {
    std::string hex;
    if (!r || addr > 0xFFFF || !CodeText(code, len, hex)) return Refuse(r);
    AddressText at(addr);
    return RunSimple(r, At88VerifyBody(at.fields(), hex.c_str()));
}

QD500_C_API int QD500_CDECL qd500_at88_erase(qd500_reader* r, unsigned addr, unsigned len) {
    if (!r || addr > 0xFFFF || len > 255) return Refuse(r);
    AddressText at(addr);
    return RunSimple(r, At88EraseBody(at.fields(), static_cast<int>(len)));
}

QD500_C_API int QD500_CDECL qd500_at88_personalise(qd500_reader* r, unsigned addr) {
    if (!r || addr > 0xFFFF) return Refuse(r);
    AddressText at(addr);
    return RunSimple(r, At88PersonaliseBody(at.fields()));
}

QD500_C_API int QD500_CDECL qd500_at24_read(qd500_reader* r, unsigned device, unsigned addr, unsigned char* data,
                                            size_t len) {
    return At24(r, device, addr, data, len, [&] { return ReadMemory(r->reader, addr, data, len); });
}

QD500_C_API int QD500_CDECL qd500_at24_write(qd500_reader* r, unsigned device, unsigned addr, const unsigned char* data,
                                             size_t len) {
    return At24(r, device, addr, data, len, [&] { return WriteMemory(r->reader, addr, data, len); });
}

// ---- magnetic stripe ----

QD500_C_API int QD500_CDECL qd500_read_tracks(qd500_reader* r, unsigned tracks, char* track2, size_t cap2, char* track3,
                                              size_t cap3, unsigned* unreadable) {
    if (unreadable) *unreadable = 0;
    const bool two = tracks & QD500_TRACK2, three = tracks & QD500_TRACK3;
    if (!r || (tracks & ~3u) || !(two || three) || (two && !track2) || (three && !track3)) return Refuse(r);
    return Call(r, [&] {
        int result = 0;
        size_t need = QD500_TRACK_MAX + 1;
        if ((two && !Room(r, cap2, need, nullptr, &result)) || (three && !Room(r, cap3, need, nullptr, &result)))
            return result;
        if (two) track2[0] = '\0';
        if (three) track3[0] = '\0';
        TrackAnswer answer = ReadTracks(r->reader, two && three ? TrackSet::Both
                                                   : two        ? TrackSet::Two
                                                                : TrackSet::Three);
        if (answer.stage != Stage::Answered) {
            Outcome out;
            out.stage = answer.stage;
            return Finish(r, out);
        }
        if (!answer.header) return Fail(r, QD500_E_PROTOCOL);
        if (unreadable)
            *unreadable = (answer.unreadable2 ? QD500_TRACK2 : 0u) | (answer.unreadable3 ? QD500_TRACK3 : 0u);
        if (two && !answer.unreadable2) std::memcpy(track2, answer.track2, std::strlen(answer.track2) + 1);
        if (three && !answer.unreadable3) std::memcpy(track3, answer.track3, std::strlen(answer.track3) + 1);
        return Succeed(r);
    });
}

QD500_C_API int QD500_CDECL qd500_write_tracks(qd500_reader* r, const char* track2, const char* track3, int prefix) {
    // A track-3 write carries an empty track-2 field before its separator.
    const char* two = track2 ? track2 : (track3 ? "" : nullptr);
    if (!r || !two || (prefix != 0 && prefix != 1) || !WriteFrameFits(two, track3)) return Refuse(r);
    return Call(r, [&] {
        WriteAnswer answer = WriteTracks(r->reader, two, track3, prefix);
        if (answer.stage != Stage::Answered) {
            Outcome out;
            out.stage = answer.stage;
            return Finish(r, out);
        }
        return answer.written ? Succeed(r) : Fail(r, QD500_E_PROTOCOL, text::Utf8Of(text::kWriteFailed));
    });
}

QD500_C_API int QD500_CDECL qd500_mag_setting(qd500_reader* r, char letter) {
    char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (!r || upper == '\0' || !std::strchr(kHeadSettingLetters, upper)) return Refuse(r);
    return Call(r, [&] {
        HeadSetting setting = SetHead(r->reader, upper);
        if (setting.stage != Stage::Answered) {
            Outcome out;
            out.stage = setting.stage;
            return Finish(r, out);
        }
        if (setting.answer == SettingAnswer::Accepted) return Fail(r, 0, text::Utf8Of(text::kSettingOk));
        return Fail(r, QD500_E_PROTOCOL, text::Utf8Of(text::kSettingError));
    });
}

QD500_C_API const char* QD500_CDECL qd500_mag_setting_letters(void) { return kHeadSettingLetters; }

}  // extern "C"
