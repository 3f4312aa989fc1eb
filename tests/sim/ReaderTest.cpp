// The contact unit's framing and device commands, the magnetic head, and
// the injected faults, on the engine without a line.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace qd500sim;
using namespace simtest;

namespace {

Scenario Parsed(const std::string& json) {
    std::string error;
    auto s = Scenario::FromJson(json, &error);
    EXPECT_TRUE(s) << error;
    return s ? *s : Scenario::Default();
}

}  // namespace

TEST(ContactFrames, RefusalsByStatusCode) {
    Reader r;
    EXPECT_EQ(Parse(r.Feed("\x1B=5555AA\x03").Joined()).status, "11");
    EXPECT_EQ(Parse(r.Feed("\x1B=55G5\x03").Joined()).status, "12") << "not hex";
    EXPECT_EQ(Parse(r.Feed("\x1B=54885\x03").Joined()).status, "12") << "odd length";
    EXPECT_EQ(Send(r, "").status, "13") << "empty body (unknown card-type name)";
    EXPECT_EQ(Send(r, "99").status, "13");
    EXPECT_EQ(Send(r, "5401").status, "24") << "AT24C01 selected, CPU card in the slot";
    EXPECT_EQ(Send(r, "54FE").status, "24") << "no such type";
    EXPECT_EQ(Send(r, "5488").status, "00");
    EXPECT_EQ(Send(r, "5A0084000004").status, "23");
    EXPECT_EQ(Send(r, "5200").status, "14");
    EXPECT_EQ(Send(r, "5700000201").status, "14") << "count says 2, one byte follows";
    EXPECT_EQ(Send(r, "5555").status, "14") << "power-on takes no parameter";
    r.Remove();
    EXPECT_EQ(Send(r, "55").status, "21");
    EXPECT_EQ(Send(r, "52000001").status, "21");
    EXPECT_EQ(Send(r, "4F").status, "25");
    EXPECT_EQ(Send(r, "5442").status, "00") << "selection needs no card";
    ASSERT_TRUE(r.Insert("S4442"));
    EXPECT_EQ(Send(r, "52000001").status, "23");
    std::string error;
    EXPECT_FALSE(r.Insert("S9999", &error));
    EXPECT_FALSE(error.empty());
}

TEST(ContactFrames, ReplyShapeAndStreamHandling) {
    Reader r;
    std::string out = r.Feed("xx\x03junk" + Frame("55") + Frame("44")).Joined();
    size_t second = out.find("\x1B=", 1);
    ASSERT_NE(second, std::string::npos) << "two frames in one read, two replies";
    Reply power = Parse(out.substr(0, second));
    EXPECT_TRUE(power.ok);
    EXPECT_EQ(power.data,
              "3B68000051443530305349"
              "4D");
    EXPECT_TRUE(Parse(out.substr(second)).ok);
    // A frame arriving byte by byte is answered once, when its ETX comes.
    std::string frame = Frame("47"), got;
    for (char c : frame) got += r.Feed(std::string(1, c)).Joined();
    Reply st = Parse(got);
    EXPECT_TRUE(st.ok);
    EXPECT_EQ(st.data, "010000") << "card present, powered off, nothing selected";
    Reply apdu = Send(r, "5A00A40000023F00");
    EXPECT_EQ(apdu.status, "23");
    EXPECT_EQ(apdu.data, "") << "not powered: no card answer";
}

TEST(Device, VersionStatusNumberAndEject) {
    Reader r(Parsed(R"({"device":{"version":"V2","status":["11","22","33"]}})"));
    EXPECT_EQ(Send(r, "41").data, "5632");
    EXPECT_EQ(Send(r, "47").data, "112233");
    EXPECT_EQ(Send(r, "2512").status, "00");
    EXPECT_EQ(r.device_number(), 0x12u);
    EXPECT_EQ(Send(r, "25").status, "14");
    EXPECT_EQ(Send(r, "4F").status, "00");
    EXPECT_EQ(r.card(), nullptr);
    EXPECT_EQ(Send(r, "55").status, "21");
}

TEST(Magnetic, ReadsInEachLayoutAndUnreadableTracks) {
    Reader r(Parsed(R"({"magnetic":{"track2":"1234=56","track3":"789"}})"));
    EXPECT_EQ(r.Feed("\x1B]").Joined(),
              "\x1Bs"
              "1234=56?\x1C");
    EXPECT_EQ(r.Feed("\x1BT]").Joined(),
              "\x1Bs"
              "A789?\x1C");
    EXPECT_EQ(r.Feed("\x1B"
                     "B]")
                  .Joined(),
              "\x1Bs"
              "1234=56A789?\x1C");
    Reader bad(Parsed(R"({"magnetic":{"track2":null,"track3":"789"}})"));
    EXPECT_EQ(bad.Feed("\x1B]").Joined(), "\x1Bs\x7F\x1C");
    EXPECT_EQ(bad.Feed("\x1B"
                       "B]")
                  .Joined(),
              "\x1Bs\x7F"
              "A789?\x1C");
}

TEST(Magnetic, WriteThenReadAndShortAnswers) {
    Reader r;
    Output w = r.Feed(
        "\x1B"
        "B4"
        "\x1Bt"
        "5555=12"
        "A"
        "999"
        "\x1D\x1B\\"
        "\x1Bj");
    ASSERT_EQ(w.chunks.size(), 1u);
    EXPECT_EQ(w.chunks[0].bytes,
              "\x1B"
              "0p");
    EXPECT_TRUE(w.chunks[0].atomic);
    EXPECT_EQ(r.Feed("\x1B"
                     "B]")
                  .Joined(),
              "\x1Bs"
              "5555=12A999?\x1C");
    // An empty track field leaves that track alone.
    r.Feed(
        "\x1Bt"
        "A"
        "777"
        "\x1D\x1B\\"
        "\x1Bj");
    EXPECT_EQ(r.Feed("\x1B"
                     "B]")
                  .Joined(),
              "\x1Bs"
              "5555=12A777?\x1C");
    EXPECT_EQ(r.Feed("\x1Bj").Joined(),
              "\x1B"
              "1e")
        << "commit without a frame";
    EXPECT_EQ(r.Feed("\x1Bt"
                     "1111"
                     "\x1Bj")
                  .Joined(),
              "\x1B"
              "1e")
        << "frame without its end mark";
    EXPECT_EQ(Send(r, "47").status, "00") << "and the contact unit still answers";
    EXPECT_EQ(r.Feed("\x1B]").Joined(),
              "\x1Bs"
              "5555=12?\x1C")
        << "nothing written";
    EXPECT_EQ(r.Feed("\x1B%K").Joined(), "\x1B%0");
    EXPECT_EQ(r.Feed("\x1B%Q").Joined(), "\x1B%1");
}

TEST(Magnetic, SwipeWaitsAbortAndControlSwipe) {
    Reader later(Parsed(R"({"magnetic":{"swipe":300,"track2":"22","track3":"33"}})"));
    EXPECT_TRUE(later.Feed("\x1B]", 1000).empty());
    EXPECT_EQ(later.NextDueMs(), 1300u);
    EXPECT_TRUE(later.Poll(1299).empty());
    EXPECT_EQ(later.Poll(1300).Joined(),
              "\x1Bs"
              "22?\x1C");
    EXPECT_TRUE(later.Feed("\x1B]", 2000).empty());
    later.Feed(
        "\x1B"
        "0",
        2100);
    EXPECT_TRUE(later.Poll(5000).empty()) << "ESC '0' gave the read up";

    Reader never(Parsed(R"({"magnetic":{"swipe":"never"}})"));
    EXPECT_TRUE(never
                    .Feed("\x1B"
                          "B]")
                    .empty());
    EXPECT_FALSE(never.NextDueMs());
    EXPECT_EQ(never.Swipe(std::string("44"), std::nullopt).Joined(),
              "\x1Bs"
              "44A\x7F\x1C");
    EXPECT_TRUE(never.Swipe(std::string("55"), std::string("66")).empty());
    EXPECT_EQ(never.Feed("\x1B]").Joined(),
              "\x1Bs"
              "55?\x1C")
        << "a swipe ahead of the read";
    EXPECT_TRUE(never.Feed("\x1B]").empty());
}

TEST(Faults, EachKindShapesTheReply) {
    auto one = [](const std::string& rule) {
        Reader r(Parsed(R"({"seed":3,"faults":[)" + rule + "]}"));
        return r.Feed(Frame("55"));
    };
    Output noise = one(R"({"kind":"noise","bytes":6})");
    std::string n = noise.Joined();
    EXPECT_EQ(n.find("\x1B="), 6u);
    EXPECT_EQ(n.substr(0, 6).find_first_of("\x1B\x03"), std::string::npos);
    EXPECT_TRUE(Parse(n).ok);

    Output split = one(R"({"kind":"split","at":5,"pause_ms":1500})");
    ASSERT_EQ(split.chunks.size(), 2u);
    EXPECT_EQ(split.chunks[0].bytes.size(), 5u);
    EXPECT_EQ(split.chunks[1].delay_ms, 1500u);
    EXPECT_TRUE(Parse(split.Joined()).ok);

    EXPECT_EQ(one(R"({"kind":"delay","delay_ms":700})").chunks.at(0).delay_ms, 700u);
    EXPECT_NE(one(R"({"kind":"no_etx"})").Joined().back(), '\x03');
    Reply bad = Parse(one(R"({"kind":"bad_bcc"})").Joined());
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.status, "00");
    EXPECT_GT(one(R"({"kind":"oversize","size":1200})").Joined().size(), 1024u);
    EXPECT_EQ(one(R"({"kind":"oversize","size":1200})").Joined().size(), 1200u);
    Output hang = one(R"({"kind":"hangup","at":3})");
    EXPECT_TRUE(hang.hangup);
    EXPECT_EQ(hang.Joined(), "\x1B=0");
}

TEST(Faults, ForcedStatusSkipsTheCommandAndMatchingRules) {
    Reader r(Parsed(R"({"faults":[{"kind":"status","status":"41","command":"55","skip":1,"times":1}]})"));
    EXPECT_EQ(Send(r, "55").status, "00") << "skipped";
    EXPECT_EQ(Send(r, "47").status, "00") << "other commands untouched";
    EXPECT_EQ(Send(r, "44").status, "00");
    EXPECT_EQ(Send(r, "55").status, "41");
    EXPECT_FALSE(r.powered()) << "a forced status is not carried out";
    EXPECT_EQ(Send(r, "55").status, "00") << "times 1";

    Reader mag(Parsed(R"({"faults":[{"kind":"no_etx","command":"mag"}]})"));
    EXPECT_EQ(mag.Feed("\x1B]").Joined().back(), '?');
    EXPECT_TRUE(Parse(mag.Feed(Frame("55")).Joined()).ok);
}

TEST(Faults, ChanceIsDeterministicFromTheSeed) {
    auto pattern = [](int seed) {
        Reader r(Parsed("{\"seed\":" + std::to_string(seed) + R"(,"faults":[{"kind":"bad_bcc","probability":0.5}]})"));
        std::string p;
        for (int i = 0; i < 40; ++i) p += Parse(r.Feed(Frame("47")).Joined()).ok ? '.' : 'x';
        return p;
    };
    EXPECT_EQ(pattern(5), pattern(5));
    EXPECT_NE(pattern(5), pattern(6));
    EXPECT_NE(pattern(5).find('x'), std::string::npos);
    EXPECT_NE(pattern(5).find('.'), std::string::npos);
}

TEST(FrameLog, RecordsFramesBothWays) {
    Reader r;
    std::vector<LogEntry> sunk;
    r.SetLogSink([&](const LogEntry& e) { sunk.push_back(e); });
    r.Feed(Frame("47"), 5);
    r.Feed("\x1B]", 6);
    ASSERT_EQ(r.log().size(), 4u);
    EXPECT_TRUE(r.log()[0].from_host);
    EXPECT_EQ(r.log()[0].bytes, Frame("47"));
    EXPECT_FALSE(r.log()[1].from_host);
    EXPECT_EQ(r.log()[2].bytes, "\x1B]");
    EXPECT_EQ(r.log()[3].ms, 6u);
    EXPECT_EQ(sunk.size(), 4u);
}
