// The write limits of the port layer at every rate of baud_table, written out:
// length x (20000 / rate in whole ms, at least 1) + 10 ms, for the shortest
// packet, a full packet and a long firmware record. Both backends take their
// limits from write_limit_ms; each backend's tests hold it to this table.
#pragma once

#include "serial/serial.hpp"

#include <cstdint>
#include <iterator>

#include <gtest/gtest.h>

namespace pello::test {

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

}  // namespace pello::test
