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

Reader::Reader(Scenario scenario) : scenario_(std::move(scenario)), rng_(scenario_.seed) {
    if (scenario_.card) {
        std::string error;
        card_ = MakeCard(*scenario_.card, &error);
    }
    track2_ = scenario_.track2;
    track3_ = scenario_.track3;
}

Reader::~Reader() = default;

void Reader::Record(bool from_host, std::string_view bytes, uint64_t now) {
    if (bytes.empty()) return;
    LogEntry e{now, from_host, std::string(bytes)};
    if (log_.size() >= kLogCap) log_.erase(log_.begin(), log_.begin() + kLogCap / 2);
    log_.push_back(e);
    if (sink_) sink_(e);
}

Output Reader::Emit(Output out, uint64_t now) {
    Record(false, out.Joined(), now);
    return out;
}

Output Reader::Feed(std::string_view bytes, uint64_t now) {
    in_.append(bytes.data(), bytes.size());
    Output out;
    for (;;) {
        if (collecting_write_) {
            static const std::string kEnd = {kGs, kEsc, '\\'};
            static const std::string kCommit = {kEsc, 'j'};
            size_t end = in_.find(kEnd);
            size_t commit = in_.find(kCommit);
            if (commit != std::string::npos && commit < end) {
                // Committed without the end mark: the frame is broken, ESC 'j' fails.
                Record(true, std::string{kEsc, 't'} + in_.substr(0, commit), now);
                write_bad_ = true;
                write_frame_ = in_.substr(0, commit);
                collecting_write_ = false;
                in_.erase(0, commit);
                continue;
            }
            if (end == std::string::npos) {
                if (in_.size() > kMaxWriteFrame + 3) {  // keep the tail: the end mark may be split
                    write_bad_ = true;
                    in_.erase(0, in_.size() - 2);
                }
                break;
            }
            std::string content = in_.substr(0, end);
            Record(true, std::string{kEsc, 't'} + content + kEnd, now);
            if (content.size() > kMaxWriteFrame) write_bad_ = true;
            write_frame_ = std::move(content);
            collecting_write_ = false;
            in_.erase(0, end + kEnd.size());
            continue;
        }
        size_t esc = in_.find(kEsc);
        if (esc == std::string::npos) {
            in_.clear();  // line noise: nothing of ours starts without ESC
            break;
        }
        in_.erase(0, esc);
        if (in_.size() < 2) break;
        const char c = in_[1];
        if (c == '=') {
            size_t etx = in_.find(kEtx, 2);
            if (etx == std::string::npos) {
                if (in_.size() > kMaxFrame) {
                    Record(true, in_, now);
                    in_.clear();
                    out.Append(Emit(Shape(ReplyFrame(Answer::Fail(st::kLength)), {}, true, false), now));
                }
                break;
            }
            std::string frame = in_.substr(0, etx + 1);
            in_.erase(0, etx + 1);
            out.Append(HandleFrame(frame, now));
            continue;
        }
        if (c == ']') {
            Record(true, in_.substr(0, 2), now);
            in_.erase(0, 2);
            out.Append(MagneticRead(2, now));
            continue;
        }
        if (c == 'T' || c == 'B' || c == '%') {
            if (in_.size() < 3) break;
            const char d = in_[2];
            std::string seq = in_.substr(0, 3);
            if (c == 'T' && d == ']') {
                Record(true, seq, now);
                in_.erase(0, 3);
                out.Append(MagneticRead(3, now));
            } else if (c == 'B' && d == ']') {
                Record(true, seq, now);
                in_.erase(0, 3);
                out.Append(MagneticRead(23, now));
            } else if (c == 'B' && d == '4') {
                Record(true, seq, now);
                in_.erase(0, 3);
                write_mode_ = true;
            } else if (c == '%') {
                Record(true, seq, now);
                in_.erase(0, 3);
                static const std::string kLetters = "ABCDKRZ";
                std::string answer = {kEsc, '%', kLetters.find(d) != std::string::npos ? '0' : '1'};
                out.Append(MagneticAnswer(answer, true, now));
            } else {
                in_.erase(0, 1);  // not a sequence of ours; resynchronise on the next ESC
            }
            continue;
        }
        if (c == 't') {
            in_.erase(0, 2);
            collecting_write_ = true;
            write_bad_ = false;
            continue;
        }
        if (c == 'j') {
            Record(true, in_.substr(0, 2), now);
            in_.erase(0, 2);
            out.Append(WriteCommit(now));
            continue;
        }
        if (c == '0') {
            Record(true, in_.substr(0, 2), now);
            in_.erase(0, 2);
            pending_read_ = 0;
            pending_write_ = false;
            pending_due_.reset();
            continue;
        }
        in_.erase(0, 1);
    }
    return out;
}

void Reader::ResetLine() {
    in_.clear();
    collecting_write_ = false;
    write_frame_.reset();
    write_mode_ = false;
    pending_read_ = 0;
    pending_write_ = false;
    pending_due_.reset();
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

    // Reader commands that need no card.
    switch (code) {
        case 0x25:
            if (p.size() != 1) return Answer::Fail(st::kLength);
            device_no_ = p[0];
            return Answer::Ok();
        case 0x41:
            if (!p.empty()) return Answer::Fail(st::kLength);
            return Answer::Ok(Bytes(scenario_.version.begin(), scenario_.version.end()));
        case 0x47: {
            if (!p.empty()) return Answer::Fail(st::kLength);
            Bytes state;
            if (scenario_.device_status) {
                for (const auto& f : *scenario_.device_status) {
                    Bytes b;
                    ParseHex(f, b);
                    state.push_back(b.empty() ? 0 : b[0]);
                }
            } else {
                state = {static_cast<uint8_t>(card_ ? 1 : 0), static_cast<uint8_t>(powered_ ? 1 : 0),
                         selected_.value_or(0)};
            }
            return Answer::Ok(state);
        }
        case 0x4F:
            if (!p.empty()) return Answer::Fail(st::kLength);
            if (!card_) return Answer::Fail(st::kEjectFailed);
            Remove();
            return Answer::Ok();
        case 0x54: {
            if (p.size() != 1) return Answer::Fail(st::kLength);
            if (!FindCardType(p[0])) return Answer::Fail(st::kWrongType);
            selected_ = p[0];
            if (card_ && !card_->Accepts(p[0])) return Answer::Fail(st::kWrongType);
            return Answer::Ok();
        }
        case 0x55:
            if (!p.empty()) return Answer::Fail(st::kLength);
            if (!card_) return Answer::Fail(st::kNoCard);
            if (selected_ && !card_->Accepts(*selected_)) return Answer::Fail(st::kWrongType);
            if (powered_) card_->PowerOff();  // a second power-on is a reset
            card_->PowerOn();
            powered_ = true;
            return Answer::Ok(card_->Atr());
        case 0x44:
            if (!p.empty()) return Answer::Fail(st::kLength);
            if (!card_) return Answer::Fail(st::kNoCard);
            if (powered_) card_->PowerOff();
            powered_ = false;
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
    if (!card_) return Answer::Fail(st::kNoCard);
    if (!powered_) return Answer::Fail(st::kNotPowered);
    if (selected_ && !card_->Accepts(*selected_)) return Answer::Fail(st::kWrongType);

    Answer a;
    switch (code) {
        case 0x52:
            a = card_->Read(addr(), count);
            break;
        case 0x50:
            a = card_->ReadProtection(addr(), count);
            break;
        case 0x72:
            a = card_->ReadWithProtection(addr(), count);
            break;
        case 0x45:
            a = card_->Erase(addr(), count);
            break;
        case 0x57:
            a = card_->Write(addr(), data);
            break;
        case 0x56:
            a = card_->Verify(addr(), data);
            break;
        case 0x53:
            a = card_->ChangePin(data);
            break;
        case 0x76:
            a = card_->CompareWrite(addr(), data);
            break;
        case 0x77:
            a = card_->WriteWithProtection(addr(), data);
            break;
        case 0x46:
            a = card_->Personalise(addr());
            break;
        case 0x5A:
            a = card_->Apdu(p);
            break;
    }
    if (a.data.size() > kMaxReplyData) return Answer::Fail(st::kLength);
    return a;
}

// ---- magnetic head --------------------------------------------------------

std::string Reader::MagReadReply(int tracks) const {
    auto field = [](const std::optional<std::string>& t) { return t ? *t : std::string(1, kDel); };
    std::string r = {kEsc, 's'};
    if (tracks == 2) {
        r += field(track2_);
        if (track2_) r += '?';
    } else if (tracks == 3) {
        r += 'A';  // the byte the host skips before track 3
        r += field(track3_);
        if (track3_) r += '?';
    } else {
        r += field(track2_);
        r += 'A';
        r += field(track3_);
        if (track3_) r += '?';
    }
    r += kFs;
    return r;
}

Output Reader::MagneticAnswer(std::string bytes, bool atomic, uint64_t now) {
    return Emit(Shape(std::move(bytes), Match("mag", false), false, atomic), now);
}

Output Reader::MagneticRead(int tracks, uint64_t now) {
    pending_write_ = false;
    if (swiped_ || scenario_.swipe == SwipeMode::Always) {
        swiped_ = false;
        pending_read_ = 0;
        pending_due_.reset();
        return MagneticAnswer(MagReadReply(tracks), false, now);
    }
    pending_read_ = tracks;
    if (scenario_.swipe == SwipeMode::AfterDelay) {
        pending_due_ = now + scenario_.swipe_delay_ms;
    } else {
        pending_due_.reset();
    }
    return {};
}

Output Reader::WriteCommit(uint64_t now) {
    static const std::string kFail = {kEsc, '1', 'e'};
    if (!write_frame_ || write_bad_) {
        write_frame_.reset();
        write_mode_ = false;
        return MagneticAnswer(kFail, true, now);
    }
    pending_read_ = 0;
    if (swiped_ || scenario_.swipe == SwipeMode::Always) {
        swiped_ = false;
        pending_write_ = true;
        pending_due_ = now;
        return Poll(now);
    }
    pending_write_ = true;
    if (scenario_.swipe == SwipeMode::AfterDelay) {
        pending_due_ = now + scenario_.swipe_delay_ms;
    } else {
        pending_due_.reset();
    }
    return {};
}

std::optional<uint64_t> Reader::NextDueMs() const {
    if (pending_read_ || pending_write_) return pending_due_;
    return std::nullopt;
}

Output Reader::Poll(uint64_t now) {
    if (!pending_due_ || now < *pending_due_) return {};
    pending_due_.reset();
    if (pending_read_) {
        int tracks = pending_read_;
        pending_read_ = 0;
        return MagneticAnswer(MagReadReply(tracks), false, now);
    }
    if (pending_write_) {
        pending_write_ = false;
        const std::string& f = *write_frame_;
        size_t sep = f.find('A');
        std::string t2 = f.substr(0, sep);
        if (!t2.empty()) track2_ = t2;
        if (sep != std::string::npos && sep + 1 < f.size()) track3_ = f.substr(sep + 1);
        write_frame_.reset();
        write_mode_ = false;
        return MagneticAnswer(std::string{kEsc, '0', 'p'}, true, now);
    }
    return {};
}

Output Reader::Swipe(std::optional<std::string> track2, std::optional<std::string> track3, uint64_t now) {
    track2_ = std::move(track2);
    track3_ = std::move(track3);
    if (pending_read_ || pending_write_) {
        pending_due_ = now;
        return Poll(now);
    }
    swiped_ = true;
    return {};
}

// ---- slot -----------------------------------------------------------------

bool Reader::Insert(const std::string& type, std::string* error) {
    CardConfig config;
    if (scenario_.card && scenario_.card->type == type) {
        config = *scenario_.card;
    } else {
        config.type = type;
    }
    auto card = MakeCard(config, error);
    if (!card) return false;
    card_ = std::move(card);
    powered_ = false;
    return true;
}

void Reader::Remove() {
    card_.reset();
    powered_ = false;
}

std::string Reader::Dump() const {
    std::ostringstream os;
    const CardTypeInfo* sel = selected_ ? FindCardType(*selected_) : nullptr;
    os << "selected " << (sel ? sel->name : "-") << " powered " << (powered_ ? "yes" : "no") << " device " << device_no_
       << "\n";
    auto track = [](const std::optional<std::string>& t) { return t ? *t : std::string("<unreadable>"); };
    os << "track2 " << track(track2_) << "\n";
    os << "track3 " << track(track3_) << "\n";
    os << "swipe "
       << (scenario_.swipe == SwipeMode::Always  ? "always"
           : scenario_.swipe == SwipeMode::Never ? "never"
                                                 : std::to_string(scenario_.swipe_delay_ms) + " ms")
       << (pending_read_ ? " (read waiting)" : "") << (pending_write_ ? " (write waiting)" : "") << "\n";
    if (card_) {
        os << card_->Dump();
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
        const double draw = static_cast<double>(rng_() >> 11) / 9007199254740992.0;
        if (draw >= rule.probability) return false;
    }
    ++rule.fired;
    return true;
}

std::vector<const FaultRule*> Reader::Match(const std::string& command, bool contact) {
    std::vector<const FaultRule*> fired;
    for (auto& r : scenario_.faults)
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
        for (unsigned i = 0; i < r->noise_bytes; ++i) noise += static_cast<char>(0x20 + rng_() % 0x5F);
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
