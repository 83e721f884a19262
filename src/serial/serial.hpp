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

// The device path template of COM<n> ({n}: n, {i}: n - 1); one small
// translation unit per program defines it.
extern const char* const port_template;

// The device path of a port name "COM<n>"; empty when the name is not of
// that form.
std::string port_device_path(const char* name);

int open_port(const char* name, std::int32_t rate);
int set_comm_prop(const char* name, std::int32_t rate);
int read_port(const char* name, void* buffer, int size, int limit_ms);
int write_port(const char* name, const void* buffer, int length);
void purge_port();
void close_port();
bool port_is_open();
const char* sys_error_text();
[[noreturn]] void fatal_exit(int code, const char* text);

}  // namespace pello
