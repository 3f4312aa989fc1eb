// The reader's engine: splits the host's byte stream into contact frames
// (ESC '=' hex BCC ETX) and magnetic-head sequences (short ESC commands),
// runs them against the card and the head, and shapes the answers with the
// scenario's faults.
#include <algorithm>
#include <sstream>

#include "Hex.h"
#include "Simulator.h"

namespace qd500sim {

namespace {

constexpr char kEsc = 0x1B;
constexpr char kEtx = 0x03;
constexpr char kFs = 0x1C;
constexpr char kGs = 0x1D;
constexpr char kDel = 0x7F;
constexpr size_t kMaxFrame = 1100;  // longer without ETX: not a frame of ours
constexpr size_t kMaxWriteFrame = 1024;
constexpr size_t kMaxReplyData = 253;  // LL is one byte and counts the status too
constexpr size_t kLogCap = 10000;

// ESC '=' LL status data BCC ETX; the BCC is the XOR of LL, the status
// (read as a hex byte) and the data bytes, like the command's BCC.
std::string ReplyFrame(const Answer& a) {
    Bytes body;
    body.push_back(static_cast<uint8_t>(a.data.size() + 2));
    Bytes status;
    ParseHex(a.status, status);
    body.push_back(status.empty() ? 0 : status[0]);
    body.insert(body.end(), a.data.begin(), a.data.end());
    uint8_t bcc = 0;
    for (uint8_t b : body) bcc ^= b;
    std::string s;
    s += kEsc;
    s += '=';
    s += HexByteText(body[0]);
    s += a.status;
    s += ToHex(a.data);
    s += HexByteText(bcc);
    s += kEtx;
    return s;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string Output::Joined() const {
    std::string s;
    for (const auto& c : chunks) s += c.bytes;
    return s;
}

void Output::Append(Output other) {
    for (auto& c : other.chunks) chunks.push_back(std::move(c));
    hangup = hangup || other.hangup;
}

Reader::Reader(Scenario scenario) : m_scenario(std::move(scenario)), m_rng(m_scenario.seed) {
    if (m_scenario.card) {
        std::string error;
        m_card = MakeCard(*m_scenario.card, &error);
    }
    m_track2 = m_scenario.track2;
    m_track3 = m_scenario.track3;
}

Reader::~Reader() = default;

void Reader::Record(bool from_host, std::string_view bytes, uint64_t now) {
    if (bytes.empty()) return;
    LogEntry e{now, from_host, std::string(bytes)};
    if (m_log.size() >= kLogCap) m_log.erase(m_log.begin(), m_log.begin() + kLogCap / 2);
    m_log.push_back(e);
    if (m_sink) m_sink(e);
}

Output Reader::Emit(Output out, uint64_t now) {
    Record(false, out.Joined(), now);
    return out;
}

Output Reader::Feed(std::string_view bytes, uint64_t now) {
    m_in.append(bytes.data(), bytes.size());
    Output out;
    for (;;) {
        if (m_collectingWrite) {
            static const std::string kEnd = {kGs, kEsc, '\\'};
            static const std::string kCommit = {kEsc, 'j'};
            size_t end = m_in.find(kEnd);
            size_t commit = m_in.find(kCommit);
            if (commit != std::string::npos && commit < end) {
                // Committed without the end mark: the frame is broken, ESC 'j' fails.
                Record(true, std::string{kEsc, 't'} + m_in.substr(0, commit), now);
                m_writeBad = true;
                m_writeFrame = m_in.substr(0, commit);
                m_collectingWrite = false;
                m_in.erase(0, commit);
                continue;
            }
            if (end == std::string::npos) {
                if (m_in.size() > kMaxWriteFrame + 3) {  // keep the tail: the end mark may be split
                    m_writeBad = true;
                    m_in.erase(0, m_in.size() - 2);
                }
                break;
            }
            std::string content = m_in.substr(0, end);
            Record(true, std::string{kEsc, 't'} + content + kEnd, now);
            if (content.size() > kMaxWriteFrame) m_writeBad = true;
            m_writeFrame = std::move(content);
            m_collectingWrite = false;
            m_in.erase(0, end + kEnd.size());
            continue;
        }
        size_t esc = m_in.find(kEsc);
        if (esc == std::string::npos) {
            m_in.clear();  // line noise: nothing of ours starts without ESC
            break;
        }
        m_in.erase(0, esc);
        if (m_in.size() < 2) break;
        const char c = m_in[1];
        if (c == '=') {
            size_t etx = m_in.find(kEtx, 2);
            if (etx == std::string::npos) {
                if (m_in.size() > kMaxFrame) {
                    Record(true, m_in, now);
                    m_in.clear();
                    out.Append(Emit(Shape(ReplyFrame(Answer::Fail(st::kLength)), {}, true, false), now));
                }
                break;
            }
            std::string frame = m_in.substr(0, etx + 1);
            m_in.erase(0, etx + 1);
            out.Append(HandleFrame(frame, now));
            continue;
        }
        if (c == ']') {
            Record(true, m_in.substr(0, 2), now);
            m_in.erase(0, 2);
            out.Append(MagneticRead(2, now));
            continue;
        }
        if (c == 'T' || c == 'B' || c == '%') {
            if (m_in.size() < 3) break;
            const char d = m_in[2];
            std::string seq = m_in.substr(0, 3);
            if (c == 'T' && d == ']') {
                Record(true, seq, now);
                m_in.erase(0, 3);
                out.Append(MagneticRead(3, now));
            } else if (c == 'B' && d == ']') {
                Record(true, seq, now);
                m_in.erase(0, 3);
                out.Append(MagneticRead(23, now));
            } else if (c == 'B' && d == '4') {
                Record(true, seq, now);
                m_in.erase(0, 3);
                m_writeMode = true;
            } else if (c == '%') {
                Record(true, seq, now);
                m_in.erase(0, 3);
                static const std::string kLetters = "ABCDKRZ";
                std::string answer = {kEsc, '%', kLetters.find(d) != std::string::npos ? '0' : '1'};
                out.Append(MagneticAnswer(answer, true, now));
            } else {
                m_in.erase(0, 1);  // not a sequence of ours; resynchronise on the next ESC
            }
            continue;
        }
        if (c == 't') {
            m_in.erase(0, 2);
            m_collectingWrite = true;
            m_writeBad = false;
            continue;
        }
        if (c == 'j') {
            Record(true, m_in.substr(0, 2), now);
            m_in.erase(0, 2);
            out.Append(WriteCommit(now));
            continue;
        }
        if (c == '0') {
            Record(true, m_in.substr(0, 2), now);
            m_in.erase(0, 2);
            m_pendingRead = 0;
            m_pendingWrite = false;
            m_pendingDue.reset();
            continue;
        }
        m_in.erase(0, 1);
    }
    return out;
}

void Reader::ResetLine() {
    m_in.clear();
    m_collectingWrite = false;
    m_writeFrame.reset();
    m_writeMode = false;
    m_pendingRead = 0;
    m_pendingWrite = false;
    m_pendingDue.reset();
}

// ---- contact unit ---------------------------------------------------------

Output Reader::HandleFrame(const std::string& frame, uint64_t now) {
    Record(true, frame, now);
    const std::string text = frame.substr(2, frame.size() - 3);
    Bytes all;
    std::string code_text;
    Answer answer;
    if (text.size() < 2 || !ParseHex(text, all)) {
        answer = Answer::Fail(st::kFormat);  // odd length or not hex
    } else {
        Bytes body(all.begin(), all.end() - 1);
        uint8_t bcc = 0;
        for (uint8_t b : body) bcc ^= b;
        if (bcc != all.back()) {
            answer = Answer::Fail(st::kBadBcc);
        } else if (body.empty()) {
            answer = Answer::Fail(st::kKeyword);
        } else {
            code_text = Upper(text.substr(0, 2));
            auto rules = Match(code_text, true);
            const FaultRule* forced = nullptr;
            for (auto* r : rules)
                if (r->kind == FaultKind::Status) forced = r;
            answer = forced ? Answer::Fail(forced->status.c_str()) : Execute(code_text, body);
            if (forced) answer.status = forced->status;
            return Emit(Shape(ReplyFrame(answer), rules, true, false), now);
        }
    }
    return Emit(Shape(ReplyFrame(answer), Match("", true), true, false), now);
}

Answer Reader::Execute(const std::string&, const Bytes& body) {
    const uint8_t code = body[0];
    const Bytes p(body.begin() + 1, body.end());
    auto addr = [&] { return static_cast<unsigned>((p[0] << 8) | p[1]); };
    auto counted = [&](Bytes& data) {  // address, count, then exactly count bytes
        if (p.size() < 3 || p.size() - 3 != p[2]) return false;
        data.assign(p.begin() + 3, p.end());
        return true;
    };

    CardLeft();
    // Reader commands that need no card.
    switch (code) {
        case 0x25:
            if (p.size() != 1) return Answer::Fail(st::kLength);
            m_deviceNo = p[0];
            return Answer::Ok();
        case 0x41:
            if (!p.empty()) return Answer::Fail(st::kLength);
            return Answer::Ok(Bytes(m_scenario.version.begin(), m_scenario.version.end()));
        case 0x47: {
            if (!p.empty()) return Answer::Fail(st::kLength);
            Bytes state;
            if (m_scenario.device_status) {
                for (const auto& f : *m_scenario.device_status) {
                    Bytes b;
                    ParseHex(f, b);
                    state.push_back(b.empty() ? 0 : b[0]);
                }
            } else {
                state = {static_cast<uint8_t>(m_card ? 1 : 0), static_cast<uint8_t>(m_powered ? 1 : 0),
                         m_selected.value_or(0)};
            }
            return Answer::Ok(state);
        }
        case 0x4F:
            if (!p.empty()) return Answer::Fail(st::kLength);
            if (!m_card) return Answer::Fail(st::kEjectFailed);
            Remove();
            return Answer::Ok();
        case 0x54: {
            if (p.size() != 1) return Answer::Fail(st::kLength);
            if (!FindCardType(p[0])) return Answer::Fail(st::kWrongType);
            m_selected = p[0];
            if (m_card && !m_card->Accepts(p[0])) return Answer::Fail(st::kWrongType);
            return Answer::Ok();
        }
        case 0x55:
            if (!p.empty()) return Answer::Fail(st::kLength);
            if (!m_card) return Answer::Fail(st::kNoCard);
            if (m_selected && !m_card->Accepts(*m_selected)) return Answer::Fail(st::kWrongType);
            if (m_powered) m_card->PowerOff();  // a second power-on is a reset
            m_card->PowerOn();
            if (CardLeft()) return Answer::Fail(st::kNoCard);
            m_powered = true;
            return Answer::Ok(m_card->Atr());
        case 0x44:
            if (!p.empty()) return Answer::Fail(st::kLength);
            if (!m_card) return Answer::Fail(st::kNoCard);
            if (m_powered) m_card->PowerOff();
            m_powered = false;
            return Answer::Ok();
        default:
            break;
    }

    // Card commands: check the fields first, then the card's state.
    Bytes data;
    unsigned count = 0;
    bool fields_ok = false;
    switch (code) {
        case 0x50:
        case 0x52:
        case 0x72:
        case 0x45:
            fields_ok = p.size() == 3;
            if (fields_ok) count = p[2];
            if (fields_ok && count > kMaxReplyData) return Answer::Fail(st::kLength);
            break;
        case 0x57:
        case 0x56:
        case 0x53:
        case 0x76:
        case 0x77:
            fields_ok = counted(data);
            break;
        case 0x46:
            fields_ok = p.size() == 2;
            break;
        case 0x5A:
            fields_ok = p.size() >= 5;
            break;
        default:
            return Answer::Fail(st::kKeyword);
    }
    if (!fields_ok) return Answer::Fail(st::kLength);
    if (!m_card) return Answer::Fail(st::kNoCard);
    if (!m_powered) return Answer::Fail(st::kNotPowered);
    if (m_selected && !m_card->Accepts(*m_selected)) return Answer::Fail(st::kWrongType);

    Answer a;
    switch (code) {
        case 0x52:
            a = m_card->Read(addr(), count);
            break;
        case 0x50:
            a = m_card->ReadProtection(addr(), count);
            break;
        case 0x72:
            a = m_card->ReadWithProtection(addr(), count);
            break;
        case 0x45:
            a = m_card->Erase(addr(), count);
            break;
        case 0x57:
            a = m_card->Write(addr(), data);
            break;
        case 0x56:
            a = m_card->Verify(addr(), data);
            break;
        case 0x53:
            a = m_card->ChangePin(data);
            break;
        case 0x76:
            a = m_card->CompareWrite(addr(), data);
            break;
        case 0x77:
            a = m_card->WriteWithProtection(addr(), data);
            break;
        case 0x46:
            a = m_card->Personalise(addr());
            break;
        case 0x5A:
            a = m_card->Apdu(p);
            break;
    }
    if (code == 0x5A && a.ok() && a.data.size() > kMaxReplyData) {
        // A card answer no reply frame carries: 6C with the largest Le that
        // fits, whatever the card, so the host asks again for that much.
        return Answer::Ok({0x6C, static_cast<uint8_t>(kMaxReplyData - 2)});
    }
    if (a.data.size() > kMaxReplyData) return Answer::Fail(st::kLength);
    return a;
}

// ---- magnetic head --------------------------------------------------------

std::string Reader::MagReadReply(int tracks) const {
    auto field = [](const std::optional<std::string>& t) { return t ? *t : std::string(1, kDel); };
    std::string r = {kEsc, 's'};
    if (tracks == 2) {
        r += field(m_track2);
        if (m_track2) r += '?';
    } else if (tracks == 3) {
        r += 'A';  // the byte the host skips before track 3
        r += field(m_track3);
        if (m_track3) r += '?';
    } else {
        r += field(m_track2);
        r += 'A';
        r += field(m_track3);
        if (m_track3) r += '?';
    }
    r += kFs;
    return r;
}

Output Reader::MagneticAnswer(std::string bytes, bool atomic, uint64_t now) {
    return Emit(Shape(std::move(bytes), Match("mag", false), false, atomic), now);
}

Output Reader::MagneticRead(int tracks, uint64_t now) {
    m_pendingWrite = false;
    if (m_swiped || m_scenario.swipe == SwipeMode::Always) {
        m_swiped = false;
        m_pendingRead = 0;
        m_pendingDue.reset();
        return MagneticAnswer(MagReadReply(tracks), false, now);
    }
    m_pendingRead = tracks;
    if (m_scenario.swipe == SwipeMode::AfterDelay) {
        m_pendingDue = now + m_scenario.swipe_delay_ms;
    } else {
        m_pendingDue.reset();
    }
    return {};
}

Output Reader::WriteCommit(uint64_t now) {
    static const std::string kFail = {kEsc, '1', 'e'};
    if (!m_writeFrame || m_writeBad) {
        m_writeFrame.reset();
        m_writeMode = false;
        return MagneticAnswer(kFail, true, now);
    }
    m_pendingRead = 0;
    if (m_swiped || m_scenario.swipe == SwipeMode::Always) {
        m_swiped = false;
        m_pendingWrite = true;
        m_pendingDue = now;
        return Poll(now);
    }
    m_pendingWrite = true;
    if (m_scenario.swipe == SwipeMode::AfterDelay) {
        m_pendingDue = now + m_scenario.swipe_delay_ms;
    } else {
        m_pendingDue.reset();
    }
    return {};
}

std::optional<uint64_t> Reader::NextDueMs() const {
    if (m_pendingRead || m_pendingWrite) return m_pendingDue;
    return std::nullopt;
}

Output Reader::Poll(uint64_t now) {
    if (!m_pendingDue || now < *m_pendingDue) return {};
    m_pendingDue.reset();
    if (m_pendingRead) {
        int tracks = m_pendingRead;
        m_pendingRead = 0;
        return MagneticAnswer(MagReadReply(tracks), false, now);
    }
    if (m_pendingWrite) {
        m_pendingWrite = false;
        const std::string& f = *m_writeFrame;
        size_t sep = f.find('A');
        std::string t2 = f.substr(0, sep);
        if (!t2.empty()) m_track2 = t2;
        if (sep != std::string::npos && sep + 1 < f.size()) m_track3 = f.substr(sep + 1);
        m_writeFrame.reset();
        m_writeMode = false;
        return MagneticAnswer(std::string{kEsc, '0', 'p'}, true, now);
    }
    return {};
}

Output Reader::Swipe(std::optional<std::string> track2, std::optional<std::string> track3, uint64_t now) {
    m_track2 = std::move(track2);
    m_track3 = std::move(track3);
    if (m_pendingRead || m_pendingWrite) {
        m_pendingDue = now;
        return Poll(now);
    }
    m_swiped = true;
    return {};
}

// ---- slot -----------------------------------------------------------------

bool Reader::Insert(const std::string& named, std::string* error) {
    const CardTypeInfo* info = FindCardType(named);
    const std::string type = info ? info->name : named;
    CardConfig config;
    if (m_scenario.card && m_scenario.card->type == type) {
        config = *m_scenario.card;
    } else {
        config.type = type;
    }
    auto card = MakeCard(config, error);
    if (!card) return false;
    m_card = std::move(card);
    m_powered = false;
    return true;
}

void Reader::InsertCard(std::unique_ptr<Card> card) {
    m_card = std::move(card);
    m_powered = false;
}

bool Reader::CardLeft() {
    if (!m_card || !m_card->Gone()) return false;
    Remove();
    return true;
}

void Reader::Remove() {
    m_card.reset();
    m_powered = false;
}

std::string Reader::Dump() const {
    std::ostringstream os;
    const CardTypeInfo* sel = m_selected ? FindCardType(*m_selected) : nullptr;
    os << "selected " << (sel ? sel->name : "-") << " powered " << (m_powered ? "yes" : "no") << " device "
       << m_deviceNo << "\n";
    auto track = [](const std::optional<std::string>& t) { return t ? *t : std::string("<unreadable>"); };
    os << "track2 " << track(m_track2) << "\n";
    os << "track3 " << track(m_track3) << "\n";
    os << "swipe "
       << (m_scenario.swipe == SwipeMode::Always  ? "always"
           : m_scenario.swipe == SwipeMode::Never ? "never"
                                                  : std::to_string(m_scenario.swipe_delay_ms) + " ms")
       << (m_pendingRead ? " (read waiting)" : "") << (m_pendingWrite ? " (write waiting)" : "") << "\n";
    if (m_card && !m_card->Gone()) {
        os << m_card->Dump();
    } else {
        os << "card none\n";
    }
    return os.str();
}

// ---- faults ---------------------------------------------------------------

bool Reader::Fires(FaultRule& rule, const std::string& command, bool contact) {
    if (rule.command == "mag") {
        if (contact) return false;
    } else if (!rule.command.empty()) {
        if (!contact || Upper(rule.command) != command) return false;
    }
    if (!contact &&
        (rule.kind == FaultKind::Status || rule.kind == FaultKind::BadBcc || rule.kind == FaultKind::Oversize))
        return false;  // no such thing in the head's answers
    ++rule.seen;
    if (rule.seen <= rule.skip) return false;
    if (rule.times && rule.fired >= rule.times) return false;
    if (rule.probability < 1.0) {
        const double draw = static_cast<double>(m_rng() >> 11) / 9007199254740992.0;
        if (draw >= rule.probability) return false;
    }
    ++rule.fired;
    return true;
}

std::vector<const FaultRule*> Reader::Match(const std::string& command, bool contact) {
    std::vector<const FaultRule*> fired;
    for (auto& r : m_scenario.faults)
        if (Fires(r, command, contact)) fired.push_back(&r);
    return fired;
}

Output Reader::Shape(std::string reply, const std::vector<const FaultRule*>& rules, bool contact, bool atomic) {
    auto has = [&](FaultKind k) -> const FaultRule* {
        for (auto* r : rules)
            if (r->kind == k) return r;
        return nullptr;
    };
    if (auto* r = has(FaultKind::Oversize); r && contact) {
        const size_t total = std::max<size_t>(r->size, 10);
        std::string s = {kEsc, '='};
        s += "FF00";
        while (s.size() < total - 3) s += (s.size() % 2 ? '5' : 'A');
        s.resize(total - 3);
        s += "00";
        s += kEtx;
        reply = s;
    }
    if (has(FaultKind::BadBcc) && contact && reply.size() >= 3) {
        Bytes bcc;
        if (ParseHex(reply.substr(reply.size() - 3, 2), bcc))
            reply.replace(reply.size() - 3, 2, HexByteText(bcc[0] ^ 0xFF));
    }
    if (has(FaultKind::NoEtx) && !reply.empty()) reply.pop_back();
    if (auto* r = has(FaultKind::Noise)) {
        std::string noise;
        for (unsigned i = 0; i < r->noise_bytes; ++i) noise += static_cast<char>(0x20 + m_rng() % 0x5F);
        reply = noise + reply;
    }
    Output out;
    unsigned delay = 0;
    if (auto* r = has(FaultKind::Delay)) delay = r->delay_ms;
    if (auto* r = has(FaultKind::Hangup)) {
        size_t at = r->split_at < 0 ? reply.size() / 2 : std::min<size_t>(r->split_at, reply.size());
        reply.resize(at);
        out.hangup = true;
    }
    if (auto* r = has(FaultKind::Split); r && reply.size() > 1) {
        size_t at = r->split_at < 0 ? reply.size() / 2 : std::min<size_t>(r->split_at, reply.size());
        out.chunks.push_back({delay, reply.substr(0, at), atomic});
        out.chunks.push_back({r->pause_ms, reply.substr(at), atomic});
    } else if (!reply.empty()) {
        out.chunks.push_back({delay, reply, atomic});
    }
    return out;
}

}  // namespace qd500sim
