// AT88SC secure-memory card commands on a scripted line.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "exports/Flat.h"
#include "exports/Texts.h"
#include "qd500dll.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

class At88scTest : public FakeSessionTest {
protected:
    char h[3] = "00";
    char l0A[3] = "0A";
    char l10[3] = "10";
    char empty[1] = "";
    char code[5] = "1122";
};

TEST_F(At88scTest, EachCommandSendsItsFrame) {
    struct Row {
        const char* name;
        std::function<short(char*)> call;
        std::string frame;  // body and BCC
    } rows[] = {
        {"present code", [&](char* m) { return gMemAT88SC_VerifyPin(h, l0A, code, m); }, "56000A0211226D"},
        {"erase nothing", [&](char* m) { return gMemAT88SC_EraseData(h, l10, 0, m); }, "4500100055"},
        {"erase 255", [&](char* m) { return gMemAT88SC_EraseData(h, l10, 255, m); }, "450010FFAA"},
        {"personalise", [&](char* m) { return gMemAT88SC_PersonalTake(h, l0A, m); }, "46000A4C"},
        {"personalise, empty address", [&](char* m) { return gMemAT88SC_PersonalTake(empty, empty, m); }, "4646"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        line().written.clear();
        line().ArriveIn(5, ReaderReply("00"));
        EXPECT_EQ(row.call(msg), 0);
        EXPECT_STREQ(msg, text::kStatus00);
        ASSERT_EQ(SentBodies().size(), 1u);
        EXPECT_EQ(SentBodies()[0], row.frame);
    }
}

TEST_F(At88scTest, FailureTextsOfEachCommand) {
    struct Row {
        const char* name;
        std::function<short(char*)> call;
        const char* sendFailed;
    } rows[] = {
        {"present code", [&](char* m) { return gMemAT88SC_VerifyPin(h, l0A, code, m); }, text::kVerifyPinError},
        {"erase", [&](char* m) { return gMemAT88SC_EraseData(h, l10, 4, m); }, text::kEraseError},
        {"personalise", [&](char* m) { return gMemAT88SC_PersonalTake(h, l0A, m); }, text::kPersonaliseError},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        gSetTimeOutIC(3);
        uint32_t start = fake.platform.now;
        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, text::kCommTimeout);
        EXPECT_GE(fake.platform.now - start, 3000u);
        EXPECT_LT(fake.platform.now - start, 4000u);
        gSetTimeOutIC(10);

        line().ArriveIn(5, "\x1B");
        line().ArriveIn(6, "noise\x03");
        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, text::kTimeoutExit);

        // Header found, status not complete.
        line().ArriveIn(5, "\x1B=02\x03");
        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, text::kSerialCommError);

        line().ArriveIn(5, ReaderReply("33"));
        EXPECT_EQ(row.call(msg), 33);
        EXPECT_STREQ(msg, text::kStatus33);

        SessionPort()->Close();
        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, row.sendFailed);
        gCloseComIC(msg);

        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
        ASSERT_EQ(gOpenComIC(kPort, msg), 0);
    }
}

TEST_F(At88scTest, BadInputIsRefusedBeforeAnythingIsSent) {
    std::string longCode(242, 'F');  // 56 00 0A 79 + 242 = 250: the longest body
    std::string tooLong(244, 'F');
    std::string longAddr(249, '0');
    struct Row {
        const char* name;
        std::function<short(char*)> call;
    } rows[] = {
        {"code past the frame", [&](char* m) { return gMemAT88SC_VerifyPin(h, l0A, &tooLong[0], m); }},
        {"missing code", [&](char* m) { return gMemAT88SC_VerifyPin(h, l0A, nullptr, m); }},
        {"count -1", [&](char* m) { return gMemAT88SC_EraseData(h, l10, -1, m); }},
        {"count 256", [&](char* m) { return gMemAT88SC_EraseData(h, l10, 256, m); }},
        {"missing address", [&](char* m) { return gMemAT88SC_EraseData(h, nullptr, 1, m); }},
        {"address past the frame", [&](char* m) { return gMemAT88SC_PersonalTake(&longAddr[0], h, m); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_EQ(line().written, "");
    }

    line().ArriveIn(5, ReaderReply("00"));
    EXPECT_EQ(gMemAT88SC_VerifyPin(h, l0A, &longCode[0], msg), 0);
    ASSERT_EQ(SentBodies().size(), 1u);
    EXPECT_EQ(SentBodies()[0].substr(0, 8), "56000A79");
    EXPECT_EQ(SentBodies()[0].size(), 252u);
}

}  // namespace
