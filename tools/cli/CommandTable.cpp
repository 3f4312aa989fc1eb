// The command table, help, and the commands of the tool itself (ports and
// time-outs, scripts, the shell, the demo, the trace log).
#include <fstream>
#include <sstream>

#include "Handlers.h"
#include "Profile.h"

namespace qd500::cli {
namespace {

void CmdHelp(Context& ctx, const Args& a, CommandResult&) {
    std::string name = a.positional.empty() ? "" : a.positional[0];
    if (!name.empty() && !FindCommand(name)) {
        std::string nearest = NearestCommand(name);
        throw UsageError("unknown command '" + name + "'" +
                         (nearest.empty() ? "" : " (did you mean '" + nearest + "'?)"));
    }
    PrintHelp(ctx, ctx.out, name);
}

void CmdPort(Context& ctx, const Args& a, CommandResult& o) {
    if (!a.positional.empty()) ctx.SetPort(a.positional[0]);
    o.Field("port", ctx.port().empty() ? "none" : ctx.PortName());
}

void CmdTimeout(Context& ctx, const Args& a, CommandResult& o) {
    if (!a.positional.empty()) ctx.SetTimeout(a.positional[0]);
    o.Field("timeout", ctx.TimeoutText());
}

void CmdRun(Context& ctx, const Args& a, CommandResult& o) {
    const std::string& source = a.positional[0];
    std::string text;
    if (source == "-") {
        text.assign(std::istreambuf_iterator<char>(ctx.in), std::istreambuf_iterator<char>());
    } else {
        std::ifstream file(source);
        if (!file) throw UsageError("cannot read script " + source);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::istringstream lines(text);
    const bool keepGoing = a.Flag("keep-going");
    const bool scriptor = a.Flag("scriptor") || IsScriptorScript(text);
    // scriptor echoes the lines of a file, not those of its standard input.
    Context::LinesRun run =
        scriptor ? ctx.RunScriptor(lines, source, source != "-", keepGoing) : ctx.RunLines(lines, source, keepGoing);
    ctx.CloseSession();
    o.exit = run.status;
    if (ctx.interrupted()) o.Fail("interrupted");
    if (!keepGoing) return;
    std::string summary = std::to_string(run.lines) + " line" + (run.lines == 1 ? "" : "s") + ", " +
                          std::to_string(run.failed) + " failed";
    if (ctx.json) {
        o.Field("lines", std::to_string(run.lines));
        o.Field("failed", std::to_string(run.failed));
    } else {
        ctx.out << summary << "\n";
    }
}

void CmdShell(Context& ctx, const Args&, CommandResult& o) { o.exit = Shell(ctx); }

void CmdDemo(Context& ctx, const Args&, CommandResult& o) {
    o.exit = RunDemo(ctx);
    if (o.exit != kOk) o.error = "the tour did not go as expected";
}

void CmdTrace(Context& ctx, const Args& a, CommandResult& o) {
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

// Words in lines of at most 80 characters.
std::string Wrapped(const std::vector<std::string>& words) {
    std::string text, line;
    for (const std::string& word : words) {
        if (!line.empty() && line.size() + 1 + word.size() > 80) {
            text += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return text + line;
}

// A text in lines of at most 80 characters, broken at its blanks.
std::string WrappedText(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return Wrapped(words);
}

// The card-type names and the names people use beside them, in lines of at
// most 80 characters.
std::string CardTypeList() { return Wrapped(CardTypeWords()); }

// The memory size of every card type that has memory, from the library's table.
std::string SizesText() {
    std::vector<std::string> words{"Sizes", "by", "card", "type:"};
    for (const auto& info : CardTable())
        if (info.memory_size > 0)
            words.push_back(std::string(info.name) + " " + std::to_string(info.memory_size) +
                            (words.size() == 4 ? " bytes," : ","));
    words.back().back() = '.';
    return Wrapped(words);
}

// The SLE44xx codes' lengths and wrong codes allowed, from the library's table.
std::string SleCodes() {
    std::string text;
    for (const auto& info : CardTable()) {
        if (info.code_length == 0 || info.family == QD500_FAMILY_AT88SC) continue;
        text += (text.empty() ? "" : "; ") + std::string(info.name) + ": " + std::to_string(info.code_length) +
                " bytes, " + std::to_string(info.code_tries) + " wrong codes";
    }
    return text;
}

// What an AT88SC code is and costs, from the library's table.
std::string At88CodeText() {
    std::string length, tries;
    for (const auto& info : CardTable()) {
        if (info.family != QD500_FAMILY_AT88SC) continue;
        length = std::to_string(info.code_length);
        tries += (tries.empty() ? "" : ", ") + std::string(info.name) + " " + std::to_string(info.code_tries);
    }
    return Wrapped({"The",   "code",  "is", length, "bytes;", "an",   "AT88SC", "allows", "this",  "many",
                    "wrong", "codes", "in", "a",    "row,",   "then", "locks",  "for",    "good:", tries + "."});
}

const char kCardOption[] =
    "The card type is --card NAME (selected on the reader), else the one card-type\n"
    "selected in this session, else the one the reader's status names.";

}  // namespace

const std::vector<Command>& Commands() {
    static const std::string cardTypeHelp = "NAME in any case:\n" + CardTypeList() + ".";
    static const std::string dumpHelp =
        std::string(
            "Reads the card, whole by default, into FILE ('-': standard output), with a\n"
            "progress line on a terminal; Ctrl-C keeps what was read and says how much.\n"
            "--format bin (the default) or hex (offsets, 16 bytes and an ASCII column).\n"
            "--card NAME selects the type and powers the card on before and off after;\n"
            "without it the card must be powered already.\n") +
        kCardOption + "\n" + SizesText();
    static const std::string restoreHelp =
        std::string(
            "Writes FILE back (a binary image of the whole card, or a hex dump at its own\n"
            "offsets, detected by its first line or named by --format) and reads it back:\n"
            "the first offset where the card differs from the file is reported. Anything\n"
            "but the card's whole size is refused before a byte is written; --partial\n"
            "writes a piece (a binary one at ADDR). --psc HEX presents an SLE44xx code\n"
            "first; --card as for dump.\n") +
        kCardOption;
    static const std::string codeHelp =
        WrappedText(
            "The code's length is checked against the card type before anything is sent, and after a "
            "wrong code the tool says how many wrong codes in a row the card allows before it locks for "
            "good (" +
            SleCodes() + ") and how many are left as this run counts them; a right code resets the count.") +
        "\nThe count starts with the run (one qd500 shell or script): the reader cannot\n"
        "read the card's own counter. The try that would lock the card if wrong is\n"
        "asked about on a terminal and refused elsewhere; --force sends it.\n" +
        kCardOption;
    static const std::string at24Help = std::string(
        "Runs the AT24 sequence on the reader: device number (--device N, default 0),\n"
        "card type, power on, the data, power off. The type is --card NAME, else the\n"
        "AT24 type of this session or of the reader's status, else AT24C16; the range\n"
        "is checked against its size.");
    static const std::string at88CodeHelp = At88CodeText();
    static const std::string magSettingSummary = "magnetic head setting: " + HeadLetters(" ");
    static const std::string magSettingHelp =
        "LETTER, in any case, is one of the seven settings the magnetic head knows:\n  " + HeadLetters("  ") +
        "\n"
        "It is sent as ESC '%' LETTER; the head answers ESC '%' '0' when it takes the\n"
        "setting and ESC '%' '1' when it does not. Other letters are refused here\n"
        "before anything is sent.";
    static const std::vector<Command> table = {
        // name, usage, summary, details, min, max, options, flags, handler[, hexFrom]
        {"help", "[COMMAND]", "list the commands, or explain one", "", 0, 1, "", "", CmdHelp},
        {"port", "[COMn|N|PATH]", "use this port for what follows (none: show it)",
         "COMn or a number is the library's COM port (on Linux QD500_COM<n>, else\n/dev/ttyS<n-1>); anything else is "
         "a device path, relative ones too.\nQD500_PORT sets the default.",
         0, 1, "", "", CmdPort},
        {"timeout", "[SECONDS]", "reply time-out in seconds (fractions allowed; none: show it)",
         "0 to 255 seconds, e.g. 2.5; the raw frame command waits in whole seconds.", 0, 1, "", "", CmdTimeout},
        {"ports", "[DEVICE...]", "list the serial devices a reader may be on (--probe asks each)",
         "Lists /dev/ttyS* (those with a UART), /dev/ttyUSB*, /dev/ttyACM* and the links in\n"
         "/dev/serial/by-id, or the devices named. --probe opens each and sends the reader's\n"
         "status command, waiting at most half a second.",
         0, -1, "", "probe", CmdPorts},

        {"card-type", "NAME", "tell the reader which card it holds", cardTypeHelp.c_str(), 1, 1, "", "", CmdCardType},
        {"power-on", "", "power the card up and show its answer to reset", "", 0, 0, "", "", CmdPowerOn},
        {"power-off", "", "power the card down", "", 0, 0, "", "", CmdPowerOff},
        {"status", "", "the reader's three state fields",
         "state1     01: a card is in the slot, 00: none\n"
         "state2     01: the card is powered, 00: not\n"
         "state3     the type byte of the card type the reader has selected (88 CPU,\n"
         "           42 S4442, 28 S4428, 05 AT24C16, ...; 00 before any selection)\n"
         "card, powered and card-type say the same in words.",
         0, 0, "", "", CmdStatus},
        {"version", "", "the reader's firmware version", "", 0, 0, "", "", CmdVersion},
        {"eject", "", "eject the card", "", 0, 0, "", "", CmdEject},
        {"device-no", "N", "set the device number (0..99)", "", 1, 1, "", "", CmdDeviceNo},
        {"watch", "", "show card insertions and removals as they happen (--once)",
         "Asks the reader's status four times a second; Ctrl-C stops, --once stops after\n"
         "the first insertion or removal.",
         0, 0, "", "once", CmdWatch},
        {"atr", "[HEX]", "take an answer to reset apart (none given: the card's, by power-on)",
         "TS, T0, the interface bytes and the protocols they announce, the historical\n"
         "bytes and the TCK check, as pcsc_scan shows them.",
         0, -1, "", "", CmdAtr, 0},

        {"apdu", "HEX...", "send an APDU to the CPU card",
         "CLA INS P1 P2 [P3 [DATA [LE]]], hex with or without blanks; P3 is the data length\n"
         "when data follows (then one more byte is Le). 61xx and 6Cxx are followed up. The\n"
         "status word is shown with its ISO 7816-4 meaning; one other than 9000 or 61xx is\n"
         "a warning. --expect SW fails the command (exit 1) unless the card answers SW.",
         1, -1, "expect", "", CmdApdu, 0},
        {"get-response", "LE", "GET RESPONSE for LE bytes (0..256)", "", 1, 1, "expect", "", CmdGetResponse},
        {"select", "FID", "SELECT a file by its 2-byte identifier", "", 1, -1, "expect", "", CmdSelect, 0},
        {"challenge", "", "GET CHALLENGE: 4 random bytes from the card", "", 0, 0, "expect", "", CmdChallenge},
        {"verify-pin", "PIN", "present a PIN to the card (--ref RR, default 00)",
         "After a wrong PIN the card is asked how many tries are left (VERIFY without\n"
         "data, which spends none): sw 63Cx.",
         1, -1, "ref", "", CmdVerifyPin, 0},
        {"personalise", "PROFILE", "set up a CPU card's file system from a profile file", kProfileHelp, 1, 1, "", "",
         CmdPersonalise},

        {"read", "ADDR LEN", "read card memory (ADDR hex, LEN decimal or 0x..)",
         "Reads go in exchanges of 128 bytes, with progress on a terminal; --card NAME\n"
         "selects the type first.",
         2, 2, "card", "", CmdRead},
        {"write", "ADDR HEX...", "write card memory",
         "Writes go in exchanges of at most 121 bytes; zero bytes are data too.", 2, -1, "card", "", CmdWrite, 1},
        {"dump", "FILE [ADDR [LEN]]", "read a whole card (or a range) into a file", dumpHelp.c_str(), 1, 3,
         "card,format", "", CmdDump},
        {"restore", "FILE [ADDR]", "write a file back to the card and verify it", restoreHelp.c_str(), 1, 2,
         "card,format,psc", "force,partial", CmdRestore},

        {"sle-verify", "PSC", "present the SLE44xx programmable security code (hex)", codeHelp.c_str(), 1, -1, "card",
         "force", CmdSleVerify, 0},
        {"sle-change-pin", "PSC", "change the SLE44xx security code", codeHelp.c_str(), 1, -1, "card", "",
         CmdSleChangePin, 0},
        {"sle-compare-write", "ADDR HEX...", "SLE4442 write with data comparison (protects bytes that match)", "", 2,
         -1, "card", "", CmdSleCompareWrite, 1},
        {"sle4442-protection", "[ADDR [LEN]]", "read the SLE4442 protection memory (default 00, 4 bytes)",
         "ADDR and LEN count bytes of the 4-byte protection memory: a bit a data byte\n"
         "over bytes 0-31, least significant first, 0 where the byte is protected.",
         0, 2, "card", "", CmdSle4442Protection},
        {"sle4428-read-protected", "ADDR LEN", "read SLE4428 data with its protection bits", "", 2, 2, "card", "",
         CmdSle4428ReadProtected},
        {"sle4428-write-protected", "ADDR HEX...", "write SLE4428 data and protect it", "", 2, -1, "card", "",
         CmdSle4428WriteProtected, 1},

        {"at88-verify", "ADDR CODE", "present an AT88SC security code at ADDR", at88CodeHelp.c_str(), 2, -1, "card",
         "force", CmdAt88Verify, 1},
        {"at88-erase", "ADDR LEN", "erase LEN (0..255) AT88SC bytes at ADDR", "", 2, 2, "", "", CmdAt88Erase},
        {"at88-personalise", "ADDR", "AT88SC personalisation at ADDR", "", 1, 1, "", "", CmdAt88Personalise},

        {"at24-read", "ADDR LEN", "read an AT24Cxx card in one sequence (--device N, --card NAME)", at24Help.c_str(), 2,
         2, "device,card", "", CmdAt24Read},
        {"at24-write", "ADDR HEX...", "write an AT24Cxx card in one sequence (--device N, --card NAME)",
         at24Help.c_str(), 2, -1, "device,card", "", CmdAt24Write, 1},

        {"mag-read", "[2|3|23]", "read magnetic tracks (default 23) from a swipe",
         "Waits up to the time-out for the swipe; Ctrl-C stops waiting.", 0, 1, "", "", CmdMagRead},
        {"mag-write", "2|3|23 TEXT [TEXT3]", "write magnetic tracks (--prefix sends ESC B 4 first)",
         "mag-write 2 TRACK2 | mag-write 3 TRACK3 | mag-write 23 TRACK2 TRACK3", 2, 3, "", "prefix", CmdMagWrite},
        {"mag-setting", "LETTER", magSettingSummary.c_str(), magSettingHelp.c_str(), 1, 1, "", "", CmdMagSetting},

        {"3des", "DATA KEY", "two-key triple-DES of an 8-byte block (hex; --decrypt decrypts)", "", 2, 2, "", "decrypt",
         CmdTriDes},
        {"diversify", "DATA KEY", "diversified 16-byte key from 8 bytes of data and a master key", "", 2, 2, "", "",
         CmdDiversify},
        {"xor", "A B", "XOR of two 8-byte values (hex)", "", 2, 2, "", "", CmdXor},
        {"pin-block", "PIN PAN KEY", "ISO 9564 format-0 PIN block (--decrypt BLOCK PAN KEY: the PIN)",
         "PIN 4 to 12 digits, PAN the account number's 13 to 19 digits, KEY 8 bytes (DES)\n"
         "or 16 (two-key triple-DES), hex.",
         3, 3, "", "decrypt", CmdPinBlock},

        {"frame", "BODY", "send a raw command body (checksum added), show the reply",
         "Goes through the drop-in library's raw pass-through, e.g. 'frame 47' for the\ndevice status.", 1, -1, "", "",
         CmdFrame, 0},
        {"trace", "decode [FILE|-]", "make the trace log readable",
         "FILE defaults to $QD500_TRACE_FILE, else DOVoruv.Log beside the qd500 executable.", 1, 2, "", "", CmdTrace},
        {"run", "FILE|-", "run the commands of FILE (or standard input) in one session",
         "One command per line, # starts a comment; stops at the first failing line and\n"
         "names it. --keep-going runs every line and ends with a summary (12 lines,\n"
         "2 failed); it exits non-zero only when a line failed. --scriptor (or a file of\n"
         "bare APDUs and 'reset', detected) prints what scriptor prints.",
         1, 1, "", "keep-going,scriptor", CmdRun},
        {"shell", "", "interactive commands in one session", "", 0, 0, "", "", CmdShell},
        {"demo", "", "a tour of the library on the built-in simulator", "", 0, 0, "", "", CmdDemo},
    };
    return table;
}

void PrintHelp(Context& ctx, std::ostream& out, const std::string& name) {
    const char* prefix = ctx.inShell ? "" : "qd500 [options] ";
    if (const Command* c = FindCommand(name)) {
        out << "usage: " << prefix << c->name << (c->usage[0] ? " " : "") << c->usage << "\n  " << c->summary << "\n";
        if (c->details[0]) out << "\n" << c->details << "\n";
        return;
    }
    if (!ctx.inShell)
        out << "usage: qd500 [options] COMMAND [ARGS]     qd500 help COMMAND     qd500 COMMAND --help\n\n"
               "options (before or after the command):\n"
               "  -p, --port COMn|N|PATH   the reader's port (default: $QD500_PORT)\n"
               "  -t, --timeout SECONDS    reply time-out, fractions allowed (default 10)\n"
               "  -j, --json               one JSON object per command\n"
               "  -v, --verbose            every frame and reply on stderr, decoded\n"
               "      --lang en|zh         English with the reader's text beside it, or its text alone\n"
               "  -h, --help               this help      -V, --version   the tool's version\n";
    out << "\ncommands:\n";
    for (const Command& c : Commands()) {
        if (ctx.inShell && (std::string(c.name) == "shell" || std::string(c.name) == "demo")) continue;
        std::string head = std::string(c.name) + (c.usage[0] ? " " : "") + c.usage;
        out << "  " << head << std::string(head.size() < 34 ? 34 - head.size() : 1, ' ') << c.summary << "\n";
    }
    if (ctx.inShell) {
        out << "  quit, exit                        leave the shell\n"
               "\nTab completes commands and arguments; Ctrl-C clears the line or stops a waiting command.\n";
        return;
    }
    out << "\nExit status: 0 done, 1 the reader or library reported a failure, 2 bad usage\n"
           "(nothing was sent), 130 interrupted.\n"
           "\nNew here? Try 'qd500 demo' (a tour on the built-in simulator) and 'qd500-sim --pty'\n"
           "(a simulated reader on a pseudo-terminal; it prints the path to give --port).\n"
           "\nexamples:\n"
           "  qd500 -p /dev/ttyUSB0 card-type CPU && qd500 -p /dev/ttyUSB0 atr\n"
           "  qd500 -p /dev/ttyUSB0 apdu 00 A4 00 00 02 3F 00 --expect 9000\n"
           "  qd500 -p COM3 dump --card AT24C64 --format hex card.txt\n";
}

}  // namespace qd500::cli
