// A line to a serial device server over TCP, the part every system shares:
// raw bytes, or RFC 2217's telnet with every 0xFF doubled, either inside
// TLS when asked; output gathered
// byte by byte and sent as one segment when the channel next looks for
// input; input taken apart and kept until it is read; the port settings
// acknowledged before the line is open. Each system gives it a socket (send
// and receive without blocking, wait until readable) and its own wait for
// the channel (which also watches the wake-up, and on Windows the window
// messages).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/NetworkPort.h"
#include "platform/Platform.h"
#include "platform/Telnet.h"
#include "platform/Tls.h"

namespace qd500 {

class NetworkLine : public SerialLine {
public:
    explicit NetworkLine(bool rfc2217) : m_rfc2217(rfc2217) {}
    ~NetworkLine() override {
        if (m_onClose) m_onClose();
    }
    // Called when the line goes (the process's hold on the port's name ends).
    void OnClose(std::function<void()> done) { m_onClose = std::move(done); }

    // RFC 2217: the offer and the settings, then every setting acknowledged
    // within timeoutMs; false with the reason (a refusal, silence, another
    // baud rate set). boundMs is the open's whole bound, as the reason says it.
    bool Negotiate(uint32_t baud, uint32_t timeoutMs, uint32_t boundMs, std::string* why);

    // TLS over the connected socket, before anything else goes on it,
    // within ms; false with the reason.
    bool StartTls(const NetworkPort& port, uint32_t ms, std::string* why);
    // A raw line whose server may refuse the client after the TLS handshake
    // (TLS 1.3 lets a server do that only once the handshake looks done;
    // it may when it asked for a client certificate): waits a moment for the
    // refusal; false with the reason. At once true for any other line.
    bool Settle(std::string* why);

    bool WriteByte(uint8_t byte, uint32_t waitMs) override;
    int InQueue() override;
    int Read(uint8_t* dst, int max) override;
    bool PurgeOutput() override;

protected:
    // The socket: what was sent (0 when it would block, -1 on failure); what
    // was received (0 when nothing waits, -1 when closed or failed); waits.
    virtual int SendSome(const char* bytes, int count) = 0;
    virtual int ReceiveSome(char* bytes, int capacity) = 0;
    virtual bool WaitWritable(uint32_t ms) = 0;
    virtual void WaitReadable(uint32_t ms) = 0;
    virtual uint32_t NowMs() = 0;
    // The socket, as the system's TLS takes it.
    virtual uintptr_t Socket() const = 0;
    // Ends the TLS session (its close notify goes out on the socket): each
    // system's destructor calls it before the socket closes.
    void EndTls() { m_tls.reset(); }

    // Sends what is gathered, then takes in what arrived; false once the
    // connection is closed or failed.
    bool Exchange() { return Flush() && Pump(); }
    bool HasInput() const { return !m_in.empty(); }

private:
    bool Flush();
    bool Pump();
    std::string Said() const;
    // Why the connection ended: what TLS knows of it, else plain.
    std::string Ended(const std::string& plain) const;

    bool m_rfc2217;
    TelnetReceiver m_telnet;
    std::vector<PortAck> m_acks;
    std::string m_in, m_out;
    bool m_failed = false;
    bool m_receivedAny = false;
    std::unique_ptr<TlsSession> m_tls;  // null on a plain line
    std::function<void()> m_onClose;
};

// Opens a network port with connect(port) making each try's line (null with
// the reason when it cannot connect). A server that says its port is in use
// while it lets go of its last client is asked again within the open's
// bound; in the end the reason is what it said.
std::unique_ptr<NetworkLine> OpenNetworkLine(
    const NetworkPort& port, const LineSettings& settings, std::string* why,
    const std::function<std::unique_ptr<NetworkLine>(std::string* why)>& connect,
    const std::function<uint32_t()>& nowMs, const std::function<void(uint32_t)>& pause);

}  // namespace qd500
