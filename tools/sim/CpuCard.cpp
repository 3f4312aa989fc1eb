#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>

#include "Cards.h"
#include "Hex.h"

namespace qd500sim {

struct CpuCard::Node {
    enum Type { Df, Binary, Record } type = Df;
    unsigned fid = 0;
    Bytes name;  // DF name
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    bool creating = false;  // DF created but its creation not ended yet
    // EFs
    Bytes data;  // transparent content
    unsigned max_records = 0;
    unsigned record_len = 0;
    std::vector<Bytes> records;
    unsigned update_key = 0;  // 0: free; else the key id that must be verified
    // Keys of a DF
    struct Key {
        unsigned id;
        Bytes value;
        int tries;
        int max_tries;
    };
    std::vector<Key> keys;

    Node* Child(unsigned id) {
        for (auto& c : children)
            if (c->fid == id) return c.get();
        return nullptr;
    }
    Node* Add(std::unique_ptr<Node> n) {
        n->parent = this;
        children.push_back(std::move(n));
        return children.back().get();
    }
};

namespace {

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kBadStructure = 0x6981;
constexpr uint16_t kSecurity = 0x6982;
constexpr uint16_t kBlocked = 0x6983;
constexpr uint16_t kConditions = 0x6985;
constexpr uint16_t kNoEf = 0x6986;
constexpr uint16_t kBadData = 0x6A80;
constexpr uint16_t kNotSupported = 0x6A81;
constexpr uint16_t kNotFound = 0x6A82;
constexpr uint16_t kNoRecord = 0x6A83;
constexpr uint16_t kNoSpace = 0x6A84;
constexpr uint16_t kBadP1P2 = 0x6A86;
constexpr uint16_t kNoKey = 0x6A88;
constexpr uint16_t kExists = 0x6A89;
constexpr uint16_t kBadOffset = 0x6B00;
constexpr uint16_t kBadIns = 0x6D00;
constexpr uint16_t kBadCla = 0x6E00;
constexpr unsigned kMaxBinary = 8192;

Bytes Ascii(const char* s) { return Bytes(s, s + strlen(s)); }

std::unique_ptr<CpuCard::Node> MakeDf(unsigned fid, Bytes name) {
    auto n = std::make_unique<CpuCard::Node>();
    n->type = CpuCard::Node::Df;
    n->fid = fid;
    n->name = std::move(name);
    return n;
}

std::unique_ptr<CpuCard::Node> MakeBinary(unsigned fid, Bytes content, unsigned update_key = 0) {
    auto n = std::make_unique<CpuCard::Node>();
    n->type = CpuCard::Node::Binary;
    n->fid = fid;
    n->data = std::move(content);
    n->update_key = update_key;
    return n;
}

std::unique_ptr<CpuCard::Node> MakeRecordEf(unsigned fid, unsigned max_records, unsigned len) {
    auto n = std::make_unique<CpuCard::Node>();
    n->type = CpuCard::Node::Record;
    n->fid = fid;
    n->max_records = max_records;
    n->record_len = len;
    return n;
}

void Tlv(Bytes& out, uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

Bytes Fci(const CpuCard::Node& n, uint8_t tag = 0x6F) {
    Bytes body;
    Tlv(body, 0x83, {static_cast<uint8_t>(n.fid >> 8), static_cast<uint8_t>(n.fid)});
    if (n.type == CpuCard::Node::Df) {
        Tlv(body, 0x82, {0x38});
        if (!n.name.empty()) Tlv(body, 0x84, n.name);
    } else if (n.type == CpuCard::Node::Binary) {
        Tlv(body, 0x82, {0x01});
        Tlv(body, 0x80, {static_cast<uint8_t>(n.data.size() >> 8), static_cast<uint8_t>(n.data.size())});
    } else {
        Tlv(body, 0x82, {0x04, 0x21, 0x00, static_cast<uint8_t>(n.record_len), static_cast<uint8_t>(n.max_records)});
    }
    Bytes fci;
    Tlv(fci, tag, body);
    return fci;
}

std::mt19937& ChallengeSource() {
    // Fresh per process: a challenge must not repeat between runs.
    static std::mt19937 rng{std::random_device{}()};
    return rng;
}

}  // namespace

const Bytes& CpuCard::TransportKey() {
    static const Bytes key = {0x5A, 0xC3, 0xE1, 0x07, 0x9B, 0x2D, 0x46, 0xF8};
    return key;
}

CpuCard::CpuCard(const CardTypeInfo& info, bool erased) : Card(info) {
    m_atr = DefaultAtr(info);
    if (!erased) BuildDefault();
    PowerOn();
}

CpuCard::CpuCard(const CardTypeInfo& info, const FileEntry* files, bool t1)
    : Card(info), m_iso(files), m_transport(t1) {
    m_atr = t1 ? T1Atr() : DefaultAtr(info);
    if (files) {
        auto build = [](auto& self, const FileEntry& f) -> std::unique_ptr<Node> {
            if (!f.df) return MakeBinary(f.fid, f.data, f.update_pin);
            auto df = MakeDf(f.fid, f.name);
            for (auto& p : f.pins) df->keys.push_back({p.ref, p.value, p.tries, p.tries});
            for (auto& c : f.children) df->Add(self(self, c));
            return df;
        };
        m_mf = build(build, *files);
    } else {
        BuildDefault();
    }
    PowerOn();
}

CpuCard::~CpuCard() = default;

void CpuCard::BuildDefault() {
    m_mf = MakeDf(0x3F00, Ascii("1PAY.SYS.DDF01"));
    m_mf->keys.push_back({1, {0x12, 0x34, 0x56}, 3, 3});
    Bytes info = Ascii("QD500 SIM CARD 0001");
    info.resize(32, 0x00);
    m_mf->Add(MakeBinary(0x0015, info));
    m_mf->Add(MakeBinary(0x0016, Bytes(16, 0x00), 1));
    Node* app = m_mf->Add(MakeDf(0x1001, Ascii("QD500.APP")));
    app->keys.push_back({2, {0x12, 0x34}, 3, 3});
    Bytes pattern(64);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i);
    app->Add(MakeBinary(0x0001, pattern));
    Node* rec = app->Add(MakeRecordEf(0x0018, 10, 32));
    rec->records.push_back(Ascii("RECORD ONE"));
    rec->records.push_back(Ascii("RECORD TWO"));
}

bool CpuCard::HasMf() const { return m_mf != nullptr; }

void CpuCard::PowerOn() {
    m_currentDf = m_mf.get();
    m_currentEf = nullptr;
    m_transport.Drop();
    m_verified.clear();
}

void CpuCard::PowerOff() { PowerOn(); }

Answer CpuCard::Apdu(const Bytes& apdu) { return Process(apdu).ToAnswer(); }

Answer CpuCard::Verify(unsigned addr, const Bytes& code) {
    // Reader command 56 on a CPU card: the low address byte names the key.
    Response r = VerifyPin(addr & 0xFF, code);
    if (r.sw == kOk) return Answer::Ok();
    if (r.sw == kBlocked) return Answer::Fail(st::kLocked);
    if ((r.sw & 0xFFF0) == 0x63C0) return Answer::Fail(st::kPin);
    return Answer::Fail(st::kCos);
}

CpuCard::Response CpuCard::Process(const Bytes& apdu) {
    if (apdu.size() < 5) return {{}, kWrongLength};
    const unsigned cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3], p3 = apdu[4];
    Bytes data(apdu.begin() + 5, apdu.end());
    if (!(cla == 0x00 && ins == 0xC0)) m_transport.Drop();
    if (cla != 0x00 && cla != 0x80) return {{}, kBadCla};

    // Commands that carry data take P3 as Lc; the others take it as Le.
    // A case-4 command may carry its Le after the data (T=1, or a
    // scenario's card); the answer is whole whatever it asks.
    const bool le_allowed = m_iso || m_transport.t1();
    auto with_data = [&](auto fn) -> Response {
        if (data.size() != p3 && !(le_allowed && p3 > 0 && data.size() == p3 + 1u)) return {{}, kWrongLength};
        if (data.size() != p3) data.pop_back();
        return fn();
    };
    auto with_le = [&](auto fn) -> Response {
        if (!data.empty()) return {{}, kWrongLength};
        return fn();
    };

    if (cla == 0x00) {
        switch (ins) {
            case 0xA4:
                if (m_iso) return with_data([&] { return SelectIso(p1, p2, data); });
                if (p1 != 0x00 || p2 != 0x00) return {{}, kBadP1P2};
                return with_data([&] { return Select(data); });
            case 0xC0:
                return with_le([&] { return m_transport.GetResponse(p3); });
            case 0x84:
                return with_le([&] { return GetChallenge(p3); });
            case 0xB0:
                return with_le([&] { return ReadBinary(p1, p2, p3); });
            case 0xB2:
                return with_le([&] { return ReadRecord(p1, p2, p3); });
            case 0xD6:
                return with_data([&] { return UpdateBinary(p1, p2, data); });
            case 0xE2:
                return with_data([&] { return AppendRecord(p2, data); });
            case 0x20:
                return with_data([&] { return VerifyPin(p2, data); });
            default:
                return {{}, kBadIns};
        }
    }
    switch (ins) {
        case 0x0E:
            return with_data([&] { return EraseMf(data); });
        case 0xE0:
            return with_data([&] { return Create(p1, p2, data); });
        case 0xD4:
            return with_data([&] { return WriteKey(data); });
        default:
            return {{}, kBadIns};
    }
}

CpuCard::Response CpuCard::Select(const Bytes& data) {
    if (data.size() != 2) return {{}, kWrongLength};
    if (!m_mf) return {{}, kNotFound};
    const unsigned fid = (data[0] << 8) | data[1];
    Node* found = nullptr;
    if (fid == 0x3F00) {
        found = m_mf.get();
    } else if (m_currentDf) {
        // The current DF, its children, its siblings, then the MF's children.
        if (m_currentDf->fid == fid) found = m_currentDf;
        if (!found) found = m_currentDf->Child(fid);
        if (!found && m_currentDf->parent) found = m_currentDf->parent->Child(fid);
        if (!found) found = m_mf->Child(fid);
    }
    if (!found) return {{}, kNotFound};
    MakeCurrent(found);
    return m_transport.Case4(Fci(*found));
}

// SELECT of a card built from a scenario: P1 00 (identifier, as the
// built-in card does), 01 (DF under the current DF), 02 (EF under the
// current DF), 03 (parent DF), 04 (DF name), 08 (path from the MF), 09 (path
// from the current DF); P2 00 answers the FCI, 04 the FCP, 0C nothing.
CpuCard::Response CpuCard::SelectIso(unsigned p1, unsigned p2, const Bytes& data) {
    if (p2 != 0x00 && p2 != 0x04 && p2 != 0x0C) return {{}, kBadP1P2};
    if (!m_mf) return {{}, kNotFound};
    auto fid_at = [&](size_t i) { return static_cast<unsigned>((data[i] << 8) | data[i + 1]); };
    Node* found = nullptr;
    switch (p1) {
        case 0x00:
            if (data.empty()) {
                found = m_mf.get();
                break;
            }
            if (data.size() != 2) return {{}, kWrongLength};
            {
                Response r = Select(data);  // the built-in lookup, then the answer below
                if (r.sw == kNotFound) return r;
                m_transport.Drop();
                found = m_currentEf ? m_currentEf : m_currentDf;
            }
            break;
        case 0x01:
        case 0x02: {
            if (data.size() != 2) return {{}, kWrongLength};
            found = m_currentDf ? m_currentDf->Child(fid_at(0)) : nullptr;
            if (found && (found->type == Node::Df) != (p1 == 0x01)) found = nullptr;
            break;
        }
        case 0x03:
            if (!data.empty()) return {{}, kWrongLength};
            found = m_currentDf ? m_currentDf->parent : nullptr;
            break;
        case 0x04: {
            if (data.empty() || data.size() > 16) return {{}, kWrongLength};
            auto search = [&](auto& self, Node* n) -> Node* {
                if (n->type != Node::Df) return nullptr;
                if (n->name.size() >= data.size() && std::equal(data.begin(), data.end(), n->name.begin())) return n;
                for (auto& c : n->children)
                    if (Node* hit = self(self, c.get())) return hit;
                return nullptr;
            };
            found = search(search, m_mf.get());
            break;
        }
        case 0x08:
        case 0x09: {
            if (data.empty() || data.size() % 2) return {{}, kWrongLength};
            size_t i = 0;
            found = p1 == 0x08 ? m_mf.get() : m_currentDf;
            if (p1 == 0x08 && fid_at(0) == 0x3F00) i = 2;  // a path may name the MF too
            for (; found && i < data.size(); i += 2)
                found = found->type == Node::Df ? found->Child(fid_at(i)) : nullptr;
            break;
        }
        default:
            return {{}, kBadP1P2};
    }
    if (!found) return {{}, kNotFound};
    MakeCurrent(found);
    if (p2 == 0x0C) return {{}, kOk};
    return m_transport.Case4(Fci(*found, p2 == 0x04 ? 0x62 : 0x6F));
}

// A selected DF becomes the current DF; a selected EF the current EF, in
// its DF.
void CpuCard::MakeCurrent(Node* found) {
    m_currentDf = found->type == Node::Df ? found : found->parent;
    m_currentEf = found->type == Node::Df ? nullptr : found;
}

CpuCard::Response CpuCard::GetChallenge(unsigned le) {
    Bytes r(le == 0 || le > 8 ? 8 : le);
    for (auto& b : r) b = static_cast<uint8_t>(ChallengeSource()() & 0xFF);
    if (le == 0 || le > 8) {
        m_transport.Hold(r);
        return {{}, 0x6C08};
    }
    return {r, kOk};
}

CpuCard::Node* CpuCard::EfBySfi(unsigned sfi) {
    if (!m_currentDf) return nullptr;
    for (auto& c : m_currentDf->children)
        if (c->type != Node::Df && (c->fid & 0x1F) == sfi) return c.get();
    return nullptr;
}

// The binary EF and offset that P1 P2 of READ/UPDATE BINARY name: the
// current EF at a 15-bit offset, or (P1 bit 8 set) the EF of a short
// identifier, which becomes current, at offset P2.
uint16_t CpuCard::BinaryTarget(unsigned p1, unsigned p2, Node*& ef, unsigned& offset) {
    ef = m_currentEf;
    offset = (p1 << 8) | p2;
    if (p1 & 0x80) {
        ef = EfBySfi(p1 & 0x1F);
        offset = p2;
        if (!ef) return kNotFound;
        m_currentEf = ef;
    }
    if (!ef) return kNoEf;
    if (ef->type != Node::Binary) return kBadStructure;
    return kOk;
}

CpuCard::Response CpuCard::ReadBinary(unsigned p1, unsigned p2, unsigned le) {
    Node* ef = nullptr;
    unsigned offset = 0;
    if (uint16_t sw = BinaryTarget(p1, p2, ef, offset); sw != kOk) return {{}, sw};
    const unsigned size = static_cast<unsigned>(ef->data.size());
    if (offset >= size) return {{}, kBadOffset};
    const unsigned remaining = size - offset;
    if (le == 0) le = std::min(remaining, 256u);
    if (le > remaining) {
        // The host answers 6Cxx with GET RESPONSE, not a second read: keep the
        // exact answer ready for it.
        m_transport.Hold(Bytes(ef->data.begin() + offset, ef->data.end()));
        return {{}, static_cast<uint16_t>(0x6C00 | remaining)};
    }
    return {Bytes(ef->data.begin() + offset, ef->data.begin() + offset + le), kOk};
}

CpuCard::Response CpuCard::UpdateBinary(unsigned p1, unsigned p2, const Bytes& data) {
    Node* ef = nullptr;
    unsigned offset = 0;
    if (uint16_t sw = BinaryTarget(p1, p2, ef, offset); sw != kOk) return {{}, sw};
    if (ef->update_key && !m_verified[ef->update_key]) return {{}, kSecurity};
    if (offset > ef->data.size()) return {{}, kBadOffset};
    if (offset + data.size() > ef->data.size()) return {{}, kWrongLength};
    std::copy(data.begin(), data.end(), ef->data.begin() + offset);
    return {{}, kOk};
}

CpuCard::Response CpuCard::ReadRecord(unsigned p1, unsigned p2, unsigned le) {
    if ((p2 & 0x07) != 0x04 || p1 == 0) return {{}, kBadP1P2};
    Node* ef = m_currentEf;
    if (p2 >> 3) {
        ef = EfBySfi(p2 >> 3);
        if (!ef) return {{}, kNotFound};
        m_currentEf = ef;
    }
    if (!ef) return {{}, kNoEf};
    if (ef->type != Node::Record) return {{}, kBadStructure};
    if (p1 > ef->records.size()) return {{}, kNoRecord};
    const Bytes& rec = ef->records[p1 - 1];
    if (le != 0 && le != rec.size()) {
        m_transport.Hold(rec);
        return {{}, static_cast<uint16_t>(0x6C00 | rec.size())};
    }
    return {rec, kOk};
}

CpuCard::Response CpuCard::AppendRecord(unsigned p2, const Bytes& data) {
    Node* ef = m_currentEf;
    if (p2 >> 3) {
        ef = EfBySfi(p2 >> 3);
        if (!ef) return {{}, kNotFound};
        m_currentEf = ef;
    }
    if (!ef) return {{}, kNoEf};
    if (ef->type != Node::Record) return {{}, kBadStructure};
    if (ef->update_key && !m_verified[ef->update_key]) return {{}, kSecurity};
    if (data.empty() || data.size() > ef->record_len) return {{}, kWrongLength};
    if (ef->records.size() >= ef->max_records) return {{}, kNoSpace};
    ef->records.push_back(data);
    return {{}, kOk};
}

CpuCard::Node* CpuCard::FindKey(unsigned id, Node*& owner) {
    for (Node* df = m_currentDf; df; df = df->parent)
        for (auto& k : df->keys)
            if (k.id == id) {
                owner = df;
                return df;
            }
    return nullptr;
}

CpuCard::Response CpuCard::VerifyPin(unsigned ref, const Bytes& pin) {
    Node* owner = nullptr;
    if (!FindKey(ref, owner)) return {{}, kNoKey};
    Node::Key* key = nullptr;
    for (auto& k : owner->keys)
        if (k.id == ref) key = &k;
    if (key->tries == 0) return {{}, kBlocked};
    if (pin.empty() && m_iso && m_verified[ref]) return {{}, kOk};
    if (pin.empty()) return {{}, static_cast<uint16_t>(0x63C0 | key->tries)};
    if (pin == key->value) {
        key->tries = key->max_tries;
        m_verified[ref] = true;
        return {{}, kOk};
    }
    --key->tries;
    m_verified[ref] = false;
    return {{}, static_cast<uint16_t>(0x63C0 | key->tries)};
}

CpuCard::Response CpuCard::EraseMf(const Bytes& data) {
    if (data.size() != 8) return {{}, kWrongLength};
    if (data != TransportKey()) return {{}, kSecurity};
    if (!m_mf) return {{}, kNotSupported};  // nothing left to erase
    m_mf.reset();
    m_currentDf = m_currentEf = m_creating = nullptr;
    m_verified.clear();
    return {{}, kOk};
}

CpuCard::Response CpuCard::Create(unsigned p1, unsigned p2, const Bytes& data) {
    if (p1 == 0x00 && p2 == 0x00) {  // MF: transport key, two option bytes, DF name
        if (data.size() < 10 || data.size() > 26) return {{}, kWrongLength};
        if (!std::equal(TransportKey().begin(), TransportKey().end(), data.begin())) return {{}, kSecurity};
        if (m_mf) return {{}, kExists};
        m_mf = MakeDf(0x3F00, Bytes(data.begin() + 10, data.end()));
        m_mf->creating = true;
        m_creating = m_currentDf = m_mf.get();
        m_currentEf = nullptr;
        return {{}, kOk};
    }
    if (!m_mf) return {{}, kNotFound};
    if ((p1 == 0x00 || p1 == 0x01) && p2 == 0x01) {  // end of MF / DF creation
        if (data.size() != 2) return {{}, kWrongLength};
        const unsigned fid = (data[0] << 8) | data[1];
        Node* df = p1 == 0x00 ? m_mf.get() : m_currentDf;
        if (!df || df->fid != fid || (p1 == 0x01 && df == m_mf.get())) return {{}, kNotFound};
        if (!df->creating) return {{}, kConditions};
        df->creating = false;
        if (p1 == 0x01) m_currentDf = df->parent;
        m_currentEf = nullptr;
        m_creating = m_currentDf && m_currentDf->creating ? m_currentDf : nullptr;
        return {{}, kOk};
    }
    if (!m_currentDf) return {{}, kNotFound};
    if (p1 == 0x01 && p2 == 0x00) {  // DF: file identifier, DF name
        if (data.size() < 2 || data.size() > 18) return {{}, kWrongLength};
        const unsigned fid = (data[0] << 8) | data[1];
        if (fid == 0x3F00 || m_currentDf->Child(fid)) return {{}, kExists};
        Node* df = m_currentDf->Add(MakeDf(fid, Bytes(data.begin() + 2, data.end())));
        df->creating = true;
        m_creating = m_currentDf = df;
        m_currentEf = nullptr;
        return {{}, kOk};
    }
    if (p1 == 0x02 && p2 == 0x00) {  // EF: fid(2) type(1) size(2) record length(1) update key(1)
        if (data.size() != 7) return {{}, kWrongLength};
        const unsigned fid = (data[0] << 8) | data[1];
        const unsigned type = data[2], size = (data[3] << 8) | data[4], rec_len = data[5];
        if (fid == 0x3F00 || m_currentDf->Child(fid)) return {{}, kExists};
        std::unique_ptr<Node> ef;
        if (type == 0x01) {
            if (size == 0 || size > kMaxBinary) return {{}, kNoSpace};
            ef = MakeBinary(fid, Bytes(size, 0x00), data[6]);
        } else if (type == 0x02) {
            if (size == 0 || size > 254 || rec_len == 0) return {{}, kBadData};
            ef = MakeRecordEf(fid, size, rec_len);
            ef->update_key = data[6];
        } else {
            return {{}, kBadData};
        }
        m_currentEf = m_currentDf->Add(std::move(ef));
        return {{}, kOk};
    }
    return {{}, kBadP1P2};
}

CpuCard::Response CpuCard::WriteKey(const Bytes& data) {
    // key id(1), tries(1), value(1..16)
    if (data.size() < 3 || data.size() > 18) return {{}, kWrongLength};
    if (!m_mf || !m_currentDf) return {{}, kNotFound};
    if (data[1] == 0 || data[1] > 15) return {{}, kBadData};
    Node::Key key{data[0], Bytes(data.begin() + 2, data.end()), data[1], data[1]};
    auto& keys = m_currentDf->keys;
    auto it = std::find_if(keys.begin(), keys.end(), [&](const Node::Key& k) { return k.id == key.id; });
    if (it != keys.end()) {
        *it = key;
    } else {
        keys.push_back(key);
    }
    m_verified.erase(key.id);
    return {{}, kOk};
}

namespace {

void DumpNode(std::ostringstream& os, const CpuCard::Node& n, int depth, const CpuCard::Node* current_df,
              const CpuCard::Node* current_ef) {
    std::string indent(static_cast<size_t>(depth) * 2 + 2, ' ');
    char fid[8];
    snprintf(fid, sizeof fid, "%04X", n.fid);
    os << indent << fid;
    if (n.type == CpuCard::Node::Df) {
        os << " DF \"" << std::string(n.name.begin(), n.name.end()) << "\"" << (n.creating ? " (creating)" : "");
        if (&n == current_df) os << " <current>";
        os << "\n";
        for (auto& k : n.keys)
            os << indent << "  key " << HexByteText(k.id) << " " << ToHex(k.value) << " tries " << k.tries << "/"
               << k.max_tries << "\n";
        for (auto& c : n.children) DumpNode(os, *c, depth + 1, current_df, current_ef);
        return;
    }
    if (n.type == CpuCard::Node::Binary) {
        os << " EF binary " << n.data.size() << " bytes: " << ToHex(n.data);
    } else {
        os << " EF records " << n.records.size() << "/" << n.max_records << " x " << n.record_len << ":";
        for (auto& r : n.records) os << " " << ToHex(r);
    }
    if (n.update_key) os << " (update needs key " << HexByteText(n.update_key) << ")";
    if (&n == current_ef) os << " <current>";
    os << "\n";
}

}  // namespace

std::string CpuCard::Dump() const {
    std::ostringstream os;
    os << "card CPU\n";
    if (!m_mf) {
        os << "  (no file system)\n";
    } else {
        DumpNode(os, *m_mf, 0, m_currentDf, m_currentEf);
    }
    return os.str();
}

}  // namespace qd500sim
