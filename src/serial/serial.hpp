// Serial port: the only code that touches the COM port. One port is open at a
// time; it is opened exclusively, set to 8N1 without flow control at a rate of
// baud_table, read with a time limit, written, purged and closed.
//
// The operations are one sequence for every platform (serial_common.cpp) over
// the primitives of one backend: on Linux the POSIX one (serial_posix.cpp,
// exit_signals.cpp) with what only Linux has (linux_only.cpp: the rates with
// no B constant, the low-latency flag, ppoll, the timer that signals one
// thread); serial_win32.cpp on Windows; the fake port of the fuzz build. The
// backend is chosen when the program is linked; what it supplies is the one
// list of port_backend below.
//
// The headers of this folder: this one, for every caller and every backend;
// test_seams.hpp, what a test build or a benchmark changes in the layer;
// linux_only.hpp, within the POSIX backend only: its Linux calls and what its
// files give each other.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

namespace pello {

// The rates the port layer accepts, ended by a 0 entry.
extern const std::int32_t baud_table[14];

// The matching baud_table entry, or 0 when the rate is not in the table
// (rate 0 also prints "get_baud: Error: invalid baud: 0").
std::int32_t get_baud(long rate);

// The device path templates of COM<n> ({n}: n, {i}: n - 1), separated by
// ';' and tried in order; one small translation unit per program defines it.
extern const char* const port_template;

// The device path of a port name "COM<n>": on Linux through port_template,
// on Windows "\\.\COM<n>". Empty when the name is not of that form.
std::string port_device_path(const char* name);
// "COM<n>" (n from 1, written without leading zeros) through the given
// template ({n}: n, {i}: n - 1); empty when the name is not of that form.
std::string port_device_path(const char* name, const char* path_template);
#if !defined(_WIN32)
// "COM<n>" through a ';'-separated list of templates: the first path that
// exists (a link that leads nowhere does not), else the last of the list;
// empty when the name is not of that form.
std::string port_device_path_in(const char* name, const char* template_list);
#endif

// The codes open_port and set_comm_prop return, each after its message; the
// values are the system's own. Where two functions give one value different
// meanings it has a name for each.
enum port_code : int {
    port_ok = 0,
    port_no_name = -1,  // open_port, set_comm_prop: no name given
    // open_port
    open_refused = -2,       // the system refused the open (the port busy included)
    open_setup_failed = -3,  // set_comm_prop failed; the port is closed
    // set_comm_prop; from caps_no_record on the port is closed
    rate_not_in_table = -2,      // the rate is not in baud_table
    caps_no_record = -3,         // Win32: no memory for the first capabilities record
    caps_refused = -4,           // Win32: the first capabilities query refused
    caps_no_second_record = -5,  // Win32: no memory for the record of the asked length
    caps_second_refused = -6,    // Win32: the second capabilities query refused
    caps_no_line_settings = -7,  // line settings not settable (on POSIX: not a terminal)
    caps_no_8_data_bits = -9,    // 8 data bits not settable
    caps_no_stop_parity = -10,   // 1 stop bit, no parity not settable
    caps_no_timeouts = -11,      // time limits not settable
    line_get_failed = -12,       // line settings not readable
    line_set_failed = -13,       // line settings not accepted
    // Win32, when open_port sets the standing time limits of the port just
    // set up: not accepted. open_port closes the port and returns it as it is.
    timeouts_refused = -14,
};

// Opens COM<n> exclusively, checks it, sets it to rate 8N1 without flow
// control and purges it: port_ok, port_no_name, open_refused,
// open_setup_failed or (Win32) timeouts_refused.
int open_port(const char* name, std::int32_t rate);
// The checks and line settings of open_port: port_ok, port_no_name,
// rate_not_in_table, or a code from caps_no_record to line_set_failed.
int set_comm_prop(const char* name, std::int32_t rate);
// Reads up to size bytes (NUL bytes dropped) until size bytes have arrived or
// read_limit_ms(rate, size, limit_ms) have passed; returns the count. A failed
// read or a hang-up ends the program through fatal_exit (26).
int read_port(const char* name, void* buffer, int size, int limit_ms);
// Writes length bytes and returns when they have left the port: length, or
// -1, -2 (bad argument), -3 (not every byte handed to the system within the
// write limit, or some still held by it when the drain's bound has passed;
// the message counts the bytes that left the port, and what is still queued
// is thrown away).
int write_port(const char* name, const void* buffer, int length);
// The write limit of length bytes at rate: 20 bit times per byte in whole
// milliseconds, at least 1 (a byte never gets less than its time on the
// line), and 10 ms more.
std::int64_t write_limit_ms(std::int32_t rate, int length);
// The time limit of a read of size bytes at rate: 10000 / rate ms per byte
// (one 10-bit character, rounded down), the caller's limit_ms and 10 ms more.
std::int64_t read_limit_ms(std::int32_t rate, int size, int limit_ms);
void purge_port();
void close_port();
// Puts the port layer back as the program starts: the port closed, no line
// rate, and on Linux tcdrain in place of any drain a test has set.
void port_reset();
bool port_is_open();
// The system's text of the last error (errno on Linux, GetLastError on
// Windows) without a trailing line break, in a shared buffer overwritten by
// each call.
const char* sys_error_text();
// Writes text and "Return code %d, system error code %d" (the system error
// in force, which it leaves as it was) to stderr.
void fatal_report(int code, const char* text);
// Ends the program: the port put back and closed (close_port), fatal_report
// with the system error in force at the call, standard output flushed,
// fatal_wait() (5 s) to leave the message on the screen, and status 3.
[[noreturn]] void fatal_exit(int code, const char* text);

// A wait or a point of a clock as the timespec of ppoll and the POSIX timers;
// a negative wait is none.
inline timespec to_timespec(std::chrono::nanoseconds wait)
{
    const auto ns = wait < std::chrono::nanoseconds(0) ? 0 : wait.count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// What a port can be set to, in the terms of the communications properties
// of a COM port (the values of their Win32 names in the comments).
struct comm_caps {
    std::uint32_t settable_params;       // SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS
    std::uint16_t settable_data;         // DATABITS_8
    std::uint16_t settable_stop_parity;  // STOPBITS_10 | PARITY_NONE
    std::uint32_t prov_capabilities;     // PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS
};

// What the device link needs of a port: these bits in each field. set_comm_prop
// refuses a port that lacks one, after its message: caps_no_line_settings,
// caps_no_8_data_bits, caps_no_stop_parity, caps_no_timeouts.
constexpr std::uint32_t sp_required = 0x0F;
constexpr std::uint16_t databits_8 = 0x0008;
constexpr std::uint16_t stop_parity_required = 0x0101;
constexpr std::uint32_t pcf_required = 0x00C0;
constexpr comm_caps required_caps{sp_required, databits_8, stop_parity_required, pcf_required};

// Everything a port backend supplies, in one list: a new backend defines each
// function of it (before "Given by the shared part") in files of its own,
// linked in place of the others (serial_posix.cpp with exit_signals.cpp,
// linux_only.cpp and posix_errors.cpp on Linux; serial_win32.cpp on Windows;
// fuzz/fake_port.cpp in the fuzz build). The backend is chosen at link time, so
// the list is a namespace of declarations rather than a record of function
// pointers: a function a backend lacks is a link error that names it, and no
// call goes through a table. Only serial_common.cpp calls them: it has
// checked the arguments, prints the messages the backends have in common and
// gives the public functions above (purge_port, close_port, port_reset,
// port_is_open, sys_error_text, port_device_path(name)) through them.
namespace port_backend {

// An opened device: a descriptor, a Win32 HANDLE or the fake's token.
using device_handle = std::intptr_t;
inline constexpr device_handle no_device = -1;

// Opens the device of name for exclusive use: its handle, or no_device with
// the system error telling why. The port open until now, or none, stays as it
// was: open and in use.
device_handle open_device(const char* name);
// Makes opened the open port; the port before it has been closed.
void adopt_device(device_handle opened);
// What the open port can be set to: 0, or a code of set_comm_prop after its
// message (port_code).
int query_caps(const char* name, comm_caps& caps);
// Sets the open port to rate 8N1 without flow control: 0, or line_get_failed
// or line_set_failed with the system error telling why.
int apply_line(std::int32_t rate);
// What a port needs once its line is set, before open_port purges it: 0, or a
// code of open_port after its message (port_code).
int finish_open(const char* name);
// read_port once its arguments are checked; the time limit is read_limit_ms.
int read_device(const char* name, void* buffer, int size, int limit_ms);
// Writes length bytes: true once they have left the port; false with done
// the count that left and the system error telling why, what is still queued
// thrown away.
bool write_device(const void* buffer, int length, int& done);
// purge_port, close_port, port_is_open: the open port's input and output
// thrown away; the port put back as it was found and closed (none open:
// nothing happens); whether one is open.
void purge_device();
void close_device();
bool device_is_open();
// port_reset once the port is closed: the line rate forgotten, and whatever
// a test put in place of the backend's own calls taken out again.
void reset_device();
// The system error in force (errno, GetLastError), putting it back, and its
// text (sys_error_text).
int system_error();
void set_system_error(int error);
const char* system_error_text();
// port_device_path(name): the path the backend opens for COM<n>.
std::string device_path(const char* name);
// The last step of fatal_exit, once the port is put back, the message written
// and the wait over: ends the program with status 3 at once, no exit
// handlers run (the fuzz build's fake throws or aborts instead).
[[noreturn]] void end_program(int code, const char* text);

// Given by the shared part to every backend (serial_common.cpp).

// The time limit of one byte read at rate: 10000 / rate, the time of one
// 10-bit character in whole milliseconds, rounded down; 0 with no rate.
std::int64_t read_ms_per_byte(std::int32_t rate);
// A failed read: ends the program with code 26, "could not read on COM port"
// and the system error in force.
[[noreturn]] void read_failed(const char* name);
// The read's time limits not accepted (no port open): ends the program with
// code 25, "could not set the comm timeouts" and the system error in force.
[[noreturn]] void read_limits_refused(const char* name);
// The standing time limits not accepted when the port is opened: that
// message on standard output, and timeouts_refused.
int open_limits_refused(const char* name);

}  // namespace port_backend

}  // namespace pello
