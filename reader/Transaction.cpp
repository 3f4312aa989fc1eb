#include "reader/Transaction.h"

#include <cstring>

#include "reader/Session.h"

namespace qd500 {

namespace {
constexpr int kWorkAreaChars = 256;
}

short RefuseParameters(char* bpMsg) {
    WriteMessage(bpMsg, text::kParamError);
    return -1;
}

Outcome Exchange(CComPort& port, uint8_t timeoutSec, const FrameBody& body, const CommandTexts& texts,
                 char* bpMsg) {
    Outcome outcome;
    if (!body.ok()) {
        RefuseParameters(bpMsg);
        return outcome;
    }
    Frame frame = BuildFrame(body);
    if (port.SendData(frame.text, frame.length) == 0) {
        WriteMessage(bpMsg, texts.sendFailed);
        return outcome;
    }
    if (port.WaitReply(kEtx, timeoutSec) <= 0) {
        WriteMessage(bpMsg, texts.timedOut);
        return outcome;
    }
    outcome.reply = ParseReply(port.m_szRecv, port.m_nRecvLen, kEtx);
    if (!outcome.reply.header) {
        WriteMessage(bpMsg, text::kTimeoutExit);
        return outcome;
    }
    StatusMessage(outcome.reply.statusEmpty ? "" : outcome.reply.status, bpMsg);
    outcome.parsed = true;
    outcome.result = outcome.reply.Result();
    return outcome;
}

Outcome SessionExchange(const FrameBody& body, const CommandTexts& texts, char* bpMsg) {
    return Exchange(*g_pSessionPort, g_byTimeOut, body, texts, bpMsg);
}

int CopyDataText(const Reply& reply, char* out, int maxChars) {
    if (!out) return 0;
    int n = reply.DataChars();
    if (n > maxChars) n = maxChars;
    if (n < 0) n = 0;
    if (n > 0) std::memcpy(out, reply.tail, static_cast<size_t>(n));
    out[n] = '\0';
    return n;
}

void CopyDataBytes(const Reply& reply, unsigned char* out) {
    if (!out) return;
    char work[kWorkAreaChars + 1];
    // The count is what was copied, not the text's length: a NUL byte among
    // the data (line noise) must not shorten the bytes delivered, or the
    // caller would take its own old buffer for card data.
    int chars = CopyDataText(reply, work, kWorkAreaChars);
    out[0] = 0;
    // An odd count would have gCompressAsc pad with 'F'; the count of what
    // arrived decides.
    CompressHex(work, chars, out, chars / 2 + (chars & 1) + 1);
}

}  // namespace qd500
