// The download: the configuration image and the rule image go to the device
// in packets that carry their length and a CRC-16, each answered by ACK or NAK.
#include "device/device.hpp"
#include "device/test_seams.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "config/config.hpp"
#include "rules/rules.hpp"
#include "serial/serial.hpp"
#include "textio/textio.hpp"

namespace pello {

namespace {

// The standard table of polynomial 0x1021, most significant bit first.
constexpr std::array<std::uint16_t, 256> make_crc_table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc & 0xFFFFu);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> crc_table = make_crc_table();
static_assert(crc_table[1] == 0x1021 && crc_table[255] == 0x1EF0);

constexpr int max_sends = 5;
std::chrono::milliseconds ack_wait = ack_wait_default;
constexpr int max_data = 60;
constexpr int cmd_pkt_len = 21;
constexpr int cmd_name_at = 2;
constexpr int cmd_size_at = 14;
constexpr int cmd_size_len = 5;

// A command packet: the name from offset 2, the size in decimal from offset
// 14, NUL padding; a negative size leaves the size field all NUL.
void build_command(unsigned char (&packet)[cmd_pkt_len], const char* name, long size)
{
    std::memset(packet, 0, sizeof packet);
    std::memcpy(packet + cmd_name_at, name, std::strlen(name));
    if (size >= 0) {
        char digits[16];
        int len = std::snprintf(digits, sizeof digits, "%ld", size);
        std::memcpy(packet + cmd_size_at, digits,
                    static_cast<std::size_t>(std::min(len, cmd_size_len)));
    }
}

// The argument checks of the packet writers: 0, or -1 (no data) or -2 (less
// than min_length) after the message that names the writer and its argument.
int check_write_args(const char* writer, const void* data, const char* data_name, int length,
                     int min_length)
{
    if (data == nullptr) {
        std::printf("%s: argument ptr %s is null\n", writer, data_name);
        return -1;
    }
    if (length < min_length) {
        std::printf("%s: argument len < %d\n", writer, min_length);
        return -2;
    }
    return 0;
}

}  // namespace

extern const std::uint16_t* const dwn_crc_table = crc_table.data();

std::uint16_t dwn_crc16(std::uint16_t reg, const unsigned char* bytes, int count,
                        const std::uint16_t* table)
{
    for (int i = 0; i < count; ++i) {
        unsigned top = static_cast<unsigned>(reg) >> 8;
        unsigned shifted = (static_cast<unsigned>(reg) << 8) & 0xFFFFu;
        reg = static_cast<std::uint16_t>((shifted | bytes[i]) ^ table[top]);
    }
    return reg;
}

int dwn_write_pkt(unsigned char* packet, int length)
{
    if (const int bad = check_write_args("dwn_write_pkt", packet, "pp", length, 5))
        return bad;
    std::size_t len = static_cast<std::size_t>(length);
    packet[0] = static_cast<unsigned char>((length >> 8) & 0xFF);
    packet[1] = static_cast<unsigned char>(length & 0xFF);
    packet[len - 2] = 0;
    packet[len - 1] = 0;
    // The two zero bytes in the CRC slot act as the augmentation.
    std::uint16_t crc = dwn_crc16(0xFFFF, packet, length, dwn_crc_table);
    packet[len - 2] = static_cast<unsigned char>(crc >> 8);
    packet[len - 1] = static_cast<unsigned char>(crc & 0xFF);

    for (int sends = 1;; ++sends) {
        if (write_port(link_state.port_name, packet, length) != length) {
            std::printf("\a\aError: writing pkt\n");
            return -3;
        }
        unsigned char reply = 0;
        int k = read_port(link_state.port_name, &reply, 1, static_cast<int>(ack_wait.count()));
        if (k != 1) {
            std::printf("\a\aError: reading ack or nak: %d\n", k);
            return -4;
        }
        if (reply == ACK)
            return length;
        if (reply != NAK) {
            std::printf("\a\aError: reading ack or nak: got 0x%02x\n",
                        static_cast<unsigned>(reply));
            return -5;
        }
        if (sends >= max_sends)
            return -6;  // refused five times
    }
}

int dwn_write_file(const unsigned char* image, int length)
{
    if (const int bad = check_write_args("dwn_write_file", image, "bp", length, 1))
        return bad;
    unsigned char packet[max_data + 4];
    int sent = 0;
    while (sent < length) {
        int piece = std::min(max_data, length - sent);
        std::memcpy(packet + 2, image + sent, static_cast<std::size_t>(piece));
        int r = dwn_write_pkt(packet, piece + 4);
        if (r != piece + 4) {
            std::printf("\a\aError: writing data pkt: %d\n", r);
            return -3;
        }
        sent += piece;
    }
    return sent;
}

namespace {

// Sends the command packet of build_command; false after "Error: <failure>:
// <result>" when the device did not take it.
bool send_command(const char* name, long size, const char* failure)
{
    unsigned char packet[cmd_pkt_len];
    build_command(packet, name, size);
    const int r = dwn_write_pkt(packet, cmd_pkt_len);
    if (r == cmd_pkt_len)
        return true;
    std::printf("\a\aError: %s: %d\n", failure, r);
    return false;
}

}  // namespace

int dwn_download()
{
    // Whatever the device answers to "download\r\n" is read and dropped.
    unsigned char answer[64];
    read_port(link_state.port_name, answer, sizeof answer, 10);

    if (!send_command("conf", sizeof(conf_record_t), "writing Configuration command failed"))
        return -1;
    int r = dwn_write_file(conf_image(), static_cast<int>(sizeof(conf_record_t)));
    if (r != static_cast<int>(sizeof(conf_record_t))) {
        std::printf("\a\aError: writing Configuration file failed: %d\n", r);
        return -2;
    }
    std::printf("Downloading Configuration succeeded\n");

    // The rule image holds the first rule_count records; the size announced
    // is what is sent, so a rule_count beyond the table cannot make the
    // transfer read past it.
    std::span<const unsigned char> rules = rule_image();
    long n = static_cast<long>(conf_record.rule_count) * static_cast<long>(sizeof(rule_record));
    n = std::min(n, static_cast<long>(rules.size()));
    if (!send_command("rules", n, "writing Rules command failed"))
        return -3;
    if (n > 0) {
        r = dwn_write_file(rules.data(), static_cast<int>(n));
        if (r != n) {
            std::printf("\a\aError: writing Rules file failed: %d\n", r);
            return -4;
        }
    }
    std::printf("Downloading Rules succeeded\n");

    if (!send_command("-cestfini-", -1, "error writing finish pkt"))
        return -5;
    return 0;
}

namespace {

// Asks a yes/no question, the answer read into the operator's line buffer;
// true only for yes.
bool confirmed(const char* question, char* answer_line, int size)
{
    if (!ask_yes_no(question, answer_line, size)) {
        std::printf("\a\aDownload Aborted!\n");
        return false;
    }
    return true;
}

}  // namespace

void download_command(char* answer_line, int size)
{
    if (link_state.connected != 1) {
        std::printf("\a\aError: not Connected!\n");
        return;
    }
    if (conf_loaded == 0 &&
        !confirmed("\a\aWarning: Configuration file has not yet been processed!\n"
                   "Do you want to use the Default Configuration? (yes|no) [no]: ",
                   answer_line, size))
        return;
    // The two blanks after Do you are the system's own; keep them.
    if (rules_processed == 0 &&
        !confirmed("\n\a\aWarning: Rules file has not yet been processed!\n"
                   "Do you  want to use the Implicit Rule only without specific rules?\n"
                   "(yes|no) [no]: ",
                   answer_line, size))
        return;

    static const char command[] = "download\r\n";
    const int len = static_cast<int>(sizeof command - 1);
    if (write_port(link_state.port_name, command, len) != len) {
        std::printf("\a\aError: wrote Download command, got error on port %s\n",
                    link_state.port_name);
        return;
    }
    int r = dwn_download();
    if (r != 0)
        std::printf("\a\aError: Download failed: %d\n", r);
    std::printf("\a\aPlease Power OFF the Pellomatic and power it back on to RESET it.\n");
    end_link();
}

void set_ack_wait(std::chrono::milliseconds wait)
{
    ack_wait = wait;
}

}  // namespace pello
