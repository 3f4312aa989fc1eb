// The reader's own commands: card type, power, status and the device, the
// card watch, the answer to reset, the magnetic head and raw frames.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ostream>

#include "Atr.h"
#include "Handlers.h"

namespace qd500::cli {

std::string CardTypeName(const std::string& typed) {
    const char* name = qd500_card_type_name(qd500_card_type_code(typed.c_str()));
    if (!name) throw UsageError("unknown card type '" + typed + "'; the card types are " + CardTypeNameList());
    return name;
}

std::vector<struct qd500_card_info> CardTable() {
    std::vector<struct qd500_card_info> rows;
    for (unsigned i = 0; i < static_cast<unsigned>(qd500_card_type_count()); ++i) {
        struct qd500_card_info info = {};
        info.size = sizeof info;
        if (qd500_card_info_at(i, &info) == 0) rows.push_back(info);
    }
    return rows;
}

namespace {

// The library's card types: each name, and the name people use beside it.
std::vector<std::pair<std::string, std::string>> CardTypeRows() {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& info : CardTable()) rows.emplace_back(info.name, info.alias ? info.alias : "");
    return rows;
}

}  // namespace

std::vector<std::string> CardTypeNames() {
    std::vector<std::string> names;
    for (const auto& row : CardTypeRows()) names.push_back(row.first);
    return names;
}

std::vector<std::string> CardTypeWords() {
    std::vector<std::string> words;
    for (const auto& row : CardTypeRows()) {
        words.push_back(row.first);
        if (!row.second.empty()) words.push_back(row.second);
    }
    return words;
}

std::string CardTypeNameList() {
    std::string list;
    for (const auto& row : CardTypeRows()) {
        list += (list.empty() ? "" : ", ") + row.first;
        if (!row.second.empty()) list += " (" + row.second + ")";
    }
    return list;
}

std::string HeadLetters(const std::string& between) {
    std::string letters;
    for (const char* c = qd500_mag_setting_letters(); *c; ++c) letters += (letters.empty() ? "" : between) + *c;
    return letters;
}

void CmdCardType(Context& ctx, const Args& a, CommandResult& o) {
    std::string name = CardTypeName(a.positional[0]);
    qd500_reader* r = ctx.Reader(o);
    if (r && ctx.Done(o, qd500_select_card(r, name.c_str()))) ctx.cardType = name;
}

void CmdPowerOn(Context& ctx, const Args&, CommandResult& o) {
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    std::vector<uint8_t> atr(QD500_ATR_MAX);
    size_t n = 0;
    ctx.Done(o, qd500_power_on(r, atr.data(), atr.size(), &n));
    atr.resize(n);
    o.Field("atr", ToHex(atr));
}

void CmdPowerOff(Context& ctx, const Args&, CommandResult& o) {
    if (qd500_reader* r = ctx.Reader(o)) ctx.Done(o, qd500_power_off(r));
}

void CmdStatus(Context& ctx, const Args&, CommandResult& o) {
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    unsigned char state[3] = {};
    if (!ctx.Done(o, qd500_device_status(r, state))) return;
    for (int i = 0; i < 3; ++i) o.Field("state" + std::to_string(i + 1), ToHex(&state[i], 1));
    o.Field("card", state[0] == 1 ? "present" : state[0] == 0 ? "none" : "?");
    o.Field("powered", state[1] == 1 ? "yes" : state[1] == 0 ? "no" : "?");
    const char* type = qd500_card_type_name(state[2]);
    o.Field("card-type", type ? type : state[2] == 0 ? "none selected" : "unknown");
}

void CmdVersion(Context& ctx, const Args&, CommandResult& o) {
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    char text[128] = {};
    size_t n = 0;
    if (!ctx.Done(o, qd500_version_text(r, text, sizeof text, &n))) return;
    std::string version(text, n);
    o.Field("version", GbkToUtf8(version));
    o.Field("version-hex", ToHex(reinterpret_cast<const uint8_t*>(version.data()), version.size()));
}

void CmdEject(Context& ctx, const Args&, CommandResult& o) {
    if (qd500_reader* r = ctx.Reader(o)) ctx.Done(o, qd500_eject(r));
}

void CmdDeviceNo(Context& ctx, const Args& a, CommandResult& o) {
    long n = ParseNumber(a.positional[0], 0, 99, "device number");
    if (qd500_reader* r = ctx.Reader(o)) ctx.Done(o, qd500_set_device_no(r, static_cast<unsigned>(n)));
}

// ---- watching the slot ----

namespace {

std::string ClockTime() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec, ms);
    return text;
}

}  // namespace

void CmdWatch(Context& ctx, const Args& a, CommandResult& o) {
    constexpr unsigned kPollMs = 250;
    // A status exchange takes some 20 ms; a second is ample and reports a
    // silent line quickly.
    constexpr unsigned kWatchTimeoutMs = 1000;
    const bool once = a.Flag("once");
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    qd500_set_timeout_ms(r, std::min(ctx.timeoutMs, kWatchTimeoutMs));
    if (ctx.terminal && !ctx.json) ctx.err << "watching " << ctx.PortName() << " (Ctrl-C to stop)\n";
    int present = -1, events = 0;
    for (;;) {
        unsigned char state[3] = {};
        int rc = qd500_device_status(r, state);
        if (rc != 0) {
            // Ctrl-C ends the watch as it is meant to end.
            if (!ctx.interrupted()) ctx.Done(o, rc);
            break;
        }
        int now = state[0] == 1 ? 1 : 0;
        if (now != present) {
            const char* event = present < 0 ? (now ? "present" : "empty") : (now ? "inserted" : "removed");
            if (present >= 0) ++events;
            if (ctx.json)
                ctx.out << "{\"command\":\"watch\",\"event\":\"" << event << "\",\"time\":\"" << ClockTime() << "\"}\n";
            else
                ctx.out << ClockTime() << " "
                        << (present < 0 ? (now ? "card present" : "no card") : (now ? "card inserted" : "card removed"))
                        << "\n";
            ctx.out.flush();
            present = now;
        }
        if ((once && events > 0) || !ctx.Pause(kPollMs)) break;
    }
    qd500_set_timeout_ms(r, ctx.timeoutMs);
    o.Field("events", std::to_string(events));
}

// ---- the answer to reset ----

void CmdAtr(Context& ctx, const Args& a, CommandResult& o) {
    std::vector<uint8_t> atr;
    if (!a.positional.empty()) {
        atr = DataHex(a.positional[0], "ATR", QD500_ATR_MAX);
    } else {
        // No ATR given: the card's own, from a power-on.
        qd500_reader* r = ctx.Reader(o);
        if (!r) return;
        atr.resize(QD500_ATR_MAX);
        size_t n = 0;
        if (!ctx.Done(o, qd500_power_on(r, atr.data(), atr.size(), &n))) return;
        atr.resize(n);
    }
    AtrAnalysis analysis = AnalyseAtr(atr);
    if (ctx.json) {
        o.Field("atr", ToHex(atr));
        o.Field("protocols", analysis.protocols);
        o.Field("historical", ToHex(analysis.historical));
        o.Field("tck", analysis.tck);
    } else {
        for (const std::string& line : analysis.lines) ctx.out << line << "\n";
    }
    if (!analysis.problem.empty()) o.Fail(analysis.problem);
}

// ---- magnetic stripe ----

namespace {

unsigned TrackSet(const std::string& tracks) {
    if (tracks == "2") return QD500_TRACK2;
    if (tracks == "3") return QD500_TRACK3;
    if (tracks == "23") return QD500_TRACK2 | QD500_TRACK3;
    throw UsageError("tracks must be 2, 3 or 23");
}

void CheckTrack(const std::string& text, const std::string& what) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) throw UsageError(what + " holds a character that is not printable ASCII");
}

}  // namespace

void CmdMagRead(Context& ctx, const Args& a, CommandResult& o) {
    unsigned which = TrackSet(a.positional.empty() ? "23" : a.positional[0]);
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    if (ctx.terminal) ctx.err << "swipe a card (Ctrl-C to stop)\n" << std::flush;
    std::string t2(QD500_TRACK_MAX + 1, '\0'), t3(QD500_TRACK_MAX + 1, '\0');
    unsigned unreadable = 0;
    if (!ctx.Done(o, qd500_read_tracks(r, which, &t2[0], t2.size(), &t3[0], t3.size(), &unreadable))) {
        // The head answers only when a card passes: silence is no swipe, not a dead line.
        if (o.result == QD500_E_TIMEOUT)
            o.error = "no card was swiped within the time-out (" + ctx.TimeoutText() +
                      "): swipe while the command waits, or give a longer --timeout";
        return;
    }
    if (which & QD500_TRACK2) o.Field("track2", t2.c_str());
    if (which & QD500_TRACK3) o.Field("track3", t3.c_str());
    if (unreadable)
        o.Fail(std::string(unreadable == (QD500_TRACK2 | QD500_TRACK3) ? "tracks 2 and 3 were"
                           : unreadable & QD500_TRACK2                 ? "track 2 was"
                                                                       : "track 3 was") +
               " not readable: swipe again, steadily");
}

void CmdMagWrite(Context& ctx, const Args& a, CommandResult& o) {
    const std::string& tracks = a.positional[0];
    unsigned which = TrackSet(tracks);
    size_t texts = which == (QD500_TRACK2 | QD500_TRACK3) ? 2 : 1;
    if (a.positional.size() != texts + 1)
        throw UsageError("mag-write " + tracks + " needs " + std::to_string(texts) + " track text" +
                         (texts > 1 ? "s" : ""));
    const std::string& first = a.positional[1];
    const std::string second = texts == 2 ? a.positional[2] : "";
    CheckTrack(first, "track text");
    CheckTrack(second, "track-3 text");
    // The write frame (ESC 't' ... GS ESC '\' and a NUL) fits 256 bytes.
    size_t room = tracks == "2" ? 250 : 249;
    if (first.size() + second.size() > room)
        throw UsageError("track text too long: at most " + std::to_string(room) + " characters");
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    const char* track2 = which & QD500_TRACK2 ? first.c_str() : nullptr;
    const char* track3 = which == QD500_TRACK3 ? first.c_str() : texts == 2 ? second.c_str() : nullptr;
    if (ctx.terminal) ctx.err << "swipe a card to write (Ctrl-C to stop)\n" << std::flush;
    ctx.Done(o, qd500_write_tracks(r, track2, track3, a.Flag("prefix") ? 1 : 0));
}

void CmdMagSetting(Context& ctx, const Args& a, CommandResult& o) {
    std::string letter = Upper(a.positional[0]);
    if (letter.size() != 1 || std::string(qd500_mag_setting_letters()).find(letter[0]) == std::string::npos)
        throw UsageError("setting must be one of " + HeadLetters(" ") + " (see: qd500 help mag-setting)");
    if (qd500_reader* r = ctx.Reader(o)) ctx.Done(o, qd500_mag_setting(r, letter[0]));
}

// ---- raw frame, through the drop-in library's pass-through ----

void CmdFrame(Context& ctx, const Args& a, CommandResult& o) {
    std::string body = NormaliseHex(a.positional[0], "frame body");
    if (body.empty() || body.size() > 250) throw UsageError("frame body must be 1 to 125 bytes");
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    char status[3] = {};
    char data[1024] = {};
    int rc = qd500_send_frame(r, body.c_str(), status, data, sizeof data);
    if (status[0] == '\0') {
        ctx.Done(o, rc);
        return;
    }
    // The reader's status as it came, with its text where the table has one.
    const char* text = qd500_status_message(status);
    o.Reader(rc, status, text ? text : "");
    o.Field("reader-status", status);
    o.Field("data", data);
}

}  // namespace qd500::cli
