// SLE44xx protected-memory card commands on a scripted line.
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

class Sle44Test : public FakeSessionTest {
protected:
    char addrH[3] = "00";
    char addrL[3] = "20";
    unsigned char data[160];
    char* dataText() { return reinterpret_cast<char*>(data); }
    void FillData(unsigned char value) { std::memset(data, value, sizeof data); }
};

TEST_F(Sle44Test, EachCommandSendsItsFrame) {
    char pin3[] = "FFFFFF";
    char pin5[] = "12345";
    char newPin[] = "123456";
    char a10[] = "10";
    char a01[] = "01";
    char a02[] = "02";
    char write1[] = "\x12\x00\x34";
    char write2[] = "\xAB\xCD";
    char empty[] = "";
    struct Row {
        const char* name;
        std::function<short(char*)> call;
        std::string frame;  // body and BCC
    } rows[] = {
        {"read protection bits", [&](char* m) { return gMemS4442_ReadGuardbit(a10, 4, dataText(), m); }, "5000100444"},
        {"read with protection bits", [&](char* m) { return gMemS4428_GuardbitRData(addrH, addrL, 16, dataText(), m); },
         "7200201042"},
        // A zero byte ends the data to write.
        {"write with protection bits", [&](char* m) { return gMemS4428_GuardbitWData(addrH, addrL, write1, m); },
         "770020011244"},
        {"write empty", [&](char* m) { return gMemS4428_GuardbitWData(addrH, addrL, empty, m); }, "7700200057"},
        {"compared write", [&](char* m) { return gMemS44_CompDataWrite(a01, a02, write2, m); }, "76010202ABCD11"},
        {"verify PIN", [&](char* m) { return gMemS44_VerifyPin(pin3, m); }, "56000003FFFFFFAA"},
        // Odd length: count rounded down, every character sent.
        {"verify odd PIN", [&](char* m) { return gMemS44_VerifyPin(pin5, m); }, "560000021234572"},
        {"change PIN", [&](char* m) { return gMemS44_ChangePin(newPin, m); }, "5300000312345620"},
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

TEST_F(Sle44Test, ReadsDeliverEveryByteOfTheDataField) {
    struct Row {
        const char* name;
        std::string reply;
        short result;
        const char* message;
        std::string bytes;  // expected in bpData before the terminating zero
    } rows[] = {
        {"four bytes", ReaderReply("00", "A1B2C3D4"), 0, text::kStatus00, "\xA1\xB2\xC3\xD4"},
        {"zero bytes inside", ReaderReply("00", "00AB0000"), 0, text::kStatus00, std::string("\0\xAB\0\0", 4)},
        {"lower case", ReaderReply("00", "abcd"), 0, text::kStatus00, "\xAB\xCD"},
        // Line noise: a NUL among the eight data characters. The work area then
        // reads as the text before it, right-aligned in the count, and all four
        // bytes are still written.
        {"NUL among the data", std::string("\x1B=060011") + '\0' + "03344\x03", 0, text::kStatus00,
         std::string("\0\0\0\x11", 4)},
        {"no data", ReaderReply("00"), 0, text::kStatus00, ""},
        {"refused with data", ReaderReply("23", "5A"), 23, text::kStatus23, "\x5A"},
        {"refused", ReaderReply("24"), 24, text::kStatus24, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int which = 0; which < 2; ++which) {
            FillData(0xEE);
            line().ArriveIn(5, row.reply);
            short r = which == 0 ? gMemS4442_ReadGuardbit(addrL, 4, dataText(), msg)
                                 : gMemS4428_GuardbitRData(addrH, addrL, 4, dataText(), msg);
            EXPECT_EQ(r, row.result);
            EXPECT_STREQ(msg, row.message);
            EXPECT_EQ(std::string(dataText(), row.bytes.size()), row.bytes);
            EXPECT_EQ(data[row.bytes.size()], 0);
            EXPECT_EQ(data[row.bytes.size() + 1], 0xEE);
        }
    }
}

TEST_F(Sle44Test, OversizedReadRepliesAreCutToTheOutput) {
    // 300 data characters under a length that announces 253 bytes: 128 bytes
    // reach bpData, then the zero byte, and nothing after it.
    FillData(0xEE);
    line().ArriveIn(5, "\x1B=FF00" + std::string(300, '7') + "\x03");
    EXPECT_EQ(gMemS4428_GuardbitRData(addrH, addrL, 255, dataText(), msg), 0);
    EXPECT_EQ(data[127], 0x77);
    EXPECT_EQ(data[128], 0);
    EXPECT_EQ(data[129], 0xEE);

    // A length beyond what arrived takes only what arrived (here 2 bytes
    // and the checksum characters behind them, nothing past the reply).
    FillData(0xEE);
    line().ArriveIn(5,
                    "\x1B=1200"
                    "1122"
                    "33\x03");
    EXPECT_EQ(gMemS4442_ReadGuardbit(addrL, 16, dataText(), msg), 0);
    EXPECT_EQ(std::string(dataText(), 4), "\x11\x22\x33" + std::string(1, '\0'));
    EXPECT_EQ(data[4], 0xEE);
}

// Every command with its two texts of its own; the rest are the transaction's.
struct FailureRow {
    const char* name;
    std::function<short(char*, char*)> call;  // (bpData, bpMsg)
    const char* sendFailed;
    const char* timedOut;
    bool reads;
};

std::vector<FailureRow> Sle44Commands() {
    static char h[] = "00", l[] = "20", pin[] = "FFFFFF", bytes[] = "\x01\x02";
    return {
        {"read protection bits", [](char* d, char* m) { return gMemS4442_ReadGuardbit(l, 2, d, m); }, text::kSendComErr,
         text::kReadDataTimeout, true},
        {"read with protection bits", [](char* d, char* m) { return gMemS4428_GuardbitRData(h, l, 2, d, m); },
         text::kSendComErr, text::kReadDataTimeout, true},
        {"write with protection bits", [](char*, char* m) { return gMemS4428_GuardbitWData(h, l, bytes, m); },
         text::kSendComErr, text::kWriteDataTimeout, false},
        {"compared write", [](char*, char* m) { return gMemS44_CompDataWrite(h, l, bytes, m); }, text::kSendComErr,
         text::kWriteDataTimeout, false},
        {"verify PIN", [](char*, char* m) { return gMemS44_VerifyPin(pin, m); }, text::kVerifyPinError,
         text::kCommTimeout, false},
        {"change PIN", [](char*, char* m) { return gMemS44_ChangePin(pin, m); }, text::kVerifyPinError,
         text::kCommTimeout, false},
    };
}

TEST_F(Sle44Test, FailureTextsAndTheDataBufferKeptBeforeAReply) {
    for (const FailureRow& row : Sle44Commands()) {
        SCOPED_TRACE(row.name);
        char keep[8] = "keep";

        gSetTimeOutIC(2);
        uint32_t start = fake.platform.now;
        EXPECT_EQ(row.call(keep, msg), -1);
        EXPECT_STREQ(msg, row.timedOut);
        EXPECT_GE(fake.platform.now - start, 2000u);
        EXPECT_LT(fake.platform.now - start, 3000u);
        gSetTimeOutIC(10);

        line().ArriveIn(5, "no header\x03");
        EXPECT_EQ(row.call(keep, msg), -1);
        EXPECT_STREQ(msg, text::kTimeoutExit);

        line().ArriveIn(5, "\x1B=0\x03");
        EXPECT_EQ(row.call(keep, msg), -1);
        EXPECT_STREQ(msg, text::kSerialCommError);
        if (row.reads) {
            EXPECT_EQ(keep[0], 0);  // a header was found: bpData is written
            std::strcpy(keep, "keep");
        }

        line().ArriveIn(5, ReaderReply("31"));
        EXPECT_EQ(row.call(keep, msg), 31);
        EXPECT_STREQ(msg, text::kStatus31);
        if (row.reads) std::strcpy(keep, "keep");

        line().ArriveIn(5, ReaderReply("1A"));
        EXPECT_EQ(row.call(keep, msg), 1);
        EXPECT_STREQ(msg, text::kSerialCommError);
        if (row.reads) std::strcpy(keep, "keep");

        SessionPort()->Close();
        EXPECT_EQ(row.call(keep, msg), -1);
        EXPECT_STREQ(msg, row.sendFailed);
        ASSERT_EQ(gOpenComIC(kPort, msg), 0);

        g_nPortClosed = 1;  // as a failed one-shot call leaves it
        size_t sent = line().written.size();
        EXPECT_EQ(row.call(keep, msg), -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
        EXPECT_EQ(line().written.size(), sent);
        g_nPortClosed = 0;

        gCloseComIC(msg);
        EXPECT_EQ(row.call(keep, msg), -1);
        EXPECT_STREQ(msg, text::kPortNotOpen);
        EXPECT_STREQ(keep, "keep");
        ASSERT_EQ(gOpenComIC(kPort, msg), 0);
    }
}

TEST_F(Sle44Test, BadInputIsRefusedBeforeAnythingIsSent) {
    std::string longAddr(250, '0');
    std::string longPin(244, 'F');  // a body of 252 characters: a frame of 257
    unsigned char write121[122], write122[123];
    std::memset(write121, 0x5A, sizeof write121);
    write121[121] = 0;
    std::memset(write122, 0x5A, sizeof write122);
    write122[122] = 0;
    struct Row {
        const char* name;
        std::function<short(char*)> call;
    } rows[] = {
        {"negative count", [&](char* m) { return gMemS4442_ReadGuardbit(addrL, -1, dataText(), m); }},
        {"count 256", [&](char* m) { return gMemS4428_GuardbitRData(addrH, addrL, 256, dataText(), m); }},
        {"missing address", [&](char* m) { return gMemS4428_GuardbitRData(nullptr, addrL, 1, dataText(), m); }},
        {"address past the frame", [&](char* m) { return gMemS4442_ReadGuardbit(&longAddr[0], 1, dataText(), m); }},
        {"122 bytes to write",
         [&](char* m) { return gMemS4428_GuardbitWData(addrH, addrL, reinterpret_cast<char*>(write122), m); }},
        {"122 bytes, short address",
         [&](char* m) { return gMemS44_CompDataWrite(addrH, nullptr, reinterpret_cast<char*>(write122), m); }},
        {"missing data", [&](char* m) { return gMemS44_CompDataWrite(addrH, addrL, nullptr, m); }},
        {"write past the frame",
         [&](char* m) { return gMemS44_CompDataWrite(&longAddr[0], addrL, reinterpret_cast<char*>(write121), m); }},
        {"PIN past the frame", [&](char* m) { return gMemS44_VerifyPin(&longPin[0], m); }},
        {"missing PIN", [&](char* m) { return gMemS44_ChangePin(nullptr, m); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FillData(0xEE);
        EXPECT_EQ(row.call(msg), -1);
        EXPECT_STREQ(msg, text::kParamError);
        EXPECT_EQ(line().written, "");
        EXPECT_EQ(data[0], 0xEE);
    }
}

TEST_F(Sle44Test, TheLongestWritesAndPinsFitOneFrame) {
    unsigned char write121[122];
    std::memset(write121, 0x5A, sizeof write121);
    write121[121] = 0;
    line().AnswerFrames({ReaderReply("00"), ReaderReply("00")});
    EXPECT_EQ(gMemS44_CompDataWrite(addrH, addrL, reinterpret_cast<char*>(write121), msg), 0);
    ASSERT_EQ(line().frames.size(), 1u);
    EXPECT_EQ(line().frames[0].size(), 255u);
    EXPECT_EQ(line().frames[0].substr(2, 8), "76002079");

    std::string pin(242, 'F');
    EXPECT_EQ(gMemS44_VerifyPin(&pin[0], msg), 0);
    ASSERT_EQ(line().frames.size(), 2u);
    EXPECT_EQ(line().frames[1].size(), 255u);
    EXPECT_EQ(line().frames[1].substr(2, 8), "56000079");
}

}  // namespace
