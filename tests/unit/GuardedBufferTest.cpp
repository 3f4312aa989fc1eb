// Every output of every export at exactly the size callers are told to
// provide, with guard bytes on both sides, after hostile replies and
// oversized inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qd500dll.h"
#include "support/Fixtures.h"

using namespace qd500::test;

namespace {

constexpr size_t kGuard = 32;
constexpr unsigned char kGuardByte = 0xA7;

// A caller buffer of exactly n bytes between two guard zones.
class Guarded {
public:
    explicit Guarded(size_t n) : m_size(n), m_raw(new unsigned char[n + 2 * kGuard]) {
        std::memset(m_raw.get(), kGuardByte, n + 2 * kGuard);
    }
    char* get() { return reinterpret_cast<char*>(m_raw.get() + kGuard); }
    unsigned char* bytes() { return m_raw.get() + kGuard; }
    bool Intact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (m_raw[i] != kGuardByte || m_raw[kGuard + m_size + i] != kGuardByte) return false;
        return true;
    }

private:
    size_t m_size;
    std::unique_ptr<unsigned char[]> m_raw;
};

// The outputs of one call, each at its stated size.
struct Outputs {
    Guarded msg{32}, atr{507}, resp{503}, sw{5}, data{129}, version{129}, s1{3}, s2{3}, s3{3}, raw{1025}, track2{1025},
        track3{1025};
    short len = 0;
    bool Intact() const {
        for (const Guarded* g : {&msg, &atr, &resp, &sw, &data, &version, &s1, &s2, &s3, &raw, &track2, &track3})
            if (!g->Intact()) return false;
        return true;
    }
};

using Call = std::function<void(Outputs&, const char* text)>;

struct Export {
    const char* name;
    Call call;
};

// Session commands; `text` is passed wherever the export takes a text.
const std::vector<Export>& SessionExports() {
    static const std::vector<Export> exports = {
        {"gSetCardType", [](Outputs& o, const char* t) { gSetCardType(t, o.msg.get()); }},
        {"gCardPowerOn", [](Outputs& o, const char*) { gCardPowerOn(o.atr.get(), o.msg.get()); }},
        {"gCardPowerDown", [](Outputs& o, const char*) { gCardPowerDown(o.msg.get()); }},
        {"gGetDeviceStatus",
         [](Outputs& o, const char*) { gGetDeviceStatus(o.s1.get(), o.s2.get(), o.s3.get(), o.msg.get()); }},
        {"gOutCard", [](Outputs& o, const char*) { gOutCard(o.msg.get()); }},
        {"gSetDeviceNo", [](Outputs& o, const char*) { gSetDeviceNo(12, o.msg.get()); }},
        {"gGetDeviceVersion", [](Outputs& o, const char*) { gGetDeviceVersion(o.version.get(), o.msg.get()); }},
        {"gCPUCommand",
         [](Outputs& o, const char* t) {
             std::string apdu(15, '\0');
             std::memcpy(&apdu[0], "00", 2);
             std::memcpy(&apdu[3], "B0", 2);
             std::memcpy(&apdu[6], "00", 2);
             std::memcpy(&apdu[9], "00", 2);
             std::memcpy(&apdu[12], "10", 2);
             apdu += t;
             gCPUCommand(apdu.c_str(), o.sw.get(), o.resp.get(), o.msg.get());
         }},
        {"gCPUGetResponse",
         [](Outputs& o, const char*) { gCPUGetResponse(16, o.sw.get(), o.resp.get(), o.msg.get()); }},
        {"gCard_ReadData", [](Outputs& o, const char* t) { gCard_ReadData(t, "00", 128, o.data.get(), o.msg.get()); }},
        {"gCard_WriteData",
         [](Outputs& o, const char* t) {
             gCard_WriteData("00", t, t, o.msg.get(), static_cast<short>(std::min<size_t>(std::strlen(t), 122)));
         }},
        {"gCheck_Pin", [](Outputs& o, const char* t) { gCheck_Pin(t, "03", "00", o.msg.get()); }},
        {"gGetChallenge", [](Outputs& o, const char*) { gGetChallenge(o.sw.get(), o.resp.get(), o.msg.get()); }},
        {"gSelectFile", [](Outputs& o, const char* t) { gSelectFile(t, o.sw.get(), o.resp.get(), o.msg.get()); }},
        {"MW_CPUDeleteMF", [](Outputs& o, const char*) { MW_CPUDeleteMF(o.sw.get(), o.resp.get(), o.msg.get()); }},
        {"MW_CPUCreateMF", [](Outputs& o, const char*) { MW_CPUCreateMF(o.sw.get(), o.resp.get(), o.msg.get()); }},
        {"MW_CPUCreateEndMF",
         [](Outputs& o, const char*) { MW_CPUCreateEndMF(o.sw.get(), o.resp.get(), o.msg.get()); }},
        {"MW_CPUCreateDF", [](Outputs& o, const char* t) { MW_CPUCreateDF(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"MW_CPUCreateEndDF",
         [](Outputs& o, const char* t) { MW_CPUCreateEndDF(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"MW_CPUCreateFile",
         [](Outputs& o, const char* t) { MW_CPUCreateFile(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"MW_CPUSelectFile",
         [](Outputs& o, const char* t) { MW_CPUSelectFile(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"MW_CPUWriteKey", [](Outputs& o, const char* t) { MW_CPUWriteKey(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"MW_CPUWriteBin", [](Outputs& o, const char* t) { MW_CPUWriteBin(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"MW_CPUAppendRecord",
         [](Outputs& o, const char* t) { MW_CPUAppendRecord(o.sw.get(), o.resp.get(), o.msg.get(), t); }},
        {"gMemS4442_ReadGuardbit",
         [](Outputs& o, const char* t) {
             gMemS4442_ReadGuardbit(const_cast<char*>(t), 32, o.data.get(), o.msg.get());
         }},
        {"gMemS4428_GuardbitRData",
         [](Outputs& o, const char* t) {
             gMemS4428_GuardbitRData(const_cast<char*>("00"), const_cast<char*>(t), 128, o.data.get(), o.msg.get());
         }},
        {"gMemS4428_GuardbitWData",
         [](Outputs& o, const char* t) {
             gMemS4428_GuardbitWData(const_cast<char*>("00"), const_cast<char*>("00"), const_cast<char*>(t),
                                     o.msg.get());
         }},
        {"gMemS44_CompDataWrite",
         [](Outputs& o, const char* t) {
             gMemS44_CompDataWrite(const_cast<char*>("00"), const_cast<char*>("00"), const_cast<char*>(t), o.msg.get());
         }},
        {"gMemS44_VerifyPin", [](Outputs& o, const char* t) { gMemS44_VerifyPin(const_cast<char*>(t), o.msg.get()); }},
        {"gMemS44_ChangePin", [](Outputs& o, const char* t) { gMemS44_ChangePin(const_cast<char*>(t), o.msg.get()); }},
        {"gMemAT88SC_VerifyPin",
         [](Outputs& o, const char* t) {
             gMemAT88SC_VerifyPin(const_cast<char*>("00"), const_cast<char*>("0A"), const_cast<char*>(t), o.msg.get());
         }},
        {"gMemAT88SC_EraseData",
         [](Outputs& o, const char* t) {
             gMemAT88SC_EraseData(const_cast<char*>(t), const_cast<char*>("00"), 4, o.msg.get());
         }},
        {"gMemAT88SC_PersonalTake",
         [](Outputs& o, const char* t) {
             gMemAT88SC_PersonalTake(const_cast<char*>(t), const_cast<char*>(t), o.msg.get());
         }},
        {"gSet_Li_MSRA", [](Outputs& o, const char*) { gSet_Li_MSRA('K', o.msg.get()); }},
        {"sReadByEndChar", [](Outputs& o, const char*) { sReadByEndChar(0x03, 1, o.raw.get(), &o.len); }},
        {"sReadByLen", [](Outputs& o, const char*) { sReadByLen(2000, 1, o.raw.get(), &o.len); }},
        {"sAsynReadNomal", [](Outputs& o, const char*) { sAsynReadNomal(o.raw.get(), &o.len); }},
    };
    return exports;
}

// One-shot calls on a port of their own (COM4 here).
const std::vector<Export>& OneShotExports() {
    static const std::vector<Export> exports = {
        {"gAppMemAT24_ReadData",
         [](Outputs& o, const char* t) {
             gAppMemAT24_ReadData(4, 1, const_cast<char*>("00"), const_cast<char*>(t), 128, o.data.get(), 1,
                                  o.msg.get());
         }},
        {"gAppMemAT24_WriteData",
         [](Outputs& o, const char* t) {
             gAppMemAT24_WriteData(4, 1, const_cast<char*>("00"), const_cast<char*>("00"), const_cast<char*>(t), 1,
                                   o.msg.get());
         }},
        {"gMagCard_ReadData2", [](Outputs& o, const char*) { gMagCard_ReadData2(4, o.track2.get(), o.msg.get()); }},
        {"gMagCard_ReadData3", [](Outputs& o, const char*) { gMagCard_ReadData3(4, o.track3.get(), o.msg.get()); }},
        {"gMagCard_ReadData23",
         [](Outputs& o, const char*) { gMagCard_ReadData23(4, o.track2.get(), o.track3.get(), o.msg.get()); }},
        {"gMagCard_WriteData2", [](Outputs& o, const char* t) { gMagCard_WriteData2(4, t, o.msg.get(), 1); }},
        {"gMagCard_WriteData3", [](Outputs& o, const char* t) { gMagCard_WriteData3(4, t, o.msg.get(), 0); }},
        {"gMagCard_WriteData23", [](Outputs& o, const char* t) { gMagCard_WriteData23(4, t, t, o.msg.get(), 0); }},
    };
    return exports;
}

// Replies a hostile reader might send, each answering every frame.
std::vector<std::string> HostileReplies() {
    return {
        "\x1B=FF00" + std::string(1500, 'A') + "\x03",                            // longer than the receive buffer
        "\x1B=FF00ABCD\x03",                                                      // promises more than it carries
        "\x1B=7F00" + std::string(300, '9') + "\x03",                             // more than any output holds
        "\x1B=0\x03",                                                             // too short for a status
        std::string("\0\0\x1B=0600\0\0\0\0\x03", 13),                             // zero bytes everywhere
        "\x1Bs" + std::string(1500, '5') + "A" + std::string(10, '7') + "?\x1C",  // magnetic, too long
        "\x1Bs\x7F"
        "A\x7F\x1C",
        "\x1B%",
    };
}

class GuardedBufferTest : public FakeSessionTest {
protected:
    void RunAll(const std::string& reply, const char* text) {
        for (const Export& e : SessionExports()) {
            line().AnswerFrames(std::vector<std::string>(8, reply), 1);
            line().ArriveIn(2, reply);  // for the raw reads and the head setting
            Outputs out;
            e.call(out, text);
            EXPECT_TRUE(out.Intact()) << e.name << " after " << reply.substr(0, 12);
            // The raw reads write no message; every other export always does.
            if (e.name[0] != 's') {
                EXPECT_NE(memchr(out.msg.get(), 0, 32), nullptr) << e.name;
            }
        }
        for (const Export& e : OneShotExports()) {
            FakePort& port = fake.platform.AddPort(4);
            port.AnswerFrames(std::vector<std::string>(8, reply), 1);
            port.ArriveIn(3, reply);
            Outputs out;
            e.call(out, text);
            EXPECT_TRUE(out.Intact()) << e.name << " after " << reply.substr(0, 12);
            EXPECT_FALSE(port.open) << e.name << " left its port open";
        }
    }
};

TEST_F(GuardedBufferTest, HostileRepliesNeverWritePastAnOutput) {
    gSetTimeOutIC(1);
    for (const std::string& reply : HostileReplies()) RunAll(reply, "0011");
}

TEST_F(GuardedBufferTest, OversizedInputsAreRefusedWithinTheirOutputs) {
    gSetTimeOutIC(1);
    const std::string huge(2000, '3');
    for (const std::string& reply : HostileReplies()) RunAll(reply, huge.c_str());
}

}  // namespace
