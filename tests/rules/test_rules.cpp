// The Rules file parser, the rule records it writes, the rule display and the
// rule image.
#include "rules/rules.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "angles/angles.hpp"
#include "config/config.hpp"
#include "support/run.hpp"

namespace {

using namespace pello;

struct parse_result {
    int code;
    std::string out;
};

parse_result parse(const std::string& path)
{
    int code = 0;
    std::string out = test::stdout_of([&] { code = rules_process(path.c_str()); });
    return {code, out};
}

std::string display()
{
    return test::stdout_of(rules_display);
}

std::string hex(const void* data, std::size_t size)
{
    std::string text;
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", p[i]);
        text += b;
    }
    return text;
}

std::string without_blanks(std::string text)
{
    std::erase(text, ' ');
    return text;
}

// The line-numbered failure message.
std::string line_error(const std::string& file, int line, const std::string& text,
                       const std::string& copy)
{
    return "\a\aError: " + file + "[" + std::to_string(line) + "]: " + text + ":\n" + copy + "\n";
}

class Rules : public testing::Test {
protected:
    void SetUp() override
    {
        rules_reset();
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir = test::temp_dir(std::string("rules_") + info->name());
    }

    std::string file(const std::string& text, const std::string& name = "test.rules")
    {
        return test::write_file(dir + "/" + name, text);
    }

    std::string dir;
};

TEST_F(Rules, EveryTypeBytesAndDisplay)
{
    const std::string path = file("# every rule type\n"
                                  "d implicit\n"
                                  "p src K1ABC-7\n"
                                  "d dst WIDE*\n"
                                  "p destin *\n"
                                  "d source abcdef\n"
                                  "p circle 5,39:30:00,-105:15:00\n"
                                  "d compass NE 39d 30m, 105d 15m W\n"
                                  "p rectangle 40.30.,-106.00.,39:00:00,-104d 30m\n"
                                  "d sector 45d,90:00:00,0.5,10\n"
                                  "p sector 10d,20d,2\n");
    parse_result r = parse(path);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Rules processed 9, implicit 1\n");
    EXPECT_EQ(conf_record.rule_count, 9);
    EXPECT_EQ(conf_record.implicit_action, implicit_drop);
    EXPECT_EQ(rules_processed, 1);
    EXPECT_EQ(rule_lines, 10);

    const char* const bytes[] = {
        "4b 31 41 42 43 00  07 00 00 00 00 00  00 00 00 00 00 00  00 00 00 00 00 00  26 48 03 00",
        "57 49 44 45 00 00  00 00 00 00 00 00  00 00 00 00 00 00  00 00 00 00 00 00  25 14 04 00",
        "00 00 00 00 00 00  00 00 00 00 00 00  00 00 00 00 00 00  00 00 00 00 00 00  25 38 05 00",
        "61 62 63 64 65 66  00 00 00 00 00 00  00 00 00 00 00 00  00 00 00 00 00 00  26 04 06 00",
        "00 00 a0 40 00 00  00 00 1e 42 00 00  00 80 d2 c2 00 00  00 00 00 00 00 00  27 08 07 00",
        "02 00 00 00 00 00  00 00 1e 42 00 00  00 80 d2 c2 00 00  00 00 00 00 00 00  28 04 08 00",
        "00 00 22 42 00 00  00 00 d4 c2 00 00  00 00 1c 42 00 00  00 00 d1 c2 00 00  29 08 09 00",
        "00 00 34 42 00 00  00 00 b4 42 00 00  00 00 00 3f 00 00  00 00 20 41 00 00  2a 04 0a 00",
        "00 00 20 41 00 00  00 00 a0 41 00 00  00 00 00 40 00 00  00 00 00 00 00 00  2a 08 0b 00",
    };
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(hex(&rule_table[i], sizeof(rule_record)), without_blanks(bytes[i]))
            << "record " << i;
    EXPECT_EQ(hex(&rule_table[9], sizeof(rule_record)), std::string(56, '0'));
    // Positions are the angle parser's values narrowed to 32 bits.
    EXPECT_EQ(rule_float(rule_table[5], 2), static_cast<float>(dmctodeg(" 105d 15m W")));

    std::span<const unsigned char> image = rule_image();
    EXPECT_EQ(image.size(), 9u * 28u);
    EXPECT_EQ(static_cast<const void*>(image.data()), static_cast<const void*>(rule_table));

    EXPECT_EQ(display(),
              "Rule count 9 plus Implicit\n"
              "\nAction Command   Mods Arguments\n"
              "Drop   Implicit \n"
              "Pass   source    40   K1ABC -7   \n"
              "Drop   destin    10   WIDE  *   \n"
              "Pass   destin    30   *   \n"
              "Drop   source    00   abcdef   \n"
              "Pass   circle    00   5.000 mi R, 39.500000  D Lat, -105.25000  D Lon \n"
              "Drop   compass   00   NE Dir, 39.500000  D Lat, -105.25000  D Lon \n"
              "Pass   rectangle 00   40.500000  D Lat1, -106.00000  D Lon1, 39.000000  D Lat2, "
              "-104.50000  D Lon2\n"
              "Drop   sector    00   45.000 D Ang1, 90.000 D Ang2, 0.500 In R, 10.000 Out R\n"
              "Pass   sector    00   10.000 D Ang1, 20.000 D Ang2, 2.000 In R, 0.000 Out R\n");
}

// Accepted lines: the call sign item forms, abbreviations, separators and
// the places where an argument may end.
TEST_F(Rules, AcceptedForms)
{
    struct accepted {
        std::string line;
        std::string bytes;  // the whole record, line number 1
    };
    const std::vector<accepted> cases = {
        {"P DE abc", "616263000000 000000000000 000000000000 000000000000 25 08 0100"},
        {"Drop SR x", "780000000000 000000000000 000000000000 000000000000 26 04 0100"},
        {"pAsS,ds,x", "780000000000 000000000000 000000000000 000000000000 25 08 0100"},
        {"d so x", "780000000000 000000000000 000000000000 000000000000 26 04 0100"},
        {"p src *-5", "000000000000 000000000000 000000000000 000000000000 26 38 0100"},
        {"p src *ABC", "000000000000 000000000000 000000000000 000000000000 26 38 0100"},
        {"p src AB*-5", "414200000000 000000000000 000000000000 000000000000 26 18 0100"},
        {"p src ABCDEF-15", "414243444546 0f0000000000 000000000000 000000000000 26 48 0100"},
        {"p src ABCDEF-0", "414243444546 000000000000 000000000000 000000000000 26 48 0100"},
        {"p src -5", "000000000000 050000000000 000000000000 000000000000 26 48 0100"},
        {"p src abc-", "616263000000 000000000000 000000000000 000000000000 26 48 0100"},
        {"p src abc-+7x", "616263000000 070000000000 000000000000 000000000000 26 48 0100"},
        {"p src abc#-7", "616263000000 000000000000 000000000000 000000000000 26 08 0100"},
        {"p ci 5mi 1d,2d", "0000a0400000 0000803f0000 000000400000 000000000000 27 08 0100"},
        {"p,circle,5,1d,2d", "0000a0400000 0000803f0000 000000400000 000000000000 27 08 0100"},
        {"p circle 5,1d,2d#note", "0000a0400000 0000803f0000 000000400000 000000000000 27 08 0100"},
        {"p circle 5,1d,2d\t  ", "0000a0400000 0000803f0000 000000400000 000000000000 27 08 0100"},
        {"p co sw 1d,2d", "060000000000 0000803f0000 000000400000 000000000000 28 08 0100"},
        {"p i", ""},
        {"d r 1d,2d,1d,2d", "0000803f0000 000000400000 0000803f0000 000000400000 29 04 0100"},
        {"d se 1d,2d,03", "0000803f0000 000000400000 000040400000 000000000000 2a 04 0100"},
        {"d se 1d,2d,3 #4", "0000803f0000 000000400000 000040400000 000000000000 2a 04 0100"},
        {"d se 1d,2d,3,4e0x", "0000803f0000 000000400000 000040400000 000080400000 2a 04 0100"},
    };
    for (const accepted& c : cases) {
        SCOPED_TRACE(c.line);
        parse_result r = parse(file(c.line + "\n"));
        ASSERT_EQ(r.code, 0) << r.out;
        if (c.bytes.empty()) {
            EXPECT_EQ(r.out, "Rules processed 0, implicit 1\n");
            continue;
        }
        EXPECT_EQ(r.out, "Rules processed 1, implicit 0\n");
        EXPECT_EQ(hex(&rule_table[0], sizeof(rule_record)), without_blanks(c.bytes));
    }
}

// Every line-numbered failure with its code; comment and blank lines count.
TEST_F(Rules, LineFailures)
{
    const std::string flt_max = "340282346638528859811704183484516925440.000000";
    const std::string mismatch = "\a\aInternal Error: pointer mismatch\n";
    struct failure {
        std::string line;
        int code;
        std::string text;
        std::string before = "";  // the angle parser's message, if any
    };
    const std::vector<failure> cases = {
        {"x src A", -3, "action x invalid"},
        {"drops src A", -3, "action drops invalid"},
        {"pass", -71, "missing arguments"},
        {"p ,, ", -71, "missing arguments"},
        {"p #src A", -5, "missing command"},
        {"p ;x", -5, "missing command"},
        {"p /", -5, "missing command"},
        {"p d A", -7, "Ambiguous command: d"},
        {"p S A", -7, "Ambiguous command: S"},
        {"p c 1", -7, "Ambiguous command: c"},
        {"p destination A", -7, "command destination invalid"},
        {"p circles 1", -7, "command circles invalid"},
        {"p zz", -7, "command zz invalid"},
        // circle
        {"p circle", -25, "missing Radius"},
        {"p circle #5", -14, "missing Range"},
        {"p circle 0,1d,1d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"p circle abc,1d,1d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"p circle inf,1d,1d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
        {"p circle -2.5,1d,1d", -16, "invalid Circle Radius, must be > 0: -2.500000"},
        {"p circle 5", -24, "missing Latitude"},
        {"p circle 5 #1d", -17, "missing Latitude"},
        {"p circle 5,91d,1d", -19, "invalid Latitude range [-90..90]: 91.000000"},
        {"p circle 5,39d -105d", -19, "invalid Latitude range [-90..90]: " + flt_max,
         "\a\aError: DMC format: already have degrees (39.000000)\n"},
        {"p circle 5,39d", -23, "missing Longitude"},
        {"p circle 5,39d,#", -23, "missing Longitude"},
        {"p circle 5,39d,#1d", -20, "missing Longitude"},
        {"p circle 5,39d,181d", -22, "invalid Longitude range [-180..180]: 181.000000"},
        {"p circle 5,39d,105d  ", -22, "invalid Longitude range [-180..180]: " + flt_max, mismatch},
        {"p circle 5,39d,105d  # near", -22, "invalid Longitude range [-180..180]: " + flt_max,
         mismatch},
        // compass
        {"p compass", -37, "missing Compass Direction"},
        {"p compass ;N", -26, "missing Direction"},
        {"p compass NNE 1d,1d", -27, "invalid compass Direction NNE"},
        {"p compass nw", -36, "missing Latitude"},
        {"p compass n /1d", -29, "missing Latitude"},
        {"p compass n -91d,1d", -31, "invalid Latitude range [-90..90]: -91.000000"},
        {"p compass n 1d", -35, "missing Longitude"},
        {"p compass n 1d,;1d", -32, "missing Longitude"},
        {"p compass n 1d,-181d", -34, "invalid Longitude range [-180..180]: -181.000000"},
        // rectangle
        {"p r", -53, "missing Latitude1"},
        {"p r #", -38, "missing Latitude1"},
        {"p r 91d", -40, "invalid Latitude1 range [-90..90]: 91.000000"},
        {"p r 1d", -52, "missing Longitude1"},
        {"p r 1d,#", -41, "missing Longitude1"},
        {"p r 1d,181d", -43, "invalid Longitude1 range [-180..180]: 181.000000"},
        {"p r 1d,1d", -51, "missing Latitude2"},
        {"p r 1d,1d,/", -44, "missing Latitude2"},
        {"p r 1d,1d,-91d", -46, "invalid Latitude2 range [-90..90]: -91.000000"},
        {"p r 1d,1d,1d", -50, "missing Longitude2"},
        {"p r 1d,1d,1d,;x", -47, "missing Longitude2"},
        {"p r 1d,1d,1d,-181d", -49, "invalid Longitude2 range [-180..180]: -181.000000"},
        // sector
        {"p se", -69, "missing Angle1"},
        {"p se #", -54, "missing Angle1"},
        {"p se -1d", -57, "invalid Angle1, range [0..360]: -1.000000"},
        {"p se 361d", -57, "invalid Angle1, range [0..360]: " + flt_max,
         "\a\aError: deg 361.000000 is out of range [-180..180]\n"},
        {"p se 1d", -68, "missing Angle2"},
        {"p se 1d,#", -58, "missing Angle2"},
        {"p se 1d,-1d", -60, "invalid Angle2, range [0..360]: -1.000000"},
        {"p se 1d,2d", -67, "missing Inner Range"},
        {"p se 1d,2d,#", -67, "missing Inner Range"},
        {"p se 1d,2d,#5", -61, "missing Inner Range"},
        {"p se 1d,2d,.5", -62, "invalid or missing Inner Range"},
        {"p se 1d,2d,-1", -62, "invalid or missing Inner Range"},
        {"p se 1d,2d,5,5", -66, "invalid Outer Range, must be > Inner Range: 5.000000"},
        {"p se 1d,2d,5,x", -66, "invalid Outer Range, must be > Inner Range: 0.000000"},
        {"p se 1d,2d,0.1,0.100000001", -66, "invalid Outer Range, must be > Inner Range: 0.100000"},
        // call signs
        {"p src", -13, "missing Source"},
        {"p src ;", -13, "missing Source"},
        {"p src #x", -12, "missing Source string"},
        {"p src ABCDEFG", -11, "Source is too long: ABCDEFG"},
        {"p src ABCDEF-16", -9, "invalid SSID range [0..15]: 16"},
        {"p src ABCDEFG-16", -9, "invalid SSID range [0..15]: 16"},
        {"p src A--1", -9, "invalid SSID range [0..15]: -1"},
        {"p src A-99999999999999999999", -9, "invalid SSID range [0..15]: 2147483647"},
        {"p src ABCDEFGH*", -11, "Source is too long: ABCDEFGH"},
        {"p dst", -11, "missing Destination"},
        {"p dst /x", -8, "missing Destination string"},
        {"p dst ABCDEFG-1", -10, "Destination is too long: ABCDEFG"},
    };
    const std::string header = "# comment\n\n   \n; another\n";
    for (const failure& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path = file(header + "p src OK\n" + c.line + "\np src LATER\n");
        parse_result r = parse(path);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.out, c.before + line_error(path, 6, c.text, c.line));
        EXPECT_EQ(conf_record.rule_count, 0);
        EXPECT_EQ(rules_processed, 0);
        EXPECT_EQ(hex(&rule_table[0], 6), "4f4b00000000");  // the earlier line's record stays
        EXPECT_EQ(rule_lines, 1);                           // the later line was not read
    }
}

TEST_F(Rules, RuleLimit)
{
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "p src A" + std::to_string(i) + "\n";

    parse_result r = parse(file(hundred));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Rules processed 100, implicit 0\n");
    EXPECT_EQ(rule_image().size(), 2800u);
    EXPECT_EQ(rule_table[99].line, 100);

    // The 101st rule line fails before its command word is looked at.
    std::string path = file(hundred + "# not counted\np bogus\n");
    r = parse(path);
    EXPECT_EQ(r.code, -6);
    EXPECT_EQ(r.out, line_error(path, 102, "rule limit (100) exceeded", "p bogus"));

    // Implicit lines count toward the limit.
    path = file("d implicit\n" + hundred);
    r = parse(path);
    EXPECT_EQ(r.code, -6);
    EXPECT_EQ(r.out, line_error(path, 101, "rule limit (100) exceeded", "p src A99"));
    EXPECT_EQ(conf_record.implicit_action, implicit_drop);
    EXPECT_EQ(conf_record.rule_count, 0);
    EXPECT_TRUE(rule_image().empty());
}

TEST_F(Rules, LineEndsAndLongLines)
{
    // CRLF line ends and a last line without a line end.
    parse_result r = parse(file("p implicit\r\n# x\r\nd src AB-3\r\n\r\nd implicit\r\np dst CD"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Rules processed 2, implicit 2\n");
    EXPECT_EQ(hex(&rule_table[0], 28),
              without_blanks("414200000000 030000000000 000000000000 000000000000 26 44 0300"));
    EXPECT_EQ(hex(&rule_table[1], 28),
              without_blanks("434400000000 000000000000 000000000000 000000000000 25 08 0600"));
    EXPECT_EQ(conf_record.implicit_action, implicit_drop);

    // A line is read in pieces of 255 characters; each piece is a line, but
    // one that continues a rule is never a rule.
    const std::string first = "p src AAA" + std::string(246, ' ');
    const std::string comment = "# " + std::string(253, 'x');
    ASSERT_EQ(first.size(), 255u);
    const std::string path = file(first + "d dst BBB\n" + comment + "\np zz\n");
    r = parse(path);
    EXPECT_EQ(r.code, -72);
    EXPECT_EQ(r.out, line_error(path, 2, "line too long (more than 255 characters)", "d dst BBB"));
    EXPECT_EQ(rule_table[0].line, 1);
    EXPECT_EQ(rule_table[1].line, 0);

    // A message of a 255-character piece shows the whole piece.
    const std::string long_bad = "x" + std::string(254, 'y');
    const std::string path2 = file(long_bad + "z\n", "long.rules");
    r = parse(path2);
    EXPECT_EQ(r.out, line_error(path2, 1, "action " + long_bad + " invalid", long_bad));

    // Line numbers are not cut to 16 bits in messages; records keep 16 bits.
    std::string many;
    for (int i = 0; i < 65536; ++i)
        many += "#\n";
    const std::string path3 = file(many + "p src LATE\np zz\n", "many.rules");
    r = parse(path3);
    EXPECT_EQ(r.out, line_error(path3, 65538, "command zz invalid", "p zz"));
    EXPECT_EQ(rule_table[0].line, 1);
}

TEST_F(Rules, FailedRunDiscardsEarlierRules)
{
    ASSERT_EQ(parse(file("p src A\nd implicit\np dst B\n")).code, 0);
    EXPECT_EQ(conf_record.rule_count, 2);
    EXPECT_EQ(rule_image().size(), 56u);

    const std::string path = file("p src C\nd implicit\nd i\np bad\n", "bad.rules");
    EXPECT_EQ(parse(path).code, -7);
    EXPECT_EQ(conf_record.rule_count, 0);
    EXPECT_EQ(rules_processed, 0);
    EXPECT_EQ(conf_record.implicit_action, implicit_drop);
    EXPECT_TRUE(rule_image().empty());
    EXPECT_EQ(hex(rule_table[0].slot[0], 6), "430000000000");
    EXPECT_EQ(rule_table[1].type, 0);  // the earlier run's second record was cleared
    EXPECT_EQ(display(), "No Rules are configured!  Implicit Rule Action is Drop\n");
}

TEST_F(Rules, BadFiles)
{
    // A file that cannot be opened changes nothing.
    ASSERT_EQ(parse(file("p src A\n")).code, 0);
    const std::vector<std::string> unopenable = {dir + "/missing.rules", dir,
                                                 dir + "/test.rules/x"};
    for (const std::string& path : unopenable) {
        parse_result r = parse(path);
        EXPECT_EQ(r.code, -2) << path;
        EXPECT_EQ(r.out, "\a\aError: cannot open " + path + "\n");
        EXPECT_EQ(conf_record.rule_count, 1);
        EXPECT_EQ(rules_processed, 1);
    }
    // A read error is a failure, not the end of the file.
    parse_result unreadable = parse("/proc/self/mem");
    EXPECT_EQ(unreadable.code, -2);
    EXPECT_EQ(unreadable.out, "\a\aError: cannot read /proc/self/mem\n");
    EXPECT_EQ(rules_processed, 0);
    ASSERT_EQ(parse(file("p src A\n")).code, 0);

    if (geteuid() != 0) {
        const std::string locked = file("p src A\n", "locked.rules");
        chmod(locked.c_str(), 0);
        EXPECT_EQ(parse(locked).code, -2);
    }

    EXPECT_EQ(test::stdout_of([] { EXPECT_EQ(rules_process(nullptr), -1); }),
              "rules_process: Error: param rfp is invalid\n");
    parse_result r;

    // Empty files and files of only comments and blanks succeed.
    for (const std::string& text : {std::string(), std::string("\n\n# a\n  ; b\n/c")}) {
        conf_record.implicit_action = implicit_drop;
        r = parse(file(text));
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "Rules processed 0, implicit 0\n");
        EXPECT_EQ(conf_record.implicit_action, implicit_pass);
        EXPECT_EQ(rules_processed, 1);
    }

    // NUL bytes end the text of their line; the control byte 0x7F is shown
    // escaped, in the word and in the line.
    const char raw[] = "\0\x01\x02\n\x7f"
                       "ELF\0src\n";
    const std::string binary(raw, sizeof raw - 1);
    std::string path = file(binary, "binary.rules");
    r = parse(path);
    EXPECT_EQ(r.code, -3);
    EXPECT_EQ(r.out, line_error(path, 2, "action \\x7fELF invalid", "\\x7fELF"));
    const char raw2[] = "p\0ass src A\n";
    path = file(std::string(raw2, sizeof raw2 - 1), "nul-bytes.rules");
    r = parse(path);
    EXPECT_EQ(r.code, -71);
    EXPECT_EQ(r.out, line_error(path, 1, "missing arguments", "p"));
}

TEST_F(Rules, DisplayOfOddRecords)
{
    conf_record.implicit_action = 0x41;
    EXPECT_EQ(display(), "No Rules are configured!  Implicit Rule Action is ?\n");
    conf_record.implicit_action = implicit_pass;
    EXPECT_EQ(display(), "No Rules are configured!  Implicit Rule Action is Pass\n");

    // Unknown type and action, a direction code outside the names, values
    // far wider than the columns.
    rule_table[0].type = 0x30;
    rule_table[0].flags = 0x93;
    rule_table[1].type = rule_compass;
    rule_table[1].flags = action_drop;
    rule_table[1].slot[0][0] = 200;
    rule_table[2].type = rule_circle;
    rule_table[2].flags = action_pass;
    std::memset(rule_table[2].slot, 0xff, sizeof rule_table[2].slot);
    set_rule_float(rule_table[2], 0, 1e30f);
    set_rule_float(rule_table[2], 1, -3.4e38f);
    set_rule_float(rule_table[2], 2, 1e9f);
    conf_record.rule_count = 3;
    conf_record.implicit_action = 0x41;
    EXPECT_EQ(display(), "Rule count 3 plus Implicit\n"
                         "\nAction Command   Mods Arguments\n"
                         "Pass   Implicit \n"
                         "?      ?         90      \n"
                         "Drop   compass   00   Error Dir, 0.000000   D Lat, 0.00000     D Lon \n"
                         "Pass   circle    00   1000000015047466219876688855040.000 mi R, "
                         "-339999995214436424907732413799364296704.000000 D Lat, "
                         "1000000000.00000 D Lon \n");
    EXPECT_EQ(hex(rule_table[2].slot, 18), "caf249710000"
                                           "9ec97fff0000"
                                           "286b6e4e0000");

    // The display and the image never read past the table.
    conf_record.rule_count = 500;
    EXPECT_EQ(rule_image().size(), 2800u);
    EXPECT_EQ(rule_type_name(rule_destin), std::string("destin"));
    EXPECT_EQ(rule_type_name(rule_source), std::string("source"));
    EXPECT_EQ(rule_type_name(0x23), std::string("?"));
}

TEST_F(Rules, ExampleFileParses)
{
    const std::string path = std::string(PELLO_SOURCE_DIR) + "/examples/pellomatic.rules";
    parse_result r = parse(path);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.rfind("Rules processed ", 0), 0u) << r.out;
    EXPECT_GT(conf_record.rule_count, 8);
}

}  // namespace
