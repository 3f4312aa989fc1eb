// The APDU exchange with its GET RESPONSE chain, and the card data, PIN and
// file commands, on a scripted line.
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

// An APDU record laid out as callers pass it: five 3-byte fields and the data.
std::string Record(const char* cla, const char* ins, const char* p1, const char* p2, const char* p3,
                   const std::string& data = "") {
    std::string r(15, '\0');
    const char* fields[] = {cla, ins, p1, p2, p3};
    for (int i = 0; i < 5; ++i) std::memcpy(&r[static_cast<size_t>(3 * i)], fields[i], std::strlen(fields[i]));
    return r + data + '\0';
}

class CpuCardTest : public FakeSessionTest {
protected:
    void Reopen() {
        char ignored[64];
        ASSERT_EQ(gOpenComIC(kPort, ignored), 0);
        gSetTimeOutIC(10);
        line().written.clear();
    }
    void Keep() {
        std::strcpy(sw, "keep");
        std::strcpy(resp, "keep");
    }
    char sw[16] = {};
    char resp[600] = {};
    char data[200] = {};
};

TEST_F(CpuCardTest, ChallengeFrameAndItsAnswer) {
    line().AnswerFrames({ReaderReply("00", "A1B2C3D49000")});
    EXPECT_EQ(gGetChallenge(sw, resp, msg), 0);
    EXPECT_EQ(line().written, "\x1B=5A0084000004DA\x03");
    EXPECT_STREQ(resp, "A1B2C3D4");
    EXPECT_STREQ(sw, "9000");
    EXPECT_STREQ(msg, text::kStatus00);
    // The trace shows the APDU without the reader's command code.
    EXPECT_NE(trace.Contents().find("\xC3\xFC\xC1\xEE=[0084000004DA]"), std::string::npos);
}

TEST_F(CpuCardTest, SelectFileFrameAndCardVerdicts) {
    struct Row {
        std::string reply;
        short result;
        const char* sw;
        const char* resp;
    } rows[] = {
        {ReaderReply("00", "9000"), 0, "9000", ""},
        {ReaderReply("00", "6A82"), 0, "6A82", ""},
        {ReaderReply("00", "6f1084009000"), 0, "9000", "6f108400"},
        {ReaderReply("41", "6E00"), 41, "6E00", ""},
        // No status word in the data field: bpSW keeps what it held.
        {ReaderReply("23"), 23, "keep", ""},
        {"\x1B=0400900\x03", 0, "keep", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        line().written.clear();
        Keep();
        line().AnswerFrames({row.reply});
        EXPECT_EQ(gSelectFile("3F00", sw, resp, msg), row.result);
        EXPECT_EQ(line().written, "\x1B=5A00A40000023F00C3\x03");
        EXPECT_STREQ(sw, row.sw);
        EXPECT_STREQ(resp, row.resp);
    }
}

TEST_F(CpuCardTest, GetResponseChains) {
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        std::vector<std::string> bodies;
        short result;
        const char* sw;
        const char* resp;
    } rows[] = {
        {"6C08 asks again with Le 08",
         {ReaderReply("00", "6C08"), ReaderReply("00", "01020304050607089000")},
         {"5A00A40000023F00C3", "5A00C000000892"},
         0,
         "9000",
         "0102030405060708"},
        {"61xx then 61yy stops after one",
         {ReaderReply("00", "6110"), ReaderReply("00", "AABB6108"), ReaderReply("00", "9000")},
         {"5A00A40000023F00C3", "5A00C00000108A"},
         0,
         "6108",
         "AABB"},
        {"lower case is not chained", {ReaderReply("00", "6c08")}, {"5A00A40000023F00C3"}, 0, "6c08", ""},
        {"61 lower-case digits still read",
         {ReaderReply("00", "61ff"), ReaderReply("00", "9000")},
         {"5A00A40000023F00C3", "5A00C00000FF65"},
         0,
         "9000",
         ""},
        {"reader status does not matter",
         {ReaderReply("41", "6104"), ReaderReply("22", "11229000")},
         {"5A00A40000023F00C3", "5A00C00000049E"},
         22,
         "9000",
         "1122"},
        {"the chained exchange fails",
         {ReaderReply("00", "6104"), "noise\x03"},
         {"5A00A40000023F00C3", "5A00C00000049E"},
         -1,
         "keep",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        line().written.clear();
        Keep();
        line().AnswerFrames(row.replies);
        EXPECT_EQ(gSelectFile("3F00", sw, resp, msg), row.result);
        EXPECT_EQ(SentBodies(), row.bodies);
        EXPECT_STREQ(sw, row.sw);
        EXPECT_STREQ(resp, row.resp);
    }
}

TEST_F(CpuCardTest, CommandFailureRows) {
    const std::string apdu = Record("00", "84", "00", "00", "04");
    const std::function<short()> calls[] = {
        [&] { return gCPUCommand(apdu.data(), sw, resp, msg); },
        [&] { return gCPUGetResponse(8, sw, resp, msg); },
        [&] { return gGetChallenge(sw, resp, msg); },
    };
    for (const auto& call : calls) {
        Reopen();
        gCloseComIC(msg);
        Keep();
        EXPECT_EQ(call(), -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
        EXPECT_STREQ(resp, "keep");
        EXPECT_STREQ(sw, "keep");

        struct Row {
            std::function<void()> arrange;
            const char* message;
        } rows[] = {
            {[&] { SessionPort()->Close(); }, text::kSendComErr},
            {[&] { gSetTimeOutIC(1); }, text::kCommTimeout},
            {[&] { line().ArriveIn(3, "90009000\x03"); }, text::kTimeoutExit},
        };
        for (const Row& row : rows) {
            Reopen();
            Keep();
            row.arrange();
            EXPECT_EQ(call(), -1);
            EXPECT_STREQ(msg, row.message);
            EXPECT_STREQ(resp, "");
            EXPECT_STREQ(sw, "keep");
        }

        Reopen();
        Keep();
        line().ArriveIn(3, std::string("\0\x1B=0500AB9000\x03", 14));
        EXPECT_EQ(call(), -1);
        EXPECT_STREQ(msg, text::kSerialCommError);
        EXPECT_STREQ(resp, "AB");
        EXPECT_STREQ(sw, "9000");
    }
}

TEST_F(CpuCardTest, RecordFieldsAreReadUpToTheirNulButNotBeyondTheirBytes) {
    // CLA without its NUL: its third byte must not be taken, nor the next field.
    std::string apdu = Record("00", "B0", "81", "00", "08");
    apdu[2] = 'X';
    line().AnswerFrames({ReaderReply("00", "9000")});
    EXPECT_EQ(gCPUCommand(apdu.data(), sw, resp, msg), 0);
    EXPECT_EQ(SentBodies().back().substr(0, 12), "5A00B0810008");

    // Short fields are inserted as they are.
    line().written.clear();
    line().AnswerFrames({ReaderReply("00", "9000")});
    std::string shortFields = Record("0", "B0", "", "00", "08", "AB");
    EXPECT_EQ(gCPUCommand(shortFields.data(), sw, resp, msg), 0);
    EXPECT_EQ(SentBodies().back().substr(0, 11), "5A0B00008AB");
}

TEST_F(CpuCardTest, DataFieldLimits) {
    const std::string full(510, 'C');
    line().AnswerFrames({ReaderReply("00", "9000")});
    std::string apdu = Record("00", "D6", "00", "00", "FF", full);
    EXPECT_EQ(gCPUCommand(apdu.data(), sw, resp, msg), 0);
    EXPECT_EQ(line().written.size(), 527u);
    EXPECT_EQ(line().written.substr(2, 12), "5A00D60000FF");
    EXPECT_EQ(line().written.substr(14, 510), full);

    line().written.clear();
    Keep();
    std::strcpy(msg, "stale");
    apdu = Record("00", "D6", "00", "00", "FF", full + "C");
    EXPECT_EQ(gCPUCommand(apdu.data(), sw, resp, msg), -1);
    EXPECT_STREQ(msg, text::kParamError);
    EXPECT_STREQ(resp, "keep");
    EXPECT_STREQ(sw, "keep");
    EXPECT_EQ(line().written, "");

    EXPECT_EQ(gCPUCommand(nullptr, sw, resp, msg), -1);
    EXPECT_STREQ(msg, text::kParamError);
    EXPECT_EQ(gSelectFile(nullptr, sw, resp, msg), -1);
    EXPECT_STREQ(msg, text::kParamError);
    EXPECT_EQ(line().written, "");
}

TEST_F(CpuCardTest, ResponseIsCutToItsCapacityAndToWhatArrived) {
    std::memset(resp, 'x', sizeof resp);
    // LL FF: 502 characters of response data and the status word.
    line().AnswerFrames({"\x1B=FF00" + std::string(502, 'D') + "9000" + std::string(90, 'E') + "\x03"});
    EXPECT_EQ(gGetChallenge(sw, resp, msg), 0);
    EXPECT_EQ(std::strlen(resp), 502u);
    EXPECT_EQ(resp[503], 'x');
    EXPECT_STREQ(sw, "9000");

    // LL 20 promises 60 characters, 10 arrive: the status word is the last
    // four of them.
    line().AnswerFrames({"\x1B=2000A1B2C39000\x03"});
    EXPECT_EQ(gGetChallenge(sw, resp, msg), 0);
    EXPECT_STREQ(resp, "A1B2C3");
    EXPECT_STREQ(sw, "9000");
}

TEST_F(CpuCardTest, GetResponseLe) {
    struct Row {
        short le;
        const char* body;
    } rows[] = {{0, "5A00C00000009A"}, {16, "5A00C00000108A"}, {255, "5A00C00000FF65"}, {256, "5A00C00000009A"}};
    for (const Row& row : rows) {
        line().written.clear();
        line().AnswerFrames({ReaderReply("00", "9000")});
        EXPECT_EQ(gCPUGetResponse(row.le, sw, resp, msg), 0) << row.le;
        EXPECT_EQ(SentBodies().back(), row.body) << row.le;
    }
    for (short bad : {-1, 257, 32767}) {
        line().written.clear();
        Keep();
        std::strcpy(msg, "stale");
        EXPECT_EQ(gCPUGetResponse(bad, sw, resp, msg), -1) << bad;
        EXPECT_STREQ(msg, "");
        EXPECT_STREQ(resp, "");
        EXPECT_STREQ(sw, "keep");
        EXPECT_EQ(line().written, "");
    }
}

TEST_F(CpuCardTest, ReadDataFrameAndBytes) {
    line().ArriveIn(3, ReaderReply("00", "00AB0010"));
    std::memset(data, 'x', sizeof data);
    EXPECT_EQ(gCard_ReadData("00", "20", 16, data, msg), 0);
    EXPECT_EQ(SentBodies().back(), "5200201062");
    EXPECT_EQ(std::string(data, 5), std::string("\x00\xAB\x00\x10\x00", 5));

    std::strcpy(data, "old");
    line().ArriveIn(3, ReaderReply("21"));
    EXPECT_EQ(gCard_ReadData("00", "20", 16, data, msg), 21);
    EXPECT_STREQ(msg, text::kStatus21);
    EXPECT_STREQ(data, "");

    // More than the work area: 128 bytes and the zero byte, no more.
    std::memset(data, 'x', sizeof data);
    line().ArriveIn(3, "\x1B=FF00" + std::string(400, '7') + "\x03");
    EXPECT_EQ(gCard_ReadData("00", "00", 255, data, msg), 0);
    EXPECT_EQ(static_cast<unsigned char>(data[127]), 0x77);
    EXPECT_EQ(data[128], '\0');
    EXPECT_EQ(data[129], 'x');
}

TEST_F(CpuCardTest, WriteDataFrames) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x0f, 0x00};
    line().ArriveIn(3, ReaderReply("00"));
    EXPECT_EQ(gCard_WriteData("00", "20", reinterpret_cast<const char*>(bytes), msg, 4), 0);
    EXPECT_EQ(SentBodies().back(), "5700200400AB0F00D7");

    line().ArriveIn(3, ReaderReply("32"));
    EXPECT_EQ(gCard_WriteData("01", "02", "", msg, 0), 32);
    EXPECT_EQ(SentBodies().back(), "5701020054");
    EXPECT_STREQ(msg, text::kStatus32);

    unsigned char most[122] = {};
    line().ArriveIn(3, ReaderReply("00"));
    EXPECT_EQ(gCard_WriteData("00", "00", reinterpret_cast<const char*>(most), msg, 121), 0);
    EXPECT_EQ(SentBodies().back().size(), 252u);
}

TEST_F(CpuCardTest, PinBodyPutsThePinLast) {
    line().ArriveIn(3, ReaderReply("31"));
    EXPECT_EQ(gCheck_Pin("123456", "03", "01", msg), 31);
    EXPECT_EQ(SentBodies().back(),
              "56000103123456"
              "24");
    EXPECT_STREQ(msg, text::kStatus31);
    line().ArriveIn(3, ReaderReply("33"));
    EXPECT_EQ(gCheck_Pin("1234", "02", "00", msg), 33);
    EXPECT_STREQ(msg, "\xC3\xDC\xC2\xEB\xD0\xA3\xD1\xE9\xB7\xE2\xCB\xF8\xA3\xA8\xD6\xBB\xB6\xC1\xBF\xA8\xA3\xA9!");
}

TEST_F(CpuCardTest, CardCommandFailureRows) {
    const unsigned char one[] = {0x11};
    struct Command {
        const char* name;
        std::function<short()> call;
        const char* sendFailed;
        const char* timedOut;
    } commands[] = {
        {"read", [&] { return gCard_ReadData("00", "20", 1, data, msg); }, text::kSendComErr, text::kReadDataTimeout},
        {"write", [&] { return gCard_WriteData("00", "20", reinterpret_cast<const char*>(one), msg, 1); },
         text::kSendComErr, text::kWriteDataTimeout},
        {"pin", [&] { return gCheck_Pin("1234", "02", "00", msg); }, text::kVerifyPinError, text::kCommTimeout},
    };
    for (const Command& c : commands) {
        SCOPED_TRACE(c.name);
        struct Row {
            std::function<void()> arrange;
            const char* message;
        } rows[] = {
            {[&] { gCloseComIC(msg); }, text::kPortNotOpen},
            {[&] { SessionPort()->Close(); }, c.sendFailed},
            {[&] { gSetTimeOutIC(1); }, c.timedOut},
            {[&] { line().ArriveIn(3, "5200\x03"); }, text::kTimeoutExit},
            {[&] { line().ArriveIn(3, std::string("\0\x1B=0300AA\x03", 10)); }, text::kSerialCommError},
        };
        for (const Row& row : rows) {
            Reopen();
            std::strcpy(data, "keep");
            row.arrange();
            EXPECT_EQ(c.call(), -1);
            EXPECT_STREQ(msg, row.message);
            if (row.message != text::kSerialCommError) {
                EXPECT_STREQ(data, "keep");
            }
        }
    }
}

TEST_F(CpuCardTest, BadCardCommandInputIsRefusedAndSendsNothing) {
    const std::string longAddress(250, '0');
    unsigned char bytes[130] = {};
    const std::function<short()> refused[] = {
        [&] { return gCard_ReadData("00", "20", 256, data, msg); },
        [&] { return gCard_ReadData("00", "20", -1, data, msg); },
        [&] { return gCard_ReadData(nullptr, "20", 1, data, msg); },
        [&] { return gCard_ReadData(longAddress.c_str(), "20", 1, data, msg); },
        [&] { return gCard_WriteData("00", "20", reinterpret_cast<const char*>(bytes), msg, 122); },
        [&] { return gCard_WriteData("00", "20", reinterpret_cast<const char*>(bytes), msg, -1); },
        [&] { return gCard_WriteData("00", "20", nullptr, msg, 4); },
        [&] { return gCard_WriteData("0000", "20", reinterpret_cast<const char*>(bytes), msg, 121); },
        [&] { return gCheck_Pin(longAddress.c_str(), "02", "00", msg); },
        [&] { return gCheck_Pin("1234", nullptr, "00", msg); },
    };
    int i = 0;
    for (const auto& call : refused) {
        SCOPED_TRACE(i++);
        std::strcpy(data, "keep");
        EXPECT_EQ(call(), -1);
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_STREQ(data, "keep");
        EXPECT_EQ(line().written, "");
    }
}

}  // namespace
