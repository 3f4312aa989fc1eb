#include "cards/CpuCard.h"

#include <cstring>

#include "reader/FrameBodies.h"

namespace qd500 {

namespace {

constexpr int kFieldChars = 2;

void CopyField(char* dst, const char* src) {
    size_t n = src ? strnlen(src, kFieldChars) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Splits the data field that arrived into response data and status word. A
// field too short for a status word gives no response data and no word.
CardAnswer TakeAnswer(Outcome out) {
    CardAnswer answer;
    answer.out = std::move(out);
    if (!answer.out.answered()) return answer;
    const Reply& reply = answer.out.reply;
    int chars = reply.DataChars();
    if (chars < kSwChars) return answer;
    int respChars = chars - kSwChars;
    if (respChars > kMaxRespChars) respChars = kMaxRespChars;
    std::memcpy(answer.resp, reply.tail, static_cast<size_t>(respChars));
    answer.resp[respChars] = '\0';
    answer.respChars = respChars;
    std::memcpy(answer.sw, reply.tail + respChars, kSwChars);
    answer.sw[kSwChars] = '\0';
    answer.swTaken = true;
    return answer;
}

// The card's transport key, presented by the erase and the MF creation.
constexpr char kTransportKey[] = "5AC3E1079B2D46F8";
// The MF's data: the transport key, 0F 02, and the payment-system
// environment's name "1PAY.SYS.DDF01" in hex.
constexpr char kCreateMfData[] =
    "5AC3E1079B2D46F8"
    "0F"
    "02"
    "315041592E5359532E4444463031";

enum class On6A81 { Return, GetResponse };

struct StepTemplate {
    const char *cla, *ins, *p1, *p2;
    const char* p3;    // null: the byte count of the input
    const char* data;  // null: the input
    On6A81 on6A81;
};

const StepTemplate& TemplateOf(Personalisation step) {
    using P = Personalisation;
    static const StepTemplate kDeleteMf{"80", "0E", "00", "00", "08", kTransportKey, On6A81::Return};
    static const StepTemplate kCreateMf{"80", "E0", "00", "00", "18", kCreateMfData, On6A81::Return};
    static const StepTemplate kEndMf{"80", "E0", "00", "01", "02", "3F00", On6A81::GetResponse};
    static const StepTemplate kCreateDf{"80", "E0", "01", "00", nullptr, nullptr, On6A81::GetResponse};
    static const StepTemplate kEndDf{"80", "E0", "01", "01", "02", nullptr, On6A81::GetResponse};
    // The file description is seven bytes.
    static const StepTemplate kCreateFile{"80", "E0", "02", "00", "07", nullptr, On6A81::Return};
    static const StepTemplate kSelectFile{"00", "A4", "00", "00", "02", nullptr, On6A81::GetResponse};
    static const StepTemplate kWriteKey{"80", "D4", "00", "00", nullptr, nullptr, On6A81::GetResponse};
    static const StepTemplate kWriteBinary{"00", "D6", "00", "00", nullptr, nullptr, On6A81::GetResponse};
    static const StepTemplate kAppendRecord{"00", "E2", "00", "00", nullptr, nullptr, On6A81::GetResponse};
    switch (step) {
        case P::DeleteMf:
            return kDeleteMf;
        case P::CreateMf:
            return kCreateMf;
        case P::EndMf:
            return kEndMf;
        case P::CreateDf:
            return kCreateDf;
        case P::EndDf:
            return kEndDf;
        case P::CreateFile:
            return kCreateFile;
        case P::SelectFile:
            return kSelectFile;
        case P::WriteKey:
            return kWriteKey;
        case P::WriteBinary:
            return kWriteBinary;
        case P::AppendRecord:
            break;
    }
    return kAppendRecord;
}

}  // namespace

ApduText ApduText::Of(const char* cla, const char* ins, const char* p1, const char* p2, const char* p3,
                      const char* data) {
    ApduText apdu;
    const char* fields[5] = {cla, ins, p1, p2, p3};
    for (int i = 0; i < 5; ++i) CopyField(apdu.field[i], fields[i]);
    apdu.data = data;
    return apdu;
}

bool CardAnswer::SwIs(const char* word) const { return swTaken && std::memcmp(sw, word, kSwChars) == 0; }

bool CardAnswer::WantsGetResponse() const { return swTaken && sw[0] == '6' && (sw[1] == '1' || sw[1] == 'C'); }

FrameBody ApduBody(const ApduText& apdu) {
    FrameBody body("5A", kMaxApduBodyChars);
    if (!apdu.data || strnlen(apdu.data, kMaxApduDataChars + 1) > static_cast<size_t>(kMaxApduDataChars)) {
        body.Text(nullptr);  // refused
        return body;
    }
    for (const auto& field : apdu.field) body.Text(field);
    body.Text(apdu.data);
    return body;
}

CardAnswer Transmit(CardReader& reader, const ApduText& apdu) { return TakeAnswer(reader.Transact(ApduBody(apdu))); }

CardAnswer GetResponse(CardReader& reader, int le) {
    FrameBody body("5A00C00000", kMaxApduBodyChars);
    body.Hex2(le == 256 ? 0 : le);
    return TakeAnswer(reader.Transact(body));
}

CardAnswer CardCommand(CardReader& reader, const ApduText& apdu) {
    CardAnswer answer = Transmit(reader, apdu);
    // Either way fetch once.
    if (answer.WantsGetResponse()) return GetResponse(reader, ScanHexPair(answer.sw + 2));
    return answer;
}

CardAnswer Personalise(CardReader& reader, Personalisation step, const char* input) {
    const StepTemplate& t = TemplateOf(step);
    char lc[3];
    const char* p3 = t.p3;
    if (!p3) {
        HexByte(lc, input ? static_cast<int>(strnlen(input, kMaxApduDataChars + 1) / 2) : 0);
        p3 = lc;
    }
    CardAnswer answer = CardCommand(reader, ApduText::Of(t.cla, t.ins, t.p1, t.p2, p3, t.data ? t.data : input));
    if (step == Personalisation::DeleteMf || answer.Result() == -1) return answer;
    // 61xx fetches xx bytes (again, if the exchange already fetched once).
    if (answer.swTaken && answer.sw[0] == '6' && answer.sw[1] == '1')
        return GetResponse(reader, ScanHexPair(answer.sw + 2));
    if (t.on6A81 == On6A81::GetResponse && answer.SwIs("6A81")) return GetResponse(reader, 0);
    return answer;
}

FrameBody CheckPinBody(const char* pinHex, const char* pinLen, const char* pinRef) {
    // Reference and length go first, the PIN last.
    FrameBody body("5600");
    body.Text(pinRef).Text(pinLen).Text(pinHex);
    return body;
}

size_t LeBytes(unsigned le) { return le == 0 ? 256 : le; }

bool ParseApdu(const unsigned char* apdu, size_t len, Apdu& out) {
    if (!apdu || len < 4) return false;
    unsigned char p3 = 0;
    if (len == 5) {
        p3 = apdu[4];
        out.maxResponse = LeBytes(p3) + 2;
    } else if (len > 5) {
        p3 = apdu[4];
        if (p3 == 0) return false;  // an extended length
        if (len == 6u + p3)
            out.maxResponse = LeBytes(apdu[len - 1]) + 2;
        else if (len != 5u + p3)
            return false;
        char hex[2 * 255 + 1];
        SplitHex(apdu + 5, p3, hex, sizeof hex);
        out.data = hex;
    }
    const unsigned char header[5] = {apdu[0], apdu[1], apdu[2], apdu[3], p3};
    for (int i = 0; i < 5; ++i) HexByte(out.text.field[i], header[i]);
    out.text.data = out.data.c_str();
    return true;
}

bool TakeResponse(const CardAnswer& answer, size_t most, std::vector<unsigned char>& bytes, unsigned char sw[2]) {
    unsigned char decoded[kMaxRespChars / 2];
    if (!answer.swTaken || DecodeHex(answer.sw, kSwChars, sw, 2) != 2) return false;
    int n = DecodeHex(answer.resp, answer.respChars, decoded, static_cast<int>(sizeof decoded));
    if (n < 0 || static_cast<size_t>(n) > most) return false;
    bytes.insert(bytes.end(), decoded, decoded + n);
    return true;
}

bool ExchangeApdu(CardReader& reader, Apdu apdu, bool follow, const std::function<bool(const Outcome&)>& accept,
                  ApduResponse& response) {
    apdu.text.data = apdu.data.c_str();
    size_t most = apdu.maxResponse - 2;
    CardAnswer answer = Transmit(reader, apdu.text);
    for (int i = 0;; ++i) {
        if (!accept(answer.out)) return false;
        if (!TakeResponse(answer, most, response.data, response.sw)) {
            response.malformed = true;
            return false;
        }
        const unsigned char* sw = response.sw;
        if (!follow || i == kMaxChain) return true;
        if (sw[0] == 0x61 || sw[0] == 0x6C) most = LeBytes(sw[1]);
        if (sw[0] == 0x61) {
            answer = GetResponse(reader, static_cast<int>(most));
        } else if (sw[0] == 0x6C) {
            response.data.clear();
            HexByte(apdu.text.field[4], sw[1]);
            answer = Transmit(reader, apdu.text);
        } else {
            return true;
        }
    }
}

}  // namespace qd500
