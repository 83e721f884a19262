// pellomatic-sim, the device emulator: what its parts share. The emulator
// stands in for the Pellomatic on a pseudo-terminal: the operating console,
// the download packet mode and the firmware loader, with faults on demand.
#pragma once

#include "device/device.hpp"  // the control bytes of the line: ACK, NAK, SYN, ...
#include "textio/textio.hpp"  // format_text: printf into a std::string

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pello::sim {

using sim_clock = std::chrono::steady_clock;
using time_point = sim_clock::time_point;
using nanoseconds = std::chrono::nanoseconds;
using milliseconds = std::chrono::milliseconds;

// An answer the device decided on: a byte, or one of these.
inline constexpr int answer_none = -1;    // stay silent
inline constexpr int answer_hangup = -2;  // hang the line up

struct options {
    std::string link;      // where the slave side of the pseudo-terminal is linked
    std::string out_dir;   // where sessions write what they received ("": nowhere)
    std::string log_path;  // trace file ("": none)
    int power_delay_ms = 300;
    int power_at_flush = 0;  // power up at the host's Nth flush of its input (0: not)
    bool manual_power = false;
    int loader_wait_ms = 500;
    bool stdin_power = false;
    std::string name = "Pellomatic";
    bool no_name = false;
    std::string version = "2.1";
    bool version_first = false;
    bool silent = false;
    bool has_confirm = false;
    std::string confirm;
    bool startup_nul = false;
    int noise = 0;
    bool short_startup = false;
    bool no_prompt = false;
    int nak_first = 0;
    std::map<long, unsigned char> reply_at;  // packet or record number -> answer
    std::set<long> silent_at;
    std::set<long> hangup_at;
    std::set<long> stall_at;   // packet or record numbers before whose answer the line stalls
    int download_answer = -1;  // bytes of answer to "download\r\n"; -1: the usual echo
    // Slow answers and faults of the handshakes.
    int confirm_delay_ms = 0;      // answer to 0x03 this late
    int sync_delay_ms = 0;         // ACK of SYN this late
    int ident_delay_ms = 0;        // answer to the identifier this late
    std::map<long, int> delay_at;  // packet or record number -> answer this many ms late
    int confirm_hangup = -1;       // bytes of the answer to 0x03 before a hang-up; -1: none
    int hangup_delay_ms = 50;      // a hang-up comes this long after what triggered it
    bool ident_hangup = false;     // hang up instead of answering the identifier
    int nul_storm = 0;             // NUL bytes before every byte sent
    int chatter_ms = 0;  // another device on the line: a sentence this often, nothing else
    bool pace = false;
    bool fill = false;
    bool once = false;
    bool quiet = false;
};

// What a session received (packets, or record lines) and answered: the
// numbers K of the faults count from 1, resends included; a resend repeats
// the one refused just before, byte for byte.
struct answer_book {
    long number = 0;       // received so far, resends included
    std::string previous;  // the one received last
    bool previous_accepted = true;
    int sends = 0;  // sends of the previous one so far
    long resends = 0;
    long acked = 0, refused = 0, dc1 = 0, dc2 = 0, other = 0, unanswered = 0;  // answers given
};

// The answer to one received: which it is, and the how-manieth send of it.
struct decided_answer {
    int answer;
    int sends;
};

// Packet mode of one download session.
struct download_state {
    std::vector<unsigned char> packet;   // the packet being received
    bool skip_lf = true;                 // the line feed of "download\r\n" may still come
    bool discarding = false;             // a bad packet: drop input until the line pauses
    std::string bad_reason;              // why the discarded packet is refused
    std::vector<unsigned char> discard;  // bytes dropped while resynchronising
    time_point quiet_until{};
    time_point last_byte{};
    answer_book book;  // packets received and the answers given
    long crc_good = 0, crc_bad = 0, length_bad = 0;
    long conf_size = -1, rules_size = -1;  // announced sizes, -1 before the command
    int target = 0;                        // image the data packets fill: 0 none, 1 conf, 2 rules
    std::vector<unsigned char> conf, rules;
    std::vector<std::string> commands;
    bool finished = false;
    std::vector<std::string> anomalies;
    std::string log;    // packets.log
    long written = -1;  // packets received when the files were last written
};

// Firmware loader of one update session.
struct loader_state {
    bool identified = false;
    std::string ident;  // identifier bytes received so far
    long ident_refused = 0;
    std::string line;  // the record line being received (up to the CR)
    std::size_t line_length = 0;
    answer_book book;  // record lines received and the answers given
    long types[6] = {};
    bool eof_seen = false;
    std::uint32_t base = 0;  // from the last type 02 or 04 record
    std::map<std::uint32_t, unsigned char> image;
    std::vector<std::string> anomalies;
    std::string log;    // firmware.log
    long written = -1;  // record lines received when the files were last written
};

// What the host utility does that the device's answers are shaped for (the
// host's own definitions, device/device.hpp). connect reads the start-up text
// with one read of host_startup_read bytes; the start-up text is longer, so
// that read ends at once. The answers to 0x03 and to "\r" are read into the
// host's rx_buffer: --fill pads an answer to make exactly one such read.
inline constexpr long host_startup_read = startup_read_bytes;
inline constexpr long host_answer_read = sizeof rx_buffer;

enum class mode { off, boot, console, packet, loader, silent };
enum class session_kind { none, download, firmware };

struct device {
    options opt;
    // The line.
    int master = -1;
    std::string slave;
    int notify = -1;    // inotify on the slave: the host opening and closing it
    int stall_fd = -1;  // the slave, held while its output is stopped (a stalled line)
    int watch = -1;
    int host_opens = 0;
    int reopen_flushes = 0;  // flushes seen while a close was handled
    bool host_open = false;
    bool host_closing = false;
    bool link_made = false;
    time_point opened_at{};  // when the host opened the port
    // Power and mode.
    mode state = mode::off;
    bool power_pending = false;
    int flushes_to_power = 0;  // flushes of the host's input still to come before power-up
    time_point power_at{};
    time_point boot_until{};
    // Bytes in and out; each received byte carries the time it is handled.
    std::deque<std::pair<time_point, unsigned char>> rx;
    time_point rx_last{};
    time_point rx_handled{};  // while a received byte is handled: the time it arrived
    std::deque<unsigned char> tx;
    time_point tx_next{};
    time_point tx_hold{};                        // nothing is sent before this (a slow answer)
    time_point hangup_due = time_point::max();   // a planned hang-up (--hangup-delay)
    time_point chatter_due = time_point::max();  // the next sentence of --chatter
    // Operating console.
    std::string console_line;
    long host_rate = 0;
    long unread = 0;            // bytes sent that the host has not read (--fill)
    bool startup_read = false;  // the host's first read of the start-up text is accounted
    // Sessions.
    session_kind session = session_kind::none;
    bool had_session = false;  // this opening of the port ran a download or an update
    download_state dl;
    loader_state ld;
    bool hangup = false;
    bool quit = false;
};

// line_rate.cpp: the rates set on a terminal (on a pseudo-terminal's
// master side: the ones the host set on the slave), in baud; 0 when unknown.
struct line_rates {
    bool readable = false;  // the terminal's settings could be read
    long in = 0, out = 0;
};
line_rates read_line_rates(int fd);
// termios2.cpp: the rates of the kernel's termios2 record, which holds the
// ones without a B constant too; false where there is no termios2 (qemu-user
// does not implement it).
bool read_termios2_rates(int fd, line_rates& rates);

// trace.cpp
void trace_open(const std::string& path);
void trace_close();
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void event(const device& d, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_bytes(const char* what, const unsigned char* bytes, std::size_t count);
std::string hex_bytes(const unsigned char* bytes, std::size_t count);
std::string quoted(const char* text, std::size_t max);
bool write_out(const device& d, const char* name, std::string_view data);

// pty.cpp
bool open_line(device& d);
void close_line(device& d);
void remove_link(const device& d);
void check_host(device& d, time_point now);
void read_master(device& d, time_point now);
void stall_line(device& d);
void resume_line(device& d);

// device.cpp
nanoseconds char_time(const device& d);
void send(device& d, std::string_view bytes);
void send_byte(device& d, unsigned char byte);
void hold_answer(device& d, int delay_ms, const char* what);
void plan_hangup(device& d, const char* why);
void flush_tx(device& d, time_point now);
void host_opened(device& d, time_point now);
void host_closed(device& d, time_point now);
// The host threw away what it had received (a flush of its input).
void host_flushed(device& d, time_point now);
// Handles at once everything the host has written that is still waiting,
// in the line or in the emulator's queue (at a close, and when the emulator
// ends while the host has the port open).
void handle_pending_input(device& d, time_point now);
// The loader waits for SYN until --loader-wait ms after switched_on.
void power_on(device& d, time_point now, time_point switched_on);
void power_off(device& d, const char* why);
void power_cycle(device& d, time_point now, const char* why);
void handle_due(device& d, time_point now);
time_point next_wake(const device& d, time_point now);
// One more received (book.number counts it): whether it is a resend, and the
// answer, natural unless a fault says otherwise.
decided_answer answer_for(device& d, answer_book& book, std::string_view received,
                          unsigned char natural);
// Gives the answer decided and books it.
void give_booked_answer(device& d, answer_book& book, std::string_view received,
                        decided_answer decided);
std::string answer_text(int answer);
// A download or a firmware update begins (its record starts afresh), or the
// current one ends (what it received is written).
void begin_session(device& d, session_kind kind);
void end_session(device& d);

// download.cpp
void download_begin(device& d);
void download_byte(device& d, unsigned char byte, time_point t);
void download_timers(device& d, time_point now);
bool download_deadline(const device& d, time_point& when);
void download_write(device& d);

// loader.cpp
void loader_begin(device& d);
void loader_byte(device& d, unsigned char byte);
void loader_write(device& d);

}  // namespace pello::sim
