// What the tests of both port-layer backends share: a clock reading and the
// cases written out that hold both
// backends to the same baud table and write limits.
//
// The write limits at every rate of baud_table: length x (20000 / rate in
// whole ms, at least 1) + 10 ms, for the shortest packet, a full packet and a
// long firmware record. Both backends take their limits from write_limit_ms.
#pragma once

#include "serial/serial.hpp"
#include "support/run.hpp"

#include <chrono>
#include <cstdint>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace pello::test {

inline double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

struct write_limits {
    std::int32_t rate;
    std::int64_t limit_21, limit_64, limit_268;
};

inline constexpr write_limits write_limits_at_every_rate[] = {
    {110, 3811, 11594, 48518}, {300, 1396, 4234, 17698}, {600, 703, 2122, 8854},
    {1200, 346, 1034, 4298},   {2400, 178, 522, 2154},   {4800, 94, 266, 1082},
    {9600, 52, 138, 546},      {14400, 31, 74, 278},     {19200, 31, 74, 278},
    {38400, 31, 74, 278},      {56000, 31, 74, 278},     {57600, 31, 74, 278},
    {115200, 31, 74, 278},
};

// write_limit_ms against the table, which covers every rate of baud_table.
inline void expect_write_limits_at_every_rate()
{
    const auto& cases = write_limits_at_every_rate;
    ASSERT_EQ(std::size(cases) + 1, std::size(pello::baud_table));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(c.rate, pello::baud_table[i]);
        EXPECT_EQ(pello::write_limit_ms(c.rate, 21), c.limit_21) << c.rate;
        EXPECT_EQ(pello::write_limit_ms(c.rate, 64), c.limit_64) << c.rate;
        EXPECT_EQ(pello::write_limit_ms(c.rate, 268), c.limit_268) << c.rate;
    }
}

// The rates of baud_table and what get_baud makes of rates in it and out of it.
inline void expect_baud_table_and_get_baud()
{
    const std::int32_t rates[14] = {110,   300,   600,   1200,  2400,  4800,   9600,
                                    14400, 19200, 38400, 56000, 57600, 115200, 0};
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(pello::baud_table[i], rates[i]) << i;

    struct {
        long rate;
        std::int32_t found;
        const char* printed;
    } cases[] = {
        {0, 0, "get_baud: Error: invalid baud: 0\n"},
        {1000, 0, ""},
        {57601, 0, ""},
        {-9600, 0, ""},
        {110, 110, ""},
        {14400, 14400, ""},
        {56000, 56000, ""},
        {57600, 57600, ""},
        {115200, 115200, ""},
    };
    for (const auto& c : cases) {
        std::int32_t found = -1;
        EXPECT_EQ(stdout_of([&] { found = pello::get_baud(c.rate); }), c.printed) << c.rate;
        EXPECT_EQ(found, c.found) << c.rate;
    }
}

}  // namespace pello::test
