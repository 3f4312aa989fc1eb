// The simulator on the network, as a serial device server is: one client at
// a time on a TCP port, the next taken when the first leaves; raw bytes, or
// RFC 2217 when the client opens with a telnet command (every setting
// acknowledged as it was asked, 0xFF doubled both ways). It carries the
// bytes to and from the simulator's pty, so the reader behaves as on the
// line. Its own telnet code: nothing here is the driver library's.
#pragma once

#include <functional>
#include <string>

#include "Sockets.h"

namespace qd500sim {

class NetListener {
public:
    // slave: the pty to carry bytes to (asked anew for each client, since a
    // hang-up fault makes a new one).
    explicit NetListener(std::function<std::string()> slave) : m_slave(std::move(slave)) {}
    ~NetListener() { Stop(); }
    NetListener(const NetListener&) = delete;
    NetListener& operator=(const NetListener&) = delete;

    // Listens on "HOST:PORT" (port 0: any free one); false with the reason.
    bool Start(const std::string& where, std::string* error);
    void Stop();
    // "127.0.0.1:PORT" as it listens.
    const std::string& Address() const { return m_address; }

private:
    void Run();
    void Serve(int client);

    std::function<std::string()> m_slave;
    int m_listen = -1;
    std::string m_address;
    SocketThread m_thread;  // last: it stops before the rest goes
};

}  // namespace qd500sim
