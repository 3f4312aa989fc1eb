// Scripts in the format of scriptor (pcsc-tools): bare APDU lines, "reset",
// "#" comments, a trailing backslash continuing a line, "exit". The output
// is scriptor's: the line as read (for a file), "> " and the APDU, "< " and
// the response with its status word's meaning.
#include <cctype>
#include <istream>
#include <ostream>

#include "Handlers.h"
#include "StatusWords.h"

namespace qd500::cli {
namespace {

std::string Trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r\n"), end = s.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? "" : s.substr(begin, end - begin + 1);
}

std::string Pairs(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) out += text.substr(i, 2) + (i + 2 <= text.size() ? " " : "");
    return out;
}

bool BareHex(const std::string& line) {
    size_t digits = 0;
    for (unsigned char c : line) {
        if (std::isxdigit(c))
            ++digits;
        else if (c != ' ' && c != '\t' && c != '\\')
            return false;
    }
    return digits >= 8;
}

// scriptor's response line: bytes spaced, a line break after every 16 that
// more follow, then the status word's meaning.
std::string ResponseLine(const std::vector<uint8_t>& resp) {
    std::string line = "< ";
    for (size_t i = 0; i < resp.size(); ++i) {
        line += ToHex(&resp[i], 1);
        if (i + 1 < resp.size()) line += (i + 1) % 16 == 0 ? " \n" : " ";
    }
    std::string meaning = resp.size() >= 2 ? SwMeaning(static_cast<unsigned>(resp[resp.size() - 2] << 8 | resp.back()))
                                           : "no status word";
    meaning[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(meaning[0])));
    return line + " : " + meaning + ".";
}

}  // namespace

bool IsScriptorScript(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = Trim(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 1;
        if (line.empty() || line[0] == '#') continue;
        return Lower(line) == "reset" || BareHex(line);
    }
    return false;
}

Context::LinesRun Context::RunScriptor(std::istream& lines, const std::string& source, bool echo, bool keepGoing) {
    LinesRun run;
    int number = 0;
    std::string apdu;
    auto fail = [&](const std::string& why) {
        err << "qd500: " << m_where << why << "\n";
        ++run.failed;
        run.status = kFailed;
        return !keepGoing;
    };
    for (std::string raw; !interrupted() && std::getline(lines, raw);) {
        ++number;
        m_where = source + ":" + std::to_string(number) + ": ";
        m_received = 0;
        if (echo) out << raw << "\n";
        std::string line = Trim(raw);
        if (Lower(line) == "exit") break;
        if (line.empty() || line[0] == '#') continue;
        CommandResult o;
        if (Lower(line) == "reset") {
            ++run.lines;
            out << "> RESET\n";
            qd500_reader* r = Reader(o);
            std::vector<uint8_t> atr(QD500_ATR_MAX);
            size_t n = 0;
            if (r && Done(o, qd500_power_on(r, atr.data(), atr.size(), &n))) {
                out << "< OK: ";
                for (size_t i = 0; i < n; ++i) out << ToHex(&atr[i], 1) << " ";
                out << "\n";
            } else {
                std::string why = o.error.empty() && o.hasResult ? ResultText(o) : o.error;
                out << "< KO: " << why << "\n";
                if (fail(why)) break;
            }
            continue;
        }
        // The APDU as scriptor shows it: a line without blanks split into
        // pairs, each followed by one; a trailing backslash continues it.
        if (line.find_first_of(" \t") == std::string::npos) line = Pairs(line);
        if (line.back() == '\\') {
            line.pop_back();
            apdu += line.substr(0, line.find_last_not_of(" \t") + 1) + " ";
            continue;
        }
        apdu += line;
        ++run.lines;
        std::vector<uint8_t> bytes;
        try {
            bytes = ParseHex(apdu, "APDU");
            if (bytes.size() < 4) throw UsageError("an APDU needs at least CLA INS P1 P2");
        } catch (const UsageError& e) {
            apdu.clear();
            if (fail(e.what())) break;
            continue;
        }
        out << "> " << Upper(apdu) << "\n";
        apdu.clear();
        qd500_reader* r = Reader(o);
        std::vector<uint8_t> resp(QD500_RESPONSE_MAX);
        size_t n = 0;
        // As scriptor through PC/SC: 61xx and 6Cxx come back as they are.
        if (!r || !Done(o, qd500_transmit(r, bytes.data(), bytes.size(), resp.data(), resp.size(), &n))) {
            if (fail(o.error.empty() && o.hasResult ? ResultText(o) : o.error)) break;
            continue;
        }
        resp.resize(n);
        out << ResponseLine(resp) << "\n";
    }
    out.flush();
    m_where.clear();
    return run;
}

}  // namespace qd500::cli
