// Device link: the link state and power-up handshake, the download packet
// protocol and its CRC, the firmware file check and the firmware loader
// conversation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace pello {

struct link_state_t {
    std::int32_t connected;  // 1 after a successful handshake
    char port_name[32];      // "COM%d" of the port in use
    std::int32_t link_baud;  // rate of the last connect or baud command
};

// The link state as the program starts: not connected, no port, 57600.
inline constexpr link_state_t link_state_at_start = {0, {}, 57600};
extern link_state_t link_state;
extern unsigned char rx_buffer[1024];
// connect reads the device's start-up text with one read of this many bytes
// into rx_buffer.
inline constexpr int startup_read_bytes = 100;
extern const std::int32_t link_bauds[5];

// The control bytes of the line: the attention character of the operating
// console, the answers to the download packets and the firmware loader's
// conversation. The emulator speaks with the same bytes.
inline constexpr unsigned char ETX = 0x03;  // attention from the host
inline constexpr unsigned char ENQ = 0x05;  // loader prompt
inline constexpr unsigned char ACK = 0x06;  // packet or record accepted
inline constexpr unsigned char DC1 = 0x11;  // record refused: no start character
inline constexpr unsigned char DC2 = 0x12;  // record refused: bad checksum
inline constexpr unsigned char NAK = 0x15;  // packet refused, or record malformed
inline constexpr unsigned char SYN = 0x16;  // host answers the loader prompt
inline constexpr unsigned char ETB = 0x17;  // loader buffer full
inline constexpr unsigned char CAN = 0x18;  // loader fatal error

// The COM port numbers the connect and firmware commands accept.
inline constexpr long min_com_port = 1;
inline constexpr long max_com_port = 20;

// The start of connect and firmware, which open a port: the port number of
// the command's port word, or 0 after a message: already_connected when a
// link is connected, missing when there is no port word, "invalid COM port
// number" when it lies outside min_com_port..max_com_port.
long command_com_port(const char* port_word, const char* already_connected, const char* missing);

// The time the operator has to power the device on (or cycle its power),
// named in the prompts of connect and firmware, and the read that waits for
// the device's first bytes in both.
inline constexpr int power_on_seconds = 20;
inline constexpr int power_on_window_ms = power_on_seconds * 1000;

// True for the five rates of link_bauds.
bool is_link_baud(long rate);

// The first occurrence of text within exactly size bytes of data, or null.
const unsigned char* find_bytes(const unsigned char* data, std::size_t size, const char* text);

// The firmware version announced after "Version ": major from the start of
// text, minor after the first "." that follows within size bytes (0 when no
// "." follows, so "Version 3" reads as 3.0 and "Version 2" as 2.0).
struct device_version {
    long major;
    long minor;
};
device_version parse_version(const unsigned char* text, std::size_t size);

// Throws away what the line of the open port still carries: reads of up to
// size bytes into buffer with a 100 ms limit until one ends in silence, then
// purges the line. No read starts after drain_limit_ms: a line that never
// falls silent (another device on the port) cannot hold the command for
// ever, and what comes next then fails with its own message.
inline constexpr int drain_limit_ms = 1000;
void drain_line(unsigned char* buffer, int size);

// The results of connect_device: 0, or where the power-up handshake (1 to
// 6) or the re-synchronisation after a baud change (7, 8) stopped.
enum connect_result : int {
    connect_ok = 0,
    connect_already_connected = 1,
    connect_open_failed = 2,       // the port is not open
    connect_no_device_name = 3,    // from here on the port is closed again
    connect_version_refused = 4,   // no version, or one below the minimum
    connect_attention_failed = 5,  // the attention character not written
    connect_not_confirmed = 6,     // no "Connected <rate>" after it
    connect_cr_failed = 7,         // the carriage return not written
    connect_no_prompt = 8,         // no prompt after it
};

// Puts the device link back as the program starts: the port closed (the
// port layer's own settings are port_reset's), link_state as at start and
// rx_buffer cleared.
void link_reset();

// Link commands; a null argument is a missing one.
int connect_device(std::int32_t rate, int resync);
void connect_command(const char* port_word, const char* baud_word);
void disconnect_command();
void baud_command(const char* baud_word);
// Closes the port, the link no longer connected, and prints Disconnected: the
// end of disconnect, of a download and of a firmware update.
void end_link();

// Download protocol.
extern const std::uint16_t* const dwn_crc_table;  // 256 entries
std::uint16_t dwn_crc16(std::uint16_t reg, const unsigned char* bytes, int count,
                        const std::uint16_t* table);
int dwn_write_pkt(unsigned char* packet, int length);
int dwn_write_file(const unsigned char* image, int length);
int dwn_download();
// The download command; the operator's answers to its questions are read
// into answer_line (size bytes), the console's command line buffer.
void download_command(char* answer_line, int size);

// Firmware file check.
// The line buffer of the firmware file reader: a longer line is read in
// pieces of firmware_line_size - 1 characters, each a line of its own, and
// the update sends the record lines exactly as the check read them.
inline constexpr int firmware_line_size = 512;
int hex_value(const char* text, int count);
int hex_line_sum(const char* text);
// The record lines that the check accepted, in order, in one buffer (a
// file of short records would take several times its size as one string per
// record): for each record the count of lines since the record before it
// (since line 0 for the first), in 7-bit groups, low group first, each but
// the last with its high bit set, then the record's text without its line
// end, 2n + 11 characters for a byte count n. It takes no more than the
// file's size and one byte.
struct hex_records {
    std::string packed;
    std::uint64_t digest = 0;  // of the whole file as the check read it
};
// One accepted record: its line number (every line read counts, from 1) and
// its text, inside the hex_records it was taken from.
struct hex_record {
    unsigned long line_number = 0;
    std::string_view text;
};
// The record at offset at of records, the one after previous; at moves on
// past it. False when no record is left.
bool next_hex_record(const hex_records& records, std::size_t& at, hex_record& record);
// The digest of a firmware file's content as the check reads it (an FNV-1a
// hash of 64 bits): false when the file cannot be opened or read.
bool firmware_file_digest(const char* file_name, std::uint64_t& digest);
// Checks every record of the file: the record count, or a negative code after
// its message. With accepted given, the record lines that passed are kept
// there in order, with the digest of what was read: the firmware update
// sends exactly those, so a file changed after its check never sends a line
// the check did not see. Only the first piece of an over-long line can be a
// record; the pieces after it are part of that line, never records. A file
// passes only with an end-of-file record as its last record (lines that are
// not records may follow it), so what is kept is always a whole image.
int inhexverify(std::FILE* file, hex_records* accepted = nullptr);

// Firmware update. The results of firmware: 0 when every record was
// accepted, or the step that stopped it (-3 is not used).
enum firmware_result : int {
    firmware_ok = 0,
    firmware_no_file_name = -1,
    firmware_cannot_open = -2,
    firmware_file_faulty = -4,  // the check failed, or the file changed after it
    firmware_port_failed = -5,
    firmware_no_prompt = -6,
    firmware_sync_write_failed = -7,
    firmware_not_synchronised = -8,
    firmware_identifier_write_failed = -9,
    firmware_identifier_refused = -10,
    firmware_record_write_failed = -11,
    firmware_too_many_errors = -12,
    firmware_loader_fatal = -13,  // CAN
    firmware_loader_full = -14,   // ETB
};
int firmware(int port_number, const char* file_name);
void firmware_progress(std::uint32_t sent, std::uint32_t total);
// The progress line for a given elapsed time in whole seconds: "\r", elapsed,
// time to completion, percentage, then a bar of up to 59 '=' characters.
std::string firmware_progress_line(std::int64_t elapsed, std::uint32_t sent, std::uint32_t total);
void firmware_command(const char* port_word, const char* file_name);

}  // namespace pello
