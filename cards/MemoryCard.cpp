#include "cards/MemoryCard.h"

#include <algorithm>
#include <cstring>

#include "cards/CardTypes.h"

namespace qd500 {

namespace {

// An SLE4428 reply carries the data, then ceil(n/8) bytes of protection
// bits: 112 bytes keep both within the 128 a reply holds.
constexpr int kSle4428ReadBytes = 112;

FrameBody AddressedBody(const char* code, Address at) {
    FrameBody body(code);
    body.Text(at.high).Text(at.low);
    return body;
}

FrameBody DataBody(const char* code, Address at, const unsigned char* data, int count) {
    FrameBody body = AddressedBody(code, at);
    body.Hex2(count).HexBytes(data, count);
    return body;
}

FrameBody CodeBody(const char* code, const char* codeHex) {
    FrameBody body(code);
    body.Text("0000").Hex2(CodeByteCount(codeHex)).Text(codeHex);
    return body;
}

bool IsSle4442(const CardReader& reader) {
    const CardType* type = reader.SelectedType();
    return type && type->family == CardType::Sle4442;
}

// Runs one exchange of a typed operation, taking its data when it has the
// size asked for.
bool Step(CardReader& reader, const FrameBody& body, Progress& progress, unsigned char* out, int want) {
    progress.last = reader.Transact(body);
    if (!progress.last.answered() || !progress.last.reply.Succeeded()) return false;
    if (!out) return true;
    unsigned char bytes[kMaxReadBytes];
    if (DataBytes(progress.last.reply, bytes, kMaxReadBytes) != want) {
        progress.malformed = true;
        return false;
    }
    std::memcpy(out, bytes, static_cast<size_t>(want));
    return true;
}

// A typed operation over a range the frames cannot address: refused.
bool Refuse(const CardReader& reader, unsigned address, size_t count, bool write, bool protection, Progress& progress) {
    if (MemoryRangeFits(address, count) && CheckRange(reader, address, count, write, protection) == RangeCheck::Fits)
        return false;
    progress.last.stage = Stage::Refused;
    return true;
}

}  // namespace

bool MemoryRangeFits(unsigned address, size_t count) { return address <= 0x10000u && count <= 0x10000u - address; }

RangeCheck CheckRange(const CardReader& reader, unsigned address, size_t count, bool write, bool protection) {
    const CardType* type = reader.SelectedType();
    if (!type) return write && count > static_cast<size_t>(kMaxWriteBytes) ? RangeCheck::TypeUnknown : RangeCheck::Fits;
    // A type without memory or protection leaves the refusal to the reader.
    unsigned end = protection ? type->protectedBytes : type->size;
    if (end == 0) return RangeCheck::Fits;
    return address <= end && count <= end - address ? RangeCheck::Fits : RangeCheck::PastTheEnd;
}

int CodeByteCount(const char* code) { return code ? static_cast<int>(strnlen(code, kMaxBodyChars + 1) / 2) : 0; }

FrameBody ReadDataBody(Address at, int count) {
    FrameBody body = AddressedBody("52", at);
    body.Hex2(count);
    return body;
}

FrameBody WriteDataBody(Address at, const unsigned char* data, int count) { return DataBody("57", at, data, count); }

FrameBody Sle4442ProtectionBody(const char* at, int count) {
    FrameBody body("5000");
    body.Text(at).Hex2(count);
    return body;
}

FrameBody Sle4428ReadBody(Address at, int count) {
    FrameBody body = AddressedBody("72", at);
    body.Hex2(count);
    return body;
}

FrameBody Sle4428ProtectBody(Address at, const unsigned char* data, int count) {
    return DataBody("77", at, data, count);
}

FrameBody CompareWriteBody(Address at, const unsigned char* data, int count) { return DataBody("76", at, data, count); }

FrameBody PresentCodeBody(const char* codeHex) { return CodeBody("56", codeHex); }

FrameBody ChangeCodeBody(const char* codeHex) { return CodeBody("53", codeHex); }

FrameBody At88VerifyBody(Address at, const char* codeHex) {
    FrameBody body = AddressedBody("56", at);
    body.Hex2(CodeByteCount(codeHex)).Text(codeHex);
    return body;
}

FrameBody At88EraseBody(Address at, int count) {
    FrameBody body = AddressedBody("45", at);
    body.Hex2(count);
    return body;
}

FrameBody At88PersonaliseBody(Address at) { return AddressedBody("46", at); }

Progress ReadMemory(CardReader& reader, unsigned address, unsigned char* data, size_t count) {
    Progress progress;
    if (Refuse(reader, address, count, false, false, progress)) return progress;
    while (progress.done < count) {
        int n = static_cast<int>(std::min<size_t>(kMaxReadBytes, count - progress.done));
        AddressText at(address + static_cast<unsigned>(progress.done));
        if (!Step(reader, ReadDataBody(at.fields(), n), progress, data + progress.done, n)) break;
        progress.done += static_cast<size_t>(n);
    }
    return progress;
}

Progress WriteMemory(CardReader& reader, unsigned address, const unsigned char* data, size_t count) {
    Progress progress;
    if (Refuse(reader, address, count, true, false, progress)) return progress;
    while (progress.done < count) {
        int n = static_cast<int>(std::min<size_t>(kMaxWriteBytes, count - progress.done));
        AddressText at(address + static_cast<unsigned>(progress.done));
        if (!Step(reader, WriteDataBody(at.fields(), data + progress.done, n), progress, nullptr, 0)) break;
        progress.done += static_cast<size_t>(n);
    }
    return progress;
}

Progress ReadProtection(CardReader& reader, unsigned address, unsigned char* flags, size_t count) {
    Progress progress;
    if (count == 0) return progress;
    if (Refuse(reader, address, count, false, true, progress)) return progress;
    if (IsSle4442(reader)) {
        // One bit a byte in the protection memory, least significant first,
        // 1 while the byte is writable.
        unsigned first = address / 8;
        int bytes = static_cast<int>((address + count - 1) / 8 - first + 1);
        unsigned char memory[kMaxReadBytes];
        if (bytes > kMaxReadBytes) {
            progress.last.stage = Stage::Refused;
            return progress;
        }
        AddressText at(first);
        if (!Step(reader, Sle4442ProtectionBody(at.fields().low, bytes), progress, memory, bytes)) return progress;
        for (size_t i = 0; i < count; ++i) {
            unsigned bit = address + static_cast<unsigned>(i) - first * 8;
            flags[i] = (memory[bit / 8] >> (bit % 8)) & 1 ? 0 : 1;
        }
        progress.done = count;
        return progress;
    }
    while (progress.done < count) {
        int n = static_cast<int>(std::min<size_t>(kSle4428ReadBytes, count - progress.done));
        int bitBytes = (n + 7) / 8;
        unsigned char answer[kMaxReadBytes];
        AddressText at(address + static_cast<unsigned>(progress.done));
        if (!Step(reader, Sle4428ReadBody(at.fields(), n), progress, answer, n + bitBytes)) break;
        for (int i = 0; i < n; ++i)
            flags[progress.done + static_cast<size_t>(i)] = (answer[n + i / 8] >> (i % 8)) & 1 ? 0 : 1;
        progress.done += static_cast<size_t>(n);
    }
    return progress;
}

Progress Protect(CardReader& reader, unsigned address, const unsigned char* data, size_t count) {
    Progress progress;
    if (Refuse(reader, address, count, true, true, progress)) return progress;
    const bool compare = IsSle4442(reader);
    while (progress.done < count) {
        int n = static_cast<int>(std::min<size_t>(kMaxWriteBytes, count - progress.done));
        AddressText at(address + static_cast<unsigned>(progress.done));
        const unsigned char* part = data + progress.done;
        FrameBody body = compare ? CompareWriteBody(at.fields(), part, n) : Sle4428ProtectBody(at.fields(), part, n);
        if (!Step(reader, body, progress, nullptr, 0)) break;
        progress.done += static_cast<size_t>(n);
    }
    return progress;
}

bool At24Steps::ok() const {
    for (const FrameBody& step : body) {
        if (!step.ok()) return false;
    }
    return true;
}

At24Steps BuildAt24Steps(int device, const char* typeCode, const FrameBody& data) {
    At24Steps steps;
    steps.body[At24Steps::Device] = DeviceNumberHexBody(device);
    steps.body[At24Steps::CardType] = SelectCardBody(typeCode);
    steps.body[At24Steps::PowerOn] = PowerOnBody();
    steps.body[At24Steps::Data] = data;
    steps.body[At24Steps::PowerOff] = PowerOffBody();
    return steps;
}

void RunAt24(CardReader& reader, const At24Steps& steps,
             const std::function<bool(At24Steps::Step, const Outcome&)>& accept, const std::function<bool()>& data,
             bool powerOffAfterFailure) {
    for (At24Steps::Step step : {At24Steps::Device, At24Steps::CardType, At24Steps::PowerOn}) {
        if (!accept(step, reader.Transact(steps.body[step]))) return;
    }
    bool ok = data ? data() : accept(At24Steps::Data, reader.Transact(steps.body[At24Steps::Data]));
    if (!ok && !powerOffAfterFailure) return;
    accept(At24Steps::PowerOff, reader.Transact(steps.body[At24Steps::PowerOff]));
}

}  // namespace qd500
