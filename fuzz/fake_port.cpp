// The fake port backend of the fuzz build (see fake_port.hpp): the
// primitives of serial/serial.hpp's port_backend over a byte stream instead
// of a terminal, under the real layer's sequence, argument checks and
// messages (serial_common.cpp).
#include "fake_port.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/serial.hpp"
#include "serial/test_seams.hpp"

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
    set_fatal_wait(std::chrono::milliseconds(0));  // a fatal exit ends the run at once
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

namespace port_backend {

device_handle open_device(const char* name)
{
    if (port_device_path(name).empty()) {
        errno = ENOENT;
        return no_device;
    }
    return 1;
}

void adopt_device(device_handle)
{
    fake.open = true;
}

int query_caps(const char*, comm_caps& caps)
{
    // The fake port is a terminal: it has every capability the link needs.
    caps = required_caps;
    return 0;
}

int apply_line(std::int32_t)
{
    return 0;
}

int finish_open(const char*)
{
    ++fake.open_count;
    return 0;
}

int read_device(const char*, void* buffer, int size, int limit_ms)
{
    // The real layer ends the program on this one (code 25), as on a bad
    // argument: for the callers it is a fault, never device behaviour.
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

bool write_device(const void* buffer, int length, int& done)
{
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    fake.written.emplace_back(bytes, bytes + length);
    ++fake.write_count;
    if (!fake.open || fake.write_count == fake.failing_write) {
        errno = fake.open ? ETIMEDOUT : EBADF;
        done = fake.open ? length / 2 : 0;
        return false;
    }
    return true;
}

void end_program(int code, const char* text)
{
    if (code == 25)
        caller_fault(text != nullptr ? text : "fatal_exit(25)");
    throw fake_port::fake_port_exit{code};
}

void purge_device()
{
}

void close_device()
{
    fake.open = false;
}

void reset_device()
{
    fake_port::start(nullptr, 0);
}

bool device_is_open()
{
    return fake.open;
}

std::string device_path(const char* name)
{
    return port_device_path(name, port_template);
}

}  // namespace port_backend

}  // namespace pello
