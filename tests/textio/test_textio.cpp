// The number readers shared by the parsers and the commands, at the edges
// where their rules part: past the int range, past the float range, and in
// the base of the text.
#include "angles/angles.hpp"
#include "device/device.hpp"
#include "textio/textio.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>

namespace {

TEST(NumberReaders, IntegersPastTheRangeAndInOtherBases)
{
    struct row {
        const char* text;
        int base;
        int saturating;     // Configuration and Rules files
        long command_word;  // console command arguments: symmetric, decimal only
    };
    const row rows[] = {
        {"2147483647", 10, INT_MAX, 2147483647},
        {"2147483648", 10, INT_MAX, 2147483647},
        {"-2147483647", 10, -INT_MAX, -2147483647},
        {"-2147483648", 10, INT_MIN, -2147483647},
        {"-99999999999999999999", 10, INT_MIN, -2147483647},
        {"0x1F", 0, 31, 0},
        {"010", 0, 8, 10},
        {"010", 10, 10, 10},
        {" \t-0x", 0, 0, 0},
    };
    for (const row& r : rows) {
        EXPECT_EQ(pello::to_int_saturating(r.text, r.base), r.saturating) << r.text;
        EXPECT_EQ(pello::leading_int(r.text), r.command_word) << r.text;
    }
    EXPECT_EQ(pello::to_long_long_saturating("3000000000"), 3000000000LL);
    EXPECT_EQ(pello::to_long_long_saturating("-99999999999999999999"), LLONG_MIN);
}

TEST(NumberReaders, FloatsPastTheRangeBecomeInfinities)
{
    struct row {
        double value;
        float narrowed;
    };
    const row rows[] = {
        {FLT_MAX, FLT_MAX},  {-FLT_MAX, -FLT_MAX},   {1e39, INFINITY}, {-1e39, -INFINITY},
        {DBL_MAX, INFINITY}, {-HUGE_VAL, -INFINITY}, {0.1, 0.1F},
    };
    for (const row& r : rows)
        EXPECT_EQ(pello::to_float_or_infinity(r.value), r.narrowed) << r.value;
    EXPECT_TRUE(std::isnan(pello::to_float_or_infinity(NAN)));
}

// The station position was once narrowed with a rule of its own (held at
// FLT_MAX); no angle ever reaches that edge: a text is refused, or it gives
// at most 360 degrees either way.
TEST(NumberReaders, NoAngleReachesTheFloatRange)
{
    const char* const texts[] = {"1e39",        "-1e39",        "99999999999999999999:00:00",
                                 "1e300.00.00", "-4e38d 0m 0c", "3.5e38D"};
    for (const char* text : texts) {
        testing::internal::CaptureStdout();
        const double value = pello::dmctodeg(text);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(value == pello::angle_error || std::fabs(value) <= 360.0) << text;
    }
}

}  // namespace
