// The firmware file check: each check with its message and code, the
// boundaries, comment lines and line numbers, and a file made by a real tool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "support/run.hpp"

namespace {

using pello::inhexverify;
using pello::test::stdout_of;

// A well-formed record line with the given fields; the checksum is computed.
std::string record(int count, unsigned offset, int type, unsigned char fill = 0xA5)
{
    std::vector<int> bytes = {count, static_cast<int>(offset >> 8), static_cast<int>(offset & 0xFF),
                              type};
    for (int i = 0; i < count; ++i)
        bytes.push_back(fill);
    int sum = 0;
    std::string text = ":";
    char hex[3];
    for (int b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
        text += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", (-sum) & 0xFF);
    return text + hex;
}

struct check_result {
    int code;
    std::string out;
};

check_result verify(const std::string& name, const std::string& content)
{
    // A folder of the running test's own: ctest runs the tests of this file
    // side by side, and each one empties its folder before writing.
    std::string dir = pello::test::temp_dir(
        std::string("inhex-") + testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string path = pello::test::write_file(dir + "/" + name + ".hex", content);
    std::FILE* f = std::fopen(path.c_str(), "r");
    EXPECT_NE(f, nullptr);
    int code = 0;
    std::string out = stdout_of([&] { code = inhexverify(f); });
    std::fclose(f);
    return {code, out};
}

const std::string eof_record = ":00000001FF";

std::string invalid(const std::string& reason, int line)
{
    return "\a\aError: invalid record (" + reason + ") for line " + std::to_string(line) +
           " in Firmware file!\n";
}

TEST(InHexVerify, ChecksInOrderWithTheirMessagesAndCodes)
{
    std::string good = record(16, 0x0100, 0);
    ASSERT_EQ(good.substr(good.size() - 2), "9F");
    std::string body = good.substr(0, good.size() - 2);
    struct row {
        const char* name;
        std::string content;
        int code;
        std::string out;
    };
    const std::vector<row> rows = {
        {"good", good + "\n" + eof_record + "\n# end\n\n", 2, ""},
        {"eof_only", eof_record + "\n", 1, ""},
        {"no_final_newline", good + "\n" + eof_record, 2, ""},
        {"crlf", good + "\r\n" + eof_record + "\r\n", 2, ""},
        {"lower_case_digits", ":10010000a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a59f\n:00000001ff\n", 2, ""},
        {"checksum_plus_one", body + "A0\n", -2,
         "\a\aError: checksum mismatch (0x01) for line 1 in Firmware file!\n"},
        {"checksum_minus_one", eof_record + "\n" + body + "9E\n", -2,
         "\a\aError: checksum mismatch (0xff) for line 2 in Firmware file!\n"},
        {"type_06", record(0, 0, 6) + "\n", -3,
         "\a\aError: invalid type (06) for line 1 in Firmware file!\n"},
        {"type_10", record(0, 0, 0x10) + "\n", -3,
         "\a\aError: invalid type (10) for line 1 in Firmware file!\n"},
        {"too_short_for_type", ":0000\n", -3,
         "\a\aError: invalid type () for line 1 in Firmware file!\n"},
        // The checksum covers the digits, so the trailing blank still adds up.
        {"trailing_blank", good + " \n", -4,
         "\a\aError: invalid record length (16) for line 1 in Firmware file!\n"},
        {"count_says_more", ":0201000000FD\n", -4,
         "\a\aError: invalid record length (2) for line 1 in Firmware file!\n"},
        {"count_128", record(128, 0, 0) + "\n" + eof_record, 2, ""},
        {"count_129", record(129, 0, 0) + "\n", -5,
         "\a\aError: record length > 128 (129) for line 1 in Firmware file!\n"},
        {"offset_4", record(4, 0x0104, 0) + "\n" + eof_record, 2, ""},
        {"offset_8", record(4, 0x0108, 0) + "\n" + eof_record, 2, ""},
        {"offset_C", record(4, 0x010C, 0) + "\n" + eof_record, 2, ""},
        {"offset_c", ":04010c00a5a5a5a55b\n" + eof_record, 2, ""},
        {"offset_2", record(4, 0x0102, 0) + "\n", -6,
         "\a\aError: data record offset boundary error for line 1 in Firmware file!\n"},
        {"offset_2_type_02", record(2, 0x0002, 2) + "\n" + eof_record, 2, ""},
        {"offset_2_type_04", record(2, 0x0002, 4) + "\n" + eof_record, 2, ""},
        {"types_01_to_05",
         record(2, 0, 2) + "\n" + record(4, 0, 3) + "\n" + record(2, 0, 4) + "\n" +
             record(4, 0, 5) + "\n" + record(0, 0, 1) + "\n",
         5, ""},
        {"empty", "", -7, "\a\aError: Firmware file is empty!\n"},
        {"comments_only", "# firmware\nno records here\n\n", -7,
         "\a\aError: Firmware file is empty!\n"},
        {"comments_count_as_lines", "# a\n\n" + record(4, 0x0102, 0) + "\n", -6,
         "\a\aError: data record offset boundary error for line 3 in Firmware file!\n"},
        {"comments_not_counted_as_records", "# a\n" + good + "\n; b\n" + eof_record + "\n", 2, ""},
        // Records the loader refuses, found after the checks above.
        {"letter_past_F", ":01000000G1FF\n" + eof_record, -8, invalid("not a hex digit", 1)},
        {"blank", ":01000000 1FE\n" + eof_record, -8, invalid("not a hex digit", 1)},
        {"sign", eof_record + "\n:01000000+1FE\n", -8, invalid("not a hex digit", 2)},
        {"nul_byte", good + std::string(1, '\0') + "\n" + eof_record, -8,
         invalid("not a hex digit", 1)},
        {"type_04_of_3", record(3, 0, 4) + "\n" + eof_record, -8,
         invalid("type 04 without 2 data bytes", 1)},
        {"type_05_of_2", record(2, 0, 5) + "\n" + eof_record, -8,
         invalid("type 05 without 4 data bytes", 1)},
        {"type_01_with_data", record(1, 0, 1) + "\n", -8, invalid("type 01 with data", 1)},
        {"no_eof", good + "\n# end\n", -10, "\a\aError: no end-of-file record in Firmware file!\n"},
        {"record_after_eof", eof_record + "\n# end\n" + good + "\n" + eof_record, -9,
         "\a\aError: record after the end-of-file record for line 3 in Firmware file!\n"},
        // A 600-character line is read as a piece of 511 characters and the
        // rest as a line of its own: the record fails its length on line 2.
        {"long_line_in_pieces", "# x\n:" + std::string(599, '0') + "\n", -4,
         "\a\aError: invalid record length (0) for line 2 in Firmware file!\n"},
    };
    for (const auto& r : rows) {
        check_result got = verify(r.name, r.content);
        EXPECT_EQ(got.code, r.code) << r.name;
        EXPECT_EQ(got.out, r.out) << r.name;
    }
}

TEST(InHexVerify, NullFileAndRewind)
{
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(inhexverify(nullptr), -1); }),
              "inhexverify: Error: param fp is invalid\n");

    // The check starts from the beginning however far the file was read.
    check_result twice;
    std::string dir = pello::test::temp_dir("inhex_rewind");
    std::string path =
        pello::test::write_file(dir + "/f.hex", record(8, 0, 0) + "\n" + eof_record + "\n");
    std::FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(inhexverify(f), 2);
    EXPECT_EQ(inhexverify(f), 2);
    std::fclose(f);
}

// The accepted records come back in order with their line numbers, however
// many lines lie between them, in no more room than the file takes.
TEST(InHexVerify, AcceptedRecordsKeepTheirTextAndLineNumbers)
{
    const std::string a = record(4, 0, 0), b = record(16, 0x10, 0);
    const std::string text = a + std::string(201, '\n') + b + std::string(70001, '\n') + eof_record;
    std::FILE* f = std::fopen(
        pello::test::write_file(pello::test::temp_dir("inhex_accepted") + "/f.hex", text).c_str(),
        "r");
    pello::hex_records records;
    EXPECT_EQ(inhexverify(f, &records), 3);
    std::fclose(f);
    EXPECT_LE(records.packed.size(), text.size() + 1);
    std::string got;
    std::size_t at = 0;
    for (pello::hex_record r; pello::next_hex_record(records, at, r);)
        got += std::to_string(r.line_number) + " " + std::string(r.text) + "\n";
    EXPECT_EQ(got, "1 " + a + "\n202 " + b + "\n70203 " + eof_record + "\n");
}

TEST(InHexVerify, FileMadeByObjcopy)
{
    if (std::system("command -v objcopy >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "objcopy is not installed";
    std::string dir = pello::test::temp_dir("inhex_objcopy");
    std::string image;
    for (int i = 0; i < 1000; ++i)
        image += static_cast<char>((i * 37 + 11) & 0xFF);
    pello::test::write_file(dir + "/image.bin", image);
    // Placed above 64 KiB so that an extended address record appears.
    std::string cmd = "objcopy -I binary -O ihex --change-addresses 0x10000 " + dir +
                      "/image.bin " + dir + "/image.hex";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string hex = pello::test::read_file(dir + "/image.hex");
    int lines = 0;
    for (char c : hex)
        lines += c == '\n';
    check_result got = verify("objcopy", hex);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.code, lines);  // every line is a record
    EXPECT_GT(lines, 60);
}

TEST(InHexVerify, ExampleFirmwareFilePasses)
{
    std::FILE* f = std::fopen(PELLO_SOURCE_DIR "/examples/firmware.hex", "r");
    ASSERT_NE(f, nullptr);
    int code = 0;
    EXPECT_EQ(stdout_of([&] { code = inhexverify(f); }), "");
    EXPECT_EQ(code, 13);
    std::fclose(f);
}

TEST(HexValue, DigitsSignsBlanksAndCount)
{
    struct row {
        const char* text;
        int count;
        int value;
    };
    const row rows[] = {
        {"00", 2, 0},    {"ff", 2, 255},    {"FF", 2, 255}, {"aB", 2, 171},
        {"1F00", 2, 31}, {"1F00", 4, 7936}, {"7", 2, 7},    {"", 2, 0},
        {"g1", 2, 0},    {"1g", 2, 1},      {" 1", 2, 1},   {"\t2", 2, 2},
        {"  3", 2, 0},   {"-1", 2, -1},     {"+a", 2, 10},  {"-", 2, 0},
        {"12", 0, 0},    {"12", 1, 1},      {"zz", 2, 0},   {"123456789", 9, 0x7FFFFFFF},
    };
    for (const auto& r : rows)
        EXPECT_EQ(pello::hex_value(r.text, r.count), r.value) << '"' << r.text << "\" " << r.count;
}

TEST(HexLineSum, SumsPairsInEightBits)
{
    EXPECT_EQ(pello::hex_line_sum("00000001FF"), 0);
    EXPECT_EQ(pello::hex_line_sum("0102"), 3);
    EXPECT_EQ(pello::hex_line_sum("FFFF"), 0xFE);
    EXPECT_EQ(pello::hex_line_sum("01020"), 3);  // a last single digit counts by itself
    EXPECT_EQ(pello::hex_line_sum("0102A"), 13);
    EXPECT_EQ(pello::hex_line_sum(""), 0);
}

}  // namespace
