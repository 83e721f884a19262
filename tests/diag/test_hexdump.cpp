// The hex dump, compared whole: titles, column layout, header repetition,
// fill of the last line, text of non-printable bytes, argument checks.
#include "diag/diag.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<unsigned char>;

const std::string header_first =
    "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

// What hexdump writes on a stream of its own.
std::string dump(int flags, const char* label, const void* buffer, std::int32_t length,
                 int header_every)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    pello::hexdump(stream, flags, label, buffer, length, header_every);
    std::fclose(stream);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::string dump(int flags, const char* label, const bytes& data, int header_every)
{
    return dump(flags, label, data.data(), static_cast<std::int32_t>(data.size()), header_every);
}

std::string blanks(int n)
{
    return std::string(static_cast<std::size_t>(n), ' ');
}

TEST(Hexdump, WorkedExampleOfTheConnectHandshake)
{
    const bytes got = {0x0D, 0x0A, 0x3E, 0x20, 0x00};
    EXPECT_EQ(dump(1, "Got", got, 10), "Got: length 5 (0x5):\n" + header_first +
                                           "   0 0000| 0d 0a 3e 20 00 " + blanks(35) + "| ..> .\n");
}

TEST(Hexdump, LineLayoutAndFill)
{
    const bytes sixteen = {'0', '1', '2', '3', '4', '5', '6', '7',
                           '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    bytes seventeen = sixteen;
    seventeen.push_back('G');
    const std::string full =
        "   0 0000| 30 31 32 33 34 35 36 37   38 39 41 42 43 44 45 46 | 0123456789ABCDEF\n";
    struct {
        bytes data;
        std::string expected;
    } cases[] = {
        {{}, "hexdump: length 0 (0x0):\n"},
        {sixteen, "hexdump: length 16 (0x10):\n" + header_first + full},
        {seventeen, "hexdump: length 17 (0x11):\n" + header_first + full + "  16 0010| 47 " +
                        blanks(47) + "| G\n"},
        // Printable ends at 0x7E; 0x7F and everything from 0x80 shows as ".".
        {{0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x41, 0xA0},
         "hexdump: length 9 (0x9):\n" + header_first + "   0 0000| 1f 20 7e 7f 80 ff 00 41   a0 " +
             blanks(21) + "| . ~....A.\n"},
    };
    for (const auto& c : cases) {
        // An empty vector has no buffer; a length of 0 still needs one.
        const void* buffer = c.data.empty() ? static_cast<const void*>("") : c.data.data();
        EXPECT_EQ(dump(1, nullptr, buffer, static_cast<std::int32_t>(c.data.size()), 10),
                  c.expected)
            << c.data.size() << " bytes";
    }

    bytes high;
    for (int b = 0x7F; b <= 0xFF; ++b)
        high.push_back(static_cast<unsigned char>(b));
    const std::string text = dump(4, nullptr, high, 0);
    const std::string first =
        "   0 0000| 7f 80 81 82 83 84 85 86   87 88 89 8a 8b 8c 8d 8e | ................\n";
    const std::string last = " 128 0080| ff " + blanks(47) + "| .\n";
    ASSERT_EQ(text.size(), 8 * first.size() + last.size());
    EXPECT_EQ(text.substr(0, first.size()), first);
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    for (std::size_t line = 0; line < 8; ++line)
        EXPECT_EQ(text.substr(line * first.size() + 61, 19), "| ................\n");
}

TEST(Hexdump, TitleVariants)
{
    const char data[26] = {};
    char address[64];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(data));
    const std::string addr = address;
    struct {
        int flags;
        const char* label;
        std::string expected;
    } cases[] = {
        {0, nullptr, "hexdump: buffer addr 0x" + addr + ", length 26 (0x1a):\n"},
        {0, "Got", "hexdump: Got: buffer addr 0x" + addr + ", length 26 (0x1a):\n"},
        {0, "", "hexdump: buffer addr 0x" + addr + ", length 26 (0x1a):\n"},
        {1, nullptr, "hexdump: length 26 (0x1a):\n"},
        {1, "Got", "Got: length 26 (0x1a):\n"},
        {1, "", "length 26 (0x1a):\n"},
        {3, "Got", "Got: length 26 (0x1a):\n"},
        {2, "Got", "length 26 (0x1a):\n"},
        {2, nullptr, "length 26 (0x1a):\n"},
        {6, nullptr, "length 26 (0x1a):\n"},
        {4, "Got", ""},
        {8, nullptr, ""},
        {-4, "Got", ""},
    };
    const std::string first_line = "   0 0000| 00 00 00 00 00 00 00 00   00 00 00 00 00 00 00 00 ";
    for (const auto& c : cases) {
        // A length of 0 writes the title only, even with a column header asked for.
        EXPECT_EQ(dump(c.flags, c.label, data, 0, 1),
                  c.expected.empty()
                      ? ""
                      : c.expected.substr(0, c.expected.find("length")) + "length 0 (0x0):\n")
            << "flags " << c.flags;
        EXPECT_EQ(
            dump(c.flags, c.label, data, 26, 0).substr(0, c.expected.size() + first_line.size()),
            c.expected + first_line)
            << "flags " << c.flags;
    }
}

TEST(Hexdump, HeaderRepetition)
{
    const bytes data(200, 'A');
    const std::string body =
        "41 41 41 41 41 41 41 41   41 41 41 41 41 41 41 41 | AAAAAAAAAAAAAAAA\n";
    const char* prefixes[12] = {"   0 0000| ", "  16 0010| ", "  32 0020| ", "  48 0030| ",
                                "  64 0040| ", "  80 0050| ", "  96 0060| ", " 112 0070| ",
                                " 128 0080| ", " 144 0090| ", " 160 00a0| ", " 176 00b0| "};
    std::string lines[12];
    for (int i = 0; i < 12; ++i)
        lines[i] = prefixes[i] + body;
    const std::string last = " 192 00c0| 41 41 41 41 41 41 41 41 " + blanks(26) + "| AAAAAAAA\n";

    std::string every10 = "hexdump: length 200 (0xc8):\n" + header_first;
    for (int i = 0; i < 10; ++i)
        every10 += lines[i];
    every10 += "\n" + header_first + lines[10] + lines[11] + last;
    EXPECT_EQ(dump(1, nullptr, data, 10), every10);

    std::string none = "hexdump: length 200 (0xc8):\n";
    for (const auto& line : lines)
        none += line;
    none += last;
    EXPECT_EQ(dump(1, nullptr, data, 0), none);

    // Every 5 lines: before lines 1, 6 and 11.
    std::string every5 = "hexdump: length 200 (0xc8):\n" + header_first;
    for (int i = 0; i < 12; ++i) {
        if (i == 5 || i == 10)
            every5 += "\n" + header_first;
        every5 += lines[i];
    }
    every5 += last;
    EXPECT_EQ(dump(1, nullptr, data, 5), every5);
}

TEST(Hexdump, LargeOffsetsStayWithinTheLine)
{
    const bytes data(100003, 0x7F);
    const std::string text = dump(4, nullptr, data, 0);
    const std::string body =
        "7f 7f 7f 7f 7f 7f 7f 7f   7f 7f 7f 7f 7f 7f 7f 7f | ................\n";
    EXPECT_NE(text.find("9984 2700| " + body + "10000 2710| " + body), std::string::npos);
    const std::string last = "100000 186a0| 7f 7f 7f " + blanks(41) + "| ...\n";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(Hexdump, ArgumentChecks)
{
    const bytes data = {1, 2, 3};
    EXPECT_EQ(dump(1, "Got", nullptr, 3, 10), "hexdump: invalid param buf ptr\n");
    EXPECT_EQ(dump(1, "Got", nullptr, -1, 10), "hexdump: invalid param buf ptr\n");
    EXPECT_EQ(dump(1, "Got", data.data(), -1, 10), "hexdump: invalid param len -1\n");

    // Without a stream the message goes to standard error.
    std::fflush(stderr);
    std::FILE* capture = std::tmpfile();
    const int saved = dup(2);
    dup2(fileno(capture), 2);
    pello::hexdump(nullptr, 1, "Got", data.data(), 3, 10);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::rewind(capture);
    char text[128] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, capture);
    std::fclose(capture);
    EXPECT_EQ(std::string(text, n), "hexdump: invalid param file ptr\n");
}

}  // namespace
