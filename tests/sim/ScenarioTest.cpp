#include <gtest/gtest.h>

#include "Simulator.h"

using namespace qd500sim;

TEST(Scenario, DefaultHasCpuCardAndTracks) {
  Scenario s = Scenario::Default();
  ASSERT_TRUE(s.card);
  EXPECT_EQ(s.card->type, "CPU");
  EXPECT_TRUE(s.track2 && !s.track2->empty());
  EXPECT_EQ(s.swipe, SwipeMode::Always);
}
