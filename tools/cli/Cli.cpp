#include "Cli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "qd500.h"
#include "qd500dll.h"

namespace qd500::cli {

void Outcome::Library(int code, const char* gbkMessage) { Reader(code, GbkToUtf8(gbkMessage ? gbkMessage : "")); }

void Outcome::Reader(int code, const std::string& utf8) {
    hasResult = true;
    result = code;
    message = utf8;
    exit = code == 0 ? kOk : kFailed;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : Commands())
        if (name == c.name) return &c;
    return nullptr;
}

Context::Context(std::ostream& o, std::ostream& e, std::istream& i) : out(o), err(e), in(i) {}

Context::~Context() { CloseSession(); }

void Context::SetPort(const std::string& given) {
    std::string number = given;
    if (number.size() > 3 && (number.compare(0, 3, "COM") == 0 || number.compare(0, 3, "com") == 0))
        number = number.substr(3);
    int port = 0;
    bool isPath = false;
    if (!number.empty() && std::all_of(number.begin(), number.end(), ::isdigit)) {
        port = static_cast<int>(ParseNumber(number, 1, 255, "port number"));
    } else {
        if (given.find('/') == std::string::npos) throw UsageError("bad port '" + given + "': give a COM number or a device path");
        if (::access(given.c_str(), F_OK) != 0) throw UsageError("no such device: " + given);
        isPath = true;
        // The library opens COM<n> through QD500_COM<n>: reuse a number that
        // already names this path, else take the first one not in use.
        for (int n = 1; n <= 255 && port == 0; ++n) {
            const char* named = std::getenv(("QD500_COM" + std::to_string(n)).c_str());
            if (named && given == named) port = n;
        }
        for (int n = 1; n <= 255 && port == 0; ++n) {
            std::string var = "QD500_COM" + std::to_string(n);
            if (!std::getenv(var.c_str())) {
                ::setenv(var.c_str(), given.c_str(), 1);
                port = n;
            }
        }
        if (port == 0) throw UsageError("no free QD500_COM<n> for " + given);
    }
    if (port != m_port) CloseSession();
    m_port = port;
    m_portName = isPath ? given + " (COM" + std::to_string(port) + ")" : "COM" + std::to_string(port);
}

void Context::SetTimeout(int seconds) {
    timeoutSeconds = seconds;
    gSetTimeOutIC(static_cast<char>(seconds));
}

bool Context::Session(Outcome& o) {
    if (m_port == 0) {
        o.exit = kUsage;
        o.error = "no port: give --port N|PATH (or 'port N|PATH' in a script)";
        return false;
    }
    if (m_sessionOpen) return true;
    gSetTimeOutIC(static_cast<char>(timeoutSeconds));
    char msg[64] = {};
    short rc = gOpenComIC(static_cast<short>(m_port), msg);
    if (rc != 0) {
        o.Library(rc, msg);
        o.error = "cannot open " + m_portName + ": " + o.message;
        return false;
    }
    m_sessionOpen = true;
    ++m_opens;
    return true;
}

bool Context::PortForOneShot(Outcome& o) {
    if (m_port == 0) {
        o.exit = kUsage;
        o.error = "no port: give --port N|PATH (or 'port N|PATH' in a script)";
        return false;
    }
    // The one-shot calls open the port themselves, which the session would
    // hold exclusively; the next session command opens it again.
    CloseSession();
    gSetTimeOutIC(static_cast<char>(timeoutSeconds));
    return true;
}

void Context::CloseSession() {
    if (!m_sessionOpen) return;
    char msg[64];
    gCloseComIC(msg);
    m_sessionOpen = false;
}

void Context::Progress(size_t done, size_t total) {
    if (!progress) return;
    err << "\r" << done << "/" << total << " bytes" << std::flush;
    m_progressShown = true;
}

void Context::ProgressDone() {
    if (!m_progressShown) return;
    err << "\r\033[K" << std::flush;
    m_progressShown = false;
}

void Context::Print(const Outcome& o) {
    if (json) {
        std::string line = "{\"command\":" + JsonString(o.command) + ",\"ok\":" + (o.exit == kOk ? "true" : "false");
        if (o.hasResult) line += ",\"result\":" + std::to_string(o.result) + ",\"message\":" + JsonString(o.message);
        for (const auto& [name, value] : o.fields) line += "," + JsonString(name) + ":" + JsonString(value);
        if (!o.error.empty()) line += ",\"error\":" + JsonString(o.error);
        out << line << "}\n";
    } else {
        for (const auto& [name, value] : o.fields) out << name << ": " << value << "\n";
        if (o.hasResult && o.exit == kOk) out << "result: " << o.result << " " << o.message << "\n";
    }
    out.flush();
    if (o.exit != kOk) {
        std::string why = o.error;
        if (why.empty() && o.hasResult) why = "result " + std::to_string(o.result) + ": " + o.message;
        err << "qd500: " << (o.command.empty() ? "" : o.command + ": ") << why << "\n";
        if (o.exit == kUsage && !o.command.empty() && FindCommand(o.command))
            err << "usage: qd500 " << o.command << " " << FindCommand(o.command)->usage << "\n";
        err.flush();
    }
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

Args ParseArgs(const Command& c, const std::vector<std::string>& words) {
    Args args;
    auto options = SplitList(c.options);
    auto flags = SplitList(c.flags);
    bool endOfOptions = false;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (endOfOptions || w.size() < 3 || w.compare(0, 2, "--") != 0) {
            args.positional.push_back(w);
            continue;
        }
        if (w == "--") {
            endOfOptions = true;
            continue;
        }
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
    if (static_cast<int>(args.positional.size()) < c.minArgs) throw UsageError("missing arguments");
    if (c.maxArgs >= 0 && static_cast<int>(args.positional.size()) > c.maxArgs) throw UsageError("too many arguments");
    return args;
}

}  // namespace

int Context::Execute(const std::vector<std::string>& words, Outcome* outcome) {
    if (words.empty()) return kOk;
    Outcome o;
    o.command = words[0];
    const Command* c = FindCommand(words[0]);
    if (!c) {
        o.command.clear();
        o.exit = kUsage;
        o.error = "unknown command '" + words[0] + "' (try: qd500 help)";
        Print(o);
        if (outcome) *outcome = o;
        return o.exit;
    }
    if (std::find(words.begin() + 1, words.end(), "--help") != words.end() ||
        std::find(words.begin() + 1, words.end(), "-h") != words.end()) {
        PrintHelp(out, c->name);
        return kOk;
    }
    try {
        Args args = ParseArgs(*c, words);
        c->handler(*this, args, o);
    } catch (const UsageError& e) {
        ProgressDone();
        o.exit = kUsage;
        o.error = e.what();
    }
    Print(o);
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
            if (ch == quote) quote = 0;
            else word += ch;
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

int Context::RunLines(std::istream& lines, const std::string& source, bool keepGoing) {
    int status = kOk;
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::vector<std::string> words;
        try {
            words = SplitWords(line);
        } catch (const UsageError& e) {
            err << "qd500: " << source << ":" << number << ": " << e.what() << "\n";
            status = kUsage;
            if (!keepGoing) return status;
            continue;
        }
        if (words.empty()) continue;
        if (words[0] == "run" || words[0] == "shell" || words[0] == "demo") {
            err << "qd500: " << source << ":" << number << ": '" << words[0] << "' cannot run inside a script\n";
            status = kUsage;
            if (!keepGoing) return status;
            continue;
        }
        if (!json) out << "> " << line << "\n";
        int rc = Execute(words);
        if (rc != kOk) {
            err << "qd500: " << source << ":" << number << ": failed\n";
            status = rc;
            if (!keepGoing) return status;
        }
    }
    return status;
}

const std::string& AskedTraceFile() {
    static const std::string asked = [] {
        const char* named = std::getenv("QD500_TRACE_FILE");
        return std::string(named && std::strcmp(named, "/dev/null") != 0 ? named : "");
    }();
    return asked;
}

int Main(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in) {
    // The tool traces only when asked (QD500_TRACE_FILE): the drop-in calls
    // it makes would otherwise write their log beside the executable, into
    // /usr/bin for an installed tool.
    if (AskedTraceFile().empty()) ::setenv("QD500_TRACE_FILE", "/dev/null", 1);
    Context ctx(out, err, in);
    ctx.progress = &err == &std::cerr && ::isatty(STDERR_FILENO);
    size_t i = 1;
    try {
        for (; i < argv.size(); ++i) {
            const std::string& a = argv[i];
            auto value = [&](const std::string& name) -> std::string {
                if (a.size() > name.size() && a[name.size()] == '=') return a.substr(name.size() + 1);
                if (i + 1 >= argv.size()) throw UsageError(name + " needs a value");
                return argv[++i];
            };
            auto is = [&](const std::string& name) { return a == name || a.rfind(name + "=", 0) == 0; };
            if (is("--port")) ctx.SetPort(value("--port"));
            else if (is("--timeout")) ctx.SetTimeout(static_cast<int>(ParseNumber(value("--timeout"), 0, 255, "time-out")));
            else if (a == "--json") ctx.json = true;
            else if (a == "--help" || a == "-h") {
                PrintHelp(out, "");
                return kOk;
            } else if (a == "--version" || a == "-V") {
                out << "qd500 " << qd500_version() << "\n";
                return kOk;
            } else if (a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a + " (try: qd500 --help)");
            else break;
        }
    } catch (const UsageError& e) {
        err << "qd500: " << e.what() << "\n";
        return kUsage;
    }
    if (i >= argv.size()) {
        PrintHelp(err, "");
        return kUsage;
    }
    return ctx.Execute(std::vector<std::string>(argv.begin() + static_cast<long>(i), argv.end()));
}

}  // namespace qd500::cli
