// `ports`: the serial devices a reader may hang on, and with --probe which
// of them answer the reader's status command.
#include <glob.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "Handlers.h"

namespace qd500::cli {
namespace {

// A status exchange takes some 20 ms at 9600 baud; half a second keeps a
// probe of many silent ports short.
constexpr unsigned kProbeMs = 500;

std::vector<std::string> Glob(const char* pattern) {
    std::vector<std::string> paths;
    glob_t found{};
    if (::glob(pattern, 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
    ::globfree(&found);
    return paths;
}

// ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            long x = std::stol(a.substr(i, ei - i)), y = std::stol(b.substr(j, ej - j));
            if (x != y) return x < y;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The kernel names a UART it did not find "type 0"; those ttyS nodes lead
// nowhere.
bool UartPresent(const std::string& device) {
    std::ifstream type("/sys/class/tty/" + device.substr(device.rfind('/') + 1) + "/type");
    int value = 0;
    return type >> value && value != 0;
}

struct Candidate {
    std::string path, kind;
};

std::vector<Candidate> Candidates() {
    std::vector<Candidate> all;
    auto add = [&](const char* pattern, const char* kind, bool (*keep)(const std::string&)) {
        auto paths = Glob(pattern);
        std::sort(paths.begin(), paths.end(), NaturalLess);
        for (auto& p : paths)
            if (!keep || keep(p)) all.push_back({p, kind});
    };
    add("/dev/ttyS*", "serial port", UartPresent);
    add("/dev/ttyUSB*", "USB serial adapter", nullptr);
    add("/dev/ttyACM*", "USB modem-class device", nullptr);
    for (const std::string& link : Glob("/dev/serial/by-id/*")) {
        char target[PATH_MAX];
        all.push_back({link, ::realpath(link.c_str(), target) ? std::string("link to ") + target : "link"});
    }
    // The COM ports this environment maps (a simulator's link among them).
    for (int n = 1; n <= 255; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (const char* mapped = std::getenv(("QD500_" + name).c_str()); mapped && *mapped)
            all.push_back({name, std::string("QD500_") + name + "=" + mapped});
    }
    return all;
}

// A path given by name: what it is, or that it is not there.
std::string Named(const std::string& path) {
    std::string digits;
    if (ComNumberText(path, digits)) return "COM port";
    if (::access(path.c_str(), F_OK) != 0) return "missing: no such device";
    return "named";
}

std::string Probe(const std::string& device) {
    qd500_reader* r = nullptr;
    if (qd500_open(device.c_str(), &r) != 0) return "cannot open: " + OpenReason(qd500_message(nullptr));
    qd500_set_timeout_ms(r, kProbeMs);
    unsigned char state[3] = {};
    int rc = qd500_device_status(r, state);
    qd500_close(r);
    if (rc == 0) return "the reader answers (status " + ToHex(state, 3) + ")";
    if (rc > 0) return "a reader answers with status " + std::to_string(rc) + ": " + qd500_strerror(rc);
    if (rc == QD500_E_TIMEOUT) return "no answer";
    return std::string("no reader: ") + qd500_strerror(rc);
}

}  // namespace

void CmdPorts(Context& ctx, const Args& a, CommandResult& o) {
    std::vector<Candidate> devices;
    for (const std::string& p : a.positional) devices.push_back({p, Named(p)});
    if (devices.empty()) devices = Candidates();
    const bool probe = a.Flag("probe");
    // A port the session holds would look busy.
    if (probe) ctx.CloseSession();
    size_t answered = 0;
    for (const Candidate& d : devices) {
        std::string what = d.kind;
        if (probe) {
            what = ctx.interrupted() ? "not probed" : Probe(d.path);
            if (what.rfind("the reader answers", 0) == 0 || what.rfind("a reader answers", 0) == 0) ++answered;
        }
        o.Field(d.path, what);
    }
    if (devices.empty()) o.Note("no serial devices found (a USB adapter shows up as /dev/ttyUSB0)");
    // A probe is asked whether a reader is there: none is a failure.
    if (probe && answered == 0) o.Fail("no reader answered");
}

}  // namespace qd500::cli
