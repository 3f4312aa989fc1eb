// A card in another program behind the CPU slot, reached by vpcd's protocol
// (the one jCardSim, vsmartcard's vicc and virt_cacard speak to a reader):
// each message a 2-byte big-endian length and a payload; a 1-byte payload
// from the reader is a control code (0 power off, 1 power on, 2 reset, 4
// the ATR, which alone is answered), any other an APDU answered with its
// response. The card is in the slot while its connection is open.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Cards.h"
#include "Sockets.h"

namespace qd500sim {

// One card's connection. Exchanges come from one thread (the engine's);
// Close may come from any.
class VpcdLine {
public:
    // How long the card may take over one answer before it is taken as gone.
    static constexpr int kAnswerMs = 5000;

    // answer_ms: how long the card may take over one answer.
    VpcdLine(int fd, std::string peer, int answer_ms = kAnswerMs);
    ~VpcdLine();
    VpcdLine(const VpcdLine&) = delete;
    VpcdLine& operator=(const VpcdLine&) = delete;

    // A control code the card does not answer (0, 1, 2).
    bool Send(uint8_t code);
    // A payload and the card's answer. False, with the line closed, when the
    // card left, sent stray bytes, gave a length out of bounds or kept silent.
    bool Exchange(const Bytes& payload, Bytes& answer, size_t min_len, size_t max_len);
    // Ends the connection; a waiting exchange and the watcher wake.
    void Close();
    bool open() const { return m_open; }
    int fd() const { return m_fd; }
    const std::string& peer() const { return m_peer; }

private:
    bool Write(const Bytes& payload);
    bool ReadFull(uint8_t* to, size_t n, int64_t deadline_ms);

    int m_fd;
    std::string m_peer;
    int m_answerMs;
    std::atomic<bool> m_open{true};
};

// The card in the CPU slot: its ATR from the peer at each power-on, its
// answers carried as its ATR's first protocol does (AnswerTransport).
class VpcdCard : public Card {
public:
    explicit VpcdCard(std::shared_ptr<VpcdLine> line);
    ~VpcdCard() override;
    void PowerOn() override;
    void PowerOff() override;
    Answer Apdu(const Bytes& apdu) override;
    std::string Dump() const override;
    bool Gone() const override { return !m_line->open(); }

private:
    std::shared_ptr<VpcdLine> m_line;
    AnswerTransport m_transport;
};

// Waits for a card to connect (listen) or connects to a card that listens
// (connect, again a second after it left), on a thread of its own, and
// hands each card to `insert` (called from that thread).
class VpcdBridge {
public:
    using Insert = std::function<void(std::unique_ptr<Card>)>;
    explicit VpcdBridge(Insert insert) : m_insert(std::move(insert)) {}
    ~VpcdBridge() { Stop(); }
    VpcdBridge(const VpcdBridge&) = delete;
    VpcdBridge& operator=(const VpcdBridge&) = delete;

    // "HOST:PORT"; a listening port 0 takes a free one. False with the reason.
    bool Listen(const std::string& where, std::string* error);
    bool Connect(const std::string& where, std::string* error);
    void Stop();
    // "HOST:PORT" as it listens or connects.
    const std::string& Address() const { return m_address; }

private:
    bool Begin(std::string* error);
    void Run();
    int NextCard();
    void Watch(const std::shared_ptr<VpcdLine>& line);
    bool Pause(int ms);

    Insert m_insert;
    bool m_listening = false;
    int m_listen = -1;
    std::string m_host, m_port;
    std::string m_address;
    SocketThread m_thread;  // last: it stops before the rest goes
};

}  // namespace qd500sim
