// The command table and the handlers of the reader's commands. Every handler
// checks its arguments completely before it opens the port, so bad input
// never reaches the reader.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include "qd500.h"
#include "qd500dll.h"
#include "Cli.h"
#include "Profile.h"

namespace qd500::cli {
namespace {

constexpr int kMsg = 64;
constexpr int kReadChunk = 128;   // a reply's data field carries at most 128 bytes
constexpr int kWriteChunk = 121;  // a 255-character frame carries at most 121 bytes

struct Hex2 {
    char text[3];
    explicit Hex2(long value) { std::snprintf(text, sizeof text, "%02lX", value & 0xFF); }
};

// The APDU record gCPUCommand reads: five 3-byte fields and the data text.
struct ApduRecord {
    char bytes[15 + 512 + 1] = {};
    ApduRecord(const std::vector<uint8_t>& header, const std::string& dataHex) {
        for (int i = 0; i < 5; ++i) std::snprintf(bytes + 3 * i, 3, "%02X", header[static_cast<size_t>(i)]);
        std::memcpy(bytes + 15, dataHex.data(), dataHex.size());
    }
};

// Outputs of the CPU-card calls, with their stated capacities.
struct CardReply {
    char sw[8] = {};
    char resp[520] = {};
    char msg[kMsg] = {};
    void Report(Outcome& o, short rc, const std::string* expectSw) {
        o.Library(rc, msg);
        o.Field("sw", sw);
        if (resp[0]) o.Field("response", resp);
        if (rc == 0 && expectSw && NormaliseHex(*expectSw, "--expect") != sw)
            o.Fail("status word " + std::string(sw) + ", expected " + *expectSw);
    }
};

std::string JoinArgs(const Args& a) {
    std::string all;
    for (const auto& w : a.positional) all += w;
    return all;
}

std::vector<uint8_t> ExactHex(const std::string& text, size_t bytes, const std::string& what) {
    auto v = ParseHex(text, what);
    if (v.size() != bytes) throw UsageError(what + " must be " + std::to_string(bytes) + " bytes (" +
                                            std::to_string(2 * bytes) + " hex digits): '" + text + "'");
    return v;
}

std::vector<uint8_t> DataHex(const std::string& text, const std::string& what, size_t max) {
    auto v = ParseHex(text, what);
    if (v.empty()) throw UsageError(what + " is empty");
    if (v.size() > max) throw UsageError(what + " holds " + std::to_string(v.size()) + " bytes, at most " + std::to_string(max));
    return v;
}

// Writes that carry their data as a zero-terminated string cannot write 00.
void NoZeroBytes(const std::vector<uint8_t>& data, const std::string& what) {
    auto it = std::find(data.begin(), data.end(), 0);
    if (it != data.end())
        throw UsageError(what + " holds a 00 byte at offset " + std::to_string(it - data.begin()) +
                         ": this card's write cannot carry zero bytes");
}

void CheckRange(long addr, long len, long top) {
    if (addr + len - 1 > top) throw UsageError("address range runs past the end of card memory");
}

using ReadChunk = std::function<short(const char* addrH, const char* addrL, int n, char* data, char* msg)>;

// Reads [addr, addr+len) in chunks the reader can carry, with a progress
// line on a terminal; stops at the first chunk that fails.
void ReadInChunks(Context& ctx, Outcome& o, long addr, long len, const ReadChunk& read) {
    std::vector<uint8_t> all;
    char msg[kMsg] = {};
    short rc = 0;
    bool many = len > kReadChunk;
    for (long done = 0; done < len;) {
        int n = static_cast<int>(std::min<long>(kReadChunk, len - done));
        char data[kReadChunk + 16] = {};
        rc = read(Hex2((addr + done) >> 8).text, Hex2(addr + done).text, n, data, msg);
        if (rc != 0) break;
        // The reader does not say how many bytes it sent; the request does.
        all.insert(all.end(), data, data + n);
        done += n;
        if (many) ctx.Progress(static_cast<size_t>(done), static_cast<size_t>(len));
    }
    ctx.ProgressDone();
    o.Library(rc, msg);
    if (rc == 0 || !all.empty()) o.Field("data", ToHex(all));
    if (rc != 0 && !all.empty()) o.Field("read", std::to_string(all.size()) + " of " + std::to_string(len) + " bytes");
}

using WriteChunk = std::function<short(const char* addrH, const char* addrL, const std::vector<uint8_t>& part, char* msg)>;

void WriteInChunks(Outcome& o, long addr, const std::vector<uint8_t>& data, const WriteChunk& write) {
    char msg[kMsg] = {};
    short rc = 0;
    size_t done = 0;
    while (done < data.size()) {
        size_t n = std::min<size_t>(kWriteChunk, data.size() - done);
        std::vector<uint8_t> part(data.begin() + static_cast<long>(done), data.begin() + static_cast<long>(done + n));
        long a = addr + static_cast<long>(done);
        rc = write(Hex2(a >> 8).text, Hex2(a).text, part, msg);
        if (rc != 0) break;
        done += n;
    }
    o.Library(rc, msg);
    o.Field("written", std::to_string(done) + " bytes");
}

// ---- session and reader control ----

void CmdPort(Context& ctx, const Args& a, Outcome& o) {
    ctx.SetPort(a.positional[0]);
    o.Field("port", ctx.portName());
}

void CmdTimeout(Context& ctx, const Args& a, Outcome& o) {
    ctx.SetTimeout(static_cast<int>(ParseNumber(a.positional[0], 0, 255, "time-out")));
    o.Field("timeout", std::to_string(ctx.timeoutSeconds) + " s");
}

void CmdCardType(Context& ctx, const Args& a, Outcome& o) {
    const std::string& name = a.positional[0];
    // The drop-in call takes the names exactly as the table writes them.
    const char* known = qd500_card_type_name(qd500_card_type_code(name.c_str()));
    if (!known || name != known) throw UsageError("unknown card type '" + name + "' (see: qd500 card-type --help)");
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gSetCardType(name.c_str(), msg), msg);
}

void CmdPowerOn(Context& ctx, const Args&, Outcome& o) {
    if (!ctx.Session(o)) return;
    char atr[520] = {}, msg[kMsg] = {};
    o.Library(gCardPowerOn(atr, msg), msg);
    o.Field("atr", atr);
}

void CmdPowerOff(Context& ctx, const Args&, Outcome& o) {
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gCardPowerDown(msg), msg);
}

void CmdStatus(Context& ctx, const Args&, Outcome& o) {
    if (!ctx.Session(o)) return;
    char s1[8] = {}, s2[8] = {}, s3[8] = {}, msg[kMsg] = {};
    o.Library(gGetDeviceStatus(s1, s2, s3, msg), msg);
    o.Field("state1", s1);
    o.Field("state2", s2);
    o.Field("state3", s3);
}

void CmdVersion(Context& ctx, const Args&, Outcome& o) {
    if (!ctx.Session(o)) return;
    char version[300] = {}, msg[kMsg] = {};
    o.Library(gGetDeviceVersion(version, msg), msg);
    o.Field("version", GbkToUtf8(version));
    o.Field("version-hex", ToHex(reinterpret_cast<const uint8_t*>(version), std::strlen(version)));
}

void CmdEject(Context& ctx, const Args&, Outcome& o) {
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gOutCard(msg), msg);
}

void CmdDeviceNo(Context& ctx, const Args& a, Outcome& o) {
    long n = ParseNumber(a.positional[0], 0, 99, "device number");
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gSetDeviceNo(static_cast<short>(n), msg), msg);
}

// ---- CPU cards ----

void CmdApdu(Context& ctx, const Args& a, Outcome& o) {
    auto bytes = ParseHex(JoinArgs(a), "APDU");
    if (bytes.size() < 4) throw UsageError("an APDU needs at least CLA INS P1 P2");
    if (bytes.size() == 4) bytes.push_back(0);  // no data, no Le: P3 00
    std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 5);
    std::vector<uint8_t> data(bytes.begin() + 5, bytes.end());
    if (!data.empty() && data.size() != header[4])
        throw UsageError("P3 announces " + std::to_string(header[4]) + " data bytes but " + std::to_string(data.size()) + " follow");
    if (!ctx.Session(o)) return;
    ApduRecord record(header, ToHex(data));
    CardReply r;
    r.Report(o, gCPUCommand(record.bytes, r.sw, r.resp, r.msg), a.Option("expect"));
}

void CmdGetResponse(Context& ctx, const Args& a, Outcome& o) {
    long le = ParseNumber(a.positional[0], 0, 256, "Le");
    if (!ctx.Session(o)) return;
    CardReply r;
    r.Report(o, gCPUGetResponse(static_cast<short>(le), r.sw, r.resp, r.msg), a.Option("expect"));
}

void CmdSelect(Context& ctx, const Args& a, Outcome& o) {
    std::string fid = ToHex(ExactHex(a.positional[0], 2, "file identifier"));
    if (!ctx.Session(o)) return;
    CardReply r;
    r.Report(o, gSelectFile(fid.c_str(), r.sw, r.resp, r.msg), a.Option("expect"));
}

void CmdChallenge(Context& ctx, const Args& a, Outcome& o) {
    if (!ctx.Session(o)) return;
    CardReply r;
    r.Report(o, gGetChallenge(r.sw, r.resp, r.msg), a.Option("expect"));
}

void CmdRead(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    long len = ParseNumber(a.positional[1], 1, 0x10000, "length");
    CheckRange(addr, len, 0xFFFF);
    if (!ctx.Session(o)) return;
    ReadInChunks(ctx, o, addr, len, [](const char* h, const char* l, int n, char* data, char* msg) {
        return gCard_ReadData(h, l, static_cast<short>(n), data, msg);
    });
}

void CmdWrite(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    auto data = DataHex(a.positional[1], "data", 0x10000);
    CheckRange(addr, static_cast<long>(data.size()), 0xFFFF);
    if (!ctx.Session(o)) return;
    WriteInChunks(o, addr, data, [](const char* h, const char* l, const std::vector<uint8_t>& part, char* msg) {
        return gCard_WriteData(h, l, reinterpret_cast<const char*>(part.data()), msg, static_cast<short>(part.size()));
    });
}

void CmdVerifyPin(Context& ctx, const Args& a, Outcome& o) {
    std::string pin = ToHex(DataHex(a.positional[0], "PIN", 32));
    std::string ref = a.Option("ref") ? ToHex(ExactHex(*a.Option("ref"), 1, "--ref")) : "00";
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gCheck_Pin(pin.c_str(), Hex2(static_cast<long>(pin.size() / 2)).text, ref.c_str(), msg), msg);
}

void CmdPersonalise(Context& ctx, const Args& a, Outcome& o) {
    std::ifstream file(a.positional[0]);
    if (!file) throw UsageError("cannot read profile " + a.positional[0]);
    std::vector<ProfileStep> steps = ParseProfile(file, a.positional[0]);  // throws before anything is sent
    if (!ctx.Session(o)) return;
    RunProfile(steps, o);
}

// ---- SLE44xx ----

void CmdSleVerify(Context& ctx, const Args& a, Outcome& o) {
    std::string psc = ToHex(DataHex(a.positional[0], "PSC", 8));
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gMemS44_VerifyPin(psc.data(), msg), msg);
}

void CmdSleChangePin(Context& ctx, const Args& a, Outcome& o) {
    std::string psc = ToHex(DataHex(a.positional[0], "PSC", 8));
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gMemS44_ChangePin(psc.data(), msg), msg);
}

// Both SLE44xx writes take their data as a zero-terminated byte string.
void SleWrite(Context& ctx, const Args& a, Outcome& o, short (*write)(char*, char*, char*, char*)) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    auto data = DataHex(a.positional[1], "data", 0x10000);
    NoZeroBytes(data, "data");
    CheckRange(addr, static_cast<long>(data.size()), 0xFFFF);
    if (!ctx.Session(o)) return;
    WriteInChunks(o, addr, data, [write](const char* h, const char* l, const std::vector<uint8_t>& part, char* msg) {
        std::string bytes(part.begin(), part.end());
        std::string hh = h, ll = l;
        return write(hh.data(), ll.data(), bytes.data(), msg);
    });
}

void CmdSleWrite(Context& ctx, const Args& a, Outcome& o) { SleWrite(ctx, a, o, gMemS44_CompDataWrite); }
void CmdSle4428WriteProtected(Context& ctx, const Args& a, Outcome& o) { SleWrite(ctx, a, o, gMemS4428_GuardbitWData); }

void CmdSle4442Protection(Context& ctx, const Args& a, Outcome& o) {
    long addr = a.positional.size() > 0 ? ParseAddress(a.positional[0], 0xFF, "address") : 0;
    long len = a.positional.size() > 1 ? ParseNumber(a.positional[1], 1, 128, "length") : 4;
    CheckRange(addr, len, 0xFF);
    if (!ctx.Session(o)) return;
    char data[kReadChunk + 16] = {}, msg[kMsg] = {};
    Hex2 at(addr);
    o.Library(gMemS4442_ReadGuardbit(at.text, static_cast<short>(len), data, msg), msg);
    o.Field("protection", ToHex(reinterpret_cast<uint8_t*>(data), static_cast<size_t>(len)));
}

// The reply carries the data bytes, then one protection bit per byte
// (ceil(n/8) bytes, 1 = writable); chunks keep both within 128 bytes.
void CmdSle4428ReadProtected(Context& ctx, const Args& a, Outcome& o) {
    constexpr long kChunk = 112;
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    long len = ParseNumber(a.positional[1], 1, 0x10000, "length");
    CheckRange(addr, len, 0xFFFF);
    if (!ctx.Session(o)) return;
    std::vector<uint8_t> data, bits;
    char msg[kMsg] = {};
    short rc = 0;
    for (long done = 0; done < len && rc == 0;) {
        long n = std::min(kChunk, len - done);
        char buf[kReadChunk + 16] = {};
        Hex2 h((addr + done) >> 8), l(addr + done);
        rc = gMemS4428_GuardbitRData(h.text, l.text, static_cast<short>(n), buf, msg);
        if (rc != 0) break;
        data.insert(data.end(), buf, buf + n);
        bits.insert(bits.end(), buf + n, buf + n + (n + 7) / 8);
        done += n;
        if (len > kChunk) ctx.Progress(static_cast<size_t>(done), static_cast<size_t>(len));
    }
    ctx.ProgressDone();
    o.Library(rc, msg);
    o.Field("data", ToHex(data));
    o.Field("protection", ToHex(bits));
}

// ---- AT88SC ----

void CmdAt88Verify(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    std::string code = ToHex(DataHex(a.positional[1], "security code", 32));
    if (!ctx.Session(o)) return;
    Hex2 h(addr >> 8), l(addr);
    char msg[kMsg] = {};
    o.Library(gMemAT88SC_VerifyPin(h.text, l.text, code.data(), msg), msg);
}

void CmdAt88Erase(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    long len = ParseNumber(a.positional[1], 0, 255, "length");
    if (!ctx.Session(o)) return;
    Hex2 h(addr >> 8), l(addr);
    char msg[kMsg] = {};
    o.Library(gMemAT88SC_EraseData(h.text, l.text, static_cast<short>(len), msg), msg);
}

void CmdAt88Personalise(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    if (!ctx.Session(o)) return;
    Hex2 h(addr >> 8), l(addr);
    char msg[kMsg] = {};
    o.Library(gMemAT88SC_PersonalTake(h.text, l.text, msg), msg);
}

// ---- AT24 one-shot ----

short DeviceNumber(const Args& a) {
    return a.Option("device") ? static_cast<short>(ParseNumber(*a.Option("device"), 0, 255, "device number")) : 0;
}

void CmdAt24Read(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    long len = ParseNumber(a.positional[1], 1, 0x10000, "length");
    CheckRange(addr, len, 0xFFFF);
    short device = DeviceNumber(a);
    if (!ctx.PortForOneShot(o)) return;
    short port = static_cast<short>(ctx.port());
    char timeout = static_cast<char>(ctx.timeoutSeconds);
    ReadInChunks(ctx, o, addr, len, [=](const char* h, const char* l, int n, char* data, char* msg) {
        std::string hh = h, ll = l;
        return gAppMemAT24_ReadData(port, device, hh.data(), ll.data(), static_cast<short>(n), data, timeout, msg);
    });
}

void CmdAt24Write(Context& ctx, const Args& a, Outcome& o) {
    long addr = ParseAddress(a.positional[0], 0xFFFF, "address");
    auto data = DataHex(a.positional[1], "data", 0x10000);
    NoZeroBytes(data, "data");
    CheckRange(addr, static_cast<long>(data.size()), 0xFFFF);
    short device = DeviceNumber(a);
    if (!ctx.PortForOneShot(o)) return;
    short port = static_cast<short>(ctx.port());
    char timeout = static_cast<char>(ctx.timeoutSeconds);
    WriteInChunks(o, addr, data, [=](const char* h, const char* l, const std::vector<uint8_t>& part, char* msg) {
        std::string hh = h, ll = l, bytes(part.begin(), part.end());
        return gAppMemAT24_WriteData(port, device, hh.data(), ll.data(), bytes.data(), timeout, msg);
    });
}

// ---- magnetic stripe ----

void CmdMagRead(Context& ctx, const Args& a, Outcome& o) {
    std::string tracks = a.positional.empty() ? "23" : a.positional[0];
    if (tracks != "2" && tracks != "3" && tracks != "23") throw UsageError("tracks must be 2, 3 or 23");
    if (!ctx.PortForOneShot(o)) return;
    short port = static_cast<short>(ctx.port());
    char t2[1100] = {}, t3[1100] = {}, msg[kMsg] = {};
    short rc = tracks == "2"   ? gMagCard_ReadData2(port, t2, msg)
               : tracks == "3" ? gMagCard_ReadData3(port, t3, msg)
                               : gMagCard_ReadData23(port, t2, t3, msg);
    o.Library(rc, msg);
    if (tracks != "3") o.Field("track2", t2);
    if (tracks != "2") o.Field("track3", t3);
}

void CheckTrack(const std::string& text, const std::string& what) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) throw UsageError(what + " holds a character that is not printable ASCII");
}

void CmdMagWrite(Context& ctx, const Args& a, Outcome& o) {
    const std::string& tracks = a.positional[0];
    short mode = a.Flag("prefix") ? 1 : 0;
    size_t texts = tracks == "23" ? 2 : 1;
    if (tracks != "2" && tracks != "3" && tracks != "23") throw UsageError("tracks must be 2, 3 or 23");
    if (a.positional.size() != texts + 1)
        throw UsageError("mag-write " + tracks + " needs " + std::to_string(texts) + " track text" + (texts > 1 ? "s" : ""));
    const std::string& first = a.positional[1];
    const std::string second = texts == 2 ? a.positional[2] : "";
    CheckTrack(first, "track text");
    CheckTrack(second, "track-3 text");
    // The write frame (ESC 't' ... GS ESC '\' and a NUL) fits 256 bytes.
    size_t room = tracks == "2" ? 250 : 249;
    if (first.size() + second.size() > room)
        throw UsageError("track text too long: at most " + std::to_string(room) + " characters");
    if (!ctx.PortForOneShot(o)) return;
    short port = static_cast<short>(ctx.port());
    char msg[kMsg] = {};
    short rc = tracks == "2"   ? gMagCard_WriteData2(port, first.c_str(), msg, mode)
               : tracks == "3" ? gMagCard_WriteData3(port, first.c_str(), msg, mode)
                               : gMagCard_WriteData23(port, first.c_str(), second.c_str(), msg, mode);
    o.Library(rc, msg);
}

void CmdMagSetting(Context& ctx, const Args& a, Outcome& o) {
    const std::string& letter = a.positional[0];
    if (letter.size() != 1 || std::string("ABCDKRZ").find(letter[0]) == std::string::npos)
        throw UsageError("setting must be one of A B C D K R Z");
    if (!ctx.Session(o)) return;
    char msg[kMsg] = {};
    o.Library(gSet_Li_MSRA(letter[0], msg), msg);
}

// ---- cryptography (no reader) ----

void CmdTriDes(Context&, const Args& a, Outcome& o) {
    std::string data = ToHex(ExactHex(a.positional[0], 8, "data"));
    std::string key = ToHex(ExactHex(a.positional[1], 16, "key"));
    char out[40] = {};
    gAscTriDes(data.c_str(), key.c_str(), out);
    o.Field("encrypted", out);
}

void CmdDiversify(Context&, const Args& a, Outcome& o) {
    std::string data = ToHex(ExactHex(a.positional[0], 8, "diversification data"));
    std::string key = ToHex(ExactHex(a.positional[1], 16, "master key"));
    char out[40] = {};
    gAscDiversity(data.c_str(), key.c_str(), out);
    o.Field("key", out);
}

void CmdXor(Context&, const Args& a, Outcome& o) {
    std::string x = ToHex(ExactHex(a.positional[0], 8, "first value"));
    std::string y = ToHex(ExactHex(a.positional[1], 8, "second value"));
    o.Field("xor", gAscXor(x.c_str(), y.c_str()));
}

// ---- raw frame ----

constexpr char kEsc = 0x1B;
constexpr char kEtx = 0x03;
constexpr size_t kMaxBodyChars = 250;  // a frame of ESC '=' body BCC ETX holds 255 characters

int XorOfHex(const std::string& hex) {
    int x = 0;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) x ^= static_cast<int>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return x;
}

void CmdFrame(Context& ctx, const Args& a, Outcome& o) {
    std::string body = NormaliseHex(JoinArgs(a), "frame body");
    if (body.empty() || body.size() > kMaxBodyChars) throw UsageError("frame body must be 1 to 125 bytes");
    if (!ctx.Session(o)) return;
    char frame[kMaxBodyChars + 8];
    int n = std::snprintf(frame, sizeof frame, "%c=%s%02X%c", kEsc, body.c_str(), XorOfHex(body), kEtx);
    if (AsynSendData(frame, static_cast<short>(n)) == 0) {
        o.Fail("frame not sent");
        return;
    }
    char reply[1100] = {};
    short len = 0;
    short rc = sReadByEndChar(kEtx, static_cast<char>(ctx.timeoutSeconds), reply, &len);
    // ESC '=' LL status data BCC ETX
    std::string got(reply, static_cast<size_t>(std::max<int>(0, std::min<int>(len, 1024))));
    size_t head = got.find("\x1B=");
    if (head == std::string::npos) {
        o.Fail(rc < 0 ? "no reply within the time-out" : "reply without header");
        return;
    }
    std::string rest = got.substr(head + 2);
    if (!rest.empty() && rest.back() == kEtx) rest.pop_back();
    if (rest.size() < 4) {
        o.Fail("reply too short");
        return;
    }
    int ll = static_cast<int>(std::strtol(rest.substr(0, 2).c_str(), nullptr, 16));
    std::string status = rest.substr(2, 2);
    std::string data = rest.substr(4, static_cast<size_t>(std::max(0, std::min<int>(2 * ll - 4, static_cast<int>(rest.size()) - 4))));
    const char* text = qd500_status_message(status.c_str());
    bool digits = std::isdigit(static_cast<unsigned char>(status[0])) && std::isdigit(static_cast<unsigned char>(status[1]));
    int result = digits ? std::stoi(status) : -1;
    o.Reader(status == "00" ? 0 : result == 0 ? -1 : result, text ? text : "串口通讯出错");
    o.Field("status", status);
    o.Field("data", data);
}

// ---- the tool itself ----

void CmdHelp(Context& ctx, const Args& a, Outcome&) {
    std::string name = a.positional.empty() ? "" : a.positional[0];
    if (!name.empty() && !FindCommand(name)) throw UsageError("unknown command '" + name + "'");
    PrintHelp(ctx.out, name);
}

void CmdRun(Context& ctx, const Args& a, Outcome& o) {
    std::ifstream file(a.positional[0]);
    if (!file) throw UsageError("cannot read script " + a.positional[0]);
    int rc = ctx.RunLines(file, a.positional[0], a.Flag("keep-going"));
    ctx.CloseSession();
    o.exit = rc;
    if (rc != kOk) o.error = "script stopped";
    o.command = "run";
}

void CmdShell(Context& ctx, const Args&, Outcome& o) { o.exit = Shell(ctx); }

void CmdDemo(Context& ctx, const Args&, Outcome& o) {
    o.exit = RunDemo(ctx);
    if (o.exit != kOk) o.error = "the tour did not go as expected";
}

void CmdTrace(Context& ctx, const Args& a, Outcome& o) {
    if (a.positional[0] != "decode") throw UsageError("unknown trace action '" + a.positional[0] + "' (only: decode)");
    std::string path = a.positional.size() > 1 ? a.positional[1] : DefaultTracePath();
    if (path == "-") {
        o.exit = DecodeTrace(ctx.in, ctx.out);
        return;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) throw UsageError("cannot read trace log " + path);
    o.exit = DecodeTrace(file, ctx.out);
}

}  // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> table = {
        // name, usage, summary, details, min, max, options, flags, handler
        {"help", "[COMMAND]", "list the commands, or explain one", "", 0, 1, "", "", CmdHelp},
        {"port", "N|PATH", "use COM port N or a device path for what follows",
         "A path is handed to the library as COM<n> through QD500_COM<n>.", 1, 1, "", "", CmdPort},
        {"timeout", "SECONDS", "reply time-out for what follows (0..255)", "", 1, 1, "", "", CmdTimeout},

        {"card-type", "NAME", "tell the reader which card it holds",
         "NAME: CPU S4418 S4428 S4432 S4442 AT24C01 AT24C02 AT24C04 AT24C08 AT24C16\n"
         "AT24C32 AT24C64 AT24C65 AT88SC101A AT88SC102A AT88SC103A AT88SC1604A (exact case).",
         1, 1, "", "", CmdCardType},
        {"power-on", "", "power the card up and show its answer to reset", "", 0, 0, "", "", CmdPowerOn},
        {"power-off", "", "power the card down", "", 0, 0, "", "", CmdPowerOff},
        {"status", "", "the reader's three state fields", "", 0, 0, "", "", CmdStatus},
        {"version", "", "the reader's firmware version", "", 0, 0, "", "", CmdVersion},
        {"eject", "", "eject the card", "", 0, 0, "", "", CmdEject},
        {"device-no", "N", "set the device number (0..99)", "", 1, 1, "", "", CmdDeviceNo},

        {"apdu", "HEX...", "send an APDU to the CPU card",
         "CLA INS P1 P2 [P3 [DATA]], hex with or without blanks; P3 must match the data\n"
         "length when data follows. 61xx and 6Cxx are fetched with GET RESPONSE.\n"
         "--expect SW fails the command unless the card answers SW.",
         1, -1, "expect", "", CmdApdu},
        {"get-response", "LE", "GET RESPONSE for LE bytes (0..256)", "", 1, 1, "expect", "", CmdGetResponse},
        {"select", "FID", "SELECT a file by its 2-byte identifier", "", 1, 1, "expect", "", CmdSelect},
        {"challenge", "", "GET CHALLENGE: 4 random bytes from the card", "", 0, 0, "expect", "", CmdChallenge},
        {"read", "ADDR LEN", "read card memory (ADDR hex, LEN decimal or 0x..)",
         "Reads of more than 128 bytes go in 128-byte chunks.", 2, 2, "", "", CmdRead},
        {"write", "ADDR HEX", "write card memory", "Writes go in chunks of at most 121 bytes.", 2, 2, "", "", CmdWrite},
        {"verify-pin", "PIN", "present a PIN to the card (--ref RR, default 00)", "", 1, 1, "ref", "", CmdVerifyPin},
        {"personalise", "PROFILE", "set up a CPU card's file system from a profile file", kProfileHelp, 1, 1, "", "",
         CmdPersonalise},

        {"sle-verify", "PSC", "present the SLE44xx programmable security code (hex)", "", 1, 1, "", "", CmdSleVerify},
        {"sle-change-pin", "PSC", "change the SLE44xx security code", "", 1, 1, "", "", CmdSleChangePin},
        {"sle-compare-write", "ADDR HEX", "SLE44xx write with data comparison (protects bytes that match)",
         "The card's write carries no 00 bytes.", 2, 2, "", "", CmdSleWrite},
        {"sle4442-protection", "[ADDR [LEN]]", "read the SLE4442 protection bits (default 00, 4 bytes)", "", 0, 2, "", "",
         CmdSle4442Protection},
        {"sle4428-read-protected", "ADDR LEN", "read SLE4428 data with its protection bits", "", 2, 2, "", "",
         CmdSle4428ReadProtected},
        {"sle4428-write-protected", "ADDR HEX", "write SLE4428 data and protect it", "", 2, 2, "", "",
         CmdSle4428WriteProtected},

        {"at88-verify", "ADDR CODE", "present an AT88SC security code at ADDR", "", 2, 2, "", "", CmdAt88Verify},
        {"at88-erase", "ADDR LEN", "erase LEN (0..255) AT88SC bytes at ADDR", "", 2, 2, "", "", CmdAt88Erase},
        {"at88-personalise", "ADDR", "AT88SC personalisation at ADDR", "", 1, 1, "", "", CmdAt88Personalise},

        {"at24-read", "ADDR LEN", "read an AT24Cxx card in one call (--device N)",
         "One-shot: the call opens the port itself, so an open session is closed first.", 2, 2, "device", "",
         CmdAt24Read},
        {"at24-write", "ADDR HEX", "write an AT24Cxx card in one call (--device N)",
         "One-shot, as at24-read; the write carries no 00 bytes.", 2, 2, "device", "", CmdAt24Write},

        {"mag-read", "[2|3|23]", "read magnetic tracks (default 23) from a swipe",
         "One-shot on the port; waits up to the time-out for the swipe.", 0, 1, "", "", CmdMagRead},
        {"mag-write", "2|3|23 TEXT [TEXT3]", "write magnetic tracks (--prefix sends ESC B 4 first)",
         "mag-write 2 TRACK2 | mag-write 3 TRACK3 | mag-write 23 TRACK2 TRACK3", 2, 3, "", "prefix", CmdMagWrite},
        {"mag-setting", "LETTER", "magnetic head setting: A B C D K R Z", "", 1, 1, "", "", CmdMagSetting},

        {"3des", "DATA KEY", "two-key triple-DES of an 8-byte block (hex)", "", 2, 2, "", "", CmdTriDes},
        {"diversify", "DATA KEY", "diversified 16-byte key from 8 bytes of data and a master key", "", 2, 2, "", "",
         CmdDiversify},
        {"xor", "A B", "XOR of two 8-byte values (hex)", "", 2, 2, "", "", CmdXor},

        {"frame", "BODY", "send a raw command body (checksum added), show the reply",
         "Goes through the raw pass-through, e.g. 'frame 47' for the device status.", 1, -1, "", "", CmdFrame},
        {"trace", "decode [FILE|-]", "make the trace log readable",
         "FILE defaults to $QD500_TRACE_FILE, else DOVoruv.Log beside the qd500 executable.", 1, 2, "", "", CmdTrace},
        {"run", "FILE", "run the commands of FILE in one session (--keep-going)",
         "One command per line, # starts a comment; stops at the first failure.", 1, 1, "", "keep-going", CmdRun},
        {"shell", "", "interactive commands in one session", "", 0, 0, "", "", CmdShell},
        {"demo", "", "a tour of the library on the built-in simulator", "", 0, 0, "", "", CmdDemo},
    };
    return table;
}

void PrintHelp(std::ostream& out, const std::string& name) {
    if (const Command* c = FindCommand(name)) {
        out << "usage: qd500 [options] " << c->name << (c->usage[0] ? " " : "") << c->usage << "\n  " << c->summary << "\n";
        if (c->details[0]) out << "\n" << c->details << "\n";
        return;
    }
    out << "usage: qd500 [--port N|PATH] [--timeout SECONDS] [--json] COMMAND [ARGS]\n"
           "       qd500 COMMAND --help\n\ncommands:\n";
    for (const Command& c : Commands()) {
        std::string head = std::string(c.name) + (c.usage[0] ? " " : "") + c.usage;
        out << "  " << head << std::string(head.size() < 34 ? 34 - head.size() : 1, ' ') << c.summary << "\n";
    }
    out << "\nExit status: 0 done, 1 the reader or library reported a failure, 2 bad usage.\n";
}

}  // namespace qd500::cli
