#include "Cards.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>

#include "Hex.h"

namespace qd500sim {

const std::vector<CardTypeInfo>& CardTypes() {
    static const std::vector<CardTypeInfo> table = {
        {"CPU", 0x88, CardKind::Cpu, 0},
        {"S4418", 0x18, CardKind::Sle4418, 1024, "SLE4418"},
        {"S4428", 0x28, CardKind::Sle4428, 1024, "SLE4428"},
        {"S4432", 0x32, CardKind::Sle4432, 256, "SLE4432"},
        {"S4442", 0x42, CardKind::Sle4442, 256, "SLE4442"},
        {"AT24C01", 0x01, CardKind::At24, 128},
        {"AT24C02", 0x02, CardKind::At24, 256},
        {"AT24C04", 0x03, CardKind::At24, 512},
        {"AT24C08", 0x04, CardKind::At24, 1024},
        {"AT24C16", 0x05, CardKind::At24, 2048},
        {"AT24C32", 0x06, CardKind::At24, 4096},
        {"AT24C64", 0x07, CardKind::At24, 8192},
        {"AT24C65", 0x08, CardKind::At24, 8192},
        {"AT88SC101A", 0x51, CardKind::At88sc, 128, "AT88SC101"},
        {"AT88SC102A", 0x52, CardKind::At88sc, 196, "AT88SC102"},
        {"AT88SC103A", 0x53, CardKind::At88sc, 128, "AT88SC103"},
        {"AT88SC1604A", 0x54, CardKind::At88sc, 2048, "AT88SC1604"},
    };
    return table;
}

namespace {

bool SameName(const std::string& a, const char* b) {
    return std::equal(a.begin(), a.end(), b, b + std::char_traits<char>::length(b),
                      [](char x, char y) { return std::toupper(static_cast<unsigned char>(x)) == y; });
}

}  // namespace

const CardTypeInfo* FindCardType(const std::string& name) {
    for (const auto& t : CardTypes())
        if (SameName(name, t.name) || (t.alias && SameName(name, t.alias))) return &t;
    return nullptr;
}

const CardTypeInfo* FindCardType(uint8_t code) {
    for (const auto& t : CardTypes())
        if (code == t.code) return &t;
    return nullptr;
}

Bytes T1Atr() {
    // TS, T0 = TD1 present and 8 historical bytes, TD1 = T=1 and nothing
    // further, "QD500SIM", then TCK: the XOR of T0 to the last historical byte.
    Bytes atr = {0x3B, 0x88, 0x01, 'Q', 'D', '5', '0', '0', 'S', 'I', 'M'};
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

unsigned FirstProtocol(const Bytes& atr) {
    // TS, T0 (Y1 in the high nibble), TA1 TB1 TC1 as Y1 says, then TD1.
    if (atr.size() < 2 || !(atr[1] & 0x80)) return 0;
    size_t td1 = 2;
    for (uint8_t bit : {0x10, 0x20, 0x40})
        if (atr[1] & bit) ++td1;
    return td1 < atr.size() ? atr[td1] & 0x0F : 0;
}

Answer CardResponse::ToAnswer() const {
    Bytes out = data;
    out.push_back(static_cast<uint8_t>(sw >> 8));
    out.push_back(static_cast<uint8_t>(sw));
    return Answer::Ok(std::move(out));
}

void AnswerTransport::SetT1(bool t1) {
    m_t1 = t1;
    Drop();
}

CardResponse AnswerTransport::Case4(Bytes data) {
    if (m_t1) return {std::move(data), 0x9000};
    // 6100: 256 bytes or more wait.
    const size_t n = data.size();
    Hold(std::move(data));
    return {{}, static_cast<uint16_t>(0x6100 | (n > 0xFF ? 0 : n))};
}

void AnswerTransport::Hold(Bytes data) {
    m_held = std::move(data);
    m_holding = true;
}

void AnswerTransport::Drop() {
    m_held.clear();
    m_holding = false;
}

CardResponse AnswerTransport::GetResponse(unsigned le) {
    if (!m_holding) return {{}, 0x6985};
    const size_t avail = m_held.size();
    if (le != 0 && le != avail) return {{}, static_cast<uint16_t>(0x6C00 | (avail & 0xFF))};
    CardResponse r{std::move(m_held), 0x9000};
    Drop();
    return r;
}

bool AnswerTransport::IsGetResponse(const Bytes& apdu) {
    return apdu.size() == 5 && apdu[0] == 0x00 && apdu[1] == 0xC0 && apdu[2] == 0x00 && apdu[3] == 0x00;
}

Bytes DefaultAtr(const CardTypeInfo& info) {
    Bytes atr;
    switch (info.kind) {
        case CardKind::Cpu:
            // T=0, TB1 TC1 present, 8 historical bytes "QD500SIM".
            ParseHex(
                "3B68000051443530305349"
                "4D",
                atr);
            break;
        case CardKind::Sle4442:
        case CardKind::Sle4432:
            ParseHex("A2131091", atr);
            break;
        case CardKind::Sle4428:
        case CardKind::Sle4418:
            ParseHex("92231091", atr);
            break;
        case CardKind::At24:
            break;  // I2C parts have no answer to reset
        case CardKind::At88sc:
            ParseHex("3BB21100108000", atr);
            atr.push_back(static_cast<uint8_t>(info.code & 0x0F));
            break;
    }
    return atr;
}

// ---- Card defaults --------------------------------------------------------

bool Card::Accepts(uint8_t type_code) const { return type_code == m_info.code; }
Answer Card::Read(unsigned, unsigned) { return Answer::Fail(st::kWrongType); }
Answer Card::Write(unsigned, const Bytes&) { return Answer::Fail(st::kWrongType); }
Answer Card::Verify(unsigned, const Bytes&) { return Answer::Fail(st::kWrongType); }
Answer Card::ChangePin(const Bytes&) { return Answer::Fail(st::kWrongType); }
Answer Card::ReadProtection(unsigned, unsigned) { return Answer::Fail(st::kWrongType); }
Answer Card::ReadWithProtection(unsigned, unsigned) { return Answer::Fail(st::kWrongType); }
Answer Card::CompareWrite(unsigned, const Bytes&) { return Answer::Fail(st::kWrongType); }
Answer Card::WriteWithProtection(unsigned, const Bytes&) { return Answer::Fail(st::kWrongType); }
Answer Card::Erase(unsigned, unsigned) { return Answer::Fail(st::kWrongType); }
Answer Card::Personalise(unsigned) { return Answer::Fail(st::kWrongType); }
Answer Card::Apdu(const Bytes&) { return Answer::Fail(st::kWrongType); }

namespace {

std::string HexLines(const Bytes& mem, size_t width = 32) {
    std::ostringstream os;
    for (size_t i = 0; i < mem.size(); i += width) {
        char addr[24];
        snprintf(addr, sizeof addr, "%04zX", i);
        os << "  " << addr << ": " << ToHex(mem.data() + i, std::min(width, mem.size() - i)) << "\n";
    }
    return os.str();
}

// A code presented against the stored one: a match restores the tries and
// verifies, a miss spends one try and drops any earlier verification.
Answer PresentCode(const Bytes& given, const Bytes& stored, int max_tries, int& counter, bool& verified) {
    if (counter == 0) return Answer::Fail(st::kLocked);
    verified = given == stored;
    counter = verified ? max_tries : counter - 1;
    return verified ? Answer::Ok() : Answer::Fail(st::kPin);
}

}  // namespace

// ---- SLE44xx --------------------------------------------------------------

SleCard::SleCard(const CardTypeInfo& info) : Card(info) {
    const bool small = info.kind == CardKind::Sle4442 || info.kind == CardKind::Sle4432;
    m_mem.assign(small ? 256 : 1024, 0xFF);
    m_protSpan = small ? 32 : 1024;
    m_prot.assign(m_protSpan / 8, 0xFF);
    m_pscLen = info.kind == CardKind::Sle4442 ? 3 : info.kind == CardKind::Sle4428 ? 2 : 0;
    m_maxTries = m_pscLen == 3 ? 3 : m_pscLen == 2 ? 8 : 0;
    m_psc.assign(m_pscLen, 0xFF);
    m_counter = m_maxTries;
    m_atr = DefaultAtr(info);
    if (small) {
        // As delivered: the answer to reset in bytes 0-3, write-protected.
        std::copy(m_atr.begin(), m_atr.end(), m_mem.begin());
        m_prot[0] = 0xF0;
    }
}

bool SleCard::Protected(unsigned addr) const { return addr < m_protSpan && !((m_prot[addr / 8] >> (addr % 8)) & 1); }

void SleCard::Protect(unsigned addr) {
    if (addr < m_protSpan) m_prot[addr / 8] &= static_cast<uint8_t>(~(1u << (addr % 8)));
}

void SleCard::LoadMemory(const Bytes& image) {
    std::copy(image.begin(), image.begin() + std::min(image.size(), m_mem.size()), m_mem.begin());
}

bool SleCard::LoadProtection(const Bytes& image) {
    if (image.size() > m_prot.size()) return false;
    std::copy(image.begin(), image.end(), m_prot.begin());
    return true;
}

bool SleCard::LoadPsc(const Bytes& psc) {
    if (psc.size() != m_pscLen || m_pscLen == 0) return false;
    m_psc = psc;
    return true;
}

bool SleCard::SetErrorCounter(int n) {
    if (n < 0 || n > m_maxTries) return false;
    m_counter = n;
    return true;
}

Answer SleCard::Read(unsigned addr, unsigned count) {
    if (!InRange(addr, count)) return Answer::Fail(st::kLength);
    return Answer::Ok(Bytes(m_mem.begin() + addr, m_mem.begin() + addr + count));
}

Answer SleCard::CheckWritable(unsigned addr, const Bytes& data) const {
    if (!InRange(addr, data.size())) return Answer::Fail(st::kLength);
    if (HasPsc()) {
        if (m_counter == 0) return Answer::Fail(st::kLocked);
        if (!m_verified) return Answer::Fail(st::kPin);
    }
    // A protected byte can't change; rewriting its own value is harmless.
    for (size_t i = 0; i < data.size(); ++i)
        if (Protected(addr + i) && m_mem[addr + i] != data[i]) return Answer::Fail(st::kAnd);
    return Answer::Ok();
}

Answer SleCard::Write(unsigned addr, const Bytes& data) {
    Answer a = CheckWritable(addr, data);
    if (!a.ok()) return a;
    std::copy(data.begin(), data.end(), m_mem.begin() + addr);
    return a;
}

Answer SleCard::Verify(unsigned, const Bytes& code) {
    if (!HasPsc()) return Answer::Fail(st::kWrongType);
    if (code.size() != m_pscLen) return Answer::Fail(st::kLength);
    return PresentCode(code, m_psc, m_maxTries, m_counter, m_verified);
}

Answer SleCard::ChangePin(const Bytes& code) {
    if (!HasPsc()) return Answer::Fail(st::kWrongType);
    if (code.size() != m_pscLen) return Answer::Fail(st::kLength);
    if (m_counter == 0) return Answer::Fail(st::kLocked);
    if (!m_verified) return Answer::Fail(st::kPin);
    m_psc = code;
    return Answer::Ok();
}

Answer SleCard::ReadProtection(unsigned addr, unsigned count) {
    if (m_protSpan != 32) return Answer::Fail(st::kWrongType);
    if (addr + count > m_prot.size()) return Answer::Fail(st::kLength);
    return Answer::Ok(Bytes(m_prot.begin() + addr, m_prot.begin() + addr + count));
}

Answer SleCard::ReadWithProtection(unsigned addr, unsigned count) {
    if (m_protSpan != 1024) return Answer::Fail(st::kWrongType);
    if (!InRange(addr, count)) return Answer::Fail(st::kLength);
    Bytes out(m_mem.begin() + addr, m_mem.begin() + addr + count);
    Bytes bits((count + 7) / 8, 0);
    for (unsigned i = 0; i < count; ++i)
        if (!Protected(addr + i)) bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    out.insert(out.end(), bits.begin(), bits.end());
    return Answer::Ok(std::move(out));
}

Answer SleCard::CompareWrite(unsigned addr, const Bytes& data) {
    if (addr + data.size() > m_protSpan) return Answer::Fail(st::kLength);
    if (HasPsc()) {
        if (m_counter == 0) return Answer::Fail(st::kLocked);
        if (!m_verified) return Answer::Fail(st::kPin);
    }
    for (size_t i = 0; i < data.size(); ++i)
        if (m_mem[addr + i] != data[i]) return Answer::Fail(st::kAnd);
    for (size_t i = 0; i < data.size(); ++i) Protect(addr + i);
    return Answer::Ok();
}

Answer SleCard::WriteWithProtection(unsigned addr, const Bytes& data) {
    if (m_protSpan != 1024) return Answer::Fail(st::kWrongType);
    Answer a = CheckWritable(addr, data);
    if (!a.ok()) return a;
    for (size_t i = 0; i < data.size(); ++i) {
        m_mem[addr + i] = data[i];
        Protect(addr + i);
    }
    return a;
}

std::string SleCard::Dump() const {
    std::ostringstream os;
    os << "card " << m_info.name << "\n";
    if (HasPsc())
        os << "psc " << ToHex(m_psc) << " error_counter " << m_counter << "/" << m_maxTries
           << (m_verified ? " verified" : " not-verified") << "\n";
    os << "protection " << ToHex(m_prot) << "\n";
    os << "memory\n" << HexLines(m_mem);
    return os.str();
}

// ---- AT24Cxx --------------------------------------------------------------

At24Card::At24Card(const CardTypeInfo& info) : Card(info) {
    m_mem.assign(info.size, 0xFF);
    m_page = info.size <= 256 ? 8 : info.size <= 2048 ? 16 : info.code == 0x08 ? 64 : 32;
}

bool At24Card::Accepts(uint8_t type_code) const {
    const CardTypeInfo* t = FindCardType(type_code);
    return t && t->kind == CardKind::At24;
}

void At24Card::LoadMemory(const Bytes& image) {
    std::copy(image.begin(), image.begin() + std::min(image.size(), m_mem.size()), m_mem.begin());
}

Answer At24Card::Read(unsigned addr, unsigned count) {
    if (addr + count > m_mem.size()) return Answer::Fail(st::kLength);
    return Answer::Ok(Bytes(m_mem.begin() + addr, m_mem.begin() + addr + count));
}

void At24Card::ChipPageWrite(unsigned addr, const Bytes& data) {
    const unsigned base = addr - addr % m_page;
    unsigned offset = addr % m_page;
    for (uint8_t b : data) {
        m_mem[(base + offset) % m_mem.size()] = b;
        offset = (offset + 1) % m_page;
    }
}

Answer At24Card::Write(unsigned addr, const Bytes& data) {
    if (addr + data.size() > m_mem.size()) return Answer::Fail(st::kLength);
    size_t done = 0;
    while (done < data.size()) {
        const unsigned at = addr + static_cast<unsigned>(done);
        const size_t n = std::min<size_t>(m_page - at % m_page, data.size() - done);
        ChipPageWrite(at, Bytes(data.begin() + done, data.begin() + done + n));
        done += n;
    }
    return Answer::Ok();
}

std::string At24Card::Dump() const {
    std::ostringstream os;
    os << "card " << m_info.name << " (" << m_mem.size() << " bytes, page " << m_page << ")\n";
    os << "memory\n" << HexLines(m_mem);
    return os.str();
}

// ---- AT88SC ---------------------------------------------------------------

At88Card::At88Card(const CardTypeInfo& info) : Card(info) {
    m_mem.assign(info.size, 0xFF);
    m_code.assign(2, 0xFF);
    m_maxTries = info.code == 0x54 ? 8 : 4;
    m_counter = m_maxTries;
    m_atr = DefaultAtr(info);
}

void At88Card::LoadMemory(const Bytes& image) {
    std::copy(image.begin(), image.begin() + std::min(image.size(), m_mem.size()), m_mem.begin());
}

bool At88Card::LoadPsc(const Bytes& psc) {
    if (psc.size() != 2) return false;
    m_code = psc;
    return true;
}

bool At88Card::SetErrorCounter(int n) {
    if (n < 0 || n > m_maxTries) return false;
    m_counter = n;
    return true;
}

Answer At88Card::Read(unsigned addr, unsigned count) {
    if (addr + count > m_mem.size()) return Answer::Fail(st::kLength);
    return Answer::Ok(Bytes(m_mem.begin() + addr, m_mem.begin() + addr + count));
}

Answer At88Card::CheckWrite(unsigned addr, size_t count) const {
    if (addr + count > m_mem.size()) return Answer::Fail(st::kLength);
    if (m_counter == 0) return Answer::Fail(st::kLocked);
    if (!m_verified) return Answer::Fail(st::kPin);
    if (count > 0 && addr < m_fuseAddr) return Answer::Fail(st::kAnd);
    return Answer::Ok();
}

Answer At88Card::Write(unsigned addr, const Bytes& data) {
    Answer a = CheckWrite(addr, data.size());
    if (a.ok()) std::copy(data.begin(), data.end(), m_mem.begin() + addr);
    return a;
}

Answer At88Card::Erase(unsigned addr, unsigned count) {
    Answer a = CheckWrite(addr, count);
    if (a.ok()) std::fill(m_mem.begin() + addr, m_mem.begin() + addr + count, 0xFF);
    return a;
}

Answer At88Card::Verify(unsigned addr, const Bytes& code) {
    if (addr != kCodeAddr || code.size() != m_code.size()) return Answer::Fail(st::kLength);
    return PresentCode(code, m_code, m_maxTries, m_counter, m_verified);
}

Answer At88Card::ChangePin(const Bytes& code) {
    if (code.size() != m_code.size()) return Answer::Fail(st::kLength);
    if (m_counter == 0) return Answer::Fail(st::kLocked);
    if (!m_verified) return Answer::Fail(st::kPin);
    if (m_fuseAddr > kCodeAddr) return Answer::Fail(st::kAnd);
    m_code = code;
    return Answer::Ok();
}

Answer At88Card::Personalise(unsigned addr) {
    if (addr > m_mem.size()) return Answer::Fail(st::kLength);
    if (m_counter == 0) return Answer::Fail(st::kLocked);
    if (!m_verified) return Answer::Fail(st::kPin);
    m_fuseAddr = std::max(m_fuseAddr, addr);
    return Answer::Ok();
}

std::string At88Card::Dump() const {
    std::ostringstream os;
    os << "card " << m_info.name << " (" << m_mem.size() << " bytes)\n";
    os << "code " << ToHex(m_code) << " error_counter " << m_counter << "/" << m_maxTries
       << (m_verified ? " verified" : " not-verified") << " fuse " << m_fuseAddr << "\n";
    os << "memory\n" << HexLines(m_mem);
    return os.str();
}

// ---- factory --------------------------------------------------------------

std::unique_ptr<Card> MakeCard(const CardConfig& config, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Card> {
        if (error) *error = why;
        return nullptr;
    };
    const CardTypeInfo* info = FindCardType(config.type);
    if (!info) return fail("unknown card type \"" + config.type + "\"");
    std::unique_ptr<Card> card;
    if ((config.files || config.t1) && info->kind != CardKind::Cpu) return fail("files and protocol are for CPU cards");
    if (config.memory && config.memory->size() > info->size && info->kind != CardKind::Cpu)
        return fail("memory image larger than the card (" + std::to_string(info->size) + " bytes)");
    switch (info->kind) {
        case CardKind::Cpu:
            if (config.files || config.t1) {
                if (config.erased) return fail("a card with files or T=1 is not erased");
                card = std::make_unique<CpuCard>(*info, config.files ? &*config.files : nullptr, config.t1);
            } else {
                card = std::make_unique<CpuCard>(*info, config.erased);
            }
            break;
        case CardKind::Sle4442:
        case CardKind::Sle4428:
        case CardKind::Sle4418:
        case CardKind::Sle4432: {
            auto sle = std::make_unique<SleCard>(*info);
            if (config.memory) sle->LoadMemory(*config.memory);
            if (config.protection && !sle->LoadProtection(*config.protection)) return fail("protection image too long");
            if (config.psc && !sle->LoadPsc(*config.psc)) return fail("psc does not fit this card");
            if (config.error_counter && !sle->SetErrorCounter(*config.error_counter))
                return fail("error_counter out of range");
            card = std::move(sle);
            break;
        }
        case CardKind::At24: {
            auto at = std::make_unique<At24Card>(*info);
            if (config.memory) at->LoadMemory(*config.memory);
            card = std::move(at);
            break;
        }
        case CardKind::At88sc: {
            auto at = std::make_unique<At88Card>(*info);
            if (config.memory) at->LoadMemory(*config.memory);
            if (config.psc && !at->LoadPsc(*config.psc)) return fail("psc must be 2 bytes");
            if (config.error_counter && !at->SetErrorCounter(*config.error_counter))
                return fail("error_counter out of range");
            card = std::move(at);
            break;
        }
    }
    if (config.atr) card->SetAtr(*config.atr);
    return card;
}

}  // namespace qd500sim
