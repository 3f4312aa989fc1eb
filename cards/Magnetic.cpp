#include "cards/Magnetic.h"

#include <cstring>

namespace qd500 {

namespace {

constexpr char kFs = 0x1C;
constexpr char kDel = 0x7F;
constexpr char kTrackSeparator = 'A';
constexpr char kEndSentinel = '?';
constexpr char kWriteOkByte = 'p';
constexpr short kSettingAnswerLen = 3;

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

const Command kResetHead = Fixed(
    "\x1B"
    "0",
    2);
const Command kReadTrack2 = Fixed("\x1B]", 2);
const Command kReadTrack3 = Fixed("\x1BT]", 3);
const Command kReadBoth = Fixed(
    "\x1B"
    "B]",
    3);
const Command kWriteMode1Prefix = Fixed(
    "\x1B"
    "B4",
    3);
const Command kWriteFollowUp = Fixed("\x1Bj", 2);

CardReader::Bytes BytesOf(const Command& command) { return {command.bytes, command.length}; }

void ResetHead(CardReader& reader) { reader.SendOnly(BytesOf(kResetHead)); }

// Sends the commands back to back and collects the head's answer: up to FS
// for a read, a short block for a write. A head that does not answer is
// told to stop waiting.
Stage Exchange(CardReader& reader, const Command* const* commands, int count, bool upToFs, short blockLen) {
    CardReader::Bytes pieces[3];
    for (int i = 0; i < count; ++i) pieces[i] = BytesOf(*commands[i]);
    const CardReader::Bytes reset = BytesOf(kResetHead);
    return reader.Exchange(pieces, count, upToFs ? kFs : -1, blockLen, &reset);
}

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

// ESC 't' [track 2] ['A' track 3] GS ESC '\'; false when it would not fit.
bool BuildWriteFrame(const char* track2, const char* track3, Command& frame) {
    bool ok = frame.Append("\x1Bt", 2);
    if (track2) ok = ok && frame.Append(track2);
    if (track3) ok = ok && frame.Append(&kTrackSeparator, 1) && frame.Append(track3);
    return ok && frame.Append("\x1D\x1B\\", 3);
}

}  // namespace

bool WriteFrameFits(const char* track2, const char* track3) {
    Command frame;
    return BuildWriteFrame(track2, track3, frame);
}

TrackAnswer ReadTracks(CardReader& reader, TrackSet tracks) {
    TrackAnswer answer;
    const Command& command = tracks == TrackSet::Two     ? kReadTrack2
                             : tracks == TrackSet::Three ? kReadTrack3
                                                         : kReadBoth;
    const Command* commands[] = {&command};
    answer.stage = Exchange(reader, commands, 1, true, 0);
    if (answer.stage != Stage::Answered) return answer;

    const char* recv = reader.Answer();
    const int len = reader.AnswerLength();
    int header = FindReadHeader(recv, len);
    if (header < 0) {
        ResetHead(reader);
        return answer;
    }
    answer.header = true;
    if (tracks != TrackSet::Both) {
        // The byte right after the header precedes the track-3 text and is not part of it.
        int from = header + (tracks == TrackSet::Two ? 2 : 3);
        bool unreadable = IsDel(recv, len, from);
        (tracks == TrackSet::Two ? answer.unreadable2 : answer.unreadable3) = unreadable;
        if (!unreadable)
            CopyField(recv, len, from, kEndSentinel, tracks == TrackSet::Two ? answer.track2 : answer.track3);
        return answer;
    }
    int pos = header + 2;
    answer.unreadable2 = IsDel(recv, len, pos);
    if (answer.unreadable2) ++pos;
    // An unreadable track 2 still runs up to the separator.
    pos = CopyField(recv, len, pos, kTrackSeparator, answer.track2) + 1;
    answer.unreadable3 = IsDel(recv, len, pos);
    if (!answer.unreadable3) CopyField(recv, len, pos, kEndSentinel, answer.track3);
    return answer;
}

WriteAnswer WriteTracks(CardReader& reader, const char* track2, const char* track3, int mode) {
    WriteAnswer answer;
    Command frame;
    if (!BuildWriteFrame(track2, track3, frame)) {
        answer.stage = Stage::Refused;
        return answer;
    }
    const Command* withPrefix[] = {&kWriteMode1Prefix, &frame, &kWriteFollowUp};
    const Command* const* commands = mode == 1 ? withPrefix : withPrefix + 1;
    // The head answers with three bytes after a track-2 write, four when the
    // frame carries track 3.
    answer.stage = Exchange(reader, commands, mode == 1 ? 3 : 2, false, track3 ? 4 : 3);
    if (answer.stage != Stage::Answered) return answer;
    // Only the last byte that arrived tells how the write went.
    answer.written = reader.Answer()[reader.AnswerLength() - 1] == kWriteOkByte;
    return answer;
}

char SettingLetter(char code) { return code != '\0' && std::strchr(kHeadSettingLetters, code) ? code : 'A'; }

HeadSetting SetHead(CardReader& reader, char letter) {
    HeadSetting setting;
    const char command[3] = {kEsc, '%', SettingLetter(letter)};
    const CardReader::Bytes piece = {command, sizeof command};
    setting.stage = reader.Exchange(&piece, 1, -1, kSettingAnswerLen, nullptr);
    if (setting.stage != Stage::Answered) return setting;
    const char* recv = reader.Answer();
    const int len = reader.AnswerLength();
    int status = -1;
    for (int k = 0; k + 1 < len; ++k) {
        if (recv[k] == kEsc && recv[k + 1] == '%') {
            status = k + 2;
            break;
        }
    }
    if (status == len)
        setting.answer = SettingAnswer::Cut;
    else if (status > 0 && recv[status] == '0')
        setting.answer = SettingAnswer::Accepted;
    return setting;
}

}  // namespace qd500
