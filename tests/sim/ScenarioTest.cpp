// Scenario files: the keys that set the reader up, and clear refusals.
#include <gtest/gtest.h>

#include "SimTestUtil.h"

using namespace qd500sim;
using namespace simtest;

TEST(Scenario, DefaultHasCpuCardAndTracks) {
    Scenario s = Scenario::Default();
    ASSERT_TRUE(s.card);
    EXPECT_EQ(s.card->type, "CPU");
    EXPECT_TRUE(s.track2 && !s.track2->empty());
    EXPECT_EQ(s.swipe, SwipeMode::Always);
}

TEST(Scenario, FileSetsCardTracksDeviceAndFaults) {
    std::string error;
    auto s = Scenario::FromFile(std::string(QD500_SIM_DATA_DIR) + "/s4442-split.json", &error);
    ASSERT_TRUE(s) << error;
    Reader r(*s);
    EXPECT_EQ(Send(r, "5442").status, "00");
    Reply atr = Send(r, "55");
    EXPECT_EQ(atr.data, "A2131091");
    EXPECT_EQ(Send(r, "52000406").data, "0102030405FF");
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "FFFFFF")
                  .status,
              "31");
    EXPECT_EQ(static_cast<SleCard*>(r.card())->error_counter(), 1) << "error_counter 2 from the file";
    EXPECT_EQ(Send(r,
                   "560000"
                   "03"
                   "123456")
                  .status,
              "00");
    Output split = r.Feed(Frame("52000001"));
    ASSERT_EQ(split.chunks.size(), 2u);
    EXPECT_EQ(split.chunks[1].delay_ms, 1500u);
    EXPECT_EQ(r.Feed("\x1B]").Joined(),
              "\x1Bs"
              "6225=2512?\x1C");
    EXPECT_EQ(s->swipe, SwipeMode::Always);
    EXPECT_EQ(Send(r, "41").data, "53494D2D54455354");
}

TEST(Scenario, EmptySlotAndErasedCpu) {
    std::string error;
    auto none = Scenario::FromJson(R"({"card":{"type":"none"}})", &error);
    ASSERT_TRUE(none) << error;
    Reader empty(*none);
    EXPECT_EQ(Send(empty, "55").status, "21");
    // A type by the name people use, in any case, as the control's insert takes it too.
    auto named = Scenario::FromJson(R"({"card":{"type":"sle4442"}})", &error);
    ASSERT_TRUE(named) << error;
    EXPECT_EQ(named->card->type, "S4442");
    EXPECT_TRUE(empty.Insert("Sle4428"));
    EXPECT_EQ(Send(empty, "55").status, "00");
    auto erased = Scenario::FromJson(R"({"card":{"type":"CPU","erased":true}})", &error);
    ASSERT_TRUE(erased) << error;
    Reader blank(*erased);
    Send(blank, "55");
    EXPECT_EQ(SendApdu(blank, "00A40000023F00").sw, "6A82");
}

TEST(Scenario, BadInputIsRefusedWithAReason) {
    const char* bad[] = {
        "not json",
        R"({"card":{"type":"S9999"}})",
        R"({"card":{"type":"S4442","memory":"ABC"}})",
        R"({"card":{"type":"AT24C01","memory":")"
        "00000000000000000000000000000000000000000000000000000000000000000000"
        "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
        "00"
        "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
        R"("}})",
        R"({"card":{"type":"S4442","psc":"1234"}})",
        R"({"card":{"type":"S4442","error_counter":4}})",
        R"({"card":{"type":"S4442","colour":"red"}})",
        R"({"magnetic":{"swipe":"sometimes"}})",
        R"({"device":{"status":["00","00"]}})",
        R"({"faults":[{"kind":"gremlin"}]})",
        R"({"faults":[{"kind":"status","status":"4"}]})",
        R"({"faults":[{"kind":"noise","command":"555"}]})",
        R"({"faults":[{"kind":"split","probability":2}]})",
        R"({"card":{"type":"CPU","files":{"fid":"5015"}}})",
        R"({"card":{"type":"CPU","files":{"fid":"3F00","data":"00"}}})",
        R"({"card":{"type":"CPU","files":{"fid":"3F00","children":[{"fid":"0101","data":"00"},{"fid":"0101","data":"01"}]}}})",
        R"({"card":{"type":"CPU","files":{"fid":"3F00","children":[{"fid":"0101","data":"00","children":[]}]}}})",
        R"({"card":{"type":"CPU","files":{"fid":"3F00","pins":[{"ref":1,"tries":3}]}}})",
        R"({"card":{"type":"CPU","files":{"fid":"3F00"},"erased":true}})",
        R"({"card":{"type":"CPU","protocol":"T=2"}})",
        R"({"card":{"type":"S4442","protocol":"T=1"}})",
    };
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(Scenario::FromJson(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    std::string error;
    EXPECT_FALSE(Scenario::FromFile("/nonexistent/scenario.json", &error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}
