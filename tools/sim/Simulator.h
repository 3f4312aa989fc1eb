// The reader simulator: the reader's firmware side of the serial line.
//
//   Reader     the pure engine: bytes from the host in, bytes to send back
//              out (with pauses and hang-ups for injected faults).
//   Scenario   what sits in the reader, loadable from JSON.
//   PtyServer  serves a Reader on a pseudo-terminal (or an existing tty) on
//              a background thread.
//
// Nothing here uses the driver library's code, so that one mistake in the
// framing can't hide on both sides of the line.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Cards.h"

namespace qd500sim {

// ---- scenario -------------------------------------------------------------

enum class FaultKind { Noise, Split, Delay, NoEtx, BadBcc, Status, Oversize, Hangup };

// One injected fault. It applies to each reply that matches `command`
// (a contact command code such as "55", "mag" for magnetic answers, empty
// for every reply), after `skip` matching replies, with `probability`, at
// most `times` times (0: no limit). Chance draws come from the scenario's
// seed, so a run repeats exactly.
struct FaultRule {
    FaultKind kind = FaultKind::Noise;
    std::string command;
    unsigned skip = 0;
    unsigned times = 0;
    double probability = 1.0;
    unsigned noise_bytes = 4;   // Noise
    int split_at = -1;          // Split, Hangup: bytes sent first (-1: half)
    unsigned pause_ms = 1200;   // Split
    unsigned delay_ms = 500;    // Delay
    std::string status = "41";  // Status: answered instead of executing the command
    unsigned size = 1100;       // Oversize: total reply bytes
    unsigned fired = 0;         // bookkeeping
    unsigned seen = 0;
};

enum class SwipeMode { Always, Never, AfterDelay };

struct Scenario {
    std::optional<CardConfig> card;  // nullopt: no card in the slot
    std::optional<std::string> track2 = std::string("6212345678901234567=30121010000012345");
    std::optional<std::string> track3 =
        std::string("996212345678901234567=1560000000000000000000000000000000003012=0000000000000000000000000");
    SwipeMode swipe = SwipeMode::Always;
    unsigned swipe_delay_ms = 0;
    std::string version = "QD500-SIM V1.0";
    std::optional<std::array<std::string, 3>> device_status;  // nullopt: computed
    uint64_t seed = 1;
    std::vector<FaultRule> faults;

    static Scenario Default();
    // The default scenario with another card in the slot.
    static Scenario WithCard(const std::string& type);
    // Parse a JSON scenario; on error returns nullopt with a message.
    static std::optional<Scenario> FromJson(const std::string& text, std::string* error);
    static std::optional<Scenario> FromFile(const std::string& path, std::string* error);
};

// ---- engine ---------------------------------------------------------------

// A piece of output: wait `delay_ms`, then send `bytes`. An `atomic` chunk
// is written in one piece even when the line is paced (short magnetic
// answers, which the host collects by a short count read).
struct Chunk {
    unsigned delay_ms = 0;
    std::string bytes;
    bool atomic = false;
};

struct Output {
    std::vector<Chunk> chunks;
    bool hangup = false;  // close the line after the chunks
    bool empty() const { return chunks.empty() && !hangup; }
    std::string Joined() const;  // all chunk bytes
    void Append(Output other);
};

struct LogEntry {
    uint64_t ms = 0;        // engine clock
    bool from_host = true;  // direction
    std::string bytes;      // one frame or magnetic sequence
};

class Reader {
public:
    explicit Reader(Scenario scenario = Scenario::Default());
    ~Reader();
    Reader(Reader&&) = default;
    Reader& operator=(Reader&&) = default;

    // Bytes from the host at time now_ms; returns what the reader sends.
    Output Feed(std::string_view bytes, uint64_t now_ms = 0);
    // Time-driven answers (a swipe after a delay) due by now_ms.
    Output Poll(uint64_t now_ms);
    std::optional<uint64_t> NextDueMs() const;
    // The host went away: drop a half-received command and a waiting read.
    void ResetLine();

    // Slot and head, as an operator would use them.
    bool Insert(const std::string& type, std::string* error = nullptr);
    // Puts this card into the slot (a card another program runs).
    void InsertCard(std::unique_ptr<Card> card);
    void Remove();
    // Swipe a card: answers a waiting read at once, otherwise the next read
    // gets these tracks without waiting. nullopt = a track it can't read.
    Output Swipe(std::optional<std::string> track2, std::optional<std::string> track3, uint64_t now_ms = 0);

    std::string Dump() const;
    Card* card() { return m_card.get(); }
    bool powered() const { return m_powered; }
    unsigned device_number() const { return m_deviceNo; }
    const std::optional<std::string>& track2() const { return m_track2; }
    const std::optional<std::string>& track3() const { return m_track3; }
    const std::vector<LogEntry>& log() const { return m_log; }
    void SetLogSink(std::function<void(const LogEntry&)> sink) { m_sink = std::move(sink); }

private:
    Output HandleFrame(const std::string& frame, uint64_t now);
    Answer Execute(const std::string& code_text, const Bytes& body);
    // A card that left on its own (its connection closed) is taken out: true.
    bool CardLeft();
    Output MagneticRead(int tracks, uint64_t now);
    Output MagneticAnswer(std::string bytes, bool atomic, uint64_t now);
    std::string MagReadReply(int tracks) const;
    Output WriteCommit(uint64_t now);
    std::vector<const FaultRule*> Match(const std::string& command, bool contact);
    Output Shape(std::string reply, const std::vector<const FaultRule*>& rules, bool contact, bool atomic);
    bool Fires(FaultRule& rule, const std::string& command, bool contact);
    void Record(bool from_host, std::string_view bytes, uint64_t now);
    Output Emit(Output out, uint64_t now);

    Scenario m_scenario;
    std::unique_ptr<Card> m_card;
    bool m_powered = false;
    std::optional<uint8_t> m_selected;
    unsigned m_deviceNo = 0;
    std::optional<std::string> m_track2, m_track3;
    std::string m_in;          // received, not yet consumed
    bool m_writeMode = false;  // ESC 'B' '4' seen before a write
    bool m_collectingWrite = false;
    std::optional<std::string> m_writeFrame;
    bool m_writeBad = false;
    int m_pendingRead = 0;  // 0 none; 2, 3 or 23
    bool m_pendingWrite = false;
    std::optional<uint64_t> m_pendingDue;
    bool m_swiped = false;  // a swipe waits for the next read
    std::mt19937_64 m_rng;
    std::vector<LogEntry> m_log;
    std::function<void(const LogEntry&)> m_sink;
};

// ---- pseudo-terminal server ----------------------------------------------

struct ServerOptions {
    unsigned baud = 0;         // pace both directions at this rate (10 bits a byte); 0: unpaced
    std::string link_path;     // keep a symlink to the current slave here
    unsigned reopen_ms = 200;  // after a hang-up, a new pty after this pause
};

class PtyServer {
public:
    explicit PtyServer(Scenario scenario = Scenario::Default(), ServerOptions options = {});
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Create a pty (raw on both sides) and serve it until Stop().
    bool Start(std::string* error = nullptr);
    // Serve an existing tty instead.
    bool StartOnDevice(const std::string& path, std::string* error = nullptr);
    void Stop();
    bool running() const;

    std::string SlavePath() const;
    // Count of lines served; grows when a hang-up fault replaced the pty.
    unsigned Generation() const;
    bool WaitForGeneration(unsigned generation, int timeout_ms);
    // Called from the server thread with every new slave path after a hang-up.
    void OnNewPath(std::function<void(const std::string&)> callback);

    bool Insert(const std::string& type, std::string* error = nullptr);
    void Remove();
    void Swipe(std::optional<std::string> track2, std::optional<std::string> track3);
    std::string Dump();
    std::vector<LogEntry> FrameLog() const;
    void SetLogSink(std::function<void(const LogEntry&)> sink);
    // Run f on the engine under the server's lock.
    void WithReader(const std::function<void(Reader&)>& f);

private:
    struct Pending {
        uint64_t due_us;
        std::string bytes;
        bool hangup;
    };
    // A host byte on its way in: the engine sees it at due_us, when its last
    // bit would be in at the line's rate.
    struct Arrival {
        uint64_t due_us;
        char byte;
        bool orphan;  // its host has left: what it brings about is sent nowhere
        bool reset;   // no byte: the host left here, the engine drops what it half received
    };
    bool OpenPty(std::string* error);
    void CloseLine();
    void Run();
    uint64_t ByteUs() const;
    void Schedule(Output out, uint64_t now_us);
    void Receive(std::string_view bytes, uint64_t now_us);
    void Deliver(uint64_t now_us);
    void HostLeft();
    void Wake();
    uint64_t NowUs() const;

    mutable std::mutex m_mu;
    std::condition_variable m_cv;
    Reader m_reader;
    ServerOptions m_options;
    std::string m_devicePath;  // serving an existing tty
    int m_fd = -1;
    int m_wake[2] = {-1, -1};
    std::string m_slavePath;
    unsigned m_generation = 0;
    bool m_stop = false;
    bool m_running = false;
    std::thread m_thread;
    std::deque<Pending> m_out;
    uint64_t m_lineFreeUs = 0;  // when the last scheduled byte has left
    std::deque<Arrival> m_in;
    uint64_t m_inFreeUs = 0;  // when the last host byte read is in
    uint64_t m_startUs = 0;
    std::function<void(const std::string&)> m_onNewPath;
};

}  // namespace qd500sim
