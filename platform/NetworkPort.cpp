#include "platform/NetworkPort.h"

#include <cctype>
#include <cstdlib>

namespace qd500 {

namespace {

struct Scheme {
    const char* prefix;
    bool rfc2217, tls;
};
constexpr Scheme kSchemes[] = {
    {"rfc2217://", true, false},
    {"socket://", false, false},
    {"rfc2217+tls://", true, true},
    {"socket+tls://", false, true},
};

const Scheme* SchemeOf(const std::string& name) {
    for (const Scheme& s : kSchemes)
        if (name.rfind(s.prefix, 0) == 0) return &s;
    return nullptr;
}

bool Fail(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

// An option's value with %XX taken as the byte it stands for (a path may
// hold '&' or '?'); false for a '%' not followed by two hex digits.
bool Unescape(const std::string& value, std::string& out) {
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size() || !std::isxdigit(static_cast<unsigned char>(value[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(value[i + 2])))
            return false;
        out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

}  // namespace

bool IsNetworkPort(const std::string& name) { return SchemeOf(name) != nullptr; }

bool ParseNetworkPort(const std::string& name, NetworkPort& out, std::string* why) {
    out = NetworkPort();
    const Scheme* scheme = SchemeOf(name);
    if (!scheme) return Fail(why, "not a network port");
    out.rfc2217 = scheme->rfc2217;
    out.tls = scheme->tls;
    std::string rest = name.substr(std::string(scheme->prefix).size());
    std::string query;
    if (size_t q = rest.find('?'); q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.erase(q);
    }
    // host:port, or [v6 address]:port.
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
        return Fail(why, "a network port is " + std::string(scheme->prefix) + "host:port");
    out.host = rest.substr(0, colon);
    out.port = rest.substr(colon + 1);
    if (out.host.size() > 2 && out.host.front() == '[' && out.host.back() == ']')
        out.host = out.host.substr(1, out.host.size() - 2);
    char* end = nullptr;
    long port = std::strtol(out.port.c_str(), &end, 10);
    if (!end || *end || port < 1 || port > 65535)
        return Fail(why, "the port number " + out.port + " is not 1 to 65535");
    const char* options = out.tls ? "timeout, ca, cert, key" : "timeout";
    for (size_t at = 0; at < query.size();) {
        size_t amp = query.find('&', at);
        std::string option = query.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        at = amp == std::string::npos ? query.size() : amp + 1;
        if (option.empty()) continue;
        size_t eq = option.find('=');
        const std::string key = option.substr(0, eq);
        std::string value;
        if (!Unescape(eq == std::string::npos ? "" : option.substr(eq + 1), value))
            return Fail(why, "the value of " + key + " has a '%' not followed by two hex digits");
        if (key == "timeout") {
            char* stop = nullptr;
            double seconds = std::strtod(value.c_str(), &stop);
            if (value.empty() || !stop || *stop || !(seconds > 0) || seconds > 600)
                return Fail(why, "timeout takes seconds, more than 0 and at most 600: '" + value + "'");
            out.timeoutMs = static_cast<uint32_t>(seconds * 1000 + 0.5);
            if (out.timeoutMs == 0) out.timeoutMs = 1;
        } else if (key == "ca" || key == "cert" || key == "key") {
            if (!out.tls) return Fail(why, key + "= is an option of TLS lines (rfc2217+tls://, socket+tls://)");
            if (value.empty()) return Fail(why, key + "= takes a file");
            (key == "ca" ? out.caFile : key == "cert" ? out.certFile : out.keyFile) = value;
        } else {
            return Fail(why, "unknown option '" + key + "' (the options: " + options + ")");
        }
    }
    if (out.certFile.empty() != out.keyFile.empty())
        return Fail(why, "cert= and key= go together (the client certificate and its private key)");
    return true;
}

}  // namespace qd500
