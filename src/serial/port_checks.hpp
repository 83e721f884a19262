// Inside the port layer: what every backend (POSIX, Win32, and the fake port
// of the fuzz build) does the same way: the checks before it touches the
// port, each printing its message (read_port's go to fatal_exit) and giving
// the operation's code, and the texts of the failures they all report.
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

// What a port can be set to, in the terms of the communications properties
// of a COM port (the values of their Win32 names in the comments).
struct comm_caps {
    std::uint32_t settable_params;       // SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS
    std::uint16_t settable_data;         // DATABITS_8
    std::uint16_t settable_stop_parity;  // STOPBITS_10 | PARITY_NONE
    std::uint32_t prov_capabilities;     // PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS
};

// What the device link needs of a port: these bits in each field.
constexpr std::uint32_t sp_required = 0x0F;
constexpr std::uint16_t databits_8 = 0x0008;
constexpr std::uint16_t stop_parity_required = 0x0101;
constexpr std::uint32_t pcf_required = 0x00C0;
constexpr comm_caps required_caps{sp_required, databits_8, stop_parity_required, pcf_required};

// set_comm_prop: 0 when the port has every capability the link needs, or
// the code of the first one missing after its message: -7 (line settings),
// -9 (8 data bits), -10 (1 stop bit, no parity), -11 (time limits). The
// caller closes the port.
int check_comm_caps(const char* name, const comm_caps& caps);

// open_port: the message of a port that could not be opened (the system
// error is the one in force).
void print_open_refused(const char* name);

// write_port: the message of a write that failed after done of length bytes
// (the system error is the one in force).
void print_short_write(const char* name, int done, int length);

// fatal_exit: writes text (when given) and "Return code <code>, system error
// code <system_error>" to stderr, and flushes it. What follows (return,
// or wait and end the program) is the backend's.
void print_fatal(int code, int system_error, const char* text);

}  // namespace pello
