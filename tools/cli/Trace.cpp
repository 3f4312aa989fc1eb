// `trace decode`: the trace log made readable. Sent frames are split into
// command code, fields and checksum; replies into status (with its
// meaning), data and checksum. The log keeps no length field for replies and
// strips the 5A of smart-card frames, so both are recovered by the checksum.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>

#include "Cli.h"
#include "qd500.h"

namespace qd500::cli {
namespace {

struct CommandLayout {
    const char* code;
    const char* name;
    const char* fields;  // space-separated byte fields; a trailing '*' field takes the rest
};

const CommandLayout kLayouts[] = {
    {"25", "select device number", "device"},
    {"41", "firmware version", ""},
    {"44", "card power off", ""},
    {"45", "AT88SC erase", "addrH addrL count"},
    {"46", "AT88SC personalise", "addrH addrL"},
    {"47", "device status", ""},
    {"4F", "eject card", ""},
    {"50", "read SLE4442 protection bits", "00 addr count"},
    {"52", "read card memory", "addrH addrL count"},
    {"53", "change PIN", "00 00 count pin*"},
    {"54", "select card type", "type"},
    {"55", "card power on", ""},
    {"56", "present PIN / security code", "addrH addrL count code*"},
    {"57", "write card memory", "addrH addrL count data*"},
    {"72", "read SLE4428 data with protection bits", "addrH addrL count"},
    {"76", "SLE44xx write with comparison", "addrH addrL count data*"},
    {"77", "SLE4428 write with protection bits", "addrH addrL count data*"},
};

struct Instruction {
    const char* ins;
    const char* name;
};
const Instruction kInstructions[] = {
    {"A4", "SELECT"},    {"84", "GET CHALLENGE"}, {"C0", "GET RESPONSE"},  {"E0", "CREATE FILE"},
    {"D4", "WRITE KEY"}, {"D6", "UPDATE BINARY"}, {"E2", "APPEND RECORD"}, {"0E", "ERASE MF"},
    {"20", "VERIFY"},    {"B0", "READ BINARY"},   {"B2", "READ RECORD"},   {"DC", "UPDATE RECORD"},
};

struct StatusMeaning {
    const char* code;
    const char* meaning;
};
const StatusMeaning kStatus[] = {
    {"00", "success"},
    {"11", "command checksum wrong"},
    {"12", "command format wrong"},
    {"13", "command keyword wrong"},
    {"14", "command length wrong"},
    {"21", "no card"},
    {"22", "non-standard card"},
    {"23", "card not powered"},
    {"24", "card type not supported"},
    {"25", "card eject failed"},
    {"31", "wrong PIN or PIN not presented"},
    {"32", "AND error"},
    {"33", "PIN check locked (card read-only)"},
    {"41", "error accessing the card operating system"},
    {"77", "time-out error"},
};

bool IsHex(const std::string& s) {
    if (s.empty() || s.size() % 2) return false;
    for (unsigned char c : s)
        if (!std::isxdigit(c)) return false;
    return true;
}

int Byte(const std::string& hex, size_t at) {
    return static_cast<int>(std::strtol(hex.substr(at, 2).c_str(), nullptr, 16));
}

int XorOf(const std::string& hex) {
    int x = 0;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) x ^= Byte(hex, i);
    return x;
}

// Bytes of the magnetic head's protocol and anything else that is not hex.
std::string Escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == 0x1B)
            out += "<ESC>";
        else if (c == 0x1C)
            out += "<FS>";
        else if (c == 0x1D)
            out += "<GS>";
        else if (c == 0x7F)
            out += "<DEL>";
        else if (c < 0x20 || c > 0x7E) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string CardTypeName(const std::string& typeHex) {
    const char* name = IsHex(typeHex) && typeHex.size() == 2 ? qd500_card_type_name(Byte(typeHex, 0)) : nullptr;
    return name ? name : "unknown";
}

std::string Fields(const std::string& layout, const std::string& args) {
    std::istringstream names(layout);
    std::string out, name;
    size_t at = 0;
    while (names >> name) {
        if (at >= args.size()) break;
        bool rest = name.back() == '*';
        if (rest) name.pop_back();
        std::string value = rest ? args.substr(at) : args.substr(at, 2);
        at += value.size();
        out += " " + name + "=" + value;
    }
    if (at < args.size()) out += " extra=" + args.substr(at);
    return out;
}

std::string DecodeApdu(const std::string& apdu) {
    std::string ins = apdu.substr(2, 2), name = "APDU";
    for (const Instruction& i : kInstructions)
        if (ins == i.ins) name = i.name;
    std::string out = "5A " + name + ": CLA=" + apdu.substr(0, 2) + " INS=" + ins + " P1=" + apdu.substr(4, 2) +
                      " P2=" + apdu.substr(6, 2) + " P3=" + apdu.substr(8, 2);
    if (apdu.size() > 10) out += " data=" + apdu.substr(10);
    return out;
}

// One sent frame's trace text: body and checksum digits.
enum class Sent { Frame, Apdu, Raw };

std::string DecodeCommand(const std::string& text, Sent& kind) {
    kind = Sent::Frame;
    if (!IsHex(text) || text.size() < 4) {
        kind = Sent::Raw;
        return "raw " + (text.empty() ? std::string("(no bytes after the first two)") : Escaped(text)) +
               " (magnetic head or pass-through)";
    }
    std::string body = text.substr(0, text.size() - 2);
    int bcc = Byte(text, text.size() - 2);
    char sum[32];
    if ((XorOf(body) ^ 0x5A) == bcc && body.size() >= 10) {
        kind = Sent::Apdu;
        std::snprintf(sum, sizeof sum, "; bcc %02X ok", bcc);
        return DecodeApdu(body) + sum;
    }
    std::string code = body.substr(0, 2), out;
    const CommandLayout* layout = nullptr;
    for (const CommandLayout& l : kLayouts)
        if (code == l.code) layout = &l;
    out = code + " " + (layout ? layout->name : "unknown command");
    std::string args = body.substr(2);
    if (layout && code == "54" && args.size() >= 2)
        out += " type=" + args.substr(0, 2) + " (" + CardTypeName(args.substr(0, 2)) + ")";
    else if (layout)
        out += Fields(layout->fields, args);
    else if (!args.empty())
        out += " fields=" + args;
    if (XorOf(body) == bcc)
        std::snprintf(sum, sizeof sum, "; bcc %02X ok", bcc);
    else
        std::snprintf(sum, sizeof sum, "; bcc %02X WRONG (expected %02X)", bcc, XorOf(body));
    return out + sum;
}

// One reply's trace text: status, data, and the reader's checksum if it
// sent one (over LL, status and data).
std::string DecodeReply(const std::string& text, Sent after) {
    bool afterApdu = after == Sent::Apdu;
    if (after == Sent::Raw || text.size() < 2 || !std::isdigit(static_cast<unsigned char>(text[0])) ||
        !std::isdigit(static_cast<unsigned char>(text[1])))
        return "raw " + (text.empty() ? std::string("(empty)") : Escaped(text));
    std::string status = text.substr(0, 2), rest = text.substr(2);
    const char* meaning = "unknown status";
    for (const StatusMeaning& s : kStatus)
        if (status == s.code) meaning = s.meaning;
    const char* readerText = qd500_status_message(status.c_str());
    std::string out = "status " + status + " " + (readerText ? readerText : "串口通讯出错") + " (" + meaning + ")";
    std::string data = rest, check;
    if (IsHex(rest) && rest.size() >= 2) {
        std::string candidate = rest.substr(0, rest.size() - 2);
        int ll = static_cast<int>(candidate.size() / 2 + 2);
        int sum = ll ^ Byte(status, 0) ^ XorOf(candidate);
        if (sum == Byte(rest, rest.size() - 2)) {
            data = candidate;
            check = "; bcc " + rest.substr(rest.size() - 2) + " ok";
        }
    }
    if (!IsHex(data) && !data.empty()) return out + "; data " + Escaped(data) + check;
    if (afterApdu && data.size() >= 4) {
        std::string resp = data.substr(0, data.size() - 4);
        out += "; sw " + data.substr(data.size() - 4);
        if (!resp.empty()) out += " response " + resp;
    } else {
        out += data.empty() ? "; no data" : "; data " + data;
    }
    return out + check;
}

bool Starts(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

}  // namespace

std::string DecodeLineBytes(bool sent, const std::string& bytes, bool& lastApdu) {
    const char* direction = sent ? "send " : "recv ";
    if (bytes.size() < 2 || bytes[0] != 0x1B || bytes[1] != '=') {
        if (sent) lastApdu = false;
        return direction + std::string("raw ") + Escaped(bytes);
    }
    // The text between ESC '=' and ETX, as the log keeps it: a sent APDU
    // without its command code 5A, a reply without its length field.
    size_t etx = bytes.find('\x03', 2);
    std::string text = bytes.substr(2, etx == std::string::npos ? std::string::npos : etx - 2);
    if (!sent)
        return direction + DecodeReply(text.size() > 2 ? text.substr(2) : "", lastApdu ? Sent::Apdu : Sent::Frame);
    if (text.compare(0, 2, "5A") == 0) text = text.substr(2);
    Sent kind = Sent::Frame;
    std::string decoded = DecodeCommand(text, kind);
    lastApdu = kind == Sent::Apdu;
    return direction + decoded;
}

std::string DefaultTracePath() {
    if (!AskedTraceFile().empty()) return AskedTraceFile();
    char exe[4096] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
    size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/DOVoruv.Log";
}

int DecodeTrace(std::istream& in, std::ostream& out) {
    // The labels the library writes (in GBK), read back as UTF-8.
    const std::string sendPrefix = "命令=[";
    const std::string recvPrefix = "应答=[";
    Sent last = Sent::Frame;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string stamp, body = line;
        if (Starts(line, "--") && line.size() > 21 && line[20] == ' ') {
            stamp = line.substr(2, 18);
            body = line.substr(21);
            // A reader of the handle API tags its lines with its port.
            size_t close = body.find("] ");
            if (body[0] == '[' && close != std::string::npos) {
                stamp += " " + body.substr(0, close + 1);
                body = body.substr(close + 2);
            }
        }
        body = GbkToUtf8(body);
        std::string decoded;
        if (body == "命令=[卡片上电]") {
            decoded = "send 55 card power on";
            last = Sent::Frame;
        } else if (body == "命令=[卡片下电]") {
            decoded = "send 44 card power off";
            last = Sent::Frame;
        } else if (Starts(body, sendPrefix.c_str()) && body.back() == ']') {
            decoded =
                "send " + DecodeCommand(body.substr(sendPrefix.size(), body.size() - sendPrefix.size() - 1), last);
        } else if (Starts(body, recvPrefix.c_str()) && body.back() == ']') {
            decoded = "recv " + DecodeReply(body.substr(recvPrefix.size(), body.size() - recvPrefix.size() - 1), last);
        } else {
            decoded = body;
        }
        out << (stamp.empty() ? "" : stamp + "  ") << decoded << "\n";
    }
    return kOk;
}

}  // namespace qd500::cli
