// The qd500 command-line tool as a library: one command table serves the
// argument parser, help, scripts and the shell, so tests run every command
// in-process with their output captured.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Text.h"
#include "qd500.h"

namespace qd500::cli {

// Exit statuses of the tool and of each command.
enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kInterrupted = 130 };

// What one command produced: the reader's result with its status code and
// text, and named output fields in the order they were added.
struct CommandResult {
    std::string command;
    bool hasResult = false;  // false for commands that involve no reader call
    int result = 0;
    std::string status;   // the reader's two-character code; "" when it gave none
    std::string message;  // the reader's own text, UTF-8
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::string> notes;  // warnings and advice, shown on stderr
    int exit = kOk;
    std::string error;          // set for usage errors and failures the result does not explain
    bool errorSaysAll = false;  // the error line says what the result line would

    void Field(const std::string& name, const std::string& value) { fields.emplace_back(name, value); }
    void Reader(int code, const std::string& readerStatus, const std::string& utf8Message);
    // The status word of an APDU, with its ISO 7816-4 meaning beside it.
    void Sw(unsigned sw);
    void Note(const std::string& text) { notes.push_back(text); }
    void Fail(const std::string& why) {
        exit = kFailed;
        error = why;
    }
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
using Handler = void (*)(Context&, const Args&, CommandResult&);

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
    int hexFrom = -1;  // words from this argument on are one hex argument (blanks allowed)
};

const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);
// The command name nearest to a mistyped one, or "".
std::string NearestCommand(const std::string& name);

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
    bool verbose = false;   // every frame and reply on err, decoded
    bool chinese = false;   // --lang zh: the reader's texts alone
    bool terminal = false;  // err is a terminal: progress lines and prompts
    bool inShell = false;
    unsigned timeoutMs = 10000;

    // "COM3", "3" or a device path (relative ones too). Throws UsageError
    // for a bad value; a missing device fails when it is opened.
    void SetPort(const std::string& given);
    const std::string& port() const { return m_port; }
    // The port with the device it names, for messages.
    std::string PortName() const;
    // Seconds, fractions allowed ("2.5"). Throws UsageError.
    void SetTimeout(const std::string& seconds);
    std::string TimeoutText() const;

    // The session's reader, opened on first use; null (with the reason in
    // o) when no port is set or it cannot be opened.
    qd500_reader* Reader(CommandResult& o);
    // Records the result of a call on the session's reader in o; true for 0.
    bool Done(CommandResult& o, int result);
    void CloseSession();
    bool sessionOpen() const { return m_reader != nullptr; }
    int sessionOpens() const { return m_opens; }
    // The card type selected on the session's reader ("" before any).
    std::string cardType;
    // Wrong codes in a row presented through this run, by code ("psc",
    // "at88 0x0010"): the reader cannot read a card's own error counter, so
    // this count starts with the run.
    std::map<std::string, unsigned> wrongCodes;

    // Runs one command line (already split into words); prints its outcome
    // and hands it to the caller when asked.
    int Execute(const std::vector<std::string>& words, CommandResult* outcome = nullptr);
    // Runs lines of commands (a script or piped input).
    struct LinesRun {
        int status = kOk;
        int lines = 0;
        int failed = 0;
    };
    LinesRun RunLines(std::istream& lines, const std::string& source, bool keepGoing);
    // The same for a file in the format of scriptor (bare APDUs, reset).
    LinesRun RunScriptor(std::istream& lines, const std::string& source, bool echo, bool keepGoing);

    void Progress(size_t done, size_t total);
    void ProgressDone();

    // Ctrl-C, from any thread: ends the reader's wait and marks the command
    // interrupted.
    void Interrupt();
    bool interrupted() const { return m_interrupted; }
    // Waits up to ms; false when interrupted meanwhile.
    bool Pause(unsigned ms);

private:
    static void QD500_CDECL OnLine(void* self, int direction, const unsigned char* bytes, size_t len);
    static void QD500_CDECL OnIdle(void* self);
    void Print(const CommandResult& o);
    std::string ResultText(const CommandResult& o) const;
    void Observe(int direction, const unsigned char* bytes, size_t len);

    std::string m_port;
    std::string m_where;      // "FILE:LINE: " while a script runs
    std::mutex m_readerLock;  // m_reader against Interrupt from another thread
    qd500_reader* m_reader = nullptr;
    int m_opens = 0;
    bool m_progressShown = false;
    size_t m_received = 0;  // bytes the reader sent during this command
    bool m_lastSentApdu = false;
    double m_progressStart = 0;
    int m_depth = 0;  // of Execute: only the outermost command starts afresh
    std::atomic<bool> m_interrupted{false};
    std::mutex m_pauseLock;
    std::condition_variable m_pauseWake;
};

// A script in the format of scriptor: its first line that is no comment
// is "reset" or a bare APDU in hex.
bool IsScriptorScript(const std::string& text);

// Splits a command line into words: blanks separate, "..." and '...'
// quote, # starts a comment. Throws UsageError for an open quote.
std::vector<std::string> SplitWords(const std::string& line);
// The library's card-type table, row by row in its order.
std::vector<struct qd500_card_info> CardTable();
// The card-type names of the library's table, in its order; the same with
// the names people use beside them (SLE4442 beside S4442), which are taken
// too; and all of them as one line, "CPU, S4418 (SLE4418), ...".
std::vector<std::string> CardTypeNames();
std::vector<std::string> CardTypeWords();
std::string CardTypeNameList();
// The head's setting letters of the library, with `between` between them.
std::string HeadLetters(const std::string& between);

// The whole tool: global options, then a command. Returns the exit status.
int Main(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err, std::istream& in);

// Used by commands in other files.
void PrintHelp(Context& ctx, std::ostream& out, const std::string& command);
int Shell(Context& ctx);
int RunDemo(Context& ctx);
int DecodeTrace(std::istream& in, std::ostream& out);
std::string DefaultTracePath();
// The trace file the user asked for through QD500_TRACE_FILE; empty when
// none was (the tool then traces nowhere).
std::string AskedTraceFile();
// One frame or reply seen on the line, as trace decode shows it; lastApdu
// carries whether the frame before was an APDU.
std::string DecodeLineBytes(bool sent, const std::string& bytes, bool& lastApdu);
// What the shell completes for the line up to the cursor: the word being
// typed is replaced by one of these.
std::vector<std::string> Completions(const std::string& lineToCursor);

}  // namespace qd500::cli
