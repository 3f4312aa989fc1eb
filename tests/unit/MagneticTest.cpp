// Track reading and writing: one exchange with the magnetic head on a port
// of the call's own, on a scripted line.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "data/MagneticTracks.h"
#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

const std::string kHeader = "\x1Bs";
const std::string kFs = "\x1C";
const std::string kDel = "\x7F";
const std::string kResetHead =
    "\x1B"
    "0";
const std::string kReadTrack2 = "\x1B]";
const std::string kReadTrack3 = "\x1BT]";
const std::string kReadBoth =
    "\x1B"
    "B]";
const char kUntouched[] = "untouched";

std::string Bytes(const char* text) { return std::string(text); }

class MagneticTest : public ::testing::Test {
protected:
    static constexpr int kHead = 5;
    void SetUp() override {
        gSetTimeOutIC(10);
        Reset();
    }
    void TearDown() override { gSetTimeOutIC(10); }
    // A fresh line (no bytes left over from an earlier answer) and buffers
    // marked so that any write to them shows.
    void Reset() {
        head = &fake.platform.AddPort(kHead);
        std::memset(track2, 'Z', sizeof track2);
        std::memset(track3, 'Z', sizeof track3);
        std::strcpy(track2, kUntouched);
        std::strcpy(track3, kUntouched);
        std::strcpy(msg, "stale");
    }
    // The head answers a little after the command went out.
    void Answer(const std::string& bytes, uint32_t delayMs = 20) { head->ArriveIn(delayMs, bytes); }

    ScopedFakePlatform fake;
    ScopedTraceFile trace;
    FakePort* head = nullptr;
    char msg[64] = {};
    char track2[1100];
    char track3[1100];
};

// ---- Reads ----

TEST_F(MagneticTest, SingleTrackReads) {
    using tracks::kTrack2Digits;
    using tracks::kTrack3Digits;
    struct Row {
        const char* what;
        int track;  // 2 or 3
        std::string reply;
        short result;
        const char* message;
        std::string text;  // kUntouched when the buffer must stay as it was
    } rows[] = {
        {"swipe", 2, kHeader + kTrack2Digits + "?" + kFs, 0, text::kReadOk, kTrack2Digits},
        {"sentinels are kept as received", 2, kHeader + tracks::kTrack2 + kFs, 0, text::kReadOk,
         std::string(tracks::kTrack2, std::strlen(tracks::kTrack2) - 1)},
        {"noise before the header", 2, std::string("\x00\xFFs\x1B", 4) + kHeader + "1234?" + kFs, 0, text::kReadOk,
         "1234"},
        {"only the first header counts", 2, kHeader + "12" + kHeader + "34?" + kFs, 0, text::kReadOk, "12\x1Bs34"},
        {"DEL after the header", 2, kHeader + kDel + "1234?" + kFs, -1, text::kReadCardError, kUntouched},
        {"no '?' runs to the FS", 2, kHeader + "1234" + kFs, 0, text::kReadOk, "1234" + kFs},
        {"'?' at once", 2, kHeader + "?" + kFs, 0, text::kReadOk, ""},
        {"only FS after the header", 2, kHeader + kFs, 0, text::kReadOk, kFs},
        {"byte before track 3 is skipped", 3, kHeader + "x" + kTrack3Digits + "?" + kFs, 0, text::kReadOk,
         kTrack3Digits},
        {"skipped byte may be DEL", 3, kHeader + kDel + "5678?" + kFs, 0, text::kReadOk, "5678"},
        {"DEL at the track-3 field", 3, kHeader + "x" + kDel + "5678?" + kFs, -1, text::kReadCardError, kUntouched},
        {"track-3 field past the end is empty", 3, kHeader + kFs, 0, text::kReadOk, ""},
        {"track 3 without '?'", 3, kHeader + "x56" + kFs, 0, text::kReadOk, "56" + kFs},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        Answer(row.reply);
        short result = row.track == 2 ? gMagCard_ReadData2(kHead, track2, msg) : gMagCard_ReadData3(kHead, track3, msg);
        EXPECT_EQ(result, row.result);
        EXPECT_STREQ(msg, row.message);
        EXPECT_EQ(std::string(row.track == 2 ? track2 : track3), row.text);
        // No ESC '0' after a reply with its header, whatever its fields hold.
        EXPECT_EQ(head->written, row.track == 2 ? kReadTrack2 : kReadTrack3);
        EXPECT_FALSE(head->open);
    }
}

TEST_F(MagneticTest, TwoTrackRead) {
    using tracks::kTrack2Digits;
    using tracks::kTrack3Digits;
    struct Row {
        const char* what;
        std::string reply;
        short result;
        const char* message;
        std::string text2, text3;
    } rows[] = {
        {"both tracks", kHeader + kTrack2Digits + "A" + kTrack3Digits + "?" + kFs, 0, text::kReadOk, kTrack2Digits,
         kTrack3Digits},
        {"track 2 keeps its '?', 'A' ends it", kHeader + tracks::kTrack2 + "A" + tracks::kTrack3 + kFs, 0,
         text::kReadOk, tracks::kTrack2, std::string(tracks::kTrack3, std::strlen(tracks::kTrack3) - 1)},
        {"track 2 not read", kHeader + kDel + "A" + "5678?" + kFs, -1, text::kTrack2NotRead, "", "5678"},
        {"bytes between DEL and 'A' are track 2", kHeader + kDel + "12A5678?" + kFs, -1, text::kTrack2NotRead, "12",
         "5678"},
        {"track 3 not read", kHeader + "1234A" + kDel + kFs, -1, text::kTrack3NotRead, "1234", ""},
        {"neither track read", kHeader + kDel + "A" + kDel + kFs, -1, text::kReadCardError, "", ""},
        {"no separator: track 3 is past the end", kHeader + "1234?" + kFs, 0, text::kReadOk, "1234?" + kFs, ""},
        {"track 3 without '?'", kHeader + "12A56" + kFs, 0, text::kReadOk, "12", "56" + kFs},
        {"only FS after the header", kHeader + kFs, 0, text::kReadOk, kFs, ""},
        {"noise before the header", "\x1B\x1B" + kHeader + "1A2?" + kFs, 0, text::kReadOk, "1", "2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        Answer(row.reply);
        EXPECT_EQ(gMagCard_ReadData23(kHead, track2, track3, msg), row.result);
        EXPECT_STREQ(msg, row.message);
        EXPECT_EQ(std::string(track2), row.text2);
        EXPECT_EQ(std::string(track3), row.text3);
        EXPECT_EQ(head->written, kReadBoth);
        EXPECT_FALSE(head->open);
    }
}

TEST_F(MagneticTest, ReadFailuresBeforeTheFieldsAndTheResetOfTheHead) {
    using Read = std::function<short()>;
    struct Row {
        const char* what;
        Read read;
        std::string command;
    } rows[] = {
        {"track 2", [&] { return gMagCard_ReadData2(kHead, track2, msg); }, kReadTrack2},
        {"track 3", [&] { return gMagCard_ReadData3(kHead, track3, msg); }, kReadTrack3},
        {"both", [&] { return gMagCard_ReadData23(kHead, track2, track3, msg); }, kReadBoth},
    };
    gSetTimeOutIC(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // No swipe: the head is told to stop waiting, the port is released.
        Reset();
        uint32_t start = fake.platform.now;
        EXPECT_EQ(row.read(), -1);
        EXPECT_STREQ(msg, text::kCommTimeout);
        EXPECT_EQ(head->written, row.command + kResetHead);
        EXPECT_EQ(fake.platform.now - start, 2001u);
        EXPECT_FALSE(head->open);
        EXPECT_STREQ(track2, kUntouched);
        EXPECT_STREQ(track3, kUntouched);

        // A reply without its header: the same reset.
        Reset();
        Answer(
            "\x1B"
            "S1234?" +
            kFs);
        EXPECT_EQ(row.read(), -1);
        EXPECT_STREQ(msg, text::kTimeoutExit);
        EXPECT_EQ(head->written, row.command + kResetHead);
        EXPECT_STREQ(track2, kUntouched);
        EXPECT_STREQ(track3, kUntouched);
    }
    // The same port number opens again after a failed call.
    Answer(kHeader + "99?" + kFs);
    EXPECT_EQ(gMagCard_ReadData2(kHead, track2, msg), 0);
    EXPECT_STREQ(track2, "99");
    EXPECT_EQ(head->opens, 2);
}

TEST_F(MagneticTest, PortThatCannotBeOpened) {
    EXPECT_EQ(gMagCard_ReadData2(7, track2, msg), -1);
    EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[7]");
    EXPECT_STREQ(track2, kUntouched);

    head->failOpen = true;
    EXPECT_EQ(gMagCard_ReadData23(kHead, track2, track3, msg), -1);
    EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[5]");
    EXPECT_EQ(gMagCard_WriteData2(kHead, "123", msg, 1), -1);
    EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[5]");
    EXPECT_STREQ(track2, kUntouched);
    EXPECT_STREQ(track3, kUntouched);
    EXPECT_EQ(head->written, "");
}

TEST_F(MagneticTest, TheTimeOutIsReadAtTheWait) {
    gSetTimeOutIC(1);
    EXPECT_EQ(gMagCard_ReadData2(kHead, track2, msg), -1);
    EXPECT_STREQ(msg, text::kCommTimeout);
    EXPECT_EQ(fake.platform.now, 1001u);

    gSetTimeOutIC(3);
    Reset();
    Answer(kHeader + "1?" + kFs, 2500);
    EXPECT_EQ(gMagCard_ReadData2(kHead, track2, msg), 0);
    EXPECT_STREQ(track2, "1");
}

TEST_F(MagneticTest, ReadsLeaveAnOpenSessionAlone) {
    FakePort& session = fake.platform.AddPort(3);
    ASSERT_EQ(gOpenComIC(3, msg), 0);
    CComPort* sessionPort = SessionPort();
    Answer(kHeader + "1A2?" + kFs);
    EXPECT_EQ(gMagCard_ReadData23(kHead, track2, track3, msg), 0);
    Answer("p");
    EXPECT_EQ(gMagCard_WriteData2(kHead, "1", msg, 0), 0);
    EXPECT_EQ(SessionPort(), sessionPort);
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_TRUE(session.open);
    EXPECT_EQ(session.written, "");
    gCloseComIC(msg);
}

TEST_F(MagneticTest, TrackTextsStayWithinTheReceiveCapacity) {
    // A reply longer than the receive buffer is cut at 1024 bytes.
    const std::string longTrack(1500, '1');
    Answer(kHeader + longTrack + "?" + kFs);
    EXPECT_EQ(gMagCard_ReadData2(kHead, track2, msg), 0);
    EXPECT_EQ(std::strlen(track2), 1022u);
    EXPECT_EQ(track2[1023], 'Z');

    Reset();
    Answer(kHeader + "1A" + longTrack + kFs);
    EXPECT_EQ(gMagCard_ReadData23(kHead, track2, track3, msg), 0);
    EXPECT_STREQ(track2, "1");
    EXPECT_EQ(std::strlen(track3), 1020u);
    EXPECT_EQ(track3[1021], 'Z');

    // The cut can leave the header as the last bytes: an empty track.
    Reset();
    Answer(std::string(1022, '.') + kHeader + "1234?" + kFs);
    EXPECT_EQ(gMagCard_ReadData2(kHead, track2, msg), 0);
    EXPECT_STREQ(msg, text::kReadOk);
    EXPECT_STREQ(track2, "");
}

TEST_F(MagneticTest, MissingTrackBuffersAreRefused) {
    using Call = std::function<short()>;
    const Call calls[] = {
        [&] { return gMagCard_ReadData2(kHead, nullptr, msg); },
        [&] { return gMagCard_ReadData3(kHead, nullptr, msg); },
        [&] { return gMagCard_ReadData23(kHead, nullptr, track3, msg); },
        [&] { return gMagCard_ReadData23(kHead, track2, nullptr, msg); },
        [&] { return gMagCard_WriteData2(kHead, nullptr, msg, 0); },
        [&] { return gMagCard_WriteData3(kHead, nullptr, msg, 0); },
        [&] { return gMagCard_WriteData23(kHead, nullptr, "1", msg, 0); },
        [&] { return gMagCard_WriteData23(kHead, "1", nullptr, msg, 0); },
    };
    for (const Call& call : calls) {
        std::strcpy(msg, "stale");
        EXPECT_EQ(call(), -1);
        EXPECT_STREQ(msg, text::kParamError);
    }
    EXPECT_STREQ(track2, kUntouched);
    EXPECT_STREQ(track3, kUntouched);
    EXPECT_EQ(head->opens, 0);
    EXPECT_EQ(head->written, "");
}

// ---- Writes ----

const std::string kFrameEnd = "\x1D\x1B\\";
const std::string kFollowUp = "\x1Bj";
const std::string kMode1 =
    "\x1B"
    "B4";

TEST_F(MagneticTest, WriteFrames) {
    using Write = std::function<short(short mode)>;
    struct Row {
        const char* what;
        Write write;
        short mode;
        std::string sent;
    } rows[] = {
        {"track 2", [&](short m) { return gMagCard_WriteData2(kHead, tracks::kTrack2, msg, m); }, 0,
         "\x1Bt" + Bytes(tracks::kTrack2) + kFrameEnd + kFollowUp},
        {"track 2, mode 1", [&](short m) { return gMagCard_WriteData2(kHead, "123", msg, m); }, 1,
         kMode1 + "\x1Bt123" + kFrameEnd + kFollowUp},
        {"track 2, mode 2", [&](short m) { return gMagCard_WriteData2(kHead, "123", msg, m); }, 2,
         "\x1Bt123" + kFrameEnd + kFollowUp},
        {"track 3 has an empty track-2 field", [&](short m) { return gMagCard_WriteData3(kHead, "456", msg, m); }, 0,
         "\x1Bt"
         "A456" +
             kFrameEnd + kFollowUp},
        {"track 3, mode 1", [&](short m) { return gMagCard_WriteData3(kHead, tracks::kTrack3, msg, m); }, 1,
         kMode1 +
             "\x1Bt"
             "A" +
             tracks::kTrack3 + kFrameEnd + kFollowUp},
        {"both", [&](short m) { return gMagCard_WriteData23(kHead, "123", "456", msg, m); }, 0,
         "\x1Bt"
         "123A456" +
             kFrameEnd + kFollowUp},
        {"both, empty track 2 is the track-3 frame",
         [&](short m) { return gMagCard_WriteData23(kHead, "", "456", msg, m); }, 0,
         "\x1Bt"
         "A456" +
             kFrameEnd + kFollowUp},
        {"both, empty track 3 ends with the separator",
         [&](short m) { return gMagCard_WriteData23(kHead, "123", "", msg, m); }, -1,
         "\x1Bt"
         "123A" +
             kFrameEnd + kFollowUp},
        {"both, mode 1", [&](short m) { return gMagCard_WriteData23(kHead, "1", "2", msg, m); }, 1,
         kMode1 +
             "\x1Bt"
             "1A2" +
             kFrameEnd + kFollowUp},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        Answer("\x1B\x1Bp");
        EXPECT_EQ(row.write(row.mode), 0);
        EXPECT_STREQ(msg, text::kWriteOk);
        EXPECT_EQ(head->written, row.sent);
        EXPECT_FALSE(head->open);
    }
}

TEST_F(MagneticTest, WriteAnswers) {
    struct Row {
        const char* what;
        int track;  // 2, 3 or 23
        std::string answer;
        short result;
        const char* message;
    } rows[] = {
        {"three bytes ending with 'p'", 2, "\x1B\x1Bp", 0, text::kWriteOk},
        {"one byte 'p'", 2, "p", 0, text::kWriteOk},
        {"one byte 'p', track 3", 3, "p", 0, text::kWriteOk},
        {"wrong last byte", 2, "\x1Bpx", -1, text::kWriteFailed},
        {"'p' first does not count", 23, "pp\x1B", -1, text::kWriteFailed},
        // Track 2 collects three bytes, the others four.
        {"fourth byte is not collected for track 2", 2, "abcp", -1, text::kWriteFailed},
        {"fourth byte decides for track 3", 3, "abcp", 0, text::kWriteOk},
        {"fourth byte decides for both", 23, "abcp", 0, text::kWriteOk},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        Answer(row.answer);
        short result = row.track == 2   ? gMagCard_WriteData2(kHead, "1", msg, 0)
                       : row.track == 3 ? gMagCard_WriteData3(kHead, "1", msg, 0)
                                        : gMagCard_WriteData23(kHead, "1", "2", msg, 0);
        EXPECT_EQ(result, row.result);
        EXPECT_STREQ(msg, row.message);
        // An answer, right or wrong, is never followed by ESC '0'.
        EXPECT_EQ(head->written.substr(head->written.size() - 2), kFollowUp);
    }

    // The first bytes end the answer: a 'p' that comes later is not looked at.
    Reset();
    Answer("x", 20);
    Answer("p", 100);
    EXPECT_EQ(gMagCard_WriteData2(kHead, "1", msg, 0), -1);
    EXPECT_STREQ(msg, text::kWriteFailed);
}

TEST_F(MagneticTest, WriteWithoutAnswerResetsTheHead) {
    gSetTimeOutIC(2);
    EXPECT_EQ(gMagCard_WriteData23(kHead, "1", "2", msg, 1), -1);
    EXPECT_STREQ(msg, text::kCommTimeout);
    EXPECT_EQ(head->written, kMode1 + "\x1Bt1A2" + kFrameEnd + kFollowUp + kResetHead);
    EXPECT_EQ(fake.platform.now, 2001u);
    EXPECT_FALSE(head->open);
}

TEST_F(MagneticTest, WriteFramesMustFitTheFrameBuffer) {
    struct Row {
        int track;  // 2, 3 or 23
        size_t len2, len3;
        bool accepted;
    } rows[] = {
        {2, 250, 0, true},  {2, 251, 0, false},  {2, 5000, 0, false},  {3, 0, 249, true},
        {3, 0, 250, false}, {23, 200, 49, true}, {23, 200, 50, false}, {23, 0, 249, true},
        {23, 249, 0, true}, {23, 250, 0, false}, {23, 0, 250, false},  {23, 4000, 4000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.track << ": " << row.len2 << " + " << row.len3);
        Reset();
        const std::string t2(row.len2, '2'), t3(row.len3, '3');
        if (row.accepted) Answer("p");
        short result = row.track == 2   ? gMagCard_WriteData2(kHead, t2.c_str(), msg, 1)
                       : row.track == 3 ? gMagCard_WriteData3(kHead, t3.c_str(), msg, 1)
                                        : gMagCard_WriteData23(kHead, t2.c_str(), t3.c_str(), msg, 1);
        if (row.accepted) {
            EXPECT_EQ(result, 0);
            EXPECT_STREQ(msg, text::kWriteOk);
            EXPECT_NE(head->written.find(t2 + (row.track == 2 ? "" : "A") + t3 + kFrameEnd), std::string::npos);
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_STREQ(msg, text::kParamError);
            EXPECT_EQ(head->written, "");
            EXPECT_EQ(head->opens, 0);
        }
    }
}

}  // namespace
