// The rate offset of the information screen at its edges.
#include <gtest/gtest.h>

#include "station/info_screen.h"

namespace {

TEST(RateOffset, GoodOnlyStrictlyBetween59And61) {
    EXPECT_EQ(rate_offset(60.0), 0);
    EXPECT_EQ(rate_offset(59.01), 0);
    EXPECT_EQ(rate_offset(60.99), 0);
    EXPECT_EQ(rate_offset(59.0), -1);
    EXPECT_EQ(rate_offset(61.0), 1);
    EXPECT_EQ(rate_offset(62.0), 2);
    EXPECT_EQ(rate_offset(0.0), -60);
}

}  // namespace
