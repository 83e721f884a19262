// What every port backend shares: the baud rates the layer accepts, the
// COM<n> path template, the time limits, and the one sequence of each
// operation over the backend's primitives (port_backend in serial.hpp), with
// the argument and capability checks, the texts of the failures every backend
// reports the same way, and the fatal exit up to its last step.
#include "serial/serial.hpp"
#include "serial/test_seams.hpp"

#include "textio/textio.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace pello {

const std::int32_t baud_table[14] = {110,   300,   600,   1200,  2400,  4800,   9600,
                                     14400, 19200, 38400, 56000, 57600, 115200, 0};

std::int32_t get_baud(long rate)
{
    if (rate == 0) {
        std::printf("get_baud: Error: invalid baud: %ld\n", rate);
        return 0;
    }
    for (int i = 0; baud_table[i] != 0; ++i)
        if (baud_table[i] == rate)
            return baud_table[i];
    return 0;
}

std::int64_t write_limit_ms(std::int32_t rate, int length)
{
    // Whole milliseconds as the rates up to 19200 have always had them; from
    // 38400 on the division gives 0, which would leave a packet a flat 10 ms
    // that its own time on the line exceeds, so a byte gets at least 1 ms.
    const std::int64_t per_byte = rate > 0 ? std::max<std::int64_t>(1, 20000 / rate) : 0;
    return (length > 0 ? length : 0) * per_byte + 10;
}

std::int64_t port_backend::read_ms_per_byte(std::int32_t rate)
{
    return rate > 0 ? 10000 / rate : 0;
}

std::int64_t read_limit_ms(std::int32_t rate, int size, int limit_ms)
{
    return static_cast<std::int64_t>(size) * port_backend::read_ms_per_byte(rate) + limit_ms + 10;
}

std::string port_device_path(const char* name, const char* path_template)
{
    if (name == nullptr || path_template == nullptr || std::strncmp(name, "COM", 3) != 0)
        return {};
    const char* digits = name + 3;
    const std::size_t count = std::strlen(digits);
    if (count == 0 || count > 9 || digits[0] == '0' || std::strspn(digits, "0123456789") != count)
        return {};
    const long number = std::strtol(digits, nullptr, 10);

    std::string path;
    for (const char* t = path_template; *t != '\0'; ++t) {
        if (t[0] == '{' && (t[1] == 'n' || t[1] == 'i') && t[2] == '}') {
            path += std::to_string(t[1] == 'n' ? number : number - 1);
            t += 2;
        } else {
            path += *t;
        }
    }
    return path;
}

#if !defined(_WIN32)
std::string port_device_path_in(const char* name, const char* template_list)
{
    // The templates are tried in order; the first whose path leads to
    // something is taken. A dangling link leads nowhere; a path that cannot
    // be looked at (a folder the user may not search) is taken, so that the
    // open reports why. When none leads anywhere, the last is opened and its
    // error is the one the operator reads.
    std::string last;
    const std::string list = template_list == nullptr ? "" : template_list;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string one = list.substr(start, end - start);
        start = end + 1;
        if (one.empty())
            continue;
        std::string path = port_device_path(name, one.c_str());
        if (path.empty())
            return {};
        struct stat info {};
        const int saved = errno;
        const bool leads = stat(path.c_str(), &info) == 0 || errno == EACCES;
        errno = saved;
        if (leads)
            return path;
        last = std::move(path);
    }
    return last;
}
#endif

namespace {

// open_port: false (port_no_name) when the name is missing.
bool open_port_args_ok(const char* name)
{
    if (name == nullptr) {
        std::printf("open_port: Error: port null argument\n");
        return false;
    }
    return true;
}

// set_comm_prop: the baud_table entry of rate, or port_no_name or
// rate_not_in_table.
std::int32_t set_comm_prop_args(const char* name, std::int32_t rate)
{
    if (name == nullptr) {
        std::printf("set_comm_prop: Error: port null argument\n");
        return port_no_name;
    }
    const std::int32_t found = get_baud(rate);
    if (found == 0) {
        std::printf("\a\aError: Invalid baud rate %ld\n", static_cast<long>(rate));
        return rate_not_in_table;
    }
    return found;
}

// read_port: ends the program (fatal_exit 25) for a missing name or buffer
// or a size below 1.
void read_port_args_check(const char* name, const void* buffer, int size)
{
    if (name == nullptr)
        fatal_exit(25, "read_port: Error: invalid param port\n");
    if (buffer == nullptr)
        fatal_exit(25, "read_port: Error: invalid param buf ptr\n");
    if (size <= 0)
        fatal_exit(25, format_text("read_port: Error: invalid param size: %d\n", size).c_str());
}

// write_port: 0, or -1 (no name, length below 1) or -2 (no buffer).
int write_port_args(const char* name, const void* buffer, int length)
{
    if (name == nullptr) {
        std::printf("write_port: Error: invalid param file port\n");
        return -1;
    }
    if (buffer == nullptr) {
        std::printf("write_port: Error: invalid param buf ptr\n");
        return -2;
    }
    if (length <= 0) {
        std::printf("write_port: Error: invalid param len: %d\n", length);
        return -1;
    }
    return 0;
}

// set_comm_prop: 0 when have holds every bit of need, or code after the
// message that names what the port cannot be set to and the field as the
// port gave it (digits hex digits).
int missing_caps(const char* name, unsigned have, unsigned need, const char* what,
                 const char* field, int digits, int code)
{
    if ((have & need) == need)
        return 0;
    std::printf("\a\aError: %s comm properties for port %s not settable: Settable %s 0x%0*x\n",
                what, name, field, digits, have);
    return code;
}

// set_comm_prop: 0 when the port has every capability the link needs, or
// the code of the first one missing after its message.
int check_comm_caps(const char* name, const comm_caps& caps)
{
    int code = missing_caps(name, caps.settable_params, sp_required, "required", "Params", 8,
                            caps_no_line_settings);
    if (code == 0)
        code = missing_caps(name, caps.settable_data, databits_8, "8 data bits", "Data", 4,
                            caps_no_8_data_bits);
    if (code == 0)
        code = missing_caps(name, caps.settable_stop_parity, stop_parity_required,
                            "1 stop bit, no parity", "Stop & Parity", 4, caps_no_stop_parity);
    if (code == 0)
        code = missing_caps(name, caps.prov_capabilities, pcf_required, "timeouts", "Prov Cap", 8,
                            caps_no_timeouts);
    return code;
}

// open_port: the message of a port that could not be opened (the system
// error is the one in force).
void print_open_refused(const char* name)
{
    std::printf("\a\aError: cannot open COM port %s: %s\n", name, sys_error_text());
}

// Ends the program with code and text; system_error, the error in force when
// text was made, is put back for the report.
[[noreturn]] void fatal_system_error(int code, const std::string& text, int system_error)
{
    port_backend::set_system_error(system_error);
    fatal_exit(code, text.c_str());
}

// The message of standing or per-read time limits the port did not accept.
std::string timeouts_refused_text(const char* name)
{
    return format_text("\a\aError: could not set the comm timeouts for port %s: %s\n", name,
                       sys_error_text());
}

}  // namespace

void port_backend::read_failed(const char* name)
{
    const int error = system_error();
    fatal_system_error(
        26, format_text("\a\aError: could not read on COM port %s: %s\n", name, sys_error_text()),
        error);
}

void port_backend::read_limits_refused(const char* name)
{
    const int error = system_error();
    fatal_system_error(25, timeouts_refused_text(name), error);
}

int port_backend::open_limits_refused(const char* name)
{
    std::fputs(timeouts_refused_text(name).c_str(), stdout);
    return timeouts_refused;
}

int open_port(const char* name, std::int32_t rate)
{
    if (!open_port_args_ok(name))
        return port_no_name;
    const port_backend::device_handle opened = port_backend::open_device(name);
    if (opened == port_backend::no_device) {
        print_open_refused(name);
        return open_refused;
    }
    close_port();  // one port at a time: a port still open is given up now
    port_backend::adopt_device(opened);
    if (set_comm_prop(name, rate) != 0) {
        close_port();  // whatever set_comm_prop stopped at, the port is not left open
        return open_setup_failed;
    }
    if (const int code = port_backend::finish_open(name); code != 0) {
        close_port();
        return code;
    }
    purge_port();
    return port_ok;
}

int set_comm_prop(const char* name, std::int32_t rate)
{
    const std::int32_t found = set_comm_prop_args(name, rate);
    if (found < 0)
        return found;

    comm_caps caps{};
    int code = port_backend::query_caps(name, caps);
    if (code == 0)
        code = check_comm_caps(name, caps);
    if (code == 0) {
        code = port_backend::apply_line(found);
        if (code == line_get_failed) {
            std::printf("\a\aError: could not get the comm state for port %s: %s\n", name,
                        sys_error_text());
        } else if (code != 0) {
            std::printf("\a\aError: could not set the comm state for port %s: %s\n", name,
                        sys_error_text());
            code = line_set_failed;
        }
    }
    if (code != 0)
        close_port();
    return code;
}

int read_port(const char* name, void* buffer, int size, int limit_ms)
{
    read_port_args_check(name, buffer, size);
    return port_backend::read_device(name, buffer, size, limit_ms);
}

int write_port(const char* name, const void* buffer, int length)
{
    if (const int code = write_port_args(name, buffer, length); code != 0)
        return code;
    int done = 0;
    if (!port_backend::write_device(buffer, length, done)) {
        std::printf("\a\aError: wrote %d of %d, got error on port %s: %s\n", done, length, name,
                    sys_error_text());
        return -3;
    }
    return length;
}

namespace {
std::chrono::milliseconds fatal_wait_now = fatal_wait_default;
}  // namespace

void set_fatal_wait(std::chrono::milliseconds wait)
{
    fatal_wait_now = wait;
}

std::chrono::milliseconds fatal_wait()
{
    return fatal_wait_now;
}

void purge_port()
{
    port_backend::purge_device();
}

void close_port()
{
    port_backend::close_device();
}

void port_reset()
{
    port_backend::close_device();
    port_backend::reset_device();
}

bool port_is_open()
{
    return port_backend::device_is_open();
}

const char* sys_error_text()
{
    return port_backend::system_error_text();
}

std::string port_device_path(const char* name)
{
    return port_backend::device_path(name);
}

void fatal_report(int code, const char* text)
{
    const int system_error = port_backend::system_error();
    if (text != nullptr)
        std::fputs(text, stderr);
    std::fprintf(stderr, "Return code %d, system error code %d\n", code, system_error);
    std::fflush(stderr);
    port_backend::set_system_error(system_error);
}

void fatal_exit(int code, const char* text)
{
    const int system_error = port_backend::system_error();
    // The port is put back first, as close_port does, before anything can
    // hold the end up (a stderr that blocks, the wait), and a signal during
    // the wait finds nothing left to put back. A device that is gone has
    // nothing to put back; the calls just fail.
    close_port();
    port_backend::set_system_error(system_error);
    fatal_report(code, text);
    std::fflush(stdout);
    // The message stays on the screen for a while before the program ends.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + fatal_wait());
    port_backend::end_program(code, text);
}

}  // namespace pello
