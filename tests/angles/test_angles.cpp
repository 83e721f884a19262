// The angle parser: values of the three notations, the direction of the
// whole angle, every failure message, line ends and inputs of any length.
#include "angles/angles.hpp"
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pello::angle_error;
using pello::dmctodeg;
using pello::test::stdout_of;

const double sf = 0.0002777777777777778;  // 1/3600
const double mf = 0.016666666666666666;   // 1/60

// Minutes and seconds are held as 32-bit values before they are combined.
double f(double v)
{
    return static_cast<double>(static_cast<float>(v));
}

struct angle_case {
    std::string text;
    double value;         // expected result when message is empty
    std::string message;  // the one message expected, or empty
};

void check(const std::vector<angle_case>& cases)
{
    for (const angle_case& c : cases) {
        SCOPED_TRACE("text: \"" + c.text.substr(0, 60) + "\"");
        double got = 0;
        std::string out = stdout_of([&] { got = dmctodeg(c.text.c_str()); });
        EXPECT_EQ(out, c.message);
        if (c.message.empty())
            EXPECT_NEAR(got, c.value, 1e-12);
        else
            EXPECT_EQ(got, angle_error);
    }
}

TEST(Dmctodeg, Values)
{
    check({
        {"45:22:33", 45 + (33 * sf + 22 * mf), ""},
        {"-103:00:00", -103.0, ""},
        {"+45:00:00", 45.0, ""},
        {"-38:33:29.222", -(38 + (f(29.222) * sf + 33 * mf)), ""},
        {"45:18:", 45.3, ""},
        {"45:22.5:10", 45 + (10 * sf + 22 * mf), ""},
        {"45.22.64", 45 + f(22.64) * mf, ""},
        {"-103.00.", -103.0, ""},
        {"-38.33.379", -(38 + f(33.379) * mf), ""},
        {"N 39d 23.7m 33.9c", 39 + (f(33.9) * sf + f(23.7) * mf), ""},
        {"39d23.7m33.9C", 39 + (f(33.9) * sf + f(23.7) * mf), ""},
        {"S 39d 23.7m 33.9c", -(39 + (f(33.9) * sf + f(23.7) * mf)), ""},
        {"39d 23.7m 33.9c w", -(39 + (f(33.9) * sf + f(23.7) * mf)), ""},
        {"39.404415D", f(39.404415), ""},
        {"-42.5d", -42.5, ""},
        {"W30m15c97d", -(97 + (15 * sf + 30 * mf)), ""},
        {"39d 30N", 39.0, ""},
        {"e 12d", 12.0, ""},
        {"d", 0.0, ""},
        {"359d 59m", 359 + 59 * mf, ""},
        {"-359d 59m", -(359 + 59 * mf), ""},
        {"39d\t+15m", 39.25, ""},
        // One minus sign or a South/West letter is the direction of the
        // whole angle, whichever part carries it.
        {"0d -30m", -0.5, ""},
        {"39d -30m", -39.5, ""},
        {"-0d 30m", -0.5, ""},
        {"-00:30:00", -0.5, ""},
        {"00:-30:00", -0.5, ""},
        {"10:20:-30", -(10 + (30 * sf + 20 * mf)), ""},
        {"0.30.S", angle_error,
         "\a\aError: DMC format must have at least one of [DdMmCc] "
         "identifiers\n\tor Dotted format: found illegal character: "
         "[s][D]DD.MM.[F*]\n"},
        {"0d 30m S", -0.5, ""},
        {"45:22:33-", -(45 + (33 * sf + 22 * mf)), ""},
        {"-0d", 0.0, ""},
        // A line end ends what the conversions read.
        {"39d\n", 39.0, ""},
        {"39d\n 40d", 39.0, ""},
        {"45:22:\n30", 45 + 22 * mf, ""},
        {"45:\n:", 45.0, ""},
        {"\n45:22:33", 0.0, ""},
        {"45.\n.", 45.0, ""},
        {"39d\nW", -39.0, ""},
    });
}

TEST(Dmctodeg, EveryFailureMessage)
{
    const std::string dotted = "\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
                               "\tor DMC format must have at least one of [DdMmCc] identifiers\n";
    const std::string no_id =
        "\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
        "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n";
    const std::string colons = "\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n";
    check({
        {"", 0, "dmctodeg: Error: invalid param inp\n"},
        {"--5d", 0, "\a\aError: too man minus signs: 2: only one is allowed\n"},
        {"-1:-2:-3", 0, "\a\aError: too man minus signs: 3: only one is allowed\n"},
        {"45:22:33:1", 0, colons},
        {"45:5", 0, colons},
        {"45.5:22:33.5", 0, "\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n"},
        {"45:22:33N", 0, "\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n"},
        {"45", 0, "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n"},
        {"  ", 0, "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n"},
        {"45.5", 0, dotted},
        {"45.5.5.5", 0, dotted},
        {"45N", 0, no_id},
        {"x", 0, no_id},
        {"-39d N", 0,
         "\a\aError: DMC format: both minus (-) and direction char N cannot be specified\n"},
        {"-39d W", 0,
         "\a\aError: DMC format: both minus (-) and direction char W cannot be specified\n"},
        {"-39d s e", 0,
         "\a\aError: DMC format: both minus (-) and direction char e cannot be specified\n"},
        {"N 39d W", 0, "\a\aError: DMC format: both direction chars N and W cannot be specified\n"},
        {"w 39d n", 0, "\a\aError: DMC format: both direction chars n and w cannot be specified\n"},
        {"39d 40d", 0, "\a\aError: DMC format: already have degrees (39.000000)\n"},
        {"30m 1d 20M", 0, "\a\aError: DMC format: already have minutes (30.000000)\n"},
        {"1.5c 2C", 0, "\a\aError: DMC format: already have seconds (1.500000)\n"},
        {"39d, 30m", 0, "\a\aError: DMC format: invalid char: , (0x2c)\n"},
        {"39d/30m", 0, "\a\aError: DMC format: invalid char: / (0x2f)\n"},
        {"1.5d2x", 0, "\a\aError: DMC format: invalid char: x (0x78)\n"},
        {"39d\r", 0, "\a\aError: DMC format: invalid char: \\x0d (0x0d)\n"},
        {"39d\xe9", 0, "\a\aError: DMC format: invalid char: \xe9 (0xe9)\n"},
        {"39d\x80", 0, "\a\aError: DMC format: invalid char: \x80 (0x80)\n"},
        {"39d 30", 0, "\a\aInternal Error: pointer mismatch\n"},
        {"39d ", 0, "\a\aInternal Error: pointer mismatch\n"},
        {"45:22\n:00", 0, "\a\aInternal Error: pointer mismatch\n"},
        {"45.22\n.", 0, "\a\aInternal Error: pointer mismatch\n"},
        {"45:22:60", 0, "\a\aError: sec 60.000000 is out of range [0..59.99]\n"},
        {"1d -60c", 0, "\a\aError: sec -60.000000 is out of range [0..59.99]\n"},
        {"39d 60m", 0, "\a\aError: min 60.000000 is out of range [0..59.99]\n"},
        {"39d -60m", 0, "\a\aError: min -60.000000 is out of range [0..59.99]\n"},
        {"45:60:00", 0, "\a\aError: min 60.000000 is out of range [0..59.99]\n"},
        {"361d", 0, "\a\aError: deg 361.000000 is out of range [-180..180]\n"},
        {"-361.00.", 0, "\a\aError: deg -361.000000 is out of range [-180..180]\n"},
        {"360d 1m", 0, "\a\aError: deg 360.016667 is out of range [-180..180]\n"},
    });

    EXPECT_EQ(stdout_of([] { EXPECT_EQ(dmctodeg(nullptr), angle_error); }),
              "dmctodeg: Error: invalid param inp\n");
    EXPECT_EQ(angle_error, 3.4028234663852886e38);
}

TEST(Dmctodeg, LongInputs)
{
    const std::string nines(10000, '9');
    const std::string zeros(10000, '0');
    const std::string blanks(10000, ' ');
    check({
        {nines + "d", 0, "\a\aError: deg inf is out of range [-180..180]\n"},
        {"S " + nines + "d", 0, "\a\aError: deg -inf is out of range [-180..180]\n"},
        {zeros + "45d", 45.0, ""},
        {"1." + zeros + "5d", 1.0, ""},
        {blanks + "12.5d" + blanks + "30m", 13.0, ""},
        {"1d " + nines + "m", 0, "\a\aError: min inf is out of range [0..59.99]\n"},
        {nines + ":00:00", 0,
         "\a\aError: deg 9223372036854775808.000000 is out of range [-180..180]\n"},
        {"1:2:" + zeros + "3", 1 + (3 * sf + 2 * mf), ""},
        {"1.2." + nines, 1 + 3 * mf, ""},
        {zeros + "1.2.", 1 + 2 * mf, ""},
        {nines + "N", 0,
         "\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
         "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n"},
    });
}

// The station position was once narrowed with a rule of its own (held at
// FLT_MAX); no angle ever reaches that edge: a text past the float range is
// refused, and a number before a direction letter is dropped.
TEST(Dmctodeg, NoAngleReachesTheFloatRange)
{
    const std::string no_identifier =
        "\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
        "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n";
    check({
        {"1e39", 0, no_identifier},
        {"-1e39", 0, no_identifier},
        {"99999999999999999999:00:00", 0,
         "\a\aError: deg 9223372036854775808.000000 is out of range [-180..180]\n"},
        {"1e300.00.00", 0, no_identifier},
        {"-4e38d 0m 0c", 0,
         "\a\aError: DMC format: both minus (-) and direction char e cannot be specified\n"},
        {"3.5e38D", 38.0, ""},
    });
}

}  // namespace
