// The rates of baud_table and what get_baud makes of rates in it and out of
// it, written out. Both backends share the table; each backend's tests hold
// it to these cases, with their own capture of standard output.
#pragma once

#include "serial/serial.hpp"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace pello::test {

// stdout_of(call): what call printed on standard output.
template <class Capture>
void expect_baud_table_and_get_baud(Capture&& stdout_of)
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
