// Fuzz target: the host side of the device conversations. The input is what
// the device sends, after a two-byte header:
//   byte 0  the number of the write that fails as a short write (0: none),
//           counting every write of the run from 1;
//   byte 1  rule_count of the configuration record for the download (values
//           above 100 included: the image must still stay inside the table).
// The rest is the device's byte stream, consumed in turn by the connect
// handshake, the re-synchronisation after "baud 19200", the download, and
// the firmware update with a small valid firmware file. A NUL byte in the
// stream closes a read window early (the real port never delivers NUL), and
// an exhausted stream is a time-out without the wait (see fake_port.hpp).
//
// Checked on every run: the link state and the port agree after each step,
// every download packet carries its own length and a CRC-16 that checks, and
// every firmware line sent is a record line ended by CR.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "console/console.hpp"
#include "device/device.hpp"
#include "fake_port.hpp"
#include "fuzz_support.hpp"
#include "rules/rules.hpp"
#include "serial/serial.hpp"

namespace {

std::string firmware_path;

// Two records and the end-of-file record, with a comment line between.
const char firmware_text[] = ":020000040001F9\n"
                             "# application\n"
                             ":100000000102030405060708090A0B0C0D0E0F1068\n"
                             ":00000001FF\n";

// CRC-16 of the download packets, bit by bit and independent of the
// product's table: polynomial 0x1021, most significant bit first, register
// from 0xFFFF, the message followed by its two CRC bytes. A packet that
// carries its CRC leaves 0.
std::uint16_t packet_residual(const std::vector<std::uint8_t>& packet)
{
    std::uint32_t reg = 0xFFFF;
    for (std::uint8_t byte : packet) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = (reg & 0x8000u) != 0;
            reg = ((reg << 1) | ((byte >> bit) & 1u)) & 0xFFFFu;
            if (top)
                reg ^= 0x1021u;
        }
    }
    return static_cast<std::uint16_t>(reg);
}

void check_packets(std::size_t first_write)
{
    const auto& writes = pello::fake_port::writes();
    for (std::size_t i = first_write; i < writes.size(); ++i) {
        const std::vector<std::uint8_t>& packet = writes[i];
        if (packet.size() < 5 || packet.size() > 64)
            pello::fuzz::finding("a download packet is shorter than 5 or longer than 64 bytes");
        if (static_cast<std::size_t>((packet[0] << 8) | packet[1]) != packet.size())
            pello::fuzz::finding("a download packet's length field differs from its length");
        if (packet_residual(packet) != 0)
            pello::fuzz::finding("a download packet's CRC-16 does not check");
    }
}

void check_records(std::size_t first_write)
{
    const auto& writes = pello::fake_port::writes();
    for (std::size_t i = first_write; i < writes.size(); ++i) {
        const std::vector<std::uint8_t>& line = writes[i];
        if (line.size() < 2 || line.front() != ':' || line.back() != '\r' ||
            std::memchr(line.data(), '\n', line.size()) != nullptr)
            pello::fuzz::finding("a firmware line sent is not a record line ended by CR");
    }
}

void check_closed(const char* after)
{
    if (pello::port_is_open() || pello::link_state.connected != 0) {
        std::fprintf(stderr, "after %s: port %s, connected %d\n", after,
                     pello::port_is_open() ? "open" : "closed",
                     static_cast<int>(pello::link_state.connected));
        pello::fuzz::finding("the port or the link was left open");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pello::fuzz::quiet_stdio();
    firmware_path = pello::fuzz::make_temp_dir("fuzz-link") + "/firmware.hex";
    pello::fuzz::write_file(firmware_path, firmware_text);
    return 0;
}

namespace {

void run_conversations(const std::uint8_t* data, std::size_t size)
{
    using namespace pello;
    fuzz::reset_state();
    fake_port::start(data + 2, size - 2);
    fake_port::fail_write(data[0]);

    // A loaded configuration and rule table, so that the download asks
    // nothing; rule_count straight from the input.
    conf_loaded = 1;
    rules_processed = 1;
    conf_record.rule_count = data[1];
    for (std::size_t i = 0; i < sizeof rule_table; ++i)
        reinterpret_cast<unsigned char*>(rule_table)[i] = static_cast<unsigned char>(i * 7);

    // connect: the power-up handshake.
    std::snprintf(link_state.port_name, sizeof link_state.port_name, "COM%d", 3);
    link_state.link_baud = 9600;
    const int connected = connect_device(9600, 0);
    if (connected == 0) {
        if (link_state.connected != 1 || !port_is_open())
            fuzz::finding("a successful handshake left the link not connected");
    } else if (connected >= 2 && connected <= 6) {
        check_closed("a failed handshake");
    } else {
        fuzz::finding("connect_device returned a result outside 0 and 2..6");
    }

    // baud: the device's host rate and the re-synchronisation.
    if (link_state.connected == 1) {
        baud_command("19200");
        if (link_state.connected == 1 ? !port_is_open() : port_is_open())
            fuzz::finding("the baud command left the link and the port disagreeing");
    }

    // download: both images, then the link is closed in every case.
    if (link_state.connected == 1) {
        const std::size_t command_write = fake_port::writes().size();
        download_command(line_buf, line_size);
        const auto& writes = fake_port::writes();
        if (writes.size() > command_write) {
            const std::vector<std::uint8_t>& command = writes[command_write];
            if (command.size() != 10 || std::memcmp(command.data(), "download\r\n", 10) != 0)
                fuzz::finding("the download did not start with \"download\\r\\n\"");
            // The link stays connected only when that command could not be sent.
            if (link_state.connected == 0) {
                check_packets(command_write + 1);
                check_closed("the download");
            }
        }
        if (link_state.connected == 1) {
            disconnect_command();
            check_closed("disconnect");
        }
    }

    // firmware: the loader conversation on the rest of the stream.
    const std::size_t firmware_first = fake_port::writes().size();
    const int updated = firmware(1, firmware_path.c_str());
    check_closed("the firmware update");
    if (updated > 0 || updated < -14)
        fuzz::finding("firmware returned a result outside its table");
    // SYN and the identifier come first when the loader prompt was caught.
    const auto& writes = fake_port::writes();
    if (writes.size() > firmware_first + 2)
        check_records(firmware_first + 2);
    if (updated == 0 && fake_port::opens() == 0)
        fuzz::finding("a firmware update succeeded without opening the port");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return -1;
    try {
        run_conversations(data, size);
    } catch (const pello::fake_port::fake_port_exit&) {
        // The port layer ended the program, as the real one would.
    }
    return 0;
}
