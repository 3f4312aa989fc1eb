// Magnetic stripe, tracks 2 and 3: each call is one exchange with the
// magnetic head on a port of its own, opened on the caller's port number and
// released before returning; and the head's setting on the session.
#include <cstring>

#include "cards/Magnetic.h"
#include "exports/Flat.h"
#include "qd500dll.h"

using namespace qd500;

namespace {

// A private port on nPort with the session's response time-out, for one
// exchange; false (with the message written) when it cannot be opened.
bool OpenOneShot(CardReader& port, short nPort, char* bpMsg) {
    PrepareFlatReader(port);
    if (!port.OpenPort(nPort)) {
        WriteMessagePort(bpMsg, text::kCannotOpenPort, nPort);
        return false;
    }
    port.SetTimeoutMs(g_byTimeOut * 1000u);
    return true;
}

// The messages of a head that did not answer as a read or write expects.
short Unanswered(Stage stage, char* bpMsg) {
    if (stage == Stage::Refused) return RefuseParameters(bpMsg);
    WriteMessage(bpMsg, stage == Stage::SendFailed ? text::kSendComErr : text::kCommTimeout);
    return -1;
}

// The read's answer into the caller's buffers; -1 before the head's header.
bool Answered(const TrackAnswer& answer, char* bpMsg, short* result) {
    if (answer.stage != Stage::Answered) {
        *result = Unanswered(answer.stage, bpMsg);
        return false;
    }
    if (!answer.header) {
        WriteMessage(bpMsg, text::kTimeoutExit);
        *result = -1;
        return false;
    }
    return true;
}

void Copy(char* out, const char* text) { std::memcpy(out, text, std::strlen(text) + 1); }

short ReadOneTrack(short nPort, TrackSet track, char* bpTrack, char* bpMsg) {
    if (!bpTrack) return RefuseParameters(bpMsg);
    CardReader port;
    if (!OpenOneShot(port, nPort, bpMsg)) return -1;
    TrackAnswer answer = ReadTracks(port, track);
    short result;
    if (!Answered(answer, bpMsg, &result)) return result;
    if (track == TrackSet::Two ? answer.unreadable2 : answer.unreadable3) {
        WriteMessage(bpMsg, text::kReadCardError);
        return -1;
    }
    Copy(bpTrack, track == TrackSet::Two ? answer.track2 : answer.track3);
    WriteMessage(bpMsg, text::kReadOk);
    return 0;
}

short WriteOneShot(short nPort, const char* track2, const char* track3, char* bpMsg, short nMode) {
    CardReader port;
    // The frame is checked before the port is opened.
    if (!WriteFrameFits(track2, track3)) return RefuseParameters(bpMsg);
    if (!OpenOneShot(port, nPort, bpMsg)) return -1;
    WriteAnswer answer = WriteTracks(port, track2, track3, nMode);
    if (answer.stage != Stage::Answered) return Unanswered(answer.stage, bpMsg);
    WriteMessage(bpMsg, answer.written ? text::kWriteOk : text::kWriteFailed);
    return answer.written ? 0 : -1;
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL gMagCard_ReadData2(short nPort, char* bpTrack2, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return ReadOneTrack(nPort, TrackSet::Two, bpTrack2, bpMsg);
}

QD500_API short QD500_CALL gMagCard_ReadData3(short nPort, char* bpTrack3, char* bpMsg) {
    FlatLock lock(FlatMutex());
    return ReadOneTrack(nPort, TrackSet::Three, bpTrack3, bpMsg);
}

QD500_API short QD500_CALL gMagCard_ReadData23(short nPort, char* bpTrack2, char* bpTrack3, char* bpMsg) {
    FlatLock lock(FlatMutex());
    if (!bpTrack2 || !bpTrack3) return RefuseParameters(bpMsg);
    CardReader port;
    if (!OpenOneShot(port, nPort, bpMsg)) return -1;
    TrackAnswer answer = ReadTracks(port, TrackSet::Both);
    short result;
    if (!Answered(answer, bpMsg, &result)) return result;
    if (answer.unreadable2) WriteMessage(bpMsg, text::kTrack2NotRead);
    Copy(bpTrack2, answer.track2);
    bpTrack3[0] = '\0';
    if (answer.unreadable3) {
        WriteMessage(bpMsg, answer.unreadable2 ? text::kReadCardError : text::kTrack3NotRead);
        return -1;
    }
    Copy(bpTrack3, answer.track3);
    if (answer.unreadable2) return -1;
    WriteMessage(bpMsg, text::kReadOk);
    return 0;
}

QD500_API short QD500_CALL gMagCard_WriteData2(short nPort, const char* bpTrack2, char* bpMsg, short nMode) {
    FlatLock lock(FlatMutex());
    if (!bpTrack2) return RefuseParameters(bpMsg);
    return WriteOneShot(nPort, bpTrack2, nullptr, bpMsg, nMode);
}

QD500_API short QD500_CALL gMagCard_WriteData3(short nPort, const char* bpTrack3, char* bpMsg, short nMode) {
    FlatLock lock(FlatMutex());
    if (!bpTrack3) return RefuseParameters(bpMsg);
    // The frame carries an empty track-2 field before the separator.
    return WriteOneShot(nPort, "", bpTrack3, bpMsg, nMode);
}

QD500_API short QD500_CALL gMagCard_WriteData23(short nPort, const char* bpTrack2, const char* bpTrack3, char* bpMsg,
                                                short nMode) {
    FlatLock lock(FlatMutex());
    if (!bpTrack2 || !bpTrack3) return RefuseParameters(bpMsg);
    return WriteOneShot(nPort, bpTrack2, bpTrack3, bpMsg, nMode);
}

QD500_API short QD500_CALL gSet_Li_MSRA(char cCode, char* bpMsg) {
    FlatLock lock(FlatMutex());
    if (!SessionCheck(bpMsg)) return -1;
    WriteMessage(bpMsg, "");
    HeadSetting setting = SetHead(SessionReader(), cCode);
    if (setting.stage != Stage::Answered) {
        WriteMessage(bpMsg, setting.stage == Stage::SendFailed ? text::kSettingError : text::kCommTimeout);
        return -1;
    }
    switch (setting.answer) {
        case SettingAnswer::Accepted:
            WriteMessage(bpMsg, text::kSettingOk);
            return 0;
        case SettingAnswer::Cut:
            WriteMessage(bpMsg, text::kTimeoutExit);
            return -1;
        case SettingAnswer::Rejected:
            break;
    }
    WriteMessage(bpMsg, text::kSettingError);
    return -1;
}

}  // extern "C"
