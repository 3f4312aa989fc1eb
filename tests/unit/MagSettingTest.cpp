// The magnetic head's setting command on the session port.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

class MagSettingTest : public FakeSessionTest {};

TEST_F(MagSettingTest, LetterTable) {
    struct Row {
        char code;
        char sent;
    } rows[] = {
        {'A', 'A'}, {'B', 'B'}, {'C', 'C'}, {'D', 'D'}, {'K', 'K'}, {'R', 'R'},  {'Z', 'Z'},
        {'a', 'A'}, {'k', 'A'}, {'1', 'A'}, {'E', 'A'}, {'%', 'A'}, {'\0', 'A'}, {'\x7F', 'A'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "code " << int(row.code));
        line().written.clear();
        line().ArriveIn(10, "\x1B%0");
        EXPECT_EQ(gSet_Li_MSRA(row.code, msg), 0);
        EXPECT_EQ(line().written, std::string("\x1B%") + row.sent);
    }
}

TEST_F(MagSettingTest, Answers) {
    struct Row {
        const char* what;
        std::string answer;
        short result;
        const char* message;
    } rows[] = {
        {"accepted", "\x1B%0", 0, text::kSettingOk},
        {"refused", "\x1B%1", -1, text::kSettingError},
        {"ends right after the pair", "\x1B%", -1, text::kTimeoutExit},
        {"pair after a noise byte, status cut off", "x\x1B%", -1, text::kTimeoutExit},
        {"ESC as the status byte", "\x1B%\x1B", -1, text::kSettingError},
        {"no pair", "abc", -1, text::kSettingError},
        {"ESC alone", "\x1B", -1, text::kSettingError},
        {"pair reversed",
         "%\x1B"
         "0",
         -1, text::kSettingError},
        {"one byte '0'", "0", -1, text::kSettingError},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        line().written.clear();
        std::strcpy(msg, "stale");
        line().ArriveIn(10, row.answer);
        EXPECT_EQ(gSet_Li_MSRA('K', msg), row.result);
        EXPECT_STREQ(msg, row.message);
        // Nothing is sent after the answer, whatever it says.
        EXPECT_EQ(line().written, "\x1B%K");
        EXPECT_TRUE(line().open);
    }
}

TEST_F(MagSettingTest, NoAnswerThenTheSessionGoesOn) {
    gSetTimeOutIC(2);
    const uint32_t start = fake.platform.now;
    EXPECT_EQ(gSet_Li_MSRA('R', msg), -1);
    EXPECT_STREQ(msg, text::kCommTimeout);
    EXPECT_EQ(fake.platform.now - start, 2001u);
    EXPECT_EQ(line().written, "\x1B%R");
    EXPECT_EQ(g_nPortClosed, 0);
    EXPECT_EQ(g_byTimeOut, 2);

    line().ArriveIn(10, "\x1B%0");
    EXPECT_EQ(gSet_Li_MSRA('R', msg), 0);
    EXPECT_STREQ(msg, text::kSettingOk);
}

TEST_F(MagSettingTest, NeedsAnOpenSession) {
    gCloseComIC(msg);
    line().written.clear();
    std::strcpy(msg, "stale");
    EXPECT_EQ(gSet_Li_MSRA('A', msg), -1);
    EXPECT_STREQ(msg, text::kPortNotOpen);

    ASSERT_EQ(gOpenComIC(kPort, msg), 0);
    g_nPortClosed = 1;  // as a failed one-shot memory-card call leaves it
    EXPECT_EQ(gSet_Li_MSRA('A', msg), -1);
    EXPECT_STREQ(msg, text::kPortNotOpen);
    EXPECT_EQ(line().written, "");
    g_nPortClosed = 0;
}

}  // namespace
