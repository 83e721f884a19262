// Serial port: the only code that touches the COM port. One port is open at a
// time; it is opened exclusively, set to 8N1 without flow control at a rate of
// baud_table, read with a time limit, written, purged and closed.
//
// The operations are one sequence for every platform (serial_common.cpp) over
// the primitives of one backend: on Linux the POSIX one (serial_posix.cpp,
// exit_signals.cpp) with what only Linux has (linux_only.cpp: the rates with
// no B constant, the low-latency flag, ppoll, the timer that signals one
// thread); serial_win32.cpp on Windows; the fake port of the fuzz build. The
// backend is chosen when the program is linked.
#pragma once

#include <chrono>
#include <csignal>
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

// Opens COM<n> exclusively, checks it, sets it to rate 8N1 without flow
// control and purges it: 0, or -1 (no name), -2 (open refused, the port busy
// included), -3 (set_comm_prop failed; the port is then closed).
int open_port(const char* name, std::int32_t rate);
// The checks and line settings of open_port: 0, or -1 (no name), -2 (rate not
// in baud_table), -7 (not a terminal), -12, -13 (line settings not readable,
// not accepted); from -7 on the port is closed.
int set_comm_prop(const char* name, std::int32_t rate);
// Reads up to size bytes (NUL bytes dropped) until size bytes have arrived or
// size * (10000 / rate) + limit_ms + 10 ms have passed; returns the count.
// A failed read or a hang-up ends the program through fatal_exit (26).
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
// Writes text and "Return code %d, system error code %d" to stderr; with a
// non-zero code closes the port first (close_port), then waits 5 s and ends
// the program with status 3. With code 0 it returns, so it is not
// [[noreturn]].
void fatal_exit(int code, const char* text);

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
// refuses a port that lacks one, after its message: -7 (line settings), -9 (8
// data bits), -10 (1 stop bit, no parity), -11 (time limits).
constexpr std::uint32_t sp_required = 0x0F;
constexpr std::uint16_t databits_8 = 0x0008;
constexpr std::uint16_t stop_parity_required = 0x0101;
constexpr std::uint32_t pcf_required = 0x00C0;
constexpr comm_caps required_caps{sp_required, databits_8, stop_parity_required, pcf_required};

// set_comm_prop's codes of line settings that could not be read, or were not
// accepted.
inline constexpr int line_get_failed = -12;
inline constexpr int line_set_failed = -13;

// The primitives each backend defines (besides purge_port, close_port,
// port_reset, port_is_open, sys_error_text and port_device_path(name)), each
// over the backend's own handle. Only the shared sequence calls them: it has
// checked the arguments and prints the messages the backends have in common.
namespace port_backend {

// An opened device: a descriptor, a Win32 HANDLE or the fake's token.
using device_handle = std::intptr_t;
inline constexpr device_handle no_device = -1;

// Opens the device of name for exclusive use: its handle, or no_device with
// the system error telling why. A port open until now stays open and in use.
device_handle open_device(const char* name);
// Makes opened the open port; the port before it has been closed.
void adopt_device(device_handle opened);
// What the open port can be set to: 0, or a code of set_comm_prop after its
// message.
int query_caps(const char* name, comm_caps& caps);
// Sets the open port to rate 8N1 without flow control: 0, or line_get_failed
// or line_set_failed with the system error telling why.
int apply_line(std::int32_t rate);
// What a port needs once its line is set, before open_port purges it: 0, or a
// code of open_port after its message.
int finish_open(const char* name);
// read_port once its arguments are checked.
int read_device(const char* name, void* buffer, int size, int limit_ms);
// Writes length bytes: true once they have left the port; false with done
// the count that left and the system error telling why, what is still queued
// thrown away.
bool write_device(const void* buffer, int length, int& done);
// The system error in force (errno, GetLastError), and putting it back.
int system_error();
void set_system_error(int error);
// Ends the program after fatal_exit's message of a non-zero code.
[[noreturn]] void end_program(int code, const char* text);

}  // namespace port_backend

#if !defined(_WIN32)
// Within the POSIX backend: what the port's line settings (serial_posix.cpp)
// and the guard of the ending signals (exit_signals.cpp) give each other.

// Puts back on fd what the line settings changed (the line as found, the
// low-latency flag off again if it was off), without waiting for output, and
// forgets them: the port is about to be closed. A port that refuses (hung up)
// is left as it is. A signal handler may call it too: it makes only tcsetattr
// and ioctl calls.
void line_restore(int fd);

// The signal a thread timer sends to bound a drain. While a port is open its
// handler does nothing but interrupt the call it arrives in, so that one
// sent from outside ends nothing either.
constexpr int drain_signal = SIGALRM;

// From open_port to close_port: SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT,
// SIGUSR1 and SIGUSR2 put the port fd back and then end the program with the
// signal's default action (an ending signal the program ignores stays
// ignored), and drain_signal has its handler.
void exit_signals_guard(int fd);

// Gives the port fd back as it was found, and closes it: line_restore, the
// exclusive use given up, the lock released, fd closed; then the signals of
// exit_signals_guard get their earlier actions back, unless a newer port
// than fd is guarded. close_port ends a port this way; the ending signals'
// handler puts it back and closes it the same way before the program ends.
void port_put_back(int fd);
#endif

}  // namespace pello
