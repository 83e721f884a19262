// The fake port layer of the fuzz build (see fake_port.hpp): every function
// of serial/serial.hpp, with the real layer's argument checks and messages,
// over a byte stream instead of a terminal.
#include "fake_port.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/port_checks.hpp"
#include "serial/serial.hpp"

namespace pello {

// No device path is ever opened; the names only have to be well-formed.
extern const char* const port_template = "/nonexistent/pellomatic-fuzz/COM{n}";

namespace {

struct fake_state {
    const std::uint8_t* stream = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    bool open = false;
    int write_count = 0;
    int failing_write = 0;
    int open_count = 0;
    std::vector<std::vector<std::uint8_t>> written;
};

fake_state fake;

[[noreturn]] void caller_fault(const char* what)
{
    std::fprintf(stderr, "\nFUZZ FINDING: port layer misused: %s\n", what);
    std::abort();
}

}  // namespace

namespace fake_port {

void start(const std::uint8_t* device_bytes, std::size_t size)
{
    fake.stream = device_bytes;
    fake.size = size;
    fake.at = 0;
    fake.open = false;
    fake.write_count = 0;
    fake.failing_write = 0;
    fake.open_count = 0;
    fake.written.clear();
}

void fail_write(int number)
{
    fake.failing_write = number;
}

std::size_t unread()
{
    return fake.size - fake.at;
}

const std::vector<std::vector<std::uint8_t>>& writes()
{
    return fake.written;
}

int opens()
{
    return fake.open_count;
}

}  // namespace fake_port

std::string port_device_path(const char* name)
{
    return port_device_path(name, port_template);
}

int open_port(const char* name, std::int32_t rate)
{
    if (!open_port_args_ok(name))
        return -1;
    if (port_device_path(name).empty()) {
        errno = ENOENT;
        print_open_refused(name);
        return -2;
    }
    close_port();  // one port at a time, as the real layer does
    fake.open = true;
    if (set_comm_prop(name, rate) != 0) {
        close_port();
        return -3;
    }
    ++fake.open_count;
    purge_port();
    return 0;
}

int set_comm_prop(const char* name, std::int32_t rate)
{
    const std::int32_t found = set_comm_prop_args(name, rate);
    if (found < 0)
        return found;
    // The fake port is a terminal: it has every capability the link needs.
    return check_comm_caps(name, required_caps);
}

int read_port(const char* name, void* buffer, int size, int limit_ms)
{
    // The real layer ends the program on each of these (code 25): for the
    // callers they are faults, never device behaviour.
    if (!read_port_args_ok(name, buffer, size))
        return 0;
    if (!fake.open)
        fatal_exit(25, "read_port: no port is open\n");
    (void)limit_ms;  // no waiting: an exhausted stream is a time-out at once

    auto* out = static_cast<unsigned char*>(buffer);
    int got = 0;
    while (got < size && fake.at < fake.size) {
        const std::uint8_t byte = fake.stream[fake.at++];
        if (byte == 0)
            break;  // the read window closes here
        out[got++] = byte;
    }
    return got;
}

int write_port(const char* name, const void* buffer, int length)
{
    if (const int code = write_port_args(name, buffer, length); code != 0)
        return code;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    fake.written.emplace_back(bytes, bytes + length);
    ++fake.write_count;
    if (!fake.open || fake.write_count == fake.failing_write) {
        errno = fake.open ? ETIMEDOUT : EBADF;
        const int done = fake.open ? length / 2 : 0;
        print_short_write(name, done, length);
        return -3;
    }
    return length;
}

void purge_port()
{
}

void close_port()
{
    fake.open = false;
}

void port_reset()
{
    fake_port::start(nullptr, 0);
}

bool port_is_open()
{
    return fake.open;
}

void fatal_exit(int code, const char* text)
{
    const int system_error = errno;
    print_fatal(code, system_error, text);
    if (code == 0) {
        errno = system_error;
        return;
    }
    if (code == 25)
        caller_fault(text != nullptr ? text : "fatal_exit(25)");
    throw fake_port::fake_port_exit{code};
}

}  // namespace pello
