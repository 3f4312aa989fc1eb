// Magnetic stripe, tracks 2 and 3: each call is one exchange with the
// magnetic head on a port of its own, opened on the caller's port number and
// released before returning. The head speaks short ESC sequences, not the
// hex frames of the contact unit.
#include <cstring>
#include <functional>

#include "qd500dll.h"
#include "reader/Protocol.h"
#include "reader/Session.h"
#include "reader/Texts.h"
#include "reader/Transaction.h"
#include "serial/ComPort.h"

namespace qd500 {

namespace {

constexpr char kFs = 0x1C;
constexpr char kGs = 0x1D;
constexpr char kDel = 0x7F;
constexpr char kTrackSeparator = 'A';
constexpr char kEndSentinel = '?';
constexpr char kWriteOkByte = 'p';

// Every command is built in a buffer of this size cleared to zero, so a frame
// and its terminating zero must fit in it.
constexpr int kFrameCapacity = 256;

struct Command {
    char bytes[kFrameCapacity] = {};
    int length = 0;

    // False (and nothing appended) when the text would not leave room for the
    // terminating zero.
    bool Append(const char* text, int count) {
        if (count > kFrameCapacity - 1 - length) return false;
        std::memcpy(bytes + length, text, static_cast<size_t>(count));
        length += count;
        return true;
    }
    bool Append(const char* text) { return Append(text, static_cast<int>(strnlen(text, kFrameCapacity))); }
};

Command Fixed(const char* text, int count) {
    Command c;
    c.Append(text, count);
    return c;
}

const Command kResetHead = Fixed("\x1B" "0", 2);

// How the head's answer is collected: up to FS for a read, a short block for
// a write.
struct Collect {
    bool upToFs;
    short blockLen;
};

// What a parser makes of the collected answer.
struct Verdict {
    short result;
    bool resetHead;  // the head is left waiting and must be told to stop
};

using Parser = std::function<Verdict(const char* recv, int len, char* bpMsg)>;

// The frame shared by every track operation: open a private port, send the
// commands back to back, collect the answer within the response time-out,
// hand it to the parser, and release the port on every path.
short OneShotExchange(short nPort, const Command* const* commands, int count, Collect collect, const Parser& parse,
                      char* bpMsg) {
    CComPort* port = OpenReaderPort(nPort);
    if (!port) {
        WriteMessagePort(bpMsg, text::kCannotOpenPort, nPort);
        return -1;
    }
    auto finish = [&](short result) {
        port->Close();
        delete port;
        return result;
    };
    for (int i = 0; i < count; ++i) {
        if (port->SendData(commands[i]->bytes, commands[i]->length) == 0) {
            WriteMessage(bpMsg, text::kSendComErr);
            return finish(-1);
        }
    }
    bool answered = collect.upToFs ? port->WaitReply(kFs, g_byTimeOut) > 0
                                   : port->ReadByLen(collect.blockLen, g_byTimeOut) == 1;
    if (!answered) {
        WriteMessage(bpMsg, text::kCommTimeout);
        port->SendData(kResetHead.bytes, kResetHead.length);
        return finish(-1);
    }
    Verdict verdict = parse(port->m_szRecv, port->m_nRecvLen, bpMsg);
    if (verdict.resetHead) port->SendData(kResetHead.bytes, kResetHead.length);
    return finish(verdict.result);
}

short OneShotExchange(short nPort, const Command& command, Collect collect, const Parser& parse, char* bpMsg) {
    const Command* commands[] = {&command};
    return OneShotExchange(nPort, commands, 1, collect, parse, bpMsg);
}

// ---- Reading ----

// Position of the first ESC 's' in the answer, or -1.
int FindReadHeader(const char* recv, int len) {
    for (int k = 0; k + 1 < len; ++k) {
        if (recv[k] == kEsc && recv[k + 1] == 's') return k;
    }
    return -1;
}

// Copies the field from `from` up to `stop` or the end of the answer, then a
// NUL; returns the position of the terminator (or the end). The answer holds
// at most the receive capacity, so the copy never exceeds a track buffer of
// that capacity plus its NUL.
int CopyField(const char* recv, int len, int from, char stop, char* out) {
    int n = 0;
    int pos = from;
    for (; pos < len && recv[pos] != stop; ++pos) out[n++] = recv[pos];
    out[n] = '\0';
    return pos;
}

bool IsDel(const char* recv, int len, int pos) { return pos < len && recv[pos] == kDel; }

// The parsers of the two reads run from the header on; a missing header
// makes the head stop waiting.
Parser ReadParser(std::function<short(const char* recv, int len, int header, char* bpMsg)> fields) {
    return [fields](const char* recv, int len, char* bpMsg) -> Verdict {
        int header = FindReadHeader(recv, len);
        if (header < 0) {
            WriteMessage(bpMsg, text::kTimeoutExit);
            return {-1, true};
        }
        return {fields(recv, len, header, bpMsg), false};
    };
}

short ReadOneTrack(short nPort, const Command& command, int fieldOffset, char* bpTrack, char* bpMsg) {
    if (!bpTrack) return RefuseParameters(bpMsg);
    auto fields = [&](const char* recv, int len, int header, char* msg) -> short {
        int from = header + fieldOffset;
        if (IsDel(recv, len, from)) {
            WriteMessage(msg, text::kReadCardError);
            return -1;
        }
        CopyField(recv, len, from, kEndSentinel, bpTrack);
        WriteMessage(msg, text::kReadOk);
        return 0;
    };
    return OneShotExchange(nPort, command, {true, 0}, ReadParser(fields), bpMsg);
}

const Command kReadTrack2 = Fixed("\x1B]", 2);
const Command kReadTrack3 = Fixed("\x1BT]", 3);
const Command kReadBoth = Fixed("\x1B" "B]", 3);

// ---- Writing ----

const Command kWriteMode1Prefix = Fixed("\x1B" "B4", 3);
const Command kWriteFollowUp = Fixed("\x1Bj", 2);

// ESC 't' [track 2] ['A' track 3] GS ESC '\'; false when it would not fit.
bool BuildWriteFrame(const char* track2, const char* track3, Command& frame) {
    bool ok = frame.Append("\x1Bt", 2);
    if (track2) ok = ok && frame.Append(track2);
    if (track3) ok = ok && frame.Append(&kTrackSeparator, 1) && frame.Append(track3);
    return ok && frame.Append("\x1D\x1B\\", 3);
}

short WriteTracks(short nPort, const char* track2, const char* track3, short answerLen, char* bpMsg, short nMode) {
    Command frame;
    if (!BuildWriteFrame(track2, track3, frame)) return RefuseParameters(bpMsg);
    const Command* withPrefix[] = {&kWriteMode1Prefix, &frame, &kWriteFollowUp};
    const Command* const* commands = nMode == 1 ? withPrefix : withPrefix + 1;
    int count = nMode == 1 ? 3 : 2;
    // Only the last byte that arrived tells how the write went.
    Parser lastByte = [](const char* recv, int len, char* msg) -> Verdict {
        if (recv[len - 1] == kWriteOkByte) {
            WriteMessage(msg, text::kWriteOk);
            return {0, false};
        }
        WriteMessage(msg, text::kWriteFailed);
        return {-1, false};
    };
    return OneShotExchange(nPort, commands, count, {false, answerLen}, lastByte, bpMsg);
}

}  // namespace

}  // namespace qd500

using namespace qd500;

extern "C" {

QD500_API short QD500_CALL gMagCard_ReadData2(short nPort, char* bpTrack2, char* bpMsg) {
    return ReadOneTrack(nPort, kReadTrack2, 2, bpTrack2, bpMsg);
}

QD500_API short QD500_CALL gMagCard_ReadData3(short nPort, char* bpTrack3, char* bpMsg) {
    // The byte right after the header precedes the track-3 text and is not part of it.
    return ReadOneTrack(nPort, kReadTrack3, 3, bpTrack3, bpMsg);
}

QD500_API short QD500_CALL gMagCard_ReadData23(short nPort, char* bpTrack2, char* bpTrack3, char* bpMsg) {
    if (!bpTrack2 || !bpTrack3) return RefuseParameters(bpMsg);
    auto fields = [&](const char* recv, int len, int header, char* msg) -> short {
        int pos = header + 2;
        bool track2Failed = IsDel(recv, len, pos);
        if (track2Failed) {
            WriteMessage(msg, text::kTrack2NotRead);
            ++pos;
        }
        // A failed track 2 still runs up to the separator.
        pos = CopyField(recv, len, pos, kTrackSeparator, bpTrack2) + 1;
        bpTrack3[0] = '\0';
        if (IsDel(recv, len, pos)) {
            WriteMessage(msg, track2Failed ? text::kReadCardError : text::kTrack3NotRead);
            return -1;
        }
        CopyField(recv, len, pos, kEndSentinel, bpTrack3);
        if (track2Failed) return -1;
        WriteMessage(msg, text::kReadOk);
        return 0;
    };
    return OneShotExchange(nPort, kReadBoth, {true, 0}, ReadParser(fields), bpMsg);
}

QD500_API short QD500_CALL gMagCard_WriteData2(short nPort, const char* bpTrack2, char* bpMsg, short nMode) {
    if (!bpTrack2) return RefuseParameters(bpMsg);
    return WriteTracks(nPort, bpTrack2, nullptr, 3, bpMsg, nMode);
}

QD500_API short QD500_CALL gMagCard_WriteData3(short nPort, const char* bpTrack3, char* bpMsg, short nMode) {
    if (!bpTrack3) return RefuseParameters(bpMsg);
    // The frame carries an empty track-2 field before the separator.
    return WriteTracks(nPort, "", bpTrack3, 4, bpMsg, nMode);
}

QD500_API short QD500_CALL gMagCard_WriteData23(short nPort, const char* bpTrack2, const char* bpTrack3,
                                                char* bpMsg, short nMode) {
    if (!bpTrack2 || !bpTrack3) return RefuseParameters(bpMsg);
    return WriteTracks(nPort, bpTrack2, bpTrack3, 4, bpMsg, nMode);
}

}  // extern "C"
