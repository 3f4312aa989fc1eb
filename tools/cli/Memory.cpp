// Memory cards: reads and writes by address, whole-card dumps and restores,
// the SLE44xx and AT88SC codes and protection, and the AT24 sequence, all on
// the session's reader with the card's own type.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include <unistd.h>

#include "Handlers.h"

namespace qd500::cli {
namespace {

// One reader exchange each, so progress and Ctrl-C come between exchanges.
constexpr size_t kReadPiece = 128;
constexpr size_t kWritePiece = 121;
constexpr long kTopAddress = 0xFFFF;

// The card-type table's row of a type; family -1 for "" or an unknown name.
struct qd500_card_info InfoOf(const std::string& type) {
    struct qd500_card_info info = {};
    info.size = sizeof info;
    if (type.empty() || qd500_card_info(type.c_str(), &info) != 0) info.family = -1;
    return info;
}

bool IsFamily(const std::string& type, int family) { return InfoOf(type).family == family; }
bool IsSle44(const std::string& type) {
    const int family = InfoOf(type).family;
    return family == QD500_FAMILY_SLE4442 || family == QD500_FAMILY_SLE4428;
}

// "a CPU", "an S4442", "an AT24C16": the names as they are spoken.
std::string An(const std::string& type) { return (type[0] == 'C' ? "a " : "an ") + type; }
bool IsSle4442Family(const std::string& type) { return IsFamily(type, QD500_FAMILY_SLE4442); }
bool IsSle4428Family(const std::string& type) { return IsFamily(type, QD500_FAMILY_SLE4428); }

// What a wrong code costs: the length of the type's code and the wrong codes
// in a row it allows before it locks for good.
struct qd500_card_info CodeRuleOf(const std::string& type) {
    struct qd500_card_info info = InfoOf(type);
    if (info.family >= 0 && info.code_length > 0) return info;
    throw UsageError(An(type) + " card has no security code" +
                     (type == "CPU" ? " of this kind (verify-pin presents a CPU card's PIN)" : ""));
}

void CheckCodeLength(const std::string& type, size_t bytes, const std::string& what) {
    const unsigned length = CodeRuleOf(type).code_length;
    if (bytes != length)
        throw UsageError(what + " of " + An(type) + " is " + std::to_string(length) + " bytes, not " +
                         std::to_string(bytes) + ": nothing was sent");
}

// Before a code is presented: the try that would lock the card if the code
// is wrong (as this run counts) is asked about on a terminal and refused
// elsewhere without --force. False: not presented (o says why).
bool GuardCodeTry(Context& ctx, const Args& a, CommandResult& o, const std::string& type, const std::string& code) {
    const unsigned tries = CodeRuleOf(type).code_tries;
    const unsigned wrong = ctx.wrongCodes[code];
    if (tries == 0 || wrong + 1 < tries || a.Flag("force")) return true;
    const std::string risk = "this run has seen " + std::to_string(wrong) + " wrong code" + (wrong == 1 ? "" : "s") +
                             " in a row and " + An(type) + " allows " + std::to_string(tries) +
                             (wrong < tries ? ": a wrong code now locks the card for good"
                                            : ": the card is locked already as this run counts");
    if (&ctx.in == &std::cin && ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) {
        ctx.err << risk << ". Present it? [y/N] " << std::flush;
        std::string answer;
        std::getline(ctx.in, answer);
        if (answer == "y" || answer == "Y" || answer == "yes") return true;
        o.exit = kFailed;
        o.error = "not presented";
        return false;
    }
    o.exit = kUsage;
    o.error = risk + "; nothing was sent (--force presents it)";
    return false;
}

// After a code was presented: the count of this run, and after "wrong code"
// (31) or "locked" (33) what the card allows and what is left.
void CountCodeTry(Context& ctx, CommandResult& o, const std::string& type, const std::string& code) {
    unsigned& wrong = ctx.wrongCodes[code];
    if (o.result == 0) {
        wrong = 0;
    } else if (o.result == 33) {
        o.Note("the card's code is locked: it accepts no code any more");
    } else if (o.result == 31) {
        ++wrong;
        const unsigned tries = CodeRuleOf(type).code_tries;
        const unsigned left = wrong < tries ? tries - wrong : 0;
        o.Note(An(type) + " allows " + std::to_string(tries) +
               " wrong codes in a row, then locks for good; a right code resets the count. " + std::to_string(left) +
               " left as this run counts them: the count starts with this run, since the reader cannot read the "
               "card's own counter (a card that came with wrong codes already locks sooner)");
    }
}

// The type named by --card or selected in this session, without asking
// the reader; "" when neither.
std::string KnownType(Context& ctx, const Args& a) {
    if (const std::string* card = a.Option("card")) return CardTypeName(*card);
    return ctx.cardType;
}

std::string Hex16(long value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04lX", value);
    return text;
}

// The card type with `check` applied to it: first to the type known
// without asking the reader, so a refusal sends nothing, then to the one
// CardTypeFor settles on. "" (o says why) when none is known.
template <typename Check>
std::string CheckedCardType(Context& ctx, const Args& a, CommandResult& o, bool adopt, Check check) {
    if (std::string known = KnownType(ctx, a); !known.empty()) check(known);
    std::string type = CardTypeFor(ctx, a, o, adopt);
    if (!type.empty()) check(type);
    return type;
}

void CheckRange(long addr, size_t len, long top, const std::string& where) {
    long last = addr + static_cast<long>(len) - 1;
    if (last > top) throw UsageError("bytes " + Hex16(addr) + "-" + Hex16(last) + " run past the end of " + where);
}

// The range against the card's size when it is known.
void CheckCardRange(const std::string& type, long addr, size_t len) {
    CheckRange(addr, len, kTopAddress, "card memory");
    int size = type.empty() ? -1 : qd500_card_size(type.c_str());
    if (size > 0) CheckRange(addr, len, size - 1, An(type) + " (" + std::to_string(size) + " bytes)");
}

// Reads len bytes from addr in exchanges of its own, with progress and
// Ctrl-C between them; data holds what was read, also on failure.
int ReadPieces(Context& ctx, qd500_reader* r, unsigned addr, size_t len, std::vector<uint8_t>& data) {
    data.clear();
    while (data.size() < len) {
        size_t n = std::min(kReadPiece, len - data.size());
        uint8_t piece[kReadPiece];
        int rc = qd500_read_memory(r, addr + static_cast<unsigned>(data.size()), piece, n);
        if (rc != 0) return rc;
        data.insert(data.end(), piece, piece + n);
        if (len > kReadPiece) ctx.Progress(data.size(), len);
        if (ctx.interrupted() && data.size() < len) return QD500_E_CANCELLED;
    }
    return 0;
}

int WritePieces(Context& ctx, qd500_reader* r, unsigned addr, const std::vector<uint8_t>& data, size_t& done) {
    for (done = 0; done < data.size();) {
        size_t n = std::min(kWritePiece, data.size() - done);
        int rc = qd500_write_memory(r, addr + static_cast<unsigned>(done), data.data() + done, n);
        if (rc != 0) return rc;
        done += n;
        if (data.size() > kWritePiece) ctx.Progress(done, data.size());
        if (ctx.interrupted() && done < data.size()) return QD500_E_CANCELLED;
    }
    return 0;
}

// ---- the file formats of dump and restore ----

enum class Format { Bin, Hex };

Format FormatOf(const Args& a, Format fallback) {
    const std::string* f = a.Option("format");
    if (!f) return fallback;
    std::string name = Lower(*f);
    if (name == "bin") return Format::Bin;
    if (name == "hex") return Format::Hex;
    throw UsageError("--format takes bin or hex");
}

// Offsets, 16 bytes and an ASCII column, as hexdump -C lays them out.
std::string HexDump(unsigned addr, const std::vector<uint8_t>& data) {
    std::string out;
    for (size_t at = 0; at < data.size(); at += 16) {
        char line[96];
        int n = std::snprintf(line, sizeof line, "%08X ", static_cast<unsigned>(addr + at));
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (i % 8 == 0) line[n++] = ' ';
            if (at + i < data.size()) {
                uint8_t b = data[at + i];
                n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X ", b);
                ascii += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
            } else {
                n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "   ");
            }
        }
        out += std::string(line, static_cast<size_t>(n)) + " |" + ascii + "|\n";
    }
    return out;
}

// One line of a hex dump: its offset and bytes; false for a line of
// another kind.
bool ParseDumpLine(const std::string& line, unsigned& offset, std::vector<uint8_t>& bytes) {
    std::istringstream words(line.substr(0, line.find('|')));
    std::string word;
    if (!(words >> word) || word.size() != 8 || word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    offset = static_cast<unsigned>(std::stoul(word, nullptr, 16));
    bytes.clear();
    while (words >> word) {
        if (word.size() != 2 || word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return !bytes.empty() && bytes.size() <= 16;
}

// A restore file: bytes and the address they belong at. Throws UsageError.
struct Image {
    long addr = 0;
    std::vector<uint8_t> data;
    Format format = Format::Bin;
    bool addressGiven = false;
};

Image ReadImage(const std::string& path, const Args& a) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw UsageError("cannot read " + path);
    std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    unsigned offset = 0;
    std::vector<uint8_t> bytes;
    Format format =
        FormatOf(a, ParseDumpLine(all.substr(0, all.find('\n')), offset, bytes) ? Format::Hex : Format::Bin);
    Image image;
    image.format = format;
    image.addressGiven = a.positional.size() > 1;
    if (format == Format::Bin) {
        image.addr = a.positional.size() > 1 ? ParseAddress(a.positional[1], kTopAddress, "address") : 0;
        image.data.assign(all.begin(), all.end());
    } else {
        if (a.positional.size() > 1) throw UsageError("a hex dump carries its own addresses: give no ADDR");
        std::istringstream lines(all);
        int number = 0;
        for (std::string line; std::getline(lines, line);) {
            ++number;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            if (!ParseDumpLine(line, offset, bytes))
                throw UsageError(path + ":" + std::to_string(number) + ": not a line of a hex dump");
            if (image.data.empty()) image.addr = offset;
            if (offset != image.addr + static_cast<long>(image.data.size()))
                throw UsageError(path + ":" + std::to_string(number) + ": offset " + Hex16(offset) +
                                 " does not follow the line before");
            image.data.insert(image.data.end(), bytes.begin(), bytes.end());
        }
    }
    if (image.data.empty()) throw UsageError(path + " holds no data");
    return image;
}

// A restore writes a whole card's image, so that a file of another kind (a
// text, a dump of another card) is never written as if it were one: a
// binary image of the card's size, or a hex dump of it as dump writes it;
// --partial (with an address for a binary image) takes a piece of it.
void CheckImage(const std::string& type, const Image& image, const Args& a, const std::string& path) {
    const long size = qd500_card_size(type.c_str());
    const std::string what = image.format == Format::Bin ? "a binary image" : "a hex dump";
    const std::string expected = "restore takes the whole card: a binary image of " + std::to_string(size) +
                                 " bytes or a hex dump of them as dump writes it (--partial, with ADDR for a binary "
                                 "image, takes a piece); nothing was written";
    if (a.Flag("partial")) {
        if (image.format == Format::Bin && !image.addressGiven)
            throw UsageError("--partial writes a binary image at an address: give ADDR; nothing was written");
        return;
    }
    if (image.addressGiven)
        throw UsageError("an address writes a piece of the card: give --partial with it; nothing was written");
    if (image.addr != 0 || static_cast<long>(image.data.size()) != size)
        throw UsageError(path + " is " + what + " of " + std::to_string(image.data.size()) + " bytes" +
                         (image.addr ? " from " + Hex16(image.addr) : std::string()) + ", not of " + An(type) + "'s " +
                         std::to_string(size) + ": " + expected);
}

std::string Seconds(std::chrono::steady_clock::time_point since) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
    return text;
}

// What was read of a range that stopped early, for the message.
std::string Stopped(size_t done, size_t len, const std::string& kept) {
    return std::to_string(done) + " of " + std::to_string(len) + " bytes read" +
           (kept.empty() ? "" : ", kept in " + kept);
}

// Dump and restore given --card (which powered the card on) power it off
// again at the end; not after Ctrl-C, since the reader may still be busy
// with the command that was given up and would answer that first.
class PoweredByCommand {
public:
    PoweredByCommand(Context& ctx, qd500_reader* r, const Args& a, CommandResult&) : m_ctx(ctx), m_r(r) {
        m_powered = a.Option("card") != nullptr;
    }
    ~PoweredByCommand() {
        if (m_powered && !m_ctx.interrupted()) qd500_power_off(m_r);
    }
    bool ok() const { return m_ok; }

private:
    Context& m_ctx;
    qd500_reader* m_r;
    bool m_ok = true;
    bool m_powered = false;
};

}  // namespace

std::string CardTypeFor(Context& ctx, const Args& a, CommandResult& o, bool adopt) {
    qd500_reader* r = ctx.Reader(o);
    if (!r) return "";
    if (const std::string* card = a.Option("card")) {
        // --card NAME: this card, selected and powered on, in every command.
        std::string name = CardTypeName(*card);
        if (!ctx.Done(o, qd500_select_card(r, name.c_str()))) return "";
        ctx.cardType = name;
        uint8_t atr[QD500_ATR_MAX];
        size_t n = 0;
        if (!ctx.Done(o, qd500_power_on(r, atr, sizeof atr, &n))) return "";
        return name;
    }
    if (!ctx.cardType.empty()) return ctx.cardType;
    // The reader's status names the type it has selected.
    unsigned char state[3] = {};
    if (!ctx.Done(o, qd500_device_status(r, state))) return "";
    const char* name = qd500_card_type_name(state[2]);
    if (!name) {
        o.exit = kUsage;
        o.error = "the card type is not known: give --card NAME or run card-type first";
        return "";
    }
    if (adopt) {
        if (!ctx.Done(o, qd500_select_card(r, name))) return "";
        ctx.cardType = name;
    }
    return name;
}

// ---- by address ----

// A range of more than one command needs the card's end, so that it is not
// left half-done there: from --card, the session, or the type the reader has
// selected; with none, it is refused before anything is read or written.
bool RangeOfTheCard(Context& ctx, const Args& a, CommandResult& o, long addr, size_t len, size_t piece) {
    if (!a.Option("card") && len <= piece) return true;
    return !CheckedCardType(ctx, a, o, a.Option("card") != nullptr, [&](const std::string& type) {
                CheckCardRange(type, addr, len);
            }).empty();
}

void CmdRead(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    size_t len = static_cast<size_t>(ParseNumber(a.positional[1], 1, 0x10000, "length"));
    CheckCardRange(KnownType(ctx, a), addr, len);
    qd500_reader* r = ctx.Reader(o);
    if (!r || !RangeOfTheCard(ctx, a, o, addr, len, kReadPiece)) return;
    std::vector<uint8_t> data;
    ctx.Done(o, ReadPieces(ctx, r, static_cast<unsigned>(addr), len, data));
    if (o.exit == kOk || !data.empty()) o.Field("data", ToHex(data));
    if (o.exit != kOk && !data.empty()) o.Field("read", std::to_string(data.size()) + " of " + ByteCount(len));
}

void CmdWrite(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    auto data = DataHex(a.positional[1], "data", 0x10000);
    CheckCardRange(KnownType(ctx, a), addr, data.size());
    qd500_reader* r = ctx.Reader(o);
    if (!r || !RangeOfTheCard(ctx, a, o, addr, data.size(), kWritePiece)) return;
    size_t done = 0;
    ctx.Done(o, WritePieces(ctx, r, static_cast<unsigned>(addr), data, done));
    o.Field("written", ByteCount(done));
}

// ---- whole cards ----

void CmdDump(Context& ctx, const Args& a, CommandResult& o) {
    const std::string& path = a.positional[0];
    Format format = FormatOf(a, Format::Bin);
    long addr = a.positional.size() > 1 ? ParseAddress(a.positional[1], kTopAddress, "address") : 0;
    long given = a.positional.size() > 2 ? ParseNumber(a.positional[2], 1, 0x10000, "length") : 0;
    // The dump goes to FILE.part and takes FILE's place once something was
    // read, so a dump that reads nothing leaves an older file as it was.
    const bool toOut = path == "-";
    const std::string part = path + ".part";
    std::ofstream file;
    if (!toOut) {
        file.open(part, std::ios::binary | std::ios::trunc);
        if (!file) throw UsageError("cannot write " + part);
    }
    struct PartFile {
        const std::string& name;
        bool keep = false;
        ~PartFile() {
            if (!keep) std::remove(name.c_str());
        }
    } partFile{part, toOut};
    std::string type = CheckedCardType(ctx, a, o, true, [&](const std::string& t) {
        long size = qd500_card_size(t.c_str());
        if (size <= 0) throw UsageError(An(t) + " card has no memory by address to dump");
        if (addr >= size) throw UsageError("address " + Hex16(addr) + " is past the end of " + An(t));
        CheckCardRange(t, addr, static_cast<size_t>(given > 0 ? given : size - addr));
    });
    if (type.empty()) return;
    const size_t len = static_cast<size_t>(given > 0 ? given : qd500_card_size(type.c_str()) - addr);
    qd500_reader* r = ctx.Reader(o);
    PoweredByCommand power(ctx, r, a, o);
    if (!power.ok()) return;
    auto started = std::chrono::steady_clock::now();
    std::vector<uint8_t> data;
    int rc = ReadPieces(ctx, r, static_cast<unsigned>(addr), len, data);
    ctx.ProgressDone();
    // What was read is kept, whatever stopped the rest.
    std::ostream& sink = toOut ? ctx.out : file;
    if (format == Format::Bin)
        sink.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    else
        sink << HexDump(static_cast<unsigned>(addr), data);
    sink.flush();
    std::string kept;
    if (!toOut && !data.empty()) {
        file.close();
        if (!file || std::rename(part.c_str(), path.c_str()) != 0) {
            o.Fail("cannot write " + path);
            return;
        }
        partFile.keep = true;
        kept = path;
    }
    if (!ctx.Done(o, rc)) {
        o.error = (rc == QD500_E_CANCELLED ? "interrupted: "
                                           : "stopped at " + Hex16(addr + static_cast<long>(data.size())) + ": ") +
                  Stopped(data.size(), len, kept);
        return;
    }
    if (toOut) {
        o.hasResult = false;  // nothing more after the dump on standard output
        return;
    }
    o.Field("card-type", type);
    o.Field("range", Hex16(addr) + "-" + Hex16(addr + static_cast<long>(len) - 1));
    o.Field("file", path);
    o.Field("bytes", std::to_string(data.size()));
    o.Field("time", Seconds(started));
}

void CmdRestore(Context& ctx, const Args& a, CommandResult& o) {
    Image image = ReadImage(a.positional[0], a);
    std::vector<uint8_t> psc = a.Option("psc") ? DataHex(*a.Option("psc"), "--psc", 8) : std::vector<uint8_t>();
    std::string type = CheckedCardType(ctx, a, o, true, [&](const std::string& t) {
        if (qd500_card_size(t.c_str()) <= 0) throw UsageError(An(t) + " card has no memory by address to restore");
        CheckCardRange(t, image.addr, image.data.size());
        CheckImage(t, image, a, a.positional[0]);
        if (psc.empty()) return;
        if (!IsSle44(t)) throw UsageError("--psc presents an SLE44xx code; for " + An(t) + " present it first");
        CheckCodeLength(t, psc.size(), "the PSC");
    });
    if (type.empty()) return;
    qd500_reader* r = ctx.Reader(o);
    PoweredByCommand power(ctx, r, a, o);
    if (!power.ok()) return;
    if (!psc.empty()) {
        if (!GuardCodeTry(ctx, a, o, type, "psc")) return;
        bool presented = ctx.Done(o, qd500_present_code(r, psc.data(), psc.size()));
        CountCodeTry(ctx, o, type, "psc");
        if (!presented) return;
    }
    auto started = std::chrono::steady_clock::now();
    const unsigned addr = static_cast<unsigned>(image.addr);
    size_t done = 0;
    int rc = WritePieces(ctx, r, addr, image.data, done);
    o.Field("written", ByteCount(done));
    if (!ctx.Done(o, rc)) {
        ctx.ProgressDone();
        o.error = (rc == QD500_E_CANCELLED ? "interrupted: "
                                           : "stopped at " + Hex16(image.addr + static_cast<long>(done)) + ": ") +
                  std::to_string(done) + " of " + std::to_string(image.data.size()) + " bytes written";
        return;
    }
    // Read back: the card must hold what the file holds.
    std::vector<uint8_t> back;
    rc = ReadPieces(ctx, r, addr, image.data.size(), back);
    ctx.ProgressDone();
    if (!ctx.Done(o, rc)) {
        o.error = "verify: " + Stopped(back.size(), image.data.size(), "");
        return;
    }
    auto diff = std::mismatch(back.begin(), back.end(), image.data.begin());
    if (diff.first != back.end()) {
        size_t at = static_cast<size_t>(diff.first - back.begin());
        o.Fail("verify: first difference at " + Hex16(image.addr + static_cast<long>(at)) + ": the card holds " +
               ToHex(&back[at], 1) + ", the file " + ToHex(&image.data[at], 1));
        return;
    }
    o.Field("verified", "yes");
    o.Field("time", Seconds(started));
}

// ---- SLE44xx ----

void CmdSleVerify(Context& ctx, const Args& a, CommandResult& o) {
    auto psc = DataHex(a.positional[0], "PSC", 8);
    std::string type =
        CheckedCardType(ctx, a, o, false, [&](const std::string& t) { CheckCodeLength(t, psc.size(), "the PSC"); });
    if (type.empty() || !GuardCodeTry(ctx, a, o, type, "psc")) return;
    ctx.Done(o, qd500_present_code(ctx.Reader(o), psc.data(), psc.size()));
    CountCodeTry(ctx, o, type, "psc");
}

void CmdSleChangePin(Context& ctx, const Args& a, CommandResult& o) {
    auto psc = DataHex(a.positional[0], "PSC", 8);
    // A new code of the wrong length would lock the card out for good.
    std::string type =
        CheckedCardType(ctx, a, o, false, [&](const std::string& t) { CheckCodeLength(t, psc.size(), "the new PSC"); });
    if (type.empty()) return;
    ctx.Done(o, qd500_change_code(ctx.Reader(o), psc.data(), psc.size()));
}

namespace {

// The SLE44xx protect calls take the command of the reader's selected
// family, so the family is checked (and selected) first.
void Protect(Context& ctx, const Args& a, CommandResult& o, bool (*family)(const std::string&), const char* otherwise) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    auto data = DataHex(a.positional[1], "data", 0x10000);
    CheckCardRange("", addr, data.size());
    std::string type = CheckedCardType(ctx, a, o, true, [&](const std::string& t) {
        if (!family(t)) throw UsageError(otherwise);
        CheckCardRange(t, addr, data.size());
    });
    if (type.empty()) return;
    ctx.Done(o, qd500_protect(ctx.Reader(o), static_cast<unsigned>(addr), data.data(), data.size()));
    o.Field("written", ByteCount(o.exit == kOk ? data.size() : 0));
}

// Protection flags (1: protected) as the chips keep them: a bit a byte,
// least significant first, 1 while writable.
std::vector<uint8_t> ProtectionBits(const std::vector<uint8_t>& flags) {
    std::vector<uint8_t> bits((flags.size() + 7) / 8, 0);
    for (size_t i = 0; i < flags.size(); ++i)
        if (!flags[i]) bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return bits;
}

// "0x0000-0x0003, 0x0010" for the protected bytes.
std::string ProtectedRanges(long addr, const std::vector<uint8_t>& flags) {
    std::string out;
    for (size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i] || (i > 0 && flags[i - 1])) continue;
        size_t end = i;
        while (end + 1 < flags.size() && flags[end + 1]) ++end;
        out += (out.empty() ? "" : ", ") + Hex16(addr + static_cast<long>(i)) +
               (end > i ? "-" + Hex16(addr + static_cast<long>(end)) : "");
    }
    return out.empty() ? "none" : out;
}

}  // namespace

void CmdSleCompareWrite(Context& ctx, const Args& a, CommandResult& o) {
    Protect(ctx, a, o, IsSle4442Family,
            "the write with data comparison is an SLE4442/4432 command (an SLE4428: sle4428-write-protected)");
}

void CmdSle4428WriteProtected(Context& ctx, const Args& a, CommandResult& o) {
    Protect(ctx, a, o, IsSle4428Family, "this write is an SLE4428/4418 command (an SLE4442: sle-compare-write)");
}

void CmdSle4442Protection(Context& ctx, const Args& a, CommandResult& o) {
    // ADDR and LEN count bytes of the 4-byte protection memory, one bit a
    // data byte over bytes 0-31.
    long addr = a.positional.size() > 0 ? ParseAddress(a.positional[0], 3, "protection memory address") : 0;
    long len = a.positional.size() > 1 ? ParseNumber(a.positional[1], 1, 4, "length") : 4 - addr;
    CheckRange(addr, static_cast<size_t>(len), 3, "the protection memory (4 bytes)");
    std::string type = CheckedCardType(ctx, a, o, true, [](const std::string& t) {
        if (!IsSle4442Family(t)) throw UsageError("protection memory is an SLE4442/4432's");
    });
    if (type.empty()) return;
    std::vector<uint8_t> flags(static_cast<size_t>(len) * 8);
    if (!ctx.Done(o, qd500_read_protection(ctx.Reader(o), static_cast<unsigned>(addr * 8), flags.data(), flags.size())))
        return;
    o.Field("protection", ToHex(ProtectionBits(flags)));
    o.Field("protected", ProtectedRanges(addr * 8, flags));
}

void CmdSle4428ReadProtected(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    size_t len = static_cast<size_t>(ParseNumber(a.positional[1], 1, 0x10000, "length"));
    CheckCardRange("", addr, len);
    std::string type = CheckedCardType(ctx, a, o, true, [&](const std::string& t) {
        if (!IsSle4428Family(t)) throw UsageError("protection bits by byte are an SLE4428/4418's");
        CheckCardRange(t, addr, len);
    });
    if (type.empty()) return;
    qd500_reader* r = ctx.Reader(o);
    std::vector<uint8_t> data, flags(len);
    if (!ctx.Done(o, ReadPieces(ctx, r, static_cast<unsigned>(addr), len, data))) return;
    if (!ctx.Done(o, qd500_read_protection(r, static_cast<unsigned>(addr), flags.data(), len))) return;
    o.Field("data", ToHex(data));
    o.Field("protection", ToHex(ProtectionBits(flags)));
    o.Field("protected", ProtectedRanges(addr, flags));
}

// ---- AT88SC ----

void CmdAt88Verify(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    auto code = DataHex(a.positional[1], "security code", 32);
    std::string type = CheckedCardType(ctx, a, o, false, [&](const std::string& t) {
        if (!IsFamily(t, QD500_FAMILY_AT88SC))
            throw UsageError("at88-verify presents an AT88SC code, not " + An(t) + "'s");
        CheckCodeLength(t, code.size(), "the security code");
    });
    const std::string which = "at88 " + Hex16(addr);
    if (type.empty() || !GuardCodeTry(ctx, a, o, type, which)) return;
    ctx.Done(o, qd500_at88_verify(ctx.Reader(o), static_cast<unsigned>(addr), code.data(), code.size()));
    CountCodeTry(ctx, o, type, which);
}

void CmdAt88Erase(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    long len = ParseNumber(a.positional[1], 0, 255, "length");
    if (qd500_reader* r = ctx.Reader(o))
        ctx.Done(o, qd500_at88_erase(r, static_cast<unsigned>(addr), static_cast<unsigned>(len)));
}

void CmdAt88Personalise(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    if (qd500_reader* r = ctx.Reader(o)) ctx.Done(o, qd500_at88_personalise(r, static_cast<unsigned>(addr)));
}

// ---- AT24Cxx: device number, card type, power on, the data, power off ----

namespace {

unsigned DeviceNumber(const Args& a) {
    return a.Option("device") ? static_cast<unsigned>(ParseNumber(*a.Option("device"), 0, 255, "device number")) : 0;
}

// --card, or the session's type when it is an AT24 one; "" otherwise.
std::string KnownAt24Type(Context& ctx, const Args& a) {
    std::string known = KnownType(ctx, a);
    if (a.Option("card") && !IsFamily(known, QD500_FAMILY_AT24))
        throw UsageError("--card of an AT24 command names an AT24 type");
    return IsFamily(known, QD500_FAMILY_AT24) ? known : "";
}

// The AT24 type the sequence selects: --card, else the AT24 type of this
// session or of the reader's status, else AT24C16 as the drop-in calls take.
std::string At24Type(Context& ctx, const Args& a, CommandResult& o) {
    qd500_reader* r = ctx.Reader(o);
    if (!r) return "";
    std::string type = KnownAt24Type(ctx, a);
    if (type.empty() && ctx.cardType.empty()) {
        unsigned char state[3] = {};
        if (!ctx.Done(o, qd500_device_status(r, state))) return "";
        const char* reported = qd500_card_type_name(state[2]);
        if (reported && IsFamily(reported, QD500_FAMILY_AT24)) type = reported;
    }
    if (type.empty()) type = "AT24C16";
    // The sequence takes the AT24 type the reader object selected last.
    if (type != ctx.cardType || a.Option("card")) {
        if (!ctx.Done(o, qd500_select_card(r, type.c_str()))) return "";
        ctx.cardType = type;
    }
    return type;
}

}  // namespace

void CmdAt24Read(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    size_t len = static_cast<size_t>(ParseNumber(a.positional[1], 1, 0x10000, "length"));
    unsigned device = DeviceNumber(a);
    CheckCardRange(KnownAt24Type(ctx, a), addr, len);
    std::string type = At24Type(ctx, a, o);
    if (type.empty()) return;
    CheckCardRange(type, addr, len);
    std::vector<uint8_t> data(len);
    if (ctx.Done(o, qd500_at24_read(ctx.Reader(o), device, static_cast<unsigned>(addr), data.data(), len)))
        o.Field("data", ToHex(data));
}

void CmdAt24Write(Context& ctx, const Args& a, CommandResult& o) {
    long addr = ParseAddress(a.positional[0], kTopAddress, "address");
    auto data = DataHex(a.positional[1], "data", 0x10000);
    unsigned device = DeviceNumber(a);
    CheckCardRange(KnownAt24Type(ctx, a), addr, data.size());
    std::string type = At24Type(ctx, a, o);
    if (type.empty()) return;
    CheckCardRange(type, addr, data.size());
    ctx.Done(o, qd500_at24_write(ctx.Reader(o), device, static_cast<unsigned>(addr), data.data(), data.size()));
    o.Field("written", ByteCount(o.exit == kOk ? data.size() : 0));
}

}  // namespace qd500::cli
