#include "platform/Tls.h"

namespace qd500 {

std::string TlsSession::EndReason(bool receivedAny) const {
    if (!m_alert.empty()) return "the server ended the TLS session: " + m_alert;
    if (receivedAny) return {};
    std::string text = "the server closed the connection right after the TLS handshake";
    if (m_certificateAsked && !m_certificateGiven)
        return text + " (it asked for a client certificate and none was given: cert= and key=)";
    if (m_certificateAsked) return text + " (probably refusing the client certificate)";
    return text;
}

}  // namespace qd500
