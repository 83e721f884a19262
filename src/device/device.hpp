// Device link: the link state and power-up handshake, the download packet
// protocol and its CRC, the firmware file check and the firmware loader
// conversation.
#pragma once

#include <cstdint>
#include <cstdio>

namespace pello {

struct link_state_t {
    std::int32_t connected;  // 1 after a successful handshake
    char port_name[32];      // "COM%d" of the port in use
    std::int32_t link_baud;  // rate of the last connect or baud command
};

extern link_state_t link_state;
extern unsigned char rx_buffer[1024];
extern const std::int32_t link_bauds[5];

// The leading decimal integer of text (blanks and one sign allowed, 0 when
// there are no digits), as the commands read port numbers and rates.
long leading_int(const char* text);

// The COM port number of a command argument: 3, com3, COM3 and Com03 all give 3;
// 0 when the word gives no number.
long com_port_number(const char* word);

// Link commands; a null argument is a missing one.
int connect_device(std::int32_t rate, int resync);
void connect_command(const char* port_word, const char* baud_word);
void disconnect_command();
void baud_command(const char* baud_word);

// Download protocol.
extern const std::uint16_t dwn_crc_table[256];
std::uint16_t dwn_crc16(std::uint16_t reg, const unsigned char* bytes, int count,
                        const std::uint16_t* table);
int dwn_write_pkt(unsigned char* packet, int length);
int dwn_write_file(const unsigned char* image, int length);
int dwn_download();
void download_command();

// Firmware file check.
int hex_value(const char* text, int count);
int hex_line_sum(const char* text);
int inhexverify(std::FILE* file);

// Firmware update.
int firmware(int port_number, const char* file_name);
void firmware_progress(std::uint32_t sent, std::uint32_t total);
void firmware_command(const char* port_word, const char* file_name);

}  // namespace pello
