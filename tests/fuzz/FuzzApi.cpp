// The handle API fed by the fuzzer: a script of calls on one reader, their
// arguments from the first chunk and the reader's answers from the rest.
// Every buffer is exactly its stated size on the heap, and every call must
// keep qd500.h's promises: a result of its kinds, the status code beside a
// reader's result, UTF-8 messages, lengths within the capacity, the size
// needed on QD500_E_BUFFER, and nothing sent for refused arguments.
#include <memory>

#include "fuzz/FuzzHarness.h"
#include "qd500.h"

using namespace qd500::fuzz;

namespace {

// Bytes from the script: exactly their count on the heap.
class Data {
public:
    Data(ParamReader& p, size_t maxLen) : m_size(p.Short() & 0xFFFF) {
        m_size %= maxLen + 1;
        m_bytes.reset(new unsigned char[m_size ? m_size : 1]);
        for (size_t i = 0; i < m_size; ++i) m_bytes[i] = p.Byte();
    }
    const unsigned char* get() const { return m_bytes.get(); }
    size_t size() const { return m_size; }

private:
    size_t m_size;
    std::unique_ptr<unsigned char[]> m_bytes;
};

// A text of the script: a length byte (two for long ones), then as many
// bytes, NUL bytes dropped.
std::string Text(ParamReader& p, size_t maxLen) {
    size_t len = maxLen > 255 ? static_cast<uint16_t>(p.Short()) : p.Byte();
    len %= maxLen + 1;
    std::string text;
    for (size_t i = 0; i < len; ++i)
        if (char c = static_cast<char>(p.Byte())) text.push_back(c);
    return text;
}

bool Utf8(const char* s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        int follow = *p < 0x80 ? 0 : (*p >> 5) == 6 ? 1 : (*p >> 4) == 14 ? 2 : (*p >> 3) == 30 ? 3 : -1;
        if (follow < 0) return false;
        ++p;
        for (int i = 0; i < follow; ++i, ++p)
            if ((*p >> 6) != 2) return false;
    }
    return true;
}

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

struct Script {
    qd500_reader* r;
    ParamReader& p;
    qd500::test::FakePort& line;
    size_t sentBefore = 0;
    bool chained = false;  // the call follows 61xx and 6Cxx

    // A capacity, sometimes just short of what a call needs.
    size_t Cap() { return static_cast<size_t>(p.Short() & 0xFFFF) % 1100; }
    bool Null() { return (p.Byte() & 0x0F) == 0; }
    // An address, now and then past the 16 bits a frame carries.
    unsigned Addr() {
        unsigned addr = static_cast<uint16_t>(p.Short());
        return p.Byte() == 0xFF ? addr * 0x101u : addr;
    }
    size_t Length() { return static_cast<size_t>(p.Short() & 0xFFFF) % 2100; }

    // What every call on the reader must keep.
    void After(int result) {
        Require(result >= QD500_E_CANCELLED && result <= 99 && result != QD500_E_OPEN);
        const char* status = qd500_status(r);
        if (result > 0)
            Require(status[0] >= '0' && status[0] <= '9' && status[1] >= '0' && status[1] <= '9' && !status[2] &&
                    (status[0] - '0') * 10 + (status[1] - '0') == result);
        Require(Utf8(qd500_message(r)));
        // Only a chain of GET RESPONSEs may outgrow its capacity after sending.
        if (result == QD500_E_PARAM || (result == QD500_E_BUFFER && !chained))
            Require(line.written.size() == sentBefore);
    }
    // A length beside its capacity: within it on success, the size needed
    // beyond it when the buffer was too small.
    void CheckLen(int result, size_t len, size_t cap) {
        if (result == 0) Require(len <= cap);
        if (result == QD500_E_BUFFER) Require(len > cap);
    }
};

using Step = int (*)(Script&);

int Response(Script& s, int (*fn)(qd500_reader*, const unsigned char*, size_t, unsigned char*, size_t, size_t*)) {
    Data apdu(s.p, 270);
    size_t cap = s.Cap();
    Out resp(cap);
    size_t len = 0;
    int result = fn(s.r, s.Null() ? nullptr : apdu.get(), apdu.size(), resp.bytes(), cap, &len);
    s.CheckLen(result, len, cap);
    return result;
}

int Memory(Script& s, int (*fn)(qd500_reader*, unsigned, unsigned char*, size_t)) {
    unsigned addr = s.Addr();
    size_t len = s.Length();
    Out data(len);
    return fn(s.r, addr, s.Null() ? nullptr : data.bytes(), len);
}

int WriteLike(Script& s, int (*fn)(qd500_reader*, unsigned, const unsigned char*, size_t)) {
    unsigned addr = s.Addr();
    Data data(s.p, 2100);
    return fn(s.r, addr, s.Null() ? nullptr : data.get(), data.size());
}

int Code(Script& s, int (*fn)(qd500_reader*, const unsigned char*, size_t)) {
    Data code(s.p, 140);
    return fn(s.r, s.Null() ? nullptr : code.get(), code.size());
}

const Step kSteps[] = {
    [](Script& s) {
        ExactText type(Text(s.p, 12));
        return qd500_select_card(s.r, type.get());
    },
    [](Script& s) {
        size_t cap = s.Cap() % 40, len = 0;
        Out atr(cap);
        const bool noLen = s.Null();
        int result = qd500_power_on(s.r, atr.bytes(), cap, noLen ? nullptr : &len);
        if (!noLen) s.CheckLen(result, len, cap);
        return result;
    },
    [](Script& s) { return qd500_power_off(s.r); },
    [](Script& s) {
        Out state(3);
        return qd500_device_status(s.r, state.bytes());
    },
    [](Script& s) { return qd500_eject(s.r); },
    [](Script& s) { return qd500_set_device_no(s.r, s.p.Byte()); },
    [](Script& s) {
        size_t cap = s.Cap() % 140, len = 0;
        Out text(cap);
        int result = qd500_version_text(s.r, text.get(), cap, &len);
        s.CheckLen(result, len, cap);
        return result;
    },
    [](Script& s) { return Response(s, qd500_transmit); },
    [](Script& s) {
        s.chained = true;
        return Response(s, qd500_transmit_get_response);
    },
    [](Script& s) {
        unsigned le = s.p.Short() & 0x1FF;
        size_t cap = s.Cap(), len = 0;
        Out resp(cap);
        int result = qd500_get_response(s.r, le, resp.bytes(), cap, &len);
        s.CheckLen(result, len, cap);
        return result;
    },
    [](Script& s) {
        unsigned ref = s.p.Short() & 0x1FF;
        Data pin(s.p, 140);
        return qd500_check_pin(s.r, ref, pin.get(), pin.size());
    },
    [](Script& s) {
        int step = s.p.Byte() % 12 - 1;
        Data input(s.p, 270);
        size_t cap = s.Cap(), len = 0;
        Out resp(cap);
        int result =
            qd500_personalise(s.r, step, s.Null() ? nullptr : input.get(), input.size(), resp.bytes(), cap, &len);
        s.CheckLen(result, len, cap);
        return result;
    },
    [](Script& s) { return Memory(s, qd500_read_memory); },
    [](Script& s) { return WriteLike(s, qd500_write_memory); },
    [](Script& s) { return Memory(s, qd500_read_protection); },
    [](Script& s) { return WriteLike(s, qd500_protect); },
    [](Script& s) { return Code(s, qd500_present_code); },
    [](Script& s) { return Code(s, qd500_change_code); },
    [](Script& s) {
        unsigned addr = s.Addr();
        Data code(s.p, 140);
        return qd500_at88_verify(s.r, addr, code.get(), code.size());
    },
    [](Script& s) {
        unsigned addr = static_cast<uint16_t>(s.p.Short());
        return qd500_at88_erase(s.r, addr, s.p.Short() & 0x1FF);
    },
    [](Script& s) { return qd500_at88_personalise(s.r, s.Addr()); },
    [](Script& s) {
        unsigned device = s.p.Short() & 0x1FF;
        unsigned addr = s.Addr();
        size_t len = s.Length();
        Out data(len);
        return qd500_at24_read(s.r, device, addr, data.bytes(), len);
    },
    [](Script& s) {
        unsigned device = s.p.Short() & 0x1FF;
        unsigned addr = s.Addr();
        Data data(s.p, 2100);
        return qd500_at24_write(s.r, device, addr, data.get(), data.size());
    },
    [](Script& s) {
        unsigned tracks = s.p.Byte() % 5;
        // Mostly enough room: a track needs QD500_TRACK_MAX + 1.
        size_t cap2 = s.Cap();
        cap2 += 1030 * (s.p.Byte() & 1);
        size_t cap3 = s.Cap();
        cap3 += 1030 * (s.p.Byte() & 1);
        Out t2(cap2), t3(cap3);
        unsigned unreadable = 0;
        int result = qd500_read_tracks(s.r, tracks, s.Null() ? nullptr : t2.get(), cap2, t3.get(), cap3, &unreadable);
        if (result == 0) {
            Require(unreadable <= 3);
            if (tracks & QD500_TRACK2) t2.CheckText();
            if (tracks & QD500_TRACK3) t3.CheckText();
        }
        return result;
    },
    [](Script& s) {
        ExactText t2(Text(s.p, 300));
        ExactText t3(Text(s.p, 300));
        uint8_t which = s.p.Byte();
        return qd500_write_tracks(s.r, which & 1 ? t2.get() : nullptr, which & 2 ? t3.get() : nullptr,
                                  (which >> 2) % 3);
    },
    [](Script& s) { return qd500_mag_setting(s.r, static_cast<char>(s.p.Byte())); },
    [](Script& s) { return qd500_set_timeout_ms(s.r, (s.p.Short() & 0xFFFF) % 20000); },
    [](Script& s) {
        int result = qd500_reopen(s.r);
        Require(result == 0);
        return result;
    },
};

// The calls on no reader: card-type and status tables, PIN blocks.
void Tables(ParamReader& p) {
    ExactText text(Text(p, 40));
    qd500_card_type_code(text.get());
    qd500_card_size(text.get());
    Require(qd500_strerror(static_cast<int16_t>(p.Short())) != nullptr);
    if (const char* name = qd500_card_type_name(p.Short())) Require(qd500_card_type_code(name) >= 0);
    if (const char* message = qd500_status_message(text.get())) Require(Utf8(message));
    ExactText pin(Text(p, 20));
    ExactText pan(Text(p, 30));
    Data key(p, 20), block(p, 8);
    unsigned char out[8];
    qd500_pin_block(pin.get(), pan.get(), key.get(), key.size(), out);
    if (block.size() == 8) {
        size_t cap = p.Byte() % 16;
        Out digits(cap);
        if (qd500_pin_from_block(block.get(), pan.get(), key.get(), key.size(), digits.get(), cap) == 0)
            digits.CheckText();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto chunks = SplitChunks(data, size);
    if (chunks.empty()) return 0;
    // The first answer comes after the first frame: the reader drops what
    // waits on the line before each command.
    FuzzLine fuzzLine(chunks, 1);
    ParamReader params(chunks[0].bytes);
    uint8_t calls = params.Byte() % 9;
    qd500_reader* r = nullptr;
    if (qd500_open("COM4", &r) != 0) __builtin_trap();
    qd500_set_timeout_ms(r, (params.Byte() % 4) * 1000u);
    Script script{r, params, fuzzLine.port};
    for (uint8_t i = 0; i < calls; ++i) {
        Step step = kSteps[params.Byte() % (sizeof kSteps / sizeof kSteps[0])];
        script.sentBefore = fuzzLine.port.written.size();
        script.chained = false;
        script.After(step(script));
    }
    Tables(params);
    qd500_close(r);
    if (fuzzLine.port.open) __builtin_trap();
    return 0;
}
