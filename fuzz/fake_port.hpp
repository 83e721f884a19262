// The fake port backend of the fuzz build: it stands in for the backend of
// src/serial and gives the primitives of serial/serial.hpp without a terminal.
//
// - open_port succeeds for every well-formed COM<n> name at a rate of
//   baud_table (checked as the real layer checks them);
// - write_port accepts and records every write, except one chosen write,
//   which fails as a short write does on the real port (its message, -3);
// - read_port hands out the next bytes of the device stream at once. The real
//   port never delivers a NUL byte, so a NUL in the stream stands for the end
//   of a read window: the read returns what it has so far (0 right after the
//   NUL is a time-out). When the stream is used up a read returns what it
//   has, 0 when nothing: a time-out without the wait;
// - fatal_exit never waits (start sets its wait to none): with the
//   argument/time-limit code (25) it reports a fault of the caller and aborts
//   (the real layer ends the program there too); with any other non-zero code
//   it throws fake_port_exit back to the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pello::fake_port {

// Thrown by fatal_exit with a non-zero code other than 25.
struct fake_port_exit {
    int code;
};

// Starts a run: the device will send these bytes (not copied: they must
// outlive the run), no write fails, nothing recorded, the port closed.
void start(const std::uint8_t* device_bytes, std::size_t size);

// The write with this number (from 1, counting every write_port call of the
// run, failed ones included) fails; 0 for none.
void fail_write(int number);

// Bytes of the device stream not yet read.
std::size_t unread();

// Every write of the run in order, as the bytes handed to write_port (a
// failed write included, as the bytes the caller tried to send).
const std::vector<std::vector<std::uint8_t>>& writes();

// open_port calls of the run that succeeded.
int opens();

}  // namespace pello::fake_port
