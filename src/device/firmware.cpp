// The firmware update: the checked Intel HEX file goes record by record to
// the device's loader, which runs for a short time after power-on.
#include "device/device.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "serial/serial.hpp"
#include "textio/textio.hpp"

namespace pello {

namespace {

constexpr unsigned char CR = 0x0D;
constexpr const char identifier[] = "PeLoMa1.0";  // 9 bytes, sent without terminator
constexpr std::int32_t loader_baud = 19200;
constexpr int update_minutes = 5;
// The loader's answer windows: the rest of its prompt after the first byte,
// the ACK of the sync character, the ACK of the identifier, and the status
// byte of each record line.
constexpr int prompt_tail_ms = 100;
constexpr int sync_ack_ms = 200;
constexpr int identifier_ack_ms = 5000;
constexpr int record_ack_ms = 100;
constexpr int max_errors = 10;
constexpr int bar_max = 59;

// Start of the sending pass, in whole seconds.
std::time_t start_time = 0;

// What tells a changed firmware file: its size and the time it was last
// written, through its name (an editor's save puts a new file there), and
// the digest of its content, which a rewrite of the same size with its time
// set back, or another file renamed over it, does not keep.
struct file_stamp {
    bool found = false;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type written{};
    std::uint64_t digest = 0;
    bool operator==(const file_stamp&) const = default;
};

file_stamp stamp_of(const char* file_name)
{
    std::error_code error;
    file_stamp stamp;
    stamp.size = std::filesystem::file_size(file_name, error);
    if (!error)
        stamp.written = std::filesystem::last_write_time(file_name, error);
    stamp.found = !error;
    return stamp;
}

// Once the port is open, every way out closes it and tells the operator (no
// link is connected while the loader talks: firmware_command refuses then).
struct port_session {
    port_session() = default;
    port_session(const port_session&) = delete;
    port_session& operator=(const port_session&) = delete;
    ~port_session() { end_link(); }
};

// Waits for the loader's prompt after power-on; false (with the bytes seen)
// when none came.
bool catch_prompt()
{
    std::memset(rx_buffer, 0, 4);
    int first = read_port(link_state.port_name, rx_buffer, 1, power_on_window_ms);
    int more = read_port(link_state.port_name, rx_buffer + 1, 3, prompt_tail_ms);
    for (int i = 0; i < 4; ++i)
        if (rx_buffer[i] == ENQ)
            return true;
    std::printf("\n\a\aError: did not receive the Pellomatic Firmware prompt!\n");
    const unsigned b0 = rx_buffer[0], b1 = rx_buffer[1], b2 = rx_buffer[2], b3 = rx_buffer[3];
    switch (first + more) {
    case 0:
        std::printf("No data was read!\n");
        break;
    case 1:
        std::printf("Got 1: 0x%02x\n", b0);
        break;
    case 2:
        std::printf("Got 2: 0x%02x 0x%02x\n", b0, b1);
        break;
    case 3:
        std::printf("Got 3: 0x%02x 0x%02x 0x%02x\n", b0, b1, b2);
        break;
    default:
        std::printf("Got 4: 0x%02x 0x%02x 0x%02x 0x%02x\n", b0, b1, b2, b3);
        break;
    }
    return false;
}

// One status byte of the loader, 0x00 when it stayed silent.
unsigned char loader_answer(int limit_ms)
{
    rx_buffer[0] = 0;
    read_port(link_state.port_name, rx_buffer, 1, limit_ms);
    return rx_buffer[0];
}

// The loader's refusal of the record of line_number, told the operator:
// firmware_ok when the record goes again, else the result that ends the
// update.
int refused_record(unsigned char answer, unsigned long line_number)
{
    switch (answer) {
    case 0x00:
        std::printf("\n\a\aError: Firmware updating error: timed out on Line %lu, "
                    "resending.\n",
                    line_number);
        return firmware_ok;
    case DC1:
        std::printf("\n\a\aError: Firmware updating error: didn't get start character on "
                    "Line %lu, resending.\n",
                    line_number);
        return firmware_ok;
    case DC2:
        std::printf("\n\a\aError: Firmware updating error: bad record checksum on Line "
                    "%lu, resending.\n",
                    line_number);
        return firmware_ok;
    case NAK:
        std::printf("\n\a\aError: Firmware updating error: validation on Line %lu, "
                    "resending.\n",
                    line_number);
        return firmware_ok;
    // No blank before the dash of aborting: the system's own text; keep it.
    case ETB:
        std::printf("\n\a\aError: Firmware updating error: buffer full on Line %lu- "
                    "aborting!\n",
                    line_number);
        return firmware_loader_full;
    case CAN:
        std::printf("\n\a\aError: Firmware updating error: fatal on Line %lu- aborting!\n",
                    line_number);
        return firmware_loader_fatal;
    default:
        std::printf("\n\a\aError: Firmware updating error: unknown (0x%02x) on Line %lu, "
                    "resending.\n",
                    static_cast<unsigned>(answer), line_number);
        return firmware_ok;
    }
}

// The count of records accepted and of refusals, over the whole pass.
struct send_tally {
    std::uint32_t sent = 0;
    int errors = 0;
};

// Sends one record line until the loader accepts it: firmware_ok then, else
// the result that ends the update.
int send_record(const hex_record& record, int total, send_tally& tally)
{
    std::string out(record.text);
    out += static_cast<char>(CR);
    const int out_len = static_cast<int>(out.size());
    for (;;) {
        // A status byte that came after its window answered an earlier
        // send: throw it away, so that the byte read next is the answer
        // to this send and a refused record is never taken as accepted.
        purge_port();
        if (write_port(link_state.port_name, out.data(), out_len) != out_len) {
            // The attention character named for a record write: the system's own text; keep it.
            std::printf("\a\aError: wrote FIRMSYNC attention character, got error on port %s\n",
                        link_state.port_name);
            return firmware_record_write_failed;
        }
        unsigned char answer = loader_answer(record_ack_ms);
        if (answer == ACK) {
            ++tally.sent;
            firmware_progress(tally.sent, static_cast<std::uint32_t>(total));
            return firmware_ok;
        }
        if (++tally.errors >= max_errors) {
            // No blank before the dash of aborting: the system's own text; keep it.
            std::printf("\n\a\aError: maximum Firmware updating errors (%d) encountered- "
                        "aborting!\n",
                        max_errors);
            return firmware_too_many_errors;
        }
        if (int result = refused_record(answer, record.line_number); result != firmware_ok)
            return result;
    }
}

// Sends the record lines the check accepted, in order, each until the
// loader accepts it. The file is not read again: what goes out is exactly
// what was checked, with the line numbers of the check.
int send_records(const hex_records& records, int total)
{
    start_time = std::time(nullptr);
    send_tally tally;
    std::size_t at = 0;
    hex_record record;
    while (next_hex_record(records, at, record)) {
        if (int result = send_record(record, total, tally); result != firmware_ok)
            return result;
    }
    std::printf("\n");  // ends the progress line
    return firmware_ok;
}

// The loader conversation on the open port, for the records checked in the
// file as it was when stamped.
int talk_to_loader(const hex_records& records, int total, const char* file_name,
                   const file_stamp& checked)
{
    // Drop whatever the line still carries.
    drain_line(rx_buffer, static_cast<int>(sizeof rx_buffer));

    std::printf("\n\a\aWARNING! The Pellomatic Firmware is about to be updated!\n"
                "This will take less than %d minutes.\n"
                "Do NOT interrupt the process once started!\n"
                "If power is interrupted during this process you may not be able\n"
                "to communicate with the Pellomatic due to firmware corruption.\n"
                "If this happens correct the power problem and restart this entire process.\n\n"
                "Type the Enter key when you are ready to continue...",
                update_minutes);
    char enter[1024];
    read_operator_line(enter, static_cast<int>(sizeof enter));  // end of input continues too

    // A file rewritten while the operator got ready (a rebuild, an editor's
    // save) is not the firmware the operator confirmed: the update stops
    // before the device is touched, and the operator starts it again.
    file_stamp now = stamp_of(file_name);
    if (now.found)
        now.found = firmware_file_digest(file_name, now.digest);
    if (!(now == checked)) {
        std::printf("\n\a\aError: Firmware file %s changed after it was checked!\n", file_name);
        return firmware_file_faulty;
    }

    std::printf("\nTo begin TURN ON the Pellomatic or CYCLE THE POWER if it is already on.\n"
                "\a\aYou have %ld seconds to do this...",
                static_cast<long>(power_on_seconds));
    if (!catch_prompt())
        return firmware_no_prompt;

    if (write_port(link_state.port_name, &SYN, 1) != 1) {
        std::printf("\n\a\aError: wrote FIRMSYNC sync character, got error on port %s\n",
                    link_state.port_name);
        return firmware_sync_write_failed;
    }
    if (loader_answer(sync_ack_ms) != ACK) {
        std::printf("\n\a\aError: did not synchronize with the Pellomatic!\n");
        return firmware_not_synchronised;
    }
    // The bell before the line end is the system's own order; keep it.
    std::printf("\a\nConnected at %ld\n", static_cast<long>(loader_baud));

    const int id_len = static_cast<int>(sizeof identifier - 1);
    if (write_port(link_state.port_name, identifier, id_len) != id_len) {
        std::printf("\n\a\aError: wrote %s identifier, got error on port %s\n", identifier,
                    link_state.port_name);
        return firmware_identifier_write_failed;
    }
    if (loader_answer(identifier_ack_ms) != ACK) {
        std::printf("\n\a\aError: did not receive %s identifier acknowledgement!\n", "PeLoMa");
        return firmware_identifier_refused;
    }
    std::printf("\n\n");
    return send_records(records, total);
}

}  // namespace

std::string firmware_progress_line(std::int64_t elapsed, std::uint32_t sent, std::uint32_t total)
{
    double fraction = total > 0 ? static_cast<double>(sent) / static_cast<double>(total) : 0.0;
    std::uint32_t to_completion = 0;
    if (fraction > 0.0) {
        double whole = std::trunc(static_cast<double>(elapsed) / fraction);
        if (std::fabs(whole) < 9.0e18)
            to_completion = static_cast<std::uint32_t>(static_cast<std::int64_t>(whole) - elapsed);
    }
    double bar_len = std::trunc(fraction * bar_max);
    int bar = bar_len < 0 ? 0 : (bar_len > bar_max ? bar_max : static_cast<int>(bar_len));
    char text[96];
    // The elapsed time is a signed 64-bit count of seconds on every platform.
    std::snprintf(text, sizeof text, "\r%3llds TTC %3lus %4.1f%% ", static_cast<long long>(elapsed),
                  static_cast<unsigned long>(to_completion), fraction * 100.0);
    return std::string(text) + std::string(static_cast<std::size_t>(bar), '=');
}

void firmware_progress(std::uint32_t sent, std::uint32_t total)
{
    std::int64_t elapsed = static_cast<std::int64_t>(std::time(nullptr) - start_time);
    std::string line = firmware_progress_line(elapsed, sent, total);
    std::fwrite(line.data(), 1, line.size(), stdout);
}

int firmware(int port_number, const char* file_name)
{
    if (file_name == nullptr) {
        std::printf("firmware: Error: param filename is invalid\n");
        return firmware_no_file_name;
    }
    text_file file = open_text_file(file_name);
    if (!file) {
        std::printf("\a\aError: cannot open %s\n", file_name);
        return firmware_cannot_open;
    }
    file_stamp checked = stamp_of(file_name);  // before the check reads the file
    hex_records records;
    int total = inhexverify(file.get(), &records);
    if (total < 1) {
        std::printf("\a\aError: Firmware file has some kind of error!\n");
        return firmware_file_faulty;
    }
    checked.digest = records.digest;
    std::snprintf(link_state.port_name, sizeof link_state.port_name, "COM%d", port_number);
    if (open_port(link_state.port_name, loader_baud) != 0) {
        std::printf("\a\aError: could not open COM port %s\n", link_state.port_name);
        return firmware_port_failed;
    }
    file.reset();  // every record is held: the file is read only once
    port_session session;
    return talk_to_loader(records, total, file_name, checked);
}

void firmware_command(const char* port_word, const char* file_name)
{
    long number = command_com_port(port_word, "\a\aError: already Connected, Disconnect first!\n",
                                   "\a\aError: missing arguments: com_port file_name\n");
    if (number == 0)
        return;
    if (file_name == nullptr) {
        std::printf("\a\aError: missing argument: file_name\n");
        return;
    }
    // The name as a line buffer holds it: its first line_size - 1 bytes.
    char name[line_size];
    std::snprintf(name, sizeof name, "%s", file_name);

    char answer[40];
    if (!ask_yes_no("\a\aWARNING! This will alter the Pellomatic firmware!\n"
                    "Do you want to continue (n or y)? [n]: ",
                    answer, static_cast<int>(sizeof answer))) {
        std::printf("Pellomatic Firmware will NOT be updated!\n");
        return;
    }
    if (firmware(static_cast<int>(number), name) == firmware_ok)
        std::printf("\a\aFirmware update succeeded!\n\nPower cycle Pellomatic!\n"
                    "Don't forget to Configure Operating Parameters, Process Rules\n"
                    "and Download these to the Pellomatic!\n");
    else
        std::printf("Error: Firmware update failed!\n\tPower cycle Pellomatic and try again!\n");
}

}  // namespace pello
