// The ISO follow-up policy of cards/, on a scripted line: how far a chain
// goes, what 6Cxx sends again, and an answer longer than asked for.
#include <gtest/gtest.h>

#include "cards/CpuCard.h"
#include "support/Fixtures.h"

using namespace qd500;
using namespace qd500::test;

namespace {

class ApduFollowUpTest : public FakeSessionTest {
protected:
    bool Run(const std::vector<unsigned char>& bytes, bool follow) {
        Apdu apdu;
        EXPECT_TRUE(ParseApdu(bytes.data(), bytes.size(), apdu));
        line().written.clear();
        return ExchangeApdu(
            SessionReader(), apdu, follow, [](const Outcome& out) { return out.answered() && out.reply.Succeeded(); },
            response);
    }
    ApduResponse response;
};

TEST_F(ApduFollowUpTest, A61xxChainEndsAtItsBound) {
    // A card that always has one more byte waiting.
    std::vector<std::string> replies{ReaderReply("00", "6101")};
    for (int i = 0; i < kMaxChain + 5; ++i) replies.push_back(ReaderReply("00", "AA6101"));
    line().AnswerFrames(replies);
    EXPECT_TRUE(Run({0x00, 0xB0, 0x00, 0x00, 0x00}, true));
    EXPECT_EQ(SentBodies().size(), static_cast<size_t>(kMaxChain + 1));
    EXPECT_EQ(response.data, std::vector<unsigned char>(kMaxChain, 0xAA));
    EXPECT_EQ(response.sw[0], 0x61);
}

TEST_F(ApduFollowUpTest, A6CxxSendsTheApduAgainUnderTheLeAskedFor) {
    line().AnswerFrames({ReaderReply("00", "6C02"), ReaderReply("00", "12349000")});
    EXPECT_TRUE(Run({0x00, 0xB0, 0x00, 0x00, 0x08}, true));
    auto sent = SentBodies();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].substr(0, 12), "5A00B0000002");
    EXPECT_EQ(response.data, (std::vector<unsigned char>{0x12, 0x34}));
    EXPECT_EQ(response.sw[0], 0x90);
    // Without the follow-ups the first answer is the answer.
    line().AnswerFrames({ReaderReply("00", "6C02")});
    response = {};
    EXPECT_TRUE(Run({0x00, 0xB0, 0x00, 0x00, 0x08}, false));
    EXPECT_EQ(SentBodies().size(), 1u);
    EXPECT_EQ(response.sw[0], 0x6C);
}

TEST_F(ApduFollowUpTest, MoreDataThanAskedForIsNoAnswerAndEndsTheChain) {
    line().AnswerFrames({ReaderReply("00", "010203046102"), ReaderReply("00", "AABB9000")});
    EXPECT_FALSE(Run({0x00, 0xB0, 0x00, 0x00, 0x02}, true));
    EXPECT_TRUE(response.malformed);
    EXPECT_EQ(SentBodies().size(), 1u);
}

}  // namespace
