// `qd500 shell`: commands typed one by one in a single session, edited with
// libedit on a terminal (history in ~/.qd500_history, Tab completion, Ctrl-C
// clearing the line), plain lines otherwise.
#include <dirent.h>
#include <histedit.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <istream>
#include <sstream>

#include "Cli.h"
#include "Interrupt.h"

namespace qd500::cli {
namespace {

std::string HistoryPath() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.qd500_history" : "";
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

std::vector<std::string> Matching(const std::vector<std::string>& all, const std::string& word) {
    std::vector<std::string> found;
    for (const std::string& candidate : all)
        if (StartsWithNoCase(candidate, word)) found.push_back(candidate);
    return found;
}

// Paths that start with word; directories end in '/'.
std::vector<std::string> Files(const std::string& word) {
    size_t slash = word.rfind('/');
    std::string dir = slash == std::string::npos ? "" : word.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? word : word.substr(slash + 1);
    std::vector<std::string> found;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return found;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name.compare(0, base.size(), base) != 0) continue;
        if (name[0] == '.' && (base.empty() || base[0] != '.')) continue;
        std::string path = dir + name;
        DIR* sub = ::opendir(path.c_str());
        if (sub) ::closedir(sub);
        found.push_back(path + (sub ? "/" : ""));
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> OptionNames(const Command& c) {
    std::vector<std::string> names = {"--port", "--timeout", "--json", "--verbose", "--lang", "--help"};
    for (const char* list : {c.options, c.flags}) {
        std::stringstream ss(list);
        for (std::string name; std::getline(ss, name, ',');)
            if (!name.empty()) names.push_back("--" + name);
    }
    return names;
}

}  // namespace

std::vector<std::string> Completions(const std::string& lineToCursor) {
    std::istringstream split(lineToCursor);
    std::vector<std::string> words;
    for (std::string w; split >> w;) words.push_back(w);
    bool fresh = lineToCursor.empty() || std::isspace(static_cast<unsigned char>(lineToCursor.back()));
    if (fresh) words.emplace_back();
    const std::string& word = words.back();
    const size_t index = words.size() - 1;

    std::vector<std::string> commands;
    for (const Command& c : Commands()) commands.push_back(c.name);
    if (index == 0) {
        commands.push_back("quit");
        commands.push_back("exit");
        return Matching(commands, word);
    }
    const Command* c = FindCommand(words[0]);
    if (!c) return {};
    const std::string previous = words[index - 1];
    if (word.rfind("--", 0) == 0) return Matching(OptionNames(*c), word);
    const std::vector<std::string> types = CardTypeWords();
    if (previous == "--card") return Matching(types, word);
    if (previous == "--format") return Matching({"bin", "hex"}, word);
    if (previous == "--lang") return Matching({"en", "zh"}, word);
    if (previous == "--port" || previous == "-p") return Files(word.empty() ? "/dev/tty" : word);
    // Arguments by command, counted without the options before them.
    size_t argument = 0;
    for (size_t i = 1; i < index; ++i)
        if (words[i][0] != '-') ++argument;
    const std::string name = c->name;
    if (argument > 0) return name == "trace" ? Files(word) : std::vector<std::string>();
    if (name == "card-type") return Matching(types, word);
    if (name == "help") return Matching(commands, word);
    if (name == "mag-read" || name == "mag-write") return Matching({"2", "3", "23"}, word);
    if (name == "mag-setting") return Matching({"A", "B", "C", "D", "K", "R", "Z"}, word);
    if (name == "trace") return Matching({"decode"}, word);
    if (name == "port") return Files(word.empty() ? "/dev/tty" : word);
    if (name == "run" || name == "personalise" || name == "dump" || name == "restore") return Files(word);
    return {};
}

namespace {

const char* Prompt(EditLine*) { return "qd500> "; }

// Tab: the word becomes the one candidate, or the candidates' common
// beginning, or the candidates are listed below the line.
unsigned char Complete(EditLine* el, int) {
    const LineInfo* li = el_line(el);
    std::string line(li->buffer, static_cast<size_t>(li->cursor - li->buffer));
    std::vector<std::string> found = Completions(line);
    if (found.empty()) return CC_ERROR;
    size_t start = line.find_last_of(" \t");
    std::string word = start == std::string::npos ? line : line.substr(start + 1);
    std::string common = found[0];
    for (const std::string& f : found) {
        size_t n = 0;
        while (n < common.size() && n < f.size() &&
               std::tolower(static_cast<unsigned char>(common[n])) == std::tolower(static_cast<unsigned char>(f[n])))
            ++n;
        common.resize(n);
    }
    if (found.size() == 1) common += found[0].back() == '/' ? "" : " ";
    if (common.size() > word.size() || (found.size() == 1 && common != word)) {
        el_deletestr(el, static_cast<int>(word.size()));
        el_insertstr(el, common.c_str());
        return CC_REFRESH;
    }
    std::string list = "\n";
    for (const std::string& f : found) list += f + "  ";
    std::fprintf(stdout, "%s\n", list.c_str());
    std::fflush(stdout);
    return CC_REDISPLAY;
}

// Ctrl-C at the prompt: the line is dropped and a fresh prompt shown.
unsigned char ClearLine(EditLine* el, int) {
    const LineInfo* li = el_line(el);
    el_cursor(el, static_cast<int>(li->lastchar - li->cursor));
    li = el_line(el);
    el_deletestr(el, static_cast<int>(li->cursor - li->buffer));
    std::fputs("^C\n", stdout);
    std::fflush(stdout);
    return CC_REDISPLAY;
}

// Runs one line; false once the shell should end.
bool Dispatch(Context& ctx, const std::string& line, int& status) {
    std::vector<std::string> words;
    try {
        words = SplitWords(line);
    } catch (const UsageError& e) {
        ctx.err << "qd500: " << e.what() << "\n";
        status = kUsage;
        return true;
    }
    if (words.empty()) return true;
    if (words[0] == "quit" || words[0] == "exit") return false;
    if (words[0] == "shell" || words[0] == "demo") {
        ctx.err << "qd500: '" << words[0] << "' is not available inside the shell\n";
        status = kUsage;
        return true;
    }
    int rc = ctx.Execute(words);
    if (rc != kOk) status = rc;
    return true;
}

int PipedShell(Context& ctx) {
    // Every line is a command, as in a script, but the shell goes on after
    // a failure; any failure makes the exit status non-zero.
    int status = kOk;
    for (std::string line; std::getline(ctx.in, line);)
        if (!Dispatch(ctx, line, status)) break;
    return status;
}

int EditedShell(Context& ctx) {
    // Between two commands, too, Ctrl-C interrupts rather than ends the shell.
    InterruptScope interrupts(ctx);
    EditLine* el = el_init("qd500", stdin, stdout, stderr);
    History* history = history_init();
    HistEvent event;
    ::history(history, &event, H_SETSIZE, 1000);
    ::history(history, &event, H_SETUNIQUE, 1);
    const std::string path = HistoryPath();
    if (!path.empty()) ::history(history, &event, H_LOAD, path.c_str());
    el_set(el, EL_EDITOR, "emacs");
    el_set(el, EL_HIST, ::history, history);
    el_set(el, EL_PROMPT, Prompt);
    el_source(el, nullptr);  // the user's ~/.editrc
    // The wide calls keep the names as given; the narrow ones copy them and
    // never free the copies.
    el_wset(el, EL_ADDFN, L"qd500-complete", L"complete the word", Complete);
    el_wset(el, EL_BIND, L"^I", L"qd500-complete", nullptr);
    // ^C reaches the editor as a key while a line is edited; during a
    // command it is the signal that interrupts the command.
    el_wset(el, EL_ADDFN, L"qd500-clear", L"clear the line", ClearLine);
    el_wset(el, EL_BIND, L"^C", L"qd500-clear", nullptr);
    el_set(el, EL_SETTY, "-d", "-isig", nullptr);
    ctx.out << "qd500 shell: 'help' lists the commands, Tab completes, 'quit' leaves.\n" << std::flush;
    int status = kOk;
    for (;;) {
        int count = 0;
        const char* raw = el_gets(el, &count);
        if (!raw || count <= 0) {
            ctx.out << "\n";
            break;
        }
        std::string line(raw, static_cast<size_t>(count));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        ::history(history, &event, H_ENTER, line.c_str());
        if (!Dispatch(ctx, line, status)) break;
    }
    if (!path.empty()) ::history(history, &event, H_SAVE, path.c_str());
    history_end(history);
    el_end(el);
    return kOk;
}

}  // namespace

int Shell(Context& ctx) {
    const bool terminal = &ctx.in == &std::cin && ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    ctx.inShell = true;
    int status = terminal ? EditedShell(ctx) : PipedShell(ctx);
    ctx.inShell = false;
    ctx.CloseSession();
    return status;
}

}  // namespace qd500::cli
