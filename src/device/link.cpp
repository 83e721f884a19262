// The device link: link state, the power-up handshake of connect, the
// re-synchronisation after a baud change, and the disconnect command.
#include "device/device.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/config.hpp"
#include "diag/diag.hpp"
#include "serial/serial.hpp"
#include "textio/textio.hpp"

namespace pello {

link_state_t link_state = link_state_at_start;
unsigned char rx_buffer[1024];
extern const std::int32_t link_bauds[5] = {4800, 9600, 19200, 38400, 57600};

namespace {

constexpr const char device_name[] = "Pellomatic";
constexpr const char version_marker[] = "Version ";
constexpr long min_major = 2;
constexpr long min_minor = 1;
constexpr const char device_prompt[] = "Pellom> ";
// How long the device may take to confirm the rate after the attention
// character, and to show its prompt after a baud change.
constexpr int confirm_wait_ms = 2000;
constexpr int resync_prompt_ms = 20000;
// The read window of the drain: the line counts as silent after one window
// without a byte.
constexpr int drain_read_ms = 100;

// Shows what the device sent instead of the expected text.
void dump_received(std::int32_t count)
{
    hexdump(stdout, 1, "Got", rx_buffer, count, 10);
}

void close_link()
{
    close_port();
    link_state.connected = 0;
}

// Takes the rate of connect or baud as the link's rate, and kept there even
// when it is none of link_bauds: false then, after the message.
bool take_link_baud(long rate)
{
    link_state.link_baud = static_cast<std::int32_t>(rate);
    if (is_link_baud(rate))
        return true;
    std::printf("\a\aError: invalid baud rate: %d\n", static_cast<int>(link_state.link_baud));
    return false;
}

}  // namespace

long command_com_port(const char* port_word, const char* already_connected, const char* missing)
{
    if (link_state.connected == 1) {
        std::printf("%s", already_connected);
        return 0;
    }
    if (port_word == nullptr) {
        std::printf("%s", missing);
        return 0;
    }
    long number = com_port_number(port_word);
    if (number < min_com_port || number > max_com_port) {
        std::printf("\a\aError: invalid COM port number (%ld..%ld): %s\n", min_com_port,
                    max_com_port, port_word);
        return 0;
    }
    return number;
}

bool is_link_baud(long rate)
{
    for (std::int32_t baud : link_bauds)
        if (baud == rate)
            return true;
    return false;
}

const unsigned char* find_bytes(const unsigned char* data, std::size_t size, const char* text)
{
    std::size_t len = std::strlen(text);
    if (len == 0 || len > size)
        return len == 0 ? data : nullptr;
    for (std::size_t i = 0; i + len <= size; ++i)
        if (std::memcmp(data + i, text, len) == 0)
            return data + i;
    return nullptr;
}

device_version parse_version(const unsigned char* text, std::size_t size)
{
    // The major number is read right after "Version ", the minor after the
    // first "." that follows within the received bytes. When no "." follows,
    // the version has no minor part and counts as major.0: "Version 3" passes,
    // "Version 2" fails as 2.0.
    char digits[32];
    auto read_at = [&](std::size_t from) {
        std::size_t n = 0;
        while (from + n < size && n < sizeof digits - 1) {
            digits[n] = static_cast<char>(text[from + n]);
            ++n;
        }
        digits[n] = '\0';
        return leading_int(digits);
    };
    device_version v{read_at(0), 0};
    const void* dot = size > 0 ? std::memchr(text, '.', size) : nullptr;
    if (dot != nullptr) {
        std::size_t at = static_cast<std::size_t>(static_cast<const unsigned char*>(dot) - text);
        v.minor = read_at(at + 1);
    }
    return v;
}

void drain_line(unsigned char* buffer, int size)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point until = clock::now() + std::chrono::milliseconds(drain_limit_ms);
    while (read_port(link_state.port_name, buffer, size, drain_read_ms) != 0 &&
           clock::now() < until) {
    }
    purge_port();
}

namespace {

// The start-up text of the device after power-on: its name, then a version
// no older than the minimum. Results connect_ok, connect_no_device_name and
// connect_version_refused.
int check_startup_text()
{
    // Only the bytes of this read count.
    int n = read_port(link_state.port_name, rx_buffer, startup_read_bytes, power_on_window_ms);
    std::size_t size = static_cast<std::size_t>(n);
    rx_buffer[size] = '\0';
    for (std::size_t i = 0; i < size; ++i)
        if (rx_buffer[i] == '\0')
            rx_buffer[i] = '#';

    const unsigned char* name = find_bytes(rx_buffer, size, device_name);
    if (name == nullptr) {
        std::printf("\n\a\aError: did not receive the Pellomatic prompt!\nExpected: Pellomatic\n");
        dump_received(n);
        return connect_no_device_name;
    }
    std::size_t rest = size - static_cast<std::size_t>(name - rx_buffer);
    const unsigned char* marker = find_bytes(name, rest, version_marker);
    if (marker == nullptr) {
        std::printf("\n\a\aError: did not receive the Pellomatic version (minimum %d.%d)!\n",
                    static_cast<int>(min_major), static_cast<int>(min_minor));
        return connect_version_refused;
    }
    const unsigned char* number = marker + std::strlen(version_marker);
    device_version v = parse_version(number, size - static_cast<std::size_t>(number - rx_buffer));
    if (v.major < min_major || (v.major == min_major && v.minor < min_minor)) {
        // Minimal, not minimum as in the message above: the system's own word; keep it.
        std::printf("\n\a\aError: received Pellomatic version %d.%d but minimal is %d.%d!\n",
                    static_cast<int>(v.major), static_cast<int>(v.minor),
                    static_cast<int>(min_major), static_cast<int>(min_minor));
        return connect_version_refused;
    }
    return connect_ok;
}

// The attention character, and the device's confirmation of the rate.
// Results connect_ok, connect_attention_failed and connect_not_confirmed.
int confirm_rate(std::int32_t rate)
{
    if (write_port(link_state.port_name, &ETX, 1) != 1) {
        std::printf("\n\a\aError: wrote <ctrl>-c attention character, got error on port %s\n",
                    link_state.port_name);
        return connect_attention_failed;
    }

    int m = read_port(link_state.port_name, rx_buffer, sizeof rx_buffer, confirm_wait_ms);
    char expected[32];
    std::snprintf(expected, sizeof expected, "Connected %ld", static_cast<long>(rate));
    if (find_bytes(rx_buffer, static_cast<std::size_t>(m), expected) != nullptr) {
        std::printf("\n");
        std::printf("\aConnected at %ld\n", static_cast<long>(rate));
        link_state.connected = 1;
        return connect_ok;
    }
    std::printf("\n\a\aError: did not receive the Pellomatic Connected string!\nExpected %s\n",
                expected);
    dump_received(m);
    return connect_not_confirmed;
}

// The power-up handshake of connect; results connect_ok to connect_not_confirmed.
int handshake(std::int32_t rate)
{
    if (link_state.connected == 1) {
        std::printf("\a\aError: already Connected!\n");
        return connect_already_connected;
    }
    if (open_port(link_state.port_name, rate) != 0) {
        std::printf("\a\aError: could not open COM port %s\n", link_state.port_name);
        return connect_open_failed;
    }

    // Throw away whatever the line still carries.
    unsigned char scratch[40];
    drain_line(scratch, static_cast<int>(sizeof scratch));

    std::printf("\a\aTURN ON the Pellomatic or CYCLE THE POWER if it is already on.\n"
                "You have %ld seconds to do this...",
                static_cast<long>(power_on_seconds));
    if (int result = check_startup_text(); result != connect_ok)
        return result;
    return confirm_rate(rate);
}

// The re-synchronisation after a baud change; results connect_ok,
// connect_cr_failed and connect_no_prompt.
int resynchronise(std::int32_t rate)
{
    const unsigned char cr = '\r';
    if (write_port(link_state.port_name, &cr, 1) != 1) {
        std::printf("\a\aError: wrote CR character, got error on port %s\n", link_state.port_name);
        return connect_cr_failed;
    }
    int m = read_port(link_state.port_name, rx_buffer, sizeof rx_buffer, resync_prompt_ms);
    if (find_bytes(rx_buffer, static_cast<std::size_t>(m), device_prompt) != nullptr) {
        std::printf("\aConnected at %ld\n", static_cast<long>(rate));
        return connect_ok;
    }
    std::printf("\a\aError: did not receive the Pellomatic prompt!\n");
    return connect_no_prompt;
}

}  // namespace

int connect_device(std::int32_t rate, int resync)
{
    std::printf("Connecting at %ld...\n", static_cast<long>(rate));
    if (resync == 0) {
        int result = handshake(rate);
        if (result >= connect_no_device_name)
            close_port();  // connected stays 0
        return result;
    }
    int result = resynchronise(rate);
    if (result != connect_ok)
        close_link();
    return result;
}

void link_reset()
{
    close_port();
    link_state = link_state_at_start;
    std::memset(rx_buffer, 0, sizeof rx_buffer);
}

void connect_command(const char* port_word, const char* baud_word)
{
    long number = command_com_port(port_word, "\a\aError: already Connected!\n",
                                   "\a\aError: missing argument: com_port\n");
    if (number == 0)
        return;
    if (!take_link_baud(baud_word != nullptr ? leading_int(baud_word) : default_link_baud()))
        return;
    std::snprintf(link_state.port_name, sizeof link_state.port_name, "COM%d",
                  static_cast<int>(number));
    connect_device(link_state.link_baud, 0);
}

void end_link()
{
    close_link();
    std::printf("Disconnected\n");
}

void disconnect_command()
{
    if (link_state.connected == 1)
        end_link();
    else
        std::printf("\a\aError: not Connected!\n");
}

void baud_command(const char* baud_word)
{
    if (link_state.connected != 1) {
        std::printf("\a\aError: must be Connected before changing the Baud!\n");
        return;
    }
    if (baud_word == nullptr) {
        std::printf("\a\aError: missing argument: baud\n");
        return;
    }
    long rate = leading_int(baud_word);
    if (!take_link_baud(rate))
        return;
    char command[32];
    int len = std::snprintf(command, sizeof command, "host %ld\r", rate);
    if (write_port(link_state.port_name, command, len) != len) {
        std::printf("\a\aError: wrote Host Baud command, got error on port %s\n",
                    link_state.port_name);
        close_link();
        return;
    }
    connect_device(link_state.link_baud, 1);
}

}  // namespace pello
