// The configuration record, its display and the Configuration file parser.
#include "config/config.hpp"
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace pello {
namespace {

using bytes = std::vector<unsigned char>;

const std::string default_display = "Configuration:\n"
                                    "Station Call\tNOTSET\tSSID 0x00\n"
                                    "Base Lat  41.714775\tLon   -72.72726\n"
                                    "Host  baud\t57600\n"
                                    "DSTAR baud\t9600\n"
                                    "TNC   baud\t19200\n"
                                    "WIDE Max 3\tWIDE Total 6\tDupe Window 28 sec.\n"
                                    "NSR: Disabled\tRelay: Enabled\n"
                                    "Digi Path[0]: \n"
                                    "Log Port: Yes\n"
                                    "Fix Valid: Yes\tPass packets without valid position: No\n"
                                    "Halt On Error: No\tDrop Mangled Packet: Yes\n"
                                    "Rule count 0\tImplicit Rule Action: Pass\n";

bytes image()
{
    return bytes(conf_image(), conf_image() + sizeof conf_record);
}

// The 120 bytes of the configuration record after a reset, little-endian,
// written out here so that a change to the product's default table shows.
const bytes default_record = {
    0x00, 0xE1, 0x00, 0x00,                    // host baud 57600
    0x80, 0x25, 0x00, 0x00,                    // DSTAR baud 9600
    0x00, 0x4B, 0x00, 0x00,                    // TNC baud 19200
    0xEE, 0xDB, 0x26, 0x42,                    // base latitude 41.714775 (float)
    0x5B, 0x74, 0x91, 0xC2,                    // base longitude -72.72726 (float)
    'N',  'O',  'T',  'S',  'E',  'T',  0, 0,  // station call
    0x00, 0x00, 0x03, 0x00, 0x06, 0x00,        // SSID 0, WIDE max 3, WIDE total 6
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00,        // relay on, NSR off, DSTAR baud used
    0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,        // dupe window 28, log port on, halt off
    0x01, 0x00, 0x01, 0x00, 0x00, 0x00,  // drop mangled on, fix valid on, pass without position off
    0x70, 0x00, 0x00, 0x00,              // implicit action 'p', rule count 0
    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // digi path, 64 bytes
    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};

bytes default_with(std::size_t offset, const bytes& patch)
{
    bytes expected = default_record;
    std::copy(patch.begin(), patch.end(), expected.begin() + static_cast<long>(offset));
    return expected;
}

bytes text_bytes(const char* text, std::size_t size)
{
    return bytes(text, text + size);
}

std::string display()
{
    return test::stdout_of(conf_display);
}

class ConfProcess : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = test::temp_dir(std::string("config-") +
                              testing::UnitTest::GetInstance()->current_test_info()->name());
        conf_state_reset();
    }

    std::string file(const std::string& text, const std::string& name = "test.conf")
    {
        return test::write_file(dir_ + "/" + name, text);
    }

    // Runs conf_process on a file holding text; the status and what it printed.
    int run(const std::string& text, std::string* out = nullptr)
    {
        const std::string path = file(text);
        return run_path(path.c_str(), out);
    }

    int run_path(const char* path, std::string* out = nullptr)
    {
        int status = 0;
        const std::string printed = test::stdout_of([&] { status = conf_process(path); });
        if (out != nullptr)
            *out = printed;
        return status;
    }

    std::string dir_;
};

TEST(ConfRecord, DefaultImageAndDisplay)
{
    conf_reset();
    EXPECT_EQ(display(), default_display);
    const bytes head{0x00, 0xE1, 0x00, 0x00, 0x80, 0x25, 0x00, 0x00, 0x00, 0x4B, 0x00, 0x00};
    const bytes got = image();
    EXPECT_EQ(bytes(got.begin(), got.begin() + 12), head);
    EXPECT_EQ(std::memcmp(got.data() + 0x14, "NOTSET\0\0", 8), 0);
    EXPECT_EQ(got, default_record);
    EXPECT_EQ(default_link_baud(), 9600);
    conf_record.use_dstar_baud = 0;
    EXPECT_EQ(default_link_baud(), 57600);
}

// Each keyword writes its own bytes and nothing else, and shows in the display.
TEST_F(ConfProcess, EveryKeywordWritesItsField)
{
    struct keyword_case {
        const char* text;
        std::size_t offset;
        bytes written;
        const char* shown;
    };
    const keyword_case cases[] = {
        {"call w1abc", 0x14, text_bytes("W1ABC\0\0\0", 8), "Station Call\t W1ABC\tSSID 0x00\n"},
        {"call abc", 0x14, text_bytes("ABC\0ET\0\0", 8), "Station Call\t   ABC\tSSID 0x00\n"},
        {"call Ab-1/x", 0x14, text_bytes("AB-1\0T\0\0", 8), "Station Call\t  AB-1\tSSID 0x00\n"},
        {"ssid 10", 0x1C, {10, 0}, "Station Call\tNOTSET\tSSID 0x0a\n"},
        {"ssid 0x0F", 0x1C, {15, 0}, "SSID 0x0f\n"},
        {"ssid 017", 0x1C, {15, 0}, "SSID 0x0f\n"},
        {"ssid 7\nssid none", 0x1C, {0, 0}, "SSID 0x00\n"},
        {"position 45:30:00 -103:15:00",
         0x0C,
         {0x00, 0x00, 0x36, 0x42, 0x00, 0x80, 0xCE, 0xC2},
         "Base Lat  45.500000\tLon  -103.25000\n"},
        {"base 45.30. -103.15.",
         0x0C,
         {0x00, 0x00, 0x36, 0x42, 0x00, 0x80, 0xCE, 0xC2},
         "Base Lat  45.500000\tLon  -103.25000\n"},
        {"host 38400", 0x00, {0x00, 0x96, 0x00, 0x00}, "Host  baud\t38400\n"},
        {"dstar 19200", 0x04, {0x00, 0x4B, 0x00, 0x00}, "DSTAR baud\t19200\n"},
        {"tnc 4800", 0x08, {0xC0, 0x12, 0x00, 0x00}, "TNC   baud\t4800\n"},
        {"widemax 1", 0x1E, {1, 0}, "WIDE Max 1\tWIDE Total 6\tDupe Window 28 sec.\n"},
        {"widetotal 2", 0x20, {2, 0}, "WIDE Max 3\tWIDE Total 2\tDupe Window 28 sec.\n"},
        {"dupewin 500", 0x28, {0xF4, 0x01}, "Dupe Window 500 sec.\n"},
        {"dupewin 5", 0x28, {5, 0}, "Dupe Window 5 sec.\n"},
        {"relay n", 0x22, {0, 0}, "NSR: Disabled\tRelay: Disabled\n"},
        {"nsr y", 0x24, {1, 0}, "NSR: Enabled\tRelay: Enabled\n"},
        {"log no", 0x2A, {0, 0}, "Log Port: No\n"},
        {"haltonerr true", 0x2C, {1, 0}, "Halt On Error: Yes\tDrop Mangled Packet: Yes\n"},
        {"dropmangld 0", 0x2E, {0, 0}, "Halt On Error: No\tDrop Mangled Packet: No\n"},
        {"fixvalid off", 0x30, {0, 0}, "Fix Valid: No\tPass packets without valid position: No\n"},
        {"digipath wide1-1,wide2-2,WIDE3-3", 0x38, text_bytes("WIDE1-1\0WIDE2-2\0WIDE3-3\0", 24),
         "Digi Path[3]: WIDE1-1,WIDE2-2,WIDE3-3\n"},
        {"digipath ABCDEFGH,x", 0x38, text_bytes("ABCDEFGHX\0", 10), "Digi Path[2]: ABCDEFGH,X\n"},
        {"digipath ,a,,b, c", 0x38, text_bytes("A\0\0\0\0\0\0\0B\0", 10), "Digi Path[2]: A,B\n"},
        {"digipath a,b c,d", 0x38, text_bytes("A\0\0\0\0\0\0\0B\0", 10), "Digi Path[2]: A,B\n"},
        {"digipath relay;x,y", 0x38, text_bytes("RELAY\0", 6), "Digi Path[1]: RELAY\n"},
        {"digipath 1,2,3,4,5,6,7,8,toolongpiece", 0x38,
         text_bytes("1\0\0\0\0\0\0\0"
                    "2\0\0\0\0\0\0\0"
                    "3\0\0\0\0\0\0\0"
                    "4\0\0\0\0\0\0\0"
                    "5\0\0\0\0\0\0\0"
                    "6\0\0\0\0\0\0\0"
                    "7\0\0\0\0\0\0\0"
                    "8\0\0\0\0\0\0\0",
                    64),
         "Digi Path[8]: 1,2,3,4,5,6,7,8\n"},
        {"digipath a,b\ndigipath c", 0x38, text_bytes("C\0\0\0\0\0\0\0\0", 9), "Digi Path[1]: C\n"},
    };
    for (const keyword_case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string out;
        ASSERT_EQ(run(c.text, &out), 0) << out;
        EXPECT_EQ(image(), default_with(c.offset, c.written));
        EXPECT_NE(display().find(c.shown), std::string::npos) << display();
    }
}

TEST_F(ConfProcess, SwitchValuesCountOnlyTheFirstCharacter)
{
    const std::pair<const char*, int> words[] = {
        {"yes", 1}, {"Y", 1},   {"true", 1}, {"T", 1},  {"enable", 1},
        {"E", 1},   {"1", 1},   {"10", 1},   {"no", 0}, {"n", 0},
        {"0", 0},   {"off", 0}, {"x", 0},    {"2", 0},  {"-1", 0},
    };
    for (const auto& [word, value] : words) {
        SCOPED_TRACE(word);
        ASSERT_EQ(run(std::string("nsr ") + word), 0);
        EXPECT_EQ(conf_record.nsr, value);
    }
}

TEST_F(ConfProcess, KeywordAbbreviationsAndCase)
{
    const std::pair<const char*, std::uint16_t conf_record_t::*> unique[] = {
        {"widem 2", &conf_record_t::wide_max},
        {"WIDET 2", &conf_record_t::wide_total},
        {"du 2", nullptr},
        {"s 2", &conf_record_t::ssid},
        {"SSID 2", &conf_record_t::ssid},
    };
    std::string out;
    for (const auto& [line, field] : unique) {
        SCOPED_TRACE(line);
        const int status = run(line, &out);
        if (field == nullptr) {  // dupewin 2 is out of range: it did select dupewin
            EXPECT_EQ(out, std::string("\a\aError: line 1: invalid seconds argument range "
                                       "[5..500]: 2: ") +
                               line + "\n");
            continue;
        }
        ASSERT_EQ(status, 0) << out;
        EXPECT_EQ(conf_record.*field, 2);
    }
    ASSERT_EQ(run("ho 9600\nCALL abc\nc W1XYZ\nCall k2abc\np 45:30:00 -103:15:00", &out), 0) << out;
    EXPECT_EQ(conf_record.host_baud, 9600u);
    EXPECT_STREQ(conf_record.station_call, "K2ABC");
    EXPECT_EQ(conf_record.base_lat, 45.5f);
    ASSERT_EQ(run("b 45:30:00 -103:15:00"), 0);
    EXPECT_EQ(conf_record.base_lon, -103.25f);
}

// Every message of the parser, whole, with its status.
TEST_F(ConfProcess, Messages)
{
    struct message_case {
        const char* file;
        int status;
        const char* out;
    };
    const message_case cases[] = {
        {"", 0, "Configuration items processed 0\n"},
        {"# only\n\n;comments\n  / and blanks\n \t,\n", 0, "Configuration items processed 0\n"},
        {"call a\nssid 1\n# x\nnsr y\n", 0, "Configuration items processed 3\n"},
        {"callsign W1AW", -7, "\a\aError: line 1: command callsign invalid: callsign W1AW\n"},
        {"call#x W1AW", -7, "\a\aError: line 1: command call#x invalid: call#x W1AW\n"},
        {"w 3", -7, "\a\aError: line 1: Ambiguous command: w: w 3\n"},
        {"wide 3", -7, "\a\aError: line 1: Ambiguous command: wide: wide 3\n"},
        {"D 5", -7, "\a\aError: line 1: Ambiguous command: D: D 5\n"},
        {"h 1", -7, "\a\aError: line 1: Ambiguous command: h: h 1\n"},
        {"# c\n\n   \n;c\nxyz 1\n", -7, "\a\aError: line 5: command xyz invalid: xyz 1\n"},
        {"call", -11, "\a\aError: line 1: missing Call Sign argument: call\n"},
        {"call ;W1AW", -8, "\a\aError: line 1: missing Call Sign argument: call ;W1AW\n"},
        {"call  # W1AW", -8, "\a\aError: line 1: missing Call Sign argument: call  # W1AW\n"},
        {"call abcdefg", -11,
         "\a\aError: line 1: invalid Call Sign argument: too long: call abcdefg\n"},
        {"ssid", -11, "\a\aError: line 1: missing SSID argument: ssid\n"},
        {"ssid 16", -11, "\a\aError: line 1: invalid SSID argument range [0..15]: 16: ssid 16\n"},
        {"ssid -1", -11, "\a\aError: line 1: invalid SSID argument range [0..15]: -1: ssid -1\n"},
        {"ssid 4294967306", -11,
         "\a\aError: line 1: invalid SSID argument range [0..15]: 2147483647: ssid 4294967306\n"},
        {"position", -11, "\a\aError: line 1: missing Station Latitude argument: position\n"},
        {"position 12 -103:15:00", -11,
         "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n"
         "\a\aError: line 1: invalid Station Latitude argument: 12: position 12 -103:15:00\n"},
        {"position 45:30:00", -11,
         "\a\aError: line 1: missing Station Longitude argument: position 45:30:00\n"},
        {"position 45:30:00 ;-103:15:00", -8,
         "\a\aError: line 1: missing Station Longitude argument: position 45:30:00 ;-103:15:00\n"},
        {"host", -11, "\a\aError: line 1: missing Baud argument: host\n"},
        {"host 57601", -11, "\a\aError: line 1: invalid Baud argument: 57601: host 57601\n"},
        {"dstar fast", -11,
         "get_baud: Error: invalid baud: 0\n"
         "\a\aError: line 1: invalid Baud argument: 0: dstar fast\n"},
        {"tnc 4294977696", -11,
         "\a\aError: line 1: invalid Baud argument: 2147483647: tnc 4294977696\n"},
        {"tnc /9600", -8, "\a\aError: line 1: missing Baud argument: tnc /9600\n"},
        {"widemax", -11, "\a\aError: line 1: missing n argument: widemax\n"},
        {"widemax 0", -11, "\a\aError: line 1: invalid n argument range [1..6]: 0: widemax 0\n"},
        {"widetotal 7", -11,
         "\a\aError: line 1: invalid n argument range [1..6]: 7: widetotal 7\n"},
        {"dupewin", -11, "\a\aError: line 1: missing seconds argument: dupewin\n"},
        {"dupewin 4", -11,
         "\a\aError: line 1: invalid seconds argument range [5..500]: 4: dupewin 4\n"},
        {"dupewin 501", -11,
         "\a\aError: line 1: invalid seconds argument range [5..500]: 501: dupewin 501\n"},
        {"log", -11, "\a\aError: line 1: missing y | n argument: log\n"},
        {"relay #y", -8, "\a\aError: line 1: missing y | n argument: relay #y\n"},
        {"digipath", -11, "\a\aError: line 1: missing Digi Path argument: digipath\n"},
        {"digipath ;a,b", -8, "\a\aError: line 1: missing Digi Path argument: digipath ;a,b\n"},
        {"digipath a,abcdefghi", -11,
         "\a\aError: line 1: Digi Path component 2: abcdefghi exceeds length 8: "
         "digipath a,abcdefghi\n"},
        {"digipath ,,a,,,abcdefghi", -11,
         "\a\aError: line 1: Digi Path component 2: abcdefghi exceeds length 8: "
         "digipath ,,a,,,abcdefghi\n"},
        {"call w1aw\r\nssid 16\r\n", -11,
         "\a\aError: line 2: invalid SSID argument range [0..15]: 16: ssid 16\n"},
        {"\tcall\tw1aw\n,ssid,99", -11,
         "\a\aError: line 2: invalid SSID argument range [0..15]: 99: ,ssid,99\n"},
    };
    for (const message_case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string out;
        EXPECT_EQ(run(c.file, &out), c.status);
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(ConfProcess, PathProblems)
{
    std::string out;
    EXPECT_EQ(run_path(nullptr, &out), -1);
    EXPECT_EQ(out, "conf_process: Error: param rfp is invalid\n");

    const std::string missing = dir_ + "/no such.conf";
    EXPECT_EQ(run_path(missing.c_str(), &out), -2);
    EXPECT_EQ(out, "\a\aError: cannot open " + missing + "\n");

    EXPECT_EQ(run_path(dir_.c_str(), &out), -2);
    EXPECT_EQ(out, "\a\aError: cannot open " + dir_ + "\n");

    // A file that opens but cannot be read is not taken as an empty one.
    if (std::FILE* probe = std::fopen("/proc/self/mem", "r")) {
        std::fclose(probe);
        conf_loaded = 1;
        EXPECT_EQ(run_path("/proc/self/mem", &out), -2);
        EXPECT_EQ(out, "\a\aError: cannot read /proc/self/mem\n");
        EXPECT_EQ(conf_loaded, 0);
    }
}

TEST_F(ConfProcess, LinePiecesLineEndsAndLastLine)
{
    // A physical line of more than 255 characters is read as two lines; the
    // second piece never sets anything.
    const std::string padded = "call w1aw" + std::string(255 - 9, ' ');
    std::string out;
    EXPECT_EQ(run(padded + "dupewin 30\n", &out), -12);
    EXPECT_EQ(out, "\a\aError: line 2: line too long (more than 255 characters): dupewin 30\n");
    EXPECT_NE(conf_record.dupe_window, 30);

    EXPECT_EQ(run("# c\n" + padded + "xyz\nssid 1\n", &out), -7);
    EXPECT_EQ(out, "\a\aError: line 3: command xyz invalid: xyz\n");

    // The 255-character piece is the line text of its message.
    const std::string long_call = "call " + std::string(250, 'k');
    EXPECT_EQ(run(long_call + "\n", &out), -11);
    EXPECT_EQ(out, "\a\aError: line 1: invalid Call Sign argument: too long: " + long_call + "\n");

    // CRLF line ends and a last line without a line end.
    ASSERT_EQ(run("call w1aw\r\nssid 5\r\nhost 9600", &out), 0) << out;
    EXPECT_EQ(out, "Configuration items processed 3\n");
    EXPECT_STREQ(conf_record.station_call, "W1AW");
    EXPECT_EQ(conf_record.ssid, 5);
    EXPECT_EQ(conf_record.host_baud, 9600u);
}

TEST_F(ConfProcess, EachRunStartsFromTheDefaultsKeepingTheRuleFields)
{
    ASSERT_EQ(run("call w1aw\ndigipath a,b\ndupewin 40\n"), 0);
    conf_record.rule_count = 7;
    conf_record.implicit_action = implicit_drop;
    ASSERT_EQ(run("ssid 3\n"), 0);
    EXPECT_EQ(digi_count, 0);
    bytes expected = default_with(0x1C, {3, 0});
    expected[0x34] = 'd';
    expected[0x36] = 7;
    EXPECT_EQ(image(), expected);
    EXPECT_NE(display().find("Digi Path[0]: \n"), std::string::npos);
    EXPECT_NE(display().find("Rule count 7\tImplicit Rule Action: Drop\n"), std::string::npos);

    conf_record.implicit_action = 0x41;  // neither drop nor pass
    ASSERT_EQ(run(""), 0);
    EXPECT_EQ(conf_record.implicit_action, implicit_pass);
    EXPECT_EQ(conf_record.rule_count, 7);
}

// A run that stops at an error leaves the items before it, and the record no
// longer counts as loaded; a file that cannot be opened changes nothing.
TEST_F(ConfProcess, FailedRunClearsLoaded)
{
    ASSERT_EQ(run("call w1aw\n"), 0);
    EXPECT_EQ(conf_loaded, 1);

    EXPECT_EQ(run("ssid 4\nposition 45:30:00 12\ntnc 4800\n"), -11);
    EXPECT_EQ(conf_loaded, 0);
    bytes expected = default_with(0x1C, {4, 0});
    const bytes lat{0x00, 0x00, 0x36, 0x42};
    std::copy(lat.begin(), lat.end(), expected.begin() + 0x0C);
    EXPECT_EQ(image(), expected);

    ASSERT_EQ(run("call w1aw\n"), 0);
    EXPECT_EQ(conf_loaded, 1);
    const bytes loaded = image();
    const std::string missing = dir_ + "/absent.conf";
    EXPECT_EQ(run_path(missing.c_str()), -2);
    EXPECT_EQ(conf_loaded, 1);
    EXPECT_EQ(image(), loaded);

    EXPECT_EQ(run("call w1aw\nbogus\n"), -7);
    EXPECT_EQ(conf_loaded, 0);
}

TEST_F(ConfProcess, ExampleFileParses)
{
    const std::string path = std::string(PELLO_SOURCE_DIR) + "/examples/pellomatic.conf";
    std::string out;
    ASSERT_EQ(run_path(path.c_str(), &out), 0) << out;
    EXPECT_EQ(out, "Configuration items processed 17\n");
    EXPECT_EQ(display(), "Configuration:\n"
                         "Station Call\t  W1AW\tSSID 0x0a\n"
                         "Base Lat  41.714783\tLon   -72.72725\n"
                         "Host  baud\t57600\n"
                         "DSTAR baud\t9600\n"
                         "TNC   baud\t19200\n"
                         "WIDE Max 3\tWIDE Total 6\tDupe Window 30 sec.\n"
                         "NSR: Disabled\tRelay: Enabled\n"
                         "Digi Path[2]: WIDE1-1,WIDE2-2\n"
                         "Log Port: Yes\n"
                         "Fix Valid: Yes\tPass packets without valid position: No\n"
                         "Halt On Error: No\tDrop Mangled Packet: Yes\n"
                         "Rule count 0\tImplicit Rule Action: Pass\n");
}

// Not a timing assertion: the figure is printed, the bound only catches a
// parser gone quadratic.
TEST_F(ConfProcess, LargeCommentFileIsQuick)
{
    std::string text;
    const std::string comment = "# a comment line of an operator's Configuration file, kept\n";
    while (text.size() < 10 * 1024 * 1024)
        text += comment;
    const std::string path = file(text, "big.conf");
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    ASSERT_EQ(run_path(path.c_str(), &out), 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(out, "Configuration items processed 0\n");
    std::printf("10 MB of comment lines (%zu lines) parsed in %.3f s\n",
                text.size() / comment.size(), seconds);
    RecordProperty("seconds", std::to_string(seconds));
    EXPECT_LT(seconds, 5.0);
}

}  // namespace
}  // namespace pello
