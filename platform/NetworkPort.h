// Ports across the network: "rfc2217://host:port" (RFC 2217, as serial
// device servers and ser2net serve a port) and "socket://host:port" (raw
// TCP), with options in pyserial's manner ("?timeout=3" for the connect and
// negotiation bound in seconds). A network line is one more backend under
// the channel; what is portable of it (the name's parts) is here, the
// socket is each system's.
#pragma once

#include <cstdint>
#include <string>

namespace qd500 {

struct NetworkPort {
    bool rfc2217 = false;
    std::string host;
    std::string port;
    uint32_t timeoutMs = 5000;  // connecting, and the server's answers to the settings

    // "host:port", as the exclusive-use rule and messages name it.
    std::string Where() const { return host + ":" + port; }
};

// The name is a network port's (it starts with one of the schemes).
bool IsNetworkPort(const std::string& name);

// The parts of a network port's name; false with the reason for a name that
// is not well formed.
bool ParseNetworkPort(const std::string& name, NetworkPort& out, std::string* why);

}  // namespace qd500
