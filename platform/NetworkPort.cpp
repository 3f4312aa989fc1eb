#include "platform/NetworkPort.h"

#include <cstdlib>

namespace qd500 {

namespace {

constexpr char kRfc2217[] = "rfc2217://";
constexpr char kSocket[] = "socket://";

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool Fail(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

}  // namespace

bool IsNetworkPort(const std::string& name) { return StartsWith(name, kRfc2217) || StartsWith(name, kSocket); }

bool ParseNetworkPort(const std::string& name, NetworkPort& out, std::string* why) {
    out = NetworkPort();
    out.rfc2217 = StartsWith(name, kRfc2217);
    if (!out.rfc2217 && !StartsWith(name, kSocket)) return Fail(why, "not a network port");
    std::string rest = name.substr(out.rfc2217 ? sizeof kRfc2217 - 1 : sizeof kSocket - 1);
    std::string query;
    if (size_t q = rest.find('?'); q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.erase(q);
    }
    // host:port, or [v6 address]:port.
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
        return Fail(why, "a network port is " + std::string(out.rfc2217 ? kRfc2217 : kSocket) + "host:port");
    out.host = rest.substr(0, colon);
    out.port = rest.substr(colon + 1);
    if (out.host.size() > 2 && out.host.front() == '[' && out.host.back() == ']')
        out.host = out.host.substr(1, out.host.size() - 2);
    char* end = nullptr;
    long port = std::strtol(out.port.c_str(), &end, 10);
    if (!end || *end || port < 1 || port > 65535)
        return Fail(why, "the port number " + out.port + " is not 1 to 65535");
    for (size_t at = 0; at < query.size();) {
        size_t amp = query.find('&', at);
        std::string option = query.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        at = amp == std::string::npos ? query.size() : amp + 1;
        if (option.empty()) continue;
        size_t eq = option.find('=');
        const std::string key = option.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
        if (key == "timeout") {
            char* stop = nullptr;
            double seconds = std::strtod(value.c_str(), &stop);
            if (value.empty() || !stop || *stop || !(seconds > 0) || seconds > 600)
                return Fail(why, "timeout takes seconds, more than 0 and at most 600: '" + value + "'");
            out.timeoutMs = static_cast<uint32_t>(seconds * 1000 + 0.5);
            if (out.timeoutMs == 0) out.timeoutMs = 1;
        } else {
            return Fail(why, "unknown option '" + key + "' (the options: timeout)");
        }
    }
    return true;
}

}  // namespace qd500
