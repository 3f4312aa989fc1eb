// Card file-system personalisation on a scripted line: the templates, the
// odd-length and oversize input, and the follow-ups on the status word.
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

using Operation = short(QD500_CALL*)(char*, char*, char*, const char*);

struct Named {
    const char* name;
    Operation op;
    bool getResponseOn6A81;
};

short QD500_CALL CreateMF(char* sw, char* resp, char* msg, const char*) { return MW_CPUCreateMF(sw, resp, msg); }
short QD500_CALL CreateEndMF(char* sw, char* resp, char* msg, const char*) { return MW_CPUCreateEndMF(sw, resp, msg); }

// The nine operations that follow up on the status word, with the input each
// is given below.
const Named kNine[] = {
    {"CreateMF", CreateMF, false},
    {"CreateEndMF", CreateEndMF, true},
    {"CreateDF", MW_CPUCreateDF, true},
    {"CreateEndDF", MW_CPUCreateEndDF, true},
    {"CreateFile", MW_CPUCreateFile, false},
    {"SelectFile", MW_CPUSelectFile, true},
    {"WriteKey", MW_CPUWriteKey, true},
    {"WriteBin", MW_CPUWriteBin, true},
    {"AppendRecord", MW_CPUAppendRecord, true},
};
constexpr char kInput[] = "3F01";

std::string WithoutBcc(const std::string& body) { return body.size() >= 2 ? body.substr(0, body.size() - 2) : body; }

class PersonaliseTest : public FakeSessionTest {
protected:
    void Keep() {
        std::strcpy(sw, "keep");
        std::strcpy(resp, "keep");
        std::strcpy(msg, "keep");
    }
    char sw[16] = {};
    char resp[600] = {};
};

TEST_F(PersonaliseTest, TemplatesAsSent) {
    const std::string fileInfo = "28000A00F0FF01";
    const std::string key =
        "3901000FFF33"
        "00112233445566778899AABBCCDDEEFF";
    const std::string bin(32, 'B');
    struct Row {
        const char* name;
        std::function<short()> call;
        std::string body;  // without its checksum
    } rows[] = {
        {"DeleteMF", [&] { return MW_CPUDeleteMF(sw, resp, msg); }, "5A800E0000085AC3E1079B2D46F8"},
        {"CreateMF", [&] { return MW_CPUCreateMF(sw, resp, msg); },
         "5A80E00000185AC3E1079B2D46F80F02315041592E5359532E4444463031"},
        {"CreateEndMF", [&] { return MW_CPUCreateEndMF(sw, resp, msg); }, "5A80E00001023F00"},
        {"CreateDF", [&] { return MW_CPUCreateDF(sw, resp, msg, "DF01000A"); }, "5A80E0010004DF01000A"},
        {"CreateEndDF", [&] { return MW_CPUCreateEndDF(sw, resp, msg, "DF01"); }, "5A80E0010102DF01"},
        {"CreateFile", [&] { return MW_CPUCreateFile(sw, resp, msg, fileInfo.c_str()); }, "5A80E0020007" + fileInfo},
        {"CreateFile unmeasured", [&] { return MW_CPUCreateFile(sw, resp, msg, "ABC"); }, "5A80E0020007ABC"},
        {"SelectFile", [&] { return MW_CPUSelectFile(sw, resp, msg, "3F00"); }, "5A00A40000023F00"},
        {"WriteKey", [&] { return MW_CPUWriteKey(sw, resp, msg, key.c_str()); }, "5A80D4000016" + key},
        {"WriteBin", [&] { return MW_CPUWriteBin(sw, resp, msg, bin.c_str()); }, "5A00D6000010" + bin},
        {"AppendRecord", [&] { return MW_CPUAppendRecord(sw, resp, msg, "0102"); }, "5A00E20000020102"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        line().written.clear();
        line().AnswerFrames({ReaderReply("00", "9000")});
        row.call();
        ASSERT_EQ(SentBodies().size(), 1u);
        EXPECT_EQ(WithoutBcc(SentBodies()[0]), row.body);
        EXPECT_STREQ(sw, "9000");
    }
    line().written.clear();
    line().AnswerFrames({ReaderReply("00", "9000")});
    EXPECT_EQ(MW_CPUCreateEndMF(sw, resp, msg), 0);
    EXPECT_EQ(line().written, "\x1B=5A80E00001023F0006\x03");
    line().written.clear();
    line().AnswerFrames({ReaderReply("00", "9000")});
    EXPECT_EQ(MW_CPUSelectFile(sw, resp, msg, "3F00"), 0);
    EXPECT_EQ(line().written, "\x1B=5A00A40000023F00C3\x03");
}

TEST_F(PersonaliseTest, MeasuredInputOddOrTooLong) {
    const Operation measured[] = {MW_CPUCreateDF, MW_CPUWriteKey, MW_CPUWriteBin, MW_CPUAppendRecord};
    const std::string longest(510, 'A');
    for (Operation op : measured) {
        line().written.clear();
        Keep();
        EXPECT_EQ(op(sw, resp, msg, "123456789"), 0);
        EXPECT_STREQ(msg, "keep");
        EXPECT_STREQ(sw, "keep");
        EXPECT_STREQ(resp, "keep");
        EXPECT_EQ(line().written, "");

        // Odd beyond the limit is still odd: 0, nothing touched.
        EXPECT_EQ(op(sw, resp, msg, (longest + "A").c_str()), 0);
        EXPECT_STREQ(msg, "keep");
        EXPECT_EQ(op(sw, resp, msg, (longest + "AB").c_str()), -1);
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_EQ(op(sw, resp, msg, nullptr), -1);
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_STREQ(sw, "keep");
        EXPECT_STREQ(resp, "keep");
        EXPECT_EQ(line().written, "");

        line().AnswerFrames({ReaderReply("00", "9000")});
        EXPECT_EQ(op(sw, resp, msg, longest.c_str()), 0);
        ASSERT_EQ(SentBodies().size(), 1u);
        EXPECT_EQ(SentBodies()[0].substr(10, 2), "FF");
    }
    // The unmeasured inputs are refused only beyond what a record holds.
    const Operation unmeasured[] = {MW_CPUCreateEndDF, MW_CPUCreateFile, MW_CPUSelectFile};
    for (Operation op : unmeasured) {
        line().written.clear();
        Keep();
        EXPECT_EQ(op(sw, resp, msg, (longest + "A").c_str()), -1);
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_EQ(op(sw, resp, msg, nullptr), -1);
        EXPECT_STREQ(sw, "keep");
        EXPECT_STREQ(resp, "keep");
        EXPECT_EQ(line().written, "");
    }
}

TEST_F(PersonaliseTest, SixAEightyOneFetchesWithLeZeroWhereTheOperationAsks) {
    for (const Named& n : kNine) {
        SCOPED_TRACE(n.name);
        line().written.clear();
        line().AnswerFrames({ReaderReply("00", "6A81"), ReaderReply("00", "01029000")});
        EXPECT_EQ(n.op(sw, resp, msg, kInput), 0);
        if (n.getResponseOn6A81) {
            ASSERT_EQ(SentBodies().size(), 2u);
            EXPECT_EQ(SentBodies()[1], "5A00C00000009A");
            EXPECT_STREQ(sw, "9000");
            EXPECT_STREQ(resp, "0102");
        } else {
            EXPECT_EQ(SentBodies().size(), 1u);
            EXPECT_STREQ(sw, "6A81");
        }
    }
}

TEST_F(PersonaliseTest, SixtyOneIsFetchedAgainAfterTheExchangeFetchedOnce) {
    for (const Named& n : kNine) {
        SCOPED_TRACE(n.name);
        line().written.clear();
        line().AnswerFrames({ReaderReply("00", "6110"), ReaderReply("00", "AA6108"),
                             ReaderReply("24", "01020304050607089000"), ReaderReply("00", "9000")});
        EXPECT_EQ(n.op(sw, resp, msg, kInput), 24);
        std::vector<std::string> bodies = SentBodies();
        ASSERT_EQ(bodies.size(), 3u);
        EXPECT_EQ(bodies[1], "5A00C00000108A");
        EXPECT_EQ(bodies[2], "5A00C000000892");
        EXPECT_STREQ(sw, "9000");
        EXPECT_STREQ(resp, "0102030405060708");
        EXPECT_STREQ(msg, text::kStatus24);
    }
}

TEST_F(PersonaliseTest, CardVerdictsAndReaderStatusPassThrough) {
    for (const Named& n : kNine) {
        SCOPED_TRACE(n.name);
        line().written.clear();
        line().AnswerFrames({ReaderReply("41", "6985")});
        EXPECT_EQ(n.op(sw, resp, msg, kInput), 41);
        EXPECT_STREQ(sw, "6985");
        EXPECT_EQ(SentBodies().size(), 1u);
    }
}

TEST_F(PersonaliseTest, AStaleStatusWordDrivesNoFollowUp) {
    for (const Named& n : kNine) {
        SCOPED_TRACE(n.name);
        line().written.clear();
        std::strcpy(sw, "6110");
        line().AnswerFrames({ReaderReply("23"), ReaderReply("00", "9000")});
        EXPECT_EQ(n.op(sw, resp, msg, kInput), 23);
        EXPECT_EQ(SentBodies().size(), 1u);
        EXPECT_STREQ(sw, "6110");
    }
    std::strcpy(sw, "9000");
    line().AnswerFrames({ReaderReply("23")});
    EXPECT_EQ(MW_CPUDeleteMF(sw, resp, msg), 0);
}

TEST_F(PersonaliseTest, DeleteFoldsTheStatusWord) {
    struct Row {
        std::vector<std::string> replies;
        short result;
    } rows[] = {
        {{ReaderReply("00", "9000")}, 1},
        {{ReaderReply("00", "6A81")}, 1},
        {{ReaderReply("00", "6985")}, 0},
        {{ReaderReply("00", "6A82")}, 0},
        {{ReaderReply("00", "6102"), ReaderReply("00", "AB9000")}, 1},
        {{"garbage\x03"}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.replies.front());
        line().AnswerFrames(row.replies);
        EXPECT_EQ(MW_CPUDeleteMF(sw, resp, msg), row.result);
    }
    gCloseComIC(msg);
    std::strcpy(sw, "9000");
    EXPECT_EQ(MW_CPUDeleteMF(sw, resp, msg), 0);
    EXPECT_STREQ(msg, text::kPortNotOpen);
}

TEST_F(PersonaliseTest, ClosedSessionGivesMinusOneWhateverTheStatusWordHeld) {
    gCloseComIC(msg);
    for (const Named& n : kNine) {
        SCOPED_TRACE(n.name);
        std::strcpy(sw, "6110");
        EXPECT_EQ(n.op(sw, resp, msg, kInput), -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
    }
}

}  // namespace
