// Card models of the reader simulator. Every card sits behind one interface;
// the contact unit (Reader) decodes the frame and hands the card plain
// numbers and bytes, so a model never sees hex text or checksums.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qd500sim {

using Bytes = std::vector<uint8_t>;

// Reader status codes as they travel in the reply frame.
namespace st {
inline const char* const kOk = "00";
inline const char* const kBadBcc = "11";
inline const char* const kFormat = "12";
inline const char* const kKeyword = "13";
inline const char* const kLength = "14";
inline const char* const kNoCard = "21";
inline const char* const kNotPowered = "23";
inline const char* const kWrongType = "24";
inline const char* const kEjectFailed = "25";
inline const char* const kPin = "31";
inline const char* const kAnd = "32";
inline const char* const kLocked = "33";
inline const char* const kCos = "41";
}  // namespace st

// What a card answers to one reader command: a status code and data bytes.
struct Answer {
    std::string status = st::kOk;
    Bytes data;
    static Answer Ok(Bytes d = {}) { return {st::kOk, std::move(d)}; }
    static Answer Fail(const char* s) { return {s, {}}; }
    bool ok() const { return status == st::kOk; }
};

enum class CardKind { Cpu, Sle4442, Sle4428, Sle4418, Sle4432, At24, At88sc };

// One row of the reader's card-type table.
struct CardTypeInfo {
    const char* name;  // "S4442"
    uint8_t code;      // the type byte of command 54
    CardKind kind;
    unsigned size;                // main memory in bytes (0 for CPU)
    const char* alias = nullptr;  // the name people use ("SLE4442"), taken too
};

const std::vector<CardTypeInfo>& CardTypes();
// A type by its name or the name people use, in any case.
const CardTypeInfo* FindCardType(const std::string& name);
const CardTypeInfo* FindCardType(uint8_t code);

// One file of a CPU card's file system as a scenario gives it: a DF (with a
// name, PINs and children) or a transparent EF (with its content).
struct FileEntry {
    struct Pin {
        unsigned ref = 0;
        Bytes value;
        int tries = 3;
    };
    unsigned fid = 0;
    bool df = false;
    Bytes name;
    Bytes data;
    unsigned update_pin = 0;  // EF: the PIN reference UPDATE BINARY needs (0: free)
    std::vector<Pin> pins;
    std::vector<FileEntry> children;
};

// Settings a card is made from (a scenario's "card" object).
struct CardConfig {
    std::string type = "CPU";
    std::optional<Bytes> atr;
    std::optional<Bytes> memory;      // image from address 0
    std::optional<Bytes> protection;  // chip protection memory, 1 bit per byte, LSB first, 1 = writable
    std::optional<Bytes> psc;
    std::optional<int> error_counter;
    bool erased = false;             // CPU: start without a file system
    std::optional<FileEntry> files;  // CPU: this file system instead of the built-in one
    bool t1 = false;                 // CPU: the ATR offers only T=1; answers come whole
};

class Card {
public:
    explicit Card(const CardTypeInfo& info) : m_info(info) {}
    virtual ~Card() = default;

    const CardTypeInfo& info() const { return m_info; }
    // The reader's type selection fits this card.
    virtual bool Accepts(uint8_t type_code) const;
    virtual Bytes Atr() const { return m_atr; }
    void SetAtr(Bytes atr) { m_atr = std::move(atr); }
    virtual void PowerOn() {}
    // Power-off ends every verified state.
    virtual void PowerOff() {}

    // Reader commands; the defaults refuse with 24 (not this card's command).
    virtual Answer Read(unsigned addr, unsigned count);                    // 52
    virtual Answer Write(unsigned addr, const Bytes& data);                // 57
    virtual Answer Verify(unsigned addr, const Bytes& code);               // 56
    virtual Answer ChangePin(const Bytes& code);                           // 53
    virtual Answer ReadProtection(unsigned addr, unsigned count);          // 50
    virtual Answer ReadWithProtection(unsigned addr, unsigned count);      // 72
    virtual Answer CompareWrite(unsigned addr, const Bytes& data);         // 76
    virtual Answer WriteWithProtection(unsigned addr, const Bytes& data);  // 77
    virtual Answer Erase(unsigned addr, unsigned count);                   // 45
    virtual Answer Personalise(unsigned addr);                             // 46
    // One APDU (5A); the answer's data is the response followed by SW1 SW2.
    virtual Answer Apdu(const Bytes& apdu);

    virtual std::string Dump() const = 0;
    // The card has left the slot on its own (a card behind a connection that
    // closed): the reader then takes the slot as empty.
    virtual bool Gone() const { return false; }

protected:
    CardTypeInfo m_info;
    Bytes m_atr;
};

// A CPU card's answer to one command: data bytes and the status word.
struct CardResponse {
    Bytes data;
    uint16_t sw = 0x9000;
    // The reader's answer to command 5A: the data, then SW1 SW2.
    Answer ToAnswer() const;
};

// How a CPU card's answer data reaches the host. On T=1 a case-4 answer
// comes whole with its status word. On T=0 a command carries data or asks
// for it, never both: a case-4 answer is announced with 61xx and held for
// GET RESPONSE, and so is the exact answer a 6Cxx announces. Any command
// but GET RESPONSE drops what is held.
class AnswerTransport {
public:
    explicit AnswerTransport(bool t1 = false) : m_t1(t1) {}
    bool t1() const { return m_t1; }
    void SetT1(bool t1);
    // The answer data of a case-4 command.
    CardResponse Case4(Bytes data);
    // Keeps data for the GET RESPONSE that follows a 6Cxx.
    void Hold(Bytes data);
    void Drop();
    bool holding() const { return m_holding; }
    // GET RESPONSE: what is held for Le 00 or its exact length, 6Cxx with its
    // length for another Le, 6985 with nothing held.
    CardResponse GetResponse(unsigned le);
    // 00 C0 00 00 Le.
    static bool IsGetResponse(const Bytes& apdu);

private:
    bool m_t1;
    bool m_holding = false;
    Bytes m_held;
};

// The protocol a card's answer to reset names first (TD1's low nibble; T=0
// when there is no TD1), which a reader without PPS uses: 0 or 1.
unsigned FirstProtocol(const Bytes& atr);

std::unique_ptr<Card> MakeCard(const CardConfig& config, std::string* error = nullptr);
Bytes DefaultAtr(const CardTypeInfo& info);
// The CPU card's answer to reset offering T=1 only (TD1 = 01, with TCK).
Bytes T1Atr();

// SLE4442/4432 (256 bytes, protection over bytes 0-31) and SLE4428/4418
// (1024 bytes, a protection bit per byte); the 44x2/44x8 parts with a PSC.
class SleCard : public Card {
public:
    explicit SleCard(const CardTypeInfo& info);
    void PowerOff() override { m_verified = false; }
    Answer Read(unsigned addr, unsigned count) override;
    Answer Write(unsigned addr, const Bytes& data) override;
    Answer Verify(unsigned addr, const Bytes& code) override;
    Answer ChangePin(const Bytes& code) override;
    Answer ReadProtection(unsigned addr, unsigned count) override;
    Answer ReadWithProtection(unsigned addr, unsigned count) override;
    Answer CompareWrite(unsigned addr, const Bytes& data) override;
    Answer WriteWithProtection(unsigned addr, const Bytes& data) override;
    std::string Dump() const override;

    bool HasPsc() const { return m_pscLen > 0; }
    bool Protected(unsigned addr) const;
    bool verified() const { return m_verified; }
    int error_counter() const { return m_counter; }
    const Bytes& memory() const { return m_mem; }
    const Bytes& protection() const { return m_prot; }
    const Bytes& psc() const { return m_psc; }

    void LoadMemory(const Bytes& image);
    bool LoadProtection(const Bytes& image);
    bool LoadPsc(const Bytes& psc);
    bool SetErrorCounter(int n);

private:
    bool InRange(unsigned addr, size_t count) const { return addr + count <= m_mem.size(); }
    Answer CheckWritable(unsigned addr, const Bytes& data) const;
    void Protect(unsigned addr);

    Bytes m_mem;
    Bytes m_prot;         // 1 bit per protectable byte, LSB first; 1 = writable
    unsigned m_protSpan;  // bytes covered by protection bits
    unsigned m_pscLen;    // 0, 2 or 3
    int m_maxTries;
    Bytes m_psc;
    int m_counter;
    bool m_verified = false;
};

// AT24C01..C65 I2C EEPROM. The chip wraps a page write inside its page; the
// reader's write command splits data at page boundaries so it never wraps.
class At24Card : public Card {
public:
    explicit At24Card(const CardTypeInfo& info);
    bool Accepts(uint8_t type_code) const override;
    Answer Read(unsigned addr, unsigned count) override;
    Answer Write(unsigned addr, const Bytes& data) override;
    // One I2C page write as the chip does it: the address counter wraps
    // inside the page. Exposed for tests of the wrap itself.
    void ChipPageWrite(unsigned addr, const Bytes& data);
    unsigned page_size() const { return m_page; }
    const Bytes& memory() const { return m_mem; }
    void LoadMemory(const Bytes& image);
    std::string Dump() const override;

private:
    Bytes m_mem;
    unsigned m_page;
};

// AT88SC101/102/103/1604: a security code at a fixed address with a
// limited number of attempts, erase and a personalisation fuse.
class At88Card : public Card {
public:
    static constexpr unsigned kCodeAddr = 0x0A;
    explicit At88Card(const CardTypeInfo& info);
    void PowerOff() override { m_verified = false; }
    Answer Read(unsigned addr, unsigned count) override;
    Answer Write(unsigned addr, const Bytes& data) override;
    Answer Verify(unsigned addr, const Bytes& code) override;
    Answer ChangePin(const Bytes& code) override;
    Answer Erase(unsigned addr, unsigned count) override;
    Answer Personalise(unsigned addr) override;
    std::string Dump() const override;

    int error_counter() const { return m_counter; }
    bool verified() const { return m_verified; }
    bool personalised() const { return m_fuseAddr > 0; }
    const Bytes& memory() const { return m_mem; }
    void LoadMemory(const Bytes& image);
    bool LoadPsc(const Bytes& psc);
    bool SetErrorCounter(int n);

private:
    Answer CheckWrite(unsigned addr, size_t count) const;
    Bytes m_mem;
    Bytes m_code;
    int m_maxTries;
    int m_counter;
    bool m_verified = false;
    unsigned m_fuseAddr = 0;  // bytes below it are read-only after personalisation
};

// A CPU card with an ISO 7816-4 file system (MF, DFs, transparent and
// record EFs, keys) and the class-80 personalisation commands.
class CpuCard : public Card {
public:
    static const Bytes& TransportKey();
    explicit CpuCard(const CardTypeInfo& info, bool erased = false);
    // A card with the scenario's file system (SELECT by path and name, FCP,
    // no answer data) and, with t1, only T=1 and no 61xx transport.
    CpuCard(const CardTypeInfo& info, const FileEntry* files, bool t1);
    ~CpuCard() override;
    void PowerOn() override;
    void PowerOff() override;
    Answer Verify(unsigned addr, const Bytes& code) override;
    Answer Apdu(const Bytes& apdu) override;
    std::string Dump() const override;

    using Response = CardResponse;
    Response Process(const Bytes& apdu);
    bool HasMf() const;

    struct Node;

private:
    Response Select(const Bytes& data);
    Response SelectIso(unsigned p1, unsigned p2, const Bytes& data);
    void MakeCurrent(Node* found);
    Response GetChallenge(unsigned le);
    uint16_t BinaryTarget(unsigned p1, unsigned p2, Node*& ef, unsigned& offset);
    Response ReadBinary(unsigned p1, unsigned p2, unsigned le);
    Response UpdateBinary(unsigned p1, unsigned p2, const Bytes& data);
    Response ReadRecord(unsigned p1, unsigned p2, unsigned le);
    Response AppendRecord(unsigned p2, const Bytes& data);
    Response VerifyPin(unsigned ref, const Bytes& pin);
    Response EraseMf(const Bytes& data);
    Response Create(unsigned p1, unsigned p2, const Bytes& data);
    Response WriteKey(const Bytes& data);
    Node* FindKey(unsigned id, Node*& owner);
    Node* EfBySfi(unsigned sfi);
    void BuildDefault();

    std::unique_ptr<Node> m_mf;
    Node* m_currentDf = nullptr;
    Node* m_currentEf = nullptr;
    Node* m_creating = nullptr;  // DF (or MF) whose creation is not ended yet
    bool m_iso = false;          // file system from the scenario: the fuller SELECT and VERIFY
    AnswerTransport m_transport;
    std::map<unsigned, bool> m_verified;  // key id -> presented since power-on
};

}  // namespace qd500sim
