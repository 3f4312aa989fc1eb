// DES, triple-DES, key diversity, XOR and ISO 9564 PIN blocks: no reader
// involved, every length checked here.
#include <algorithm>
#include <cctype>

#include "Handlers.h"

namespace qd500::cli {
namespace {

std::string Digits(const std::string& text, size_t min, size_t max, const std::string& what) {
    if (text.size() < min || text.size() > max ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        throw UsageError(what + " must be " + std::to_string(min) + " to " + std::to_string(max) + " digits: '" + text +
                         "'");
    return text;
}

std::vector<uint8_t> DesKey(const std::string& text) {
    auto key = ParseHex(text, "key");
    if (key.size() != 8 && key.size() != 16)
        throw UsageError("key must be 8 bytes (DES) or 16 bytes (two-key triple-DES): '" + text + "'");
    return key;
}

}  // namespace

void CmdTriDes(Context&, const Args& a, CommandResult& o) {
    auto data = ExactHex(a.positional[0], 8, "data");
    auto key = ExactHex(a.positional[1], 16, "key");
    uint8_t out[8];
    bool decrypt = a.Flag("decrypt");
    (decrypt ? qd500_3des_decrypt : qd500_3des_encrypt)(key.data(), data.data(), out);
    o.Field(decrypt ? "decrypted" : "encrypted", ToHex(out, sizeof out));
}

void CmdDiversify(Context&, const Args& a, CommandResult& o) {
    auto data = ExactHex(a.positional[0], 8, "diversification data");
    auto key = ExactHex(a.positional[1], 16, "master key");
    uint8_t out[16];
    qd500_diversify(key.data(), data.data(), out);
    o.Field("key", ToHex(out, sizeof out));
}

void CmdXor(Context&, const Args& a, CommandResult& o) {
    auto x = ExactHex(a.positional[0], 8, "first value");
    auto y = ExactHex(a.positional[1], 8, "second value");
    for (size_t i = 0; i < x.size(); ++i) x[i] ^= y[i];
    o.Field("xor", ToHex(x));
}

void CmdPinBlock(Context&, const Args& a, CommandResult& o) {
    std::string pan = Digits(a.positional[1], 13, 19, "the account number");
    auto key = DesKey(a.positional[2]);
    if (!a.Flag("decrypt")) {
        std::string pin = Digits(a.positional[0], 4, 12, "the PIN");
        uint8_t block[8];
        qd500_pin_block(pin.c_str(), pan.c_str(), key.data(), key.size(), block);
        o.Field("pin-block", ToHex(block, sizeof block));
        return;
    }
    auto block = ExactHex(a.positional[0], 8, "PIN block");
    char pin[13] = {};
    if (qd500_pin_from_block(block.data(), pan.c_str(), key.data(), key.size(), pin, sizeof pin) != 0) {
        o.Fail("not a format-0 PIN block of this account number under this key");
        return;
    }
    o.Field("pin", pin);
}

}  // namespace qd500::cli
