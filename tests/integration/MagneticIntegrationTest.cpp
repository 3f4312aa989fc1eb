// The magnetic-stripe calls of the real library over a pseudo-terminal,
// against the reader simulator's magnetic head.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "data/MagneticTracks.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"
#include "support/SimulatedReader.h"

using namespace qd500;
using namespace qd500::test;

namespace {

constexpr int kCom = 46;

class MagneticIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override { Serve(qd500sim::Scenario::Default()); }
    void TearDown() override {
        char ignored[64];
        gCloseComIC(ignored);
        gSetTimeOutIC(10);
        reader.reset();
    }
    void Serve(qd500sim::Scenario scenario) {
        reader.reset();
        reader = std::make_unique<SimulatedReader>(kCom, std::move(scenario), 9600);
        ASSERT_TRUE(reader->started());
        gSetTimeOutIC(3);
    }
    // Magnetic sequences the simulator received from the host.
    std::string FromHost() const { return reader->FromHost(); }

    ScopedTraceFile trace;
    std::unique_ptr<SimulatedReader> reader;
    char msg[64] = {};
    char track2[1025] = {};
    char track3[1025] = {};
};

TEST_F(MagneticIntegrationTest, ReadsTheDefaultSwipe) {
    const qd500sim::Scenario defaults = qd500sim::Scenario::Default();
    ASSERT_TRUE(defaults.track2 && defaults.track3);

    EXPECT_EQ(gMagCard_ReadData2(kCom, track2, msg), 0);
    EXPECT_STREQ(msg, text::kReadOk);
    EXPECT_EQ(std::string(track2), *defaults.track2);

    EXPECT_EQ(gMagCard_ReadData3(kCom, track3, msg), 0);
    EXPECT_STREQ(msg, text::kReadOk);
    EXPECT_EQ(std::string(track3), *defaults.track3);

    std::memset(track2, 0, sizeof track2);
    std::memset(track3, 0, sizeof track3);
    EXPECT_EQ(gMagCard_ReadData23(kCom, track2, track3, msg), 0);
    EXPECT_STREQ(msg, text::kReadOk);
    EXPECT_EQ(std::string(track2), *defaults.track2);
    EXPECT_EQ(std::string(track3), *defaults.track3);
}

TEST_F(MagneticIntegrationTest, WrittenTracksReadBack) {
    EXPECT_EQ(gMagCard_WriteData2(kCom, tracks::kTrack2Digits, msg, 0), 0);
    EXPECT_STREQ(msg, text::kWriteOk);
    EXPECT_EQ(gMagCard_ReadData2(kCom, track2, msg), 0);
    EXPECT_STREQ(track2, tracks::kTrack2Digits);

    EXPECT_EQ(gMagCard_WriteData3(kCom, tracks::kTrack3Digits, msg, 1), 0);
    EXPECT_STREQ(msg, text::kWriteOk);
    EXPECT_EQ(gMagCard_ReadData23(kCom, track2, track3, msg), 0);
    EXPECT_STREQ(track2, tracks::kTrack2Digits);  // the track-3 write left track 2 alone
    EXPECT_STREQ(track3, tracks::kTrack3Digits);

    EXPECT_EQ(gMagCard_WriteData23(kCom, "4000001234562=49121010000000000", "0112345", msg, 1), 0);
    EXPECT_EQ(gMagCard_ReadData23(kCom, track2, track3, msg), 0);
    EXPECT_STREQ(track2, "4000001234562=49121010000000000");
    EXPECT_STREQ(track3, "0112345");
    EXPECT_NE(FromHost().find("\x1B"
                              "B4"),
              std::string::npos);
}

TEST_F(MagneticIntegrationTest, UnreadableTrackAndTheSwipeTheHeadWaitsFor) {
    reader->server().Swipe(std::nullopt, std::string("0112345"));
    EXPECT_EQ(gMagCard_ReadData23(kCom, track2, track3, msg), -1);
    EXPECT_STREQ(msg, text::kTrack2NotRead);
    EXPECT_STREQ(track2, "");
    EXPECT_STREQ(track3, "0112345");

    // A head that waits for a swipe: no swipe within the time-out, the read
    // gives up and tells the head to stop waiting.
    qd500sim::Scenario waiting = qd500sim::Scenario::Default();
    waiting.swipe = qd500sim::SwipeMode::Never;
    Serve(waiting);
    // A second, not 0: with 0 the stop follows the read within a millisecond
    // and the line is closed at once, and under load the simulator was seen
    // to miss the read itself.
    gSetTimeOutIC(1);
    EXPECT_EQ(gMagCard_ReadData2(kCom, track2, msg), -1);
    EXPECT_STREQ(msg, text::kCommTimeout);
    // The swipe must come after the head has taken the stop, or it answers
    // the read that was given up.
    for (int i = 0; i < 200 && FromHost() !=
                                   "\x1B]\x1B"
                                   "0";
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    reader->server().Swipe(std::string("1234"), std::string("5678"));
    gSetTimeOutIC(3);
    EXPECT_EQ(gMagCard_ReadData2(kCom, track2, msg), 0);
    EXPECT_STREQ(track2, "1234");
    EXPECT_EQ(FromHost(),
              "\x1B]\x1B"
              "0\x1B]");
}

TEST_F(MagneticIntegrationTest, HeadSettingWithinASession) {
    ASSERT_EQ(gOpenComIC(kCom, msg), 0);
    EXPECT_EQ(gSet_Li_MSRA('K', msg), 0);
    EXPECT_STREQ(msg, text::kSettingOk);
    EXPECT_EQ(gSet_Li_MSRA('x', msg), 0);  // an unknown letter selects 'A'
    EXPECT_STREQ(msg, text::kSettingOk);
    EXPECT_EQ(FromHost(), "\x1B%K\x1B%A");

    // The session holds the port: a one-shot call cannot open it.
    EXPECT_EQ(gMagCard_ReadData2(kCom, track2, msg), -1);
    EXPECT_STREQ(msg, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[46]");
    EXPECT_EQ(gCloseComIC(msg), 0);
}

}  // namespace
