// The version reader, the byte search and the firmware progress line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/device.hpp"

namespace {

TEST(ParseVersion, MajorAndMinorWithinTheReceivedBytes)
{
    struct row {
        const char* text;
        std::size_t size;  // bytes that count; 0 means the whole text
        long major, minor;
    };
    const row rows[] = {
        {"2.1\r\n", 0, 2, 1},
        {"2.10", 0, 2, 10},
        {"3.0", 0, 3, 0},
        {"2.0", 0, 2, 0},
        {"3\r\nok", 0, 3, 0},
        {"2", 0, 2, 0},
        {"x.5", 0, 0, 5},
        {"2 (build 1.7)", 0, 2, 7},
        // Bytes past the read do not count: the minor stops with them.
        {"2.15", 3, 2, 1},
        {"2.1", 2, 2, 0},
        {"", 0, 0, 0},
    };
    for (const auto& r : rows) {
        std::size_t size = r.size != 0 ? r.size : std::strlen(r.text);
        pello::device_version v =
            pello::parse_version(reinterpret_cast<const unsigned char*>(r.text), size);
        EXPECT_EQ(v.major, r.major) << r.text;
        EXPECT_EQ(v.minor, r.minor) << r.text;
    }
}

TEST(FindBytes, SearchesExactlyTheGivenBytes)
{
    const unsigned char data[] = "xxPellomaticyy";
    EXPECT_EQ(pello::find_bytes(data, 14, "Pellomatic"), data + 2);
    EXPECT_EQ(pello::find_bytes(data, 11, "Pellomatic"), nullptr);
    EXPECT_EQ(pello::find_bytes(data, 12, "Pellomatic"), data + 2);
    EXPECT_EQ(pello::find_bytes(data, 0, "P"), nullptr);
}

TEST(FirmwareProgress, LineForElapsedSentAndTotal)
{
    struct row {
        long long elapsed;
        unsigned sent, total;
        std::string line;
    };
    const row rows[] = {
        {20, 50, 200, "\r 20s TTC  60s 25.0% " + std::string(14, '=')},
        {0, 1, 200, "\r  0s TTC   0s  0.5% "},
        {7, 3, 3, "\r  7s TTC   0s 100.0% " + std::string(59, '=')},
        {1234, 1, 2, "\r1234s TTC 1234s 50.0% " + std::string(29, '=')},
        // Nothing sent or nothing to send: no division, no time to completion.
        {5, 0, 10, "\r  5s TTC   0s  0.0% "},
        {5, 0, 0, "\r  5s TTC   0s  0.0% "},
        // More sent than counted (the file grew between the passes): the bar
        // stays within 59 characters.
        {2, 4, 2, "\r  2s TTC 4294967295s 200.0% " + std::string(59, '=')},
    };
    for (const auto& r : rows)
        EXPECT_EQ(pello::firmware_progress_line(r.elapsed, r.sent, r.total), r.line)
            << r.elapsed << " " << r.sent << "/" << r.total;
}

}  // namespace
