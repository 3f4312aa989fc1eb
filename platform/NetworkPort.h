// Ports across the network: "rfc2217://host:port" (RFC 2217, as serial
// device servers and ser2net serve a port) and "socket://host:port" (raw
// TCP), each also over TLS ("rfc2217+tls://", "socket+tls://"), with
// options in pyserial's manner: "?timeout=3" for the connect and
// negotiation bound in seconds; for TLS "ca=FILE" (the CA that signed the
// server's certificate, else the system's store), "cert=FILE&key=FILE" (a
// client certificate). A network line is one more backend under the
// channel; what is portable of it (the name's parts) is here, the socket
// and the TLS library are each system's.
#pragma once

#include <cstdint>
#include <string>

namespace qd500 {

struct NetworkPort {
    bool rfc2217 = false;
    bool tls = false;
    std::string host;
    std::string port;
    uint32_t timeoutMs = 5000;              // connecting, the TLS handshake, and the server's answers to the settings
    std::string caFile, certFile, keyFile;  // TLS only; empty when not given

    // "host:port", as the exclusive-use rule and messages name it.
    std::string Where() const { return host + ":" + port; }
};

// The name is a network port's (it starts with one of the schemes).
bool IsNetworkPort(const std::string& name);

// The parts of a network port's name; false with the reason for a name that
// is not well formed.
bool ParseNetworkPort(const std::string& name, NetworkPort& out, std::string* why);

}  // namespace qd500
