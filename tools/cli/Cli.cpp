#include "Cli.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "Handlers.h"
#include "Interrupt.h"
#include "StatusWords.h"

namespace qd500::cli {

namespace {

const char kNoPort[] = "no port: give --port (-p) COMn|NUMBER|PATH, or set QD500_PORT";

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

bool ComNumberText(const std::string& given, std::string& digits) {
    digits = given;
    if (digits.size() > 3 && (digits.compare(0, 3, "COM") == 0 || digits.compare(0, 3, "com") == 0))
        digits = digits.substr(3);
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), ::isdigit);
}

// The operating system's reason, from the text after "]: " in the
// library's open message, said as people look for it.
std::string OpenReason(const std::string& message) {
    size_t at = message.find("]: ");
    std::string why = at == std::string::npos ? message : message.substr(at + 3);
    if (why == "No such file or directory") return "no such device (" + why + ")";
    if (why == "Permission denied") return "permission denied (is your user in the dialout group?)";
    if (why == "the port is in use" || why == "Device or resource busy") return "busy: another program holds the port";
    return why.empty() ? "cannot be opened" : why;
}

void CommandResult::Reader(int code, const std::string& readerStatus, const std::string& utf8Message) {
    hasResult = true;
    result = code;
    status = readerStatus;
    // Success reads the same for every command.
    const char* ok = qd500_status_message("00");
    message = code == 0 && ok ? ok : utf8Message;
    exit = code == 0 ? kOk : kFailed;
}

void CommandResult::Sw(unsigned sw) {
    Field("sw", SwText(sw));
    Field("sw-meaning", SwMeaning(sw));
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : Commands())
        if (name == c.name) return &c;
    return nullptr;
}

std::string NearestCommand(const std::string& name) {
    // Edit distance; a name within a third of its length counts as meant.
    auto distance = [](const std::string& a, const std::string& b) {
        std::vector<size_t> row(b.size() + 1);
        for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
        for (size_t i = 1; i <= a.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= b.size(); ++j) {
                size_t up = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        return row[b.size()];
    };
    std::string best;
    size_t bestDistance = std::max<size_t>(2, name.size() / 3) + 1;
    for (const Command& c : Commands()) {
        size_t d = distance(name, c.name);
        if (std::string(c.name).rfind(name, 0) == 0 && name.size() >= 2) d = 1;  // a prefix
        if (d < bestDistance) {
            bestDistance = d;
            best = c.name;
        }
    }
    return best;
}

Context::Context(std::ostream& o, std::ostream& e, std::istream& i) : out(o), err(e), in(i) {}

Context::~Context() { CloseSession(); }

void Context::SetPort(const std::string& given) {
    std::string digits, port;
    if (ComNumberText(given, digits)) {
        port = "COM" + std::to_string(ParseNumber(digits, 1, 255, "port number"));
    } else {
        if (given.empty()) throw UsageError("bad port '': give COMn, a number or a device path");
        // A device that is missing fails when it is opened, as every other
        // port failure does (exit 1, JSON with --json).
        port = given;
    }
    if (port != m_port) CloseSession();
    m_port = port;
}

std::string Context::PortName() const {
    std::string digits;
    if (!ComNumberText(m_port, digits)) return m_port;
    const char* mapped = std::getenv(("QD500_COM" + digits).c_str());
    return m_port + " (" + (mapped && *mapped ? mapped : "/dev/ttyS" + std::to_string(std::atoi(digits.c_str()) - 1)) +
           ")";
}

void Context::SetTimeout(const std::string& text) {
    // Seconds with up to three decimals: the reader's wait counts milliseconds.
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot), fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    bool ok = !text.empty() && whole.size() <= 3 && fraction.size() <= 3 && (!whole.empty() || !fraction.empty()) &&
              std::all_of(whole.begin(), whole.end(), ::isdigit) &&
              std::all_of(fraction.begin(), fraction.end(), ::isdigit) &&
              (dot == std::string::npos || !fraction.empty());
    if (!ok) throw UsageError("bad time-out '" + text + "': give seconds, e.g. 2 or 0.5 (0 to 255)");
    fraction.resize(3, '0');
    unsigned ms =
        static_cast<unsigned>(std::atoi(whole.c_str())) * 1000u + static_cast<unsigned>(std::atoi(fraction.c_str()));
    if (ms > 255000u) throw UsageError("time-out out of range: " + text + " s (0 to 255 seconds)");
    timeoutMs = ms;
    if (m_reader) qd500_set_timeout_ms(m_reader, ms);
}

std::string Context::TimeoutText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", timeoutMs / 1000.0);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s + " s";
}

void QD500_CDECL Context::OnLine(void* self, int direction, const unsigned char* bytes, size_t len) {
    static_cast<Context*>(self)->Observe(direction, bytes, len);
}

void QD500_CDECL Context::OnIdle(void* self) {
    // A call clears the cancel when it starts: Ctrl-C just before it began
    // ends its wait from here.
    auto* ctx = static_cast<Context*>(self);
    if (ctx->m_interrupted) qd500_cancel(ctx->m_reader);
}

void Context::Observe(int direction, const unsigned char* bytes, size_t len) {
    if (direction == QD500_RECEIVED) m_received += len;
    if (!verbose) return;
    ProgressDone();
    err << "  " << DecodeLineBytes(direction == QD500_SENT, std::string(bytes, bytes + len), m_lastSentApdu) << "\n"
        << std::flush;
}

qd500_reader* Context::Reader(CommandResult& o) {
    if (m_port.empty()) {
        o.exit = kUsage;
        o.error = kNoPort;
        return nullptr;
    }
    if (m_reader) return m_reader;
    qd500_reader* r = nullptr;
    int rc = qd500_open(m_port.c_str(), &r);
    if (rc != 0) {
        o.Reader(rc, "", qd500_message(nullptr));
        o.error = "cannot open " + PortName() + ": " + OpenReason(qd500_message(nullptr));
        if (m_port.find('/') == std::string::npos && ::access(("/dev/" + m_port).c_str(), F_OK) == 0)
            o.error += "; did you mean /dev/" + m_port + "?";
        o.errorSaysAll = true;
        return nullptr;
    }
    qd500_set_timeout_ms(r, timeoutMs);
    qd500_set_observer(r, OnLine, this);
    qd500_set_idle(r, OnIdle, this);
    std::lock_guard<std::mutex> lock(m_readerLock);
    m_reader = r;
    ++m_opens;
    cardType.clear();
    return r;
}

bool Context::Done(CommandResult& o, int result) {
    o.Reader(result, qd500_status(m_reader), qd500_message(m_reader));
    if (result == QD500_E_TIMEOUT && m_received == 0)
        o.error = "no answer from the reader on " + PortName() + ": check cable and power";
    else if (result == QD500_E_CANCELLED)
        o.error = "interrupted";
    return result == 0;
}

void Context::CloseSession() {
    std::lock_guard<std::mutex> lock(m_readerLock);
    if (m_reader) qd500_close(m_reader);
    m_reader = nullptr;
    cardType.clear();
}

void Context::Progress(size_t done, size_t total) {
    if (!terminal) return;
    double now = NowSeconds();
    if (!m_progressShown) m_progressStart = now;
    double elapsed = now - m_progressStart;
    char line[128];
    int n =
        std::snprintf(line, sizeof line, "\r%zu/%zu bytes %3.0f%%", done, total, total ? 100.0 * done / total : 100.0);
    if (elapsed > 0.2 && done > 0) {
        double rate = done / elapsed;
        std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  %.0f B/s  %.1f s left\033[K", rate,
                      (total - done) / rate);
    }
    err << line << std::flush;
    m_progressShown = true;
}

void Context::ProgressDone() {
    if (!m_progressShown) return;
    err << "\r\033[K" << std::flush;
    m_progressShown = false;
}

void Context::Interrupt() {
    m_interrupted = true;
    {
        std::lock_guard<std::mutex> lock(m_readerLock);
        if (m_reader) qd500_cancel(m_reader);
    }
    std::lock_guard<std::mutex> lock(m_pauseLock);
    m_pauseWake.notify_all();
}

bool Context::Pause(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_pauseLock);
    return !m_pauseWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_interrupted.load(); });
}

std::string Context::ResultText(const CommandResult& o) const {
    std::string head = "result " + std::to_string(o.result) + ": ";
    std::string meaning = qd500_strerror(o.result);
    if (chinese && !o.message.empty()) return head + o.message;
    return head + meaning + (o.message.empty() || o.message == meaning ? "" : " (" + o.message + ")");
}

void Context::Print(const CommandResult& o) {
    if (json) {
        std::string line = "{\"command\":" + JsonString(o.command) + ",\"ok\":" + (o.exit == kOk ? "true" : "false");
        if (o.hasResult)
            line += ",\"result\":" + std::to_string(o.result) + ",\"status\":" + JsonString(o.status) +
                    ",\"message\":" + JsonString(o.message) + ",\"meaning\":" + JsonString(qd500_strerror(o.result));
        for (const auto& [name, value] : o.fields) line += "," + JsonString(name) + ":" + JsonString(value);
        if (!o.notes.empty()) {
            line += ",\"notes\":[";
            for (size_t i = 0; i < o.notes.size(); ++i) line += (i ? "," : "") + JsonString(o.notes[i]);
            line += "]";
        }
        if (!o.error.empty()) line += ",\"error\":" + JsonString(o.error);
        out << line << "}\n";
    } else {
        for (size_t i = 0; i < o.fields.size(); ++i) {
            const auto& [name, value] = o.fields[i];
            if (name == "sw-meaning") continue;
            out << name << ": " << value;
            // A status word reads with its meaning: "sw: 6A82 file or application not found".
            if (name == "sw" && i + 1 < o.fields.size() && o.fields[i + 1].first == "sw-meaning")
                out << " " << o.fields[i + 1].second;
            out << "\n";
        }
        if (o.hasResult && o.exit == kOk) out << ResultText(o) << "\n";
    }
    out.flush();
    std::string prefix = "qd500: " + m_where + (o.command.empty() ? "" : o.command + ": ");
    if (o.exit != kOk) {
        if (o.hasResult && o.result != 0 && !o.errorSaysAll) err << prefix << ResultText(o) << "\n";
        if (!o.error.empty()) err << prefix << o.error << "\n";
        if (o.exit == kUsage && m_where.empty() && !o.error.empty() && FindCommand(o.command))
            err << "usage: qd500 " << o.command << " " << FindCommand(o.command)->usage << "\n";
    }
    for (const std::string& note : o.notes) err << prefix << note << "\n";
    err.flush();
}

namespace {

std::vector<std::string> SplitList(const char* list) {
    std::vector<std::string> names;
    std::stringstream ss(list ? list : "");
    for (std::string name; std::getline(ss, name, ',');)
        if (!name.empty()) names.push_back(name);
    return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool LooksLikeOption(const std::string& w) {
    return w.size() >= 2 && w[0] == '-' && (w[1] == '-' || std::isalpha(static_cast<unsigned char>(w[1])));
}

// The options of the tool itself, accepted before the command and after it.
// True when words[i] was one (its value consumed).
bool GlobalOption(Context& ctx, const std::vector<std::string>& words, size_t& i) {
    const std::string& a = words[i];
    auto named = [&](const char* longName, const char* shortName) {
        return a == longName || (shortName && a == shortName) || a.rfind(std::string(longName) + "=", 0) == 0;
    };
    auto value = [&](const char* longName) -> std::string {
        size_t n = std::strlen(longName);
        if (a.size() > n && a[n] == '=') return a.substr(n + 1);
        if (i + 1 >= words.size()) throw UsageError(std::string(longName) + " needs a value");
        return words[++i];
    };
    if (named("--port", "-p"))
        ctx.SetPort(value("--port"));
    else if (named("--timeout", "-t"))
        ctx.SetTimeout(value("--timeout"));
    else if (named("--lang", nullptr)) {
        std::string lang = Lower(value("--lang"));
        if (lang != "en" && lang != "zh") throw UsageError("--lang takes en or zh");
        ctx.chinese = lang == "zh";
    } else if (a == "--json" || a == "-j")
        ctx.json = true;
    else if (a == "--verbose" || a == "-v")
        ctx.verbose = true;
    else
        return false;
    return true;
}

Args ParseArgs(Context& ctx, const Command& c, const std::vector<std::string>& words) {
    Args args;
    auto options = SplitList(c.options);
    auto flags = SplitList(c.flags);
    bool endOfOptions = false;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (endOfOptions || !LooksLikeOption(w)) {
            args.positional.push_back(w);
            continue;
        }
        if (w == "--") {
            endOfOptions = true;
            continue;
        }
        if (GlobalOption(ctx, words, i)) continue;
        if (w.compare(0, 2, "--") != 0) throw UsageError("unknown option " + w);
        std::string name = w.substr(2), value;
        size_t eq = name.find('=');
        bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (Contains(options, name)) {
            if (!inlineValue) {
                if (i + 1 >= words.size()) throw UsageError("--" + name + " needs a value");
                value = words[++i];
            }
            args.options[name] = value;
        } else if (Contains(flags, name) && !inlineValue) {
            args.flags[name] = true;
        } else {
            throw UsageError("unknown option " + w);
        }
    }
    // Hex written with blanks arrives as several words.
    if (c.hexFrom >= 0 && static_cast<int>(args.positional.size()) > c.hexFrom + 1) {
        std::string joined;
        for (size_t i = static_cast<size_t>(c.hexFrom); i < args.positional.size(); ++i)
            joined += args.positional[i] + " ";
        args.positional.resize(static_cast<size_t>(c.hexFrom));
        args.positional.push_back(joined);
    }
    if (static_cast<int>(args.positional.size()) < c.minArgs) throw UsageError("missing arguments");
    if (c.maxArgs >= 0 && static_cast<int>(args.positional.size()) > c.maxArgs) throw UsageError("too many arguments");
    return args;
}

}  // namespace

int Context::Execute(const std::vector<std::string>& words, CommandResult* outcome) {
    if (words.empty()) return kOk;
    CommandResult o;
    o.command = words[0];
    const Command* c = FindCommand(words[0]);
    if (!c) {
        o.command.clear();
        o.exit = kUsage;
        std::string nearest = NearestCommand(words[0]);
        o.error = "unknown command '" + words[0] + "'" +
                  (nearest.empty() ? " (try: qd500 help)" : " (did you mean '" + nearest + "'?)");
        Print(o);
        if (outcome) *outcome = o;
        return o.exit;
    }
    auto optionsEnd = std::find(words.begin() + 1, words.end(), "--");
    if (std::find(words.begin() + 1, optionsEnd, "--help") != optionsEnd ||
        std::find(words.begin() + 1, optionsEnd, "-h") != optionsEnd) {
        PrintHelp(*this, out, c->name);
        return kOk;
    }
    // Display options given after a command hold for that command alone.
    const bool savedJson = json, savedVerbose = verbose, savedChinese = chinese;
    if (m_depth++ == 0) m_interrupted = false;
    m_received = 0;
    {
        InterruptScope scope(*this);
        try {
            Args args = ParseArgs(*this, *c, words);
            c->handler(*this, args, o);
        } catch (const UsageError& e) {
            o.exit = kUsage;
            o.error = e.what();
        }
        ProgressDone();
    }
    --m_depth;
    Print(o);
    json = savedJson;
    verbose = savedVerbose;
    chinese = savedChinese;
    if (outcome) *outcome = o;
    return o.exit;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char ch : line) {
        if (quote) {
            if (ch == quote)
                quote = 0;
            else
                word += ch;
        } else if (ch == '"' || ch == '\'') {
            quote = ch;
            inWord = true;
        } else if (ch == '#' && !inWord) {
            break;
        } else if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += ch;
            inWord = true;
        }
    }
    if (quote) throw UsageError("unterminated quote");
    if (inWord) words.push_back(word);
    return words;
}

Context::LinesRun Context::RunLines(std::istream& lines, const std::string& source, bool keepGoing) {
    LinesRun run;
    int number = 0;
    auto failed = [&](int status) {
        ++run.failed;
        run.status = status;
        return !keepGoing;
    };
    for (std::string line; !interrupted() && std::getline(lines, line);) {
        ++number;
        m_where = source + ":" + std::to_string(number) + ": ";
        std::vector<std::string> words;
        try {
            words = SplitWords(line);
        } catch (const UsageError& e) {
            ++run.lines;
            err << "qd500: " << m_where << e.what() << "\n";
            if (failed(kUsage)) break;
            continue;
        }
        if (words.empty()) continue;
        ++run.lines;
        if (words[0] == "run" || words[0] == "shell" || words[0] == "demo") {
            err << "qd500: " << m_where << "'" << words[0] << "' cannot run inside a script\n";
            if (failed(kUsage)) break;
            continue;
        }
        if (!json) out << "> " << line << "\n";
        int rc = Execute(words);
        if (rc != kOk && failed(rc)) break;
    }
    m_where.clear();
    return run;
}

std::string AskedTraceFile() {
    // Read each time; /dev/null is no request for a file to decode.
    const char* named = std::getenv("QD500_TRACE_FILE");
    return named && std::strcmp(named, "/dev/null") != 0 ? named : "";
}

int Main(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in) {
    Context ctx(out, err, in);
    ctx.terminal = &err == &std::cerr && ::isatty(STDERR_FILENO);
    size_t i = 1;
    try {
        // The default port; a missing device is reported when it is opened.
        if (const char* port = std::getenv("QD500_PORT"); port && *port) ctx.SetPort(port);
        for (; i < argv.size(); ++i) {
            const std::string& a = argv[i];
            if (a == "--help" || a == "-h") {
                PrintHelp(ctx, out, "");
                return kOk;
            }
            if (a == "--version" || a == "-V") {
                out << "qd500 " << qd500_version() << "\n";
                return kOk;
            }
            if (GlobalOption(ctx, argv, i)) continue;
            if (LooksLikeOption(a)) throw UsageError("unknown option " + a + " (try: qd500 --help)");
            break;
        }
    } catch (const UsageError& e) {
        err << "qd500: " << e.what() << "\n";
        return kUsage;
    }
    if (i >= argv.size()) {
        PrintHelp(ctx, err, "");
        return kUsage;
    }
    int rc = ctx.Execute(std::vector<std::string>(argv.begin() + static_cast<long>(i), argv.end()));
    return rc != kOk && ctx.interrupted() ? kInterrupted : rc;
}

}  // namespace qd500::cli
