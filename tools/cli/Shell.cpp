// `qd500 shell`: commands typed one by one in a single session, with line
// editing and history on a terminal and plain line reading otherwise.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <istream>

#include <readline/history.h>
#include <readline/readline.h>

#include "Cli.h"

namespace qd500::cli {
namespace {

std::string HistoryPath() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.qd500_history" : "";
}

// Completes command names at the start of the line.
char* CompleteCommand(const char* text, int state) {
    static size_t next;
    if (state == 0) next = 0;
    const auto& table = Commands();
    size_t len = std::strlen(text);
    while (next < table.size()) {
        const char* name = table[next++].name;
        if (std::strncmp(name, text, len) == 0) return strdup(name);
    }
    return nullptr;
}

char** Complete(const char* text, int start, int) {
    rl_attempted_completion_over = 1;
    return start == 0 ? rl_completion_matches(text, CompleteCommand) : nullptr;
}

int Dispatch(Context& ctx, const std::string& line, bool& quit) {
    std::vector<std::string> words;
    try {
        words = SplitWords(line);
    } catch (const UsageError& e) {
        ctx.err << "qd500: " << e.what() << "\n";
        return kUsage;
    }
    if (words.empty()) return kOk;
    if (words[0] == "quit" || words[0] == "exit") {
        quit = true;
        return kOk;
    }
    if (words[0] == "shell" || words[0] == "demo") {
        ctx.err << "qd500: '" << words[0] << "' is not available inside the shell\n";
        return kUsage;
    }
    return ctx.Execute(words);
}

}  // namespace

int Shell(Context& ctx) {
    bool terminal = &ctx.in == &std::cin && ::isatty(STDIN_FILENO);
    int last = kOk;
    bool quit = false;
    if (!terminal) {
        // Piped input: every line is a command, as in a script, but the
        // shell goes on after a failure and reports the last status.
        for (std::string line; !quit && std::getline(ctx.in, line);) last = Dispatch(ctx, line, quit);
        ctx.CloseSession();
        return last;
    }
    std::string history = HistoryPath();
    using_history();
    if (!history.empty()) read_history(history.c_str());
    rl_attempted_completion_function = Complete;
    std::cout << "qd500 shell: 'help' lists the commands, 'quit' leaves.\n";
    while (!quit) {
        char* raw = readline("qd500> ");
        if (!raw) break;  // end of input
        std::string line = raw;
        std::free(raw);
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        add_history(line.c_str());
        last = Dispatch(ctx, line, quit);
    }
    if (!history.empty()) {
        write_history(history.c_str());
        history_truncate_file(history.c_str(), 1000);
    }
    ctx.CloseSession();
    return kOk;
}

}  // namespace qd500::cli
