// The qd500 command-line tool as a library: one command table serves the
// argument parser, help, scripts and the shell, so tests run every command
// in-process with their output captured.
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Text.h"

namespace qd500::cli {

// Exit statuses of the tool and of each command.
enum Exit { kOk = 0, kFailed = 1, kUsage = 2 };

// What one command produced: the library's result and message, and named
// output fields in the order they were added.
struct Outcome {
    std::string command;
    bool hasResult = false;  // false for commands that involve no reader call
    int result = 0;
    std::string message;     // UTF-8
    std::vector<std::pair<std::string, std::string>> fields;
    int exit = kOk;
    std::string error;       // set for usage errors and failures without a message

    void Field(const std::string& name, const std::string& value) { fields.emplace_back(name, value); }
    // Records a library call: result code and its GBK message.
    void Library(int code, const char* gbkMessage);
    // The same with the message in UTF-8.
    void Reader(int code, const std::string& message);
    void Fail(const std::string& why) { exit = kFailed; error = why; }
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // --name value
    std::map<std::string, bool> flags;           // --name
    bool Flag(const std::string& name) const { return flags.count(name) != 0; }
    const std::string* Option(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? nullptr : &it->second;
    }
};

class Context;
using Handler = void (*)(Context&, const Args&, Outcome&);

struct Command {
    const char* name;
    const char* usage;    // arguments, as shown by help
    const char* summary;  // one line
    const char* details;  // more help, may be empty
    int minArgs;
    int maxArgs;          // -1: any number
    const char* options;  // comma-separated names taking a value
    const char* flags;    // comma-separated names without a value
    Handler handler;
};

const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

// Where the tool talks to: output streams, options and the reader session.
class Context {
public:
    Context(std::ostream& out, std::ostream& err, std::istream& in);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    std::ostream& out;
    std::ostream& err;
    std::istream& in;
    bool json = false;
    bool progress = false;  // progress lines on err (set when it is a terminal)
    int timeoutSeconds = 10;

    // COM number or device path; a path is given to the library through
    // QD500_COM<n>. Throws UsageError for a bad value.
    void SetPort(const std::string& given);
    int port() const { return m_port; }
    const std::string& portName() const { return m_portName; }
    void SetTimeout(int seconds);

    // Opens the session on first use; false (with the message in o) when
    // no port is set or it cannot be opened.
    bool Session(Outcome& o);
    // Closes the session so a one-shot call can open the port itself; false
    // when no port is set.
    bool PortForOneShot(Outcome& o);
    void CloseSession();
    bool sessionOpen() const { return m_sessionOpen; }
    int sessionOpens() const { return m_opens; }

    // Runs one command line (already split into words); prints its outcome
    // and hands it to the caller when asked.
    int Execute(const std::vector<std::string>& words, Outcome* outcome = nullptr);
    // Runs lines of commands (a script or the shell); stops at the first
    // failing line unless keepGoing.
    int RunLines(std::istream& lines, const std::string& source, bool keepGoing);

    void Progress(size_t done, size_t total);
    void ProgressDone();

private:
    void Print(const Outcome& o);
    int m_port = 0;
    std::string m_portName;
    bool m_sessionOpen = false;
    int m_opens = 0;
    bool m_progressShown = false;
};

// Splits a command line into words: blanks separate, "..." and '...'
// quote, # starts a comment. Throws UsageError for an open quote.
std::vector<std::string> SplitWords(const std::string& line);

// The whole tool: global options, then a command. Returns the exit status.
int Main(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in);

// Used by commands in other files.
void PrintHelp(std::ostream& out, const std::string& command);
int Shell(Context& ctx);
int RunDemo(Context& ctx);
int DecodeTrace(std::istream& in, std::ostream& out);
std::string DefaultTracePath();
// The trace file the user asked for through QD500_TRACE_FILE; empty when
// none was (the tool then traces nowhere).
const std::string& AskedTraceFile();

}  // namespace qd500::cli
