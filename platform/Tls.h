// TLS over a connected socket: on Linux with the system's OpenSSL
// (libssl.so.3) loaded when the first TLS line opens, so the library adds
// no link-time dependency and a system without OpenSSL fails that open with
// the reason; on Windows with the system's TLS (Schannel). The server's
// certificate is always verified and its name (or IP address) checked;
// there is no way to turn that off.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/NetworkPort.h"

namespace qd500 {

class TlsSession {
public:
    // The handshake on the connected, non-blocking socket within ms; null
    // with the reason when the system's TLS cannot be had, a file of the
    // options cannot be used, the server's certificate is refused, or the
    // handshake fails or takes too long. The socket stays the caller's.
    static std::unique_ptr<TlsSession> Start(uintptr_t socket, const NetworkPort& port, uint32_t ms, std::string* why);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As the network line's socket: the count sent or received, 0 when it
    // would block, -1 when the session is closed or failed.
    int Send(const char* bytes, int count);
    int Receive(char* bytes, int capacity);

    // Why the session ended, as the open reports it: the server's alert, or
    // a close right after the handshake with no byte received (the way a
    // server that refuses a client certificate without an alert ends it).
    std::string EndReason(bool receivedAny) const;
    // The server asked for a client certificate during the handshake.
    bool CertificateAsked() const { return m_certificateAsked; }

private:
    struct Handles;
    TlsSession() = default;
    Handles* m_h = nullptr;
    bool m_certificateAsked = false;
    bool m_certificateGiven = false;
    std::string m_alert;
    bool m_ended = false;  // closed or failed: no close notify is owed
};

}  // namespace qd500
