// CPU cards: APDUs with their status words' meanings, the PIN, and the
// file-system profiles.
#include <fstream>

#include "Handlers.h"
#include "Profile.h"
#include "StatusWords.h"

namespace qd500::cli {
namespace {

unsigned ExpectedSw(const std::string* expectSw) {
    auto bytes = ExactHex(*expectSw, 2, "--expect");
    return static_cast<unsigned>(bytes[0] << 8 | bytes[1]);
}

// The response and status word of an answer into o; a status word that is
// not what --expect asks fails the command, one that is no success without
// --expect is a warning.
void Report(CommandResult& o, std::vector<uint8_t> resp, size_t n, const std::string* expectSw) {
    if (n < 2) {
        o.Fail("the answer carries no status word");
        return;
    }
    unsigned sw = static_cast<unsigned>(resp[n - 2] << 8 | resp[n - 1]);
    resp.resize(n - 2);
    o.Sw(sw);
    if (!resp.empty()) o.Field("response", ToHex(resp));
    if (expectSw) {
        unsigned expected = ExpectedSw(expectSw);
        if (sw != expected)
            o.Fail("status word " + SwText(sw) + " (" + SwMeaning(sw) + "), expected " + SwText(expected) + " (" +
                   SwMeaning(expected) + ")");
    } else if (!SwIsSuccess(sw)) {
        o.Note("warning: status word " + SwText(sw) + ": " + SwMeaning(sw));
    }
}

}  // namespace

bool ExchangeApdu(Context& ctx, CommandResult& o, const std::vector<uint8_t>& apdu, const std::string* expectSw) {
    if (expectSw) ExpectedSw(expectSw);  // a bad --expect sends nothing
    qd500_reader* r = ctx.Reader(o);
    if (!r) return false;
    // Room for a chain of GET RESPONSEs.
    std::vector<uint8_t> resp(16 * QD500_RESPONSE_MAX);
    size_t n = 0;
    if (!ctx.Done(o, qd500_transmit_get_response(r, apdu.data(), apdu.size(), resp.data(), resp.size(), &n)))
        return false;
    Report(o, resp, n, expectSw);
    return true;
}

void CmdApdu(Context& ctx, const Args& a, CommandResult& o) {
    auto bytes = ParseHex(a.positional[0], "APDU");
    if (bytes.size() < 4) throw UsageError("an APDU needs at least CLA INS P1 P2");
    if (bytes.size() > 5) {
        // Case 3 carries P3 data bytes; case 4 one Le byte after them.
        size_t lc = bytes[4], data = bytes.size() - 5;
        if (lc == 0) throw UsageError("P3 00 with data would be an extended length, which the reader does not carry");
        if (data != lc && data != lc + 1)
            throw UsageError("P3 announces " + std::to_string(lc) + " data bytes but " + std::to_string(data) +
                             " follow (" + std::to_string(lc + 1) + " with Le)");
    }
    ExchangeApdu(ctx, o, bytes, a.Option("expect"));
}

void CmdGetResponse(Context& ctx, const Args& a, CommandResult& o) {
    long le = ParseNumber(a.positional[0], 0, 256, "Le");
    if (a.Option("expect")) ExpectedSw(a.Option("expect"));
    qd500_reader* r = ctx.Reader(o);
    if (!r) return;
    std::vector<uint8_t> resp(QD500_RESPONSE_MAX);
    size_t n = 0;
    if (ctx.Done(o, qd500_get_response(r, static_cast<unsigned>(le), resp.data(), resp.size(), &n)))
        Report(o, resp, n, a.Option("expect"));
}

void CmdSelect(Context& ctx, const Args& a, CommandResult& o) {
    auto fid = ExactHex(a.positional[0], 2, "file identifier");
    ExchangeApdu(ctx, o, {0x00, 0xA4, 0x00, 0x00, 0x02, fid[0], fid[1]}, a.Option("expect"));
}

void CmdChallenge(Context& ctx, const Args& a, CommandResult& o) {
    ExchangeApdu(ctx, o, {0x00, 0x84, 0x00, 0x00, 0x04}, a.Option("expect"));
}

void CmdVerifyPin(Context& ctx, const Args& a, CommandResult& o) {
    auto pin = DataHex(a.positional[0], "PIN", 32);
    unsigned ref = a.Option("ref") ? ExactHex(*a.Option("ref"), 1, "--ref")[0] : 0;
    qd500_reader* r = ctx.Reader(o);
    if (!r || ctx.Done(o, qd500_check_pin(r, ref, pin.data(), pin.size()))) return;
    if (o.result == 41 && !a.Option("ref")) {
        // Right or wrong, the PIN was never compared: no key 00 on the card.
        o.Note(
            "the card has no PIN under key reference 00, the default: give --ref RR, its PIN's reference "
            "(the simulator's card keeps 01 under 3F00 and 02 under DF 1001)");
        return;
    }
    if (o.result != 31 && o.result != 33) return;
    // The reader's answer carries no status word; VERIFY without data asks
    // the card for the tries left (63Cx) and spends none (ISO 7816-4).
    const uint8_t query[4] = {0x00, 0x20, 0x00, static_cast<uint8_t>(ref)};
    uint8_t resp[QD500_RESPONSE_MAX];
    size_t n = 0;
    if (qd500_transmit(r, query, sizeof query, resp, sizeof resp, &n) == 0 && n == 2) {
        unsigned sw = static_cast<unsigned>(resp[0] << 8 | resp[1]);
        o.Sw(sw);
        if (sw == 0x63C0 || sw == 0x6983) o.Note("the PIN is blocked: only its unblocking key opens it again");
    }
}

void CmdPersonalise(Context& ctx, const Args& a, CommandResult& o) {
    std::ifstream file(a.positional[0]);
    if (!file) throw UsageError("cannot read profile " + a.positional[0]);
    std::vector<ProfileStep> steps = ParseProfile(file, a.positional[0]);  // throws before anything is sent
    if (qd500_reader* r = ctx.Reader(o)) RunProfile(ctx, r, steps, o);
}

}  // namespace qd500::cli
