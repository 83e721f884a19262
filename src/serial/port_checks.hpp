// Inside the port layer: what every backend (POSIX, Win32) does the same way
// before it touches the port. Each check prints its message (read_port's go
// to fatal_exit) and gives the operation's code.
#pragma once

#include "textio/textio.hpp"

#include <cstdint>
#include <string>

namespace pello {

// open_port: false (its code -1) when the name is missing.
bool open_port_args_ok(const char* name);

// set_comm_prop: the baud_table entry of rate, or -1 (no name) or -2 (rate
// not in the table).
std::int32_t set_comm_prop_args(const char* name, std::int32_t rate);

// read_port: false after fatal_exit(25) for a missing name or buffer or a
// size below 1 (fatal_exit returns only where a test seam lets it).
bool read_port_args_ok(const char* name, const void* buffer, int size);

// write_port: 0, or -1 (no name, length below 1) or -2 (no buffer).
int write_port_args(const char* name, const void* buffer, int length);

}  // namespace pello
