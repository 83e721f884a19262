// Serial port: the only code that touches the COM port. One port is open at a
// time; it is opened exclusively, set to 8N1 without flow control at a rate of
// baud_table, read with a time limit, written, purged and closed.
#pragma once

#include <cstdint>
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

// The device path of a port name "COM<n>": on POSIX through port_template,
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
// rate, and on POSIX tcdrain in place of any drain a test has set.
void port_reset();
bool port_is_open();
// The system's text of the last error (errno on POSIX, GetLastError on
// Windows) without a trailing line break, in a shared buffer overwritten by
// each call.
const char* sys_error_text();
// Writes text and "Return code %d, system error code %d" to stderr; with a
// non-zero code waits 5 s and ends the program with status 3. With code 0 it
// returns, so it is not [[noreturn]].
void fatal_exit(int code, const char* text);

#if !defined(_WIN32)
// The call write_port waits with until the bytes it queued have left the
// port: tcdrain, which waits as long as the line takes (for ever on a stalled
// line) and gives up with EINTR when a signal arrives; write_port bounds it
// by its write limit and an allowance for the driver's confirmation. Its
// contract: 0 once everything queued on fd has left the port, -1 with errno
// otherwise. When a drain ends unconfirmed, the bytes the system still holds
// for the line (TIOCOUTQ; -1 with errno when it cannot tell) decide the
// write: none held is a write that went out. A test or benchmark puts calls
// of its own in their place to hold a write the way a stalled line does,
// which a pseudo-terminal never does; nullptr puts the system's back.
//
// What a drain may take beyond the write limit: the driver's confirmation
// that the bytes have left. The 8250 driver polls the UART's transmitter and
// ftdi_sio asks the adapter once per jiffy (4 ms), and a process on a loaded
// PC, or behind a USB hub, is woken late; a healthy line is always confirmed
// well within this, a stalled one still ends the write quickly.
constexpr std::int64_t drain_allowance_ms = 200;
using port_drain_fn = int (*)(int fd);
using port_queued_fn = int (*)(int fd);
void set_port_drain(port_drain_fn drain, port_queued_fn queued = nullptr);
#endif

}  // namespace pello
