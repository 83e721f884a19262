// End-to-end test helpers, shared by the end-to-end and fault tests: the
// utility built with the test port template, run with scripted input against
// the emulator, and the texts and bytes the tests compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/run.hpp"
#include "support/sim.hpp"

namespace pello::e2e {

using bytes = std::vector<unsigned char>;

// The utility's own texts that the end-to-end and fault tests compare.
inline const std::string P = "Command> ";
inline const std::string q_conf = "\a\aWarning: Configuration file has not yet been processed!\n"
                                  "Do you want to use the Default Configuration? (yes|no) [no]: ";
inline const std::string q_rules =
    "\n\a\aWarning: Rules file has not yet been processed!\n"
    "Do you  want to use the Implicit Rule only without specific rules?\n(yes|no) [no]: ";
inline const std::string download_ok =
    "Downloading Configuration succeeded\nDownloading Rules succeeded\n";
inline const std::string power_off =
    "\a\aPlease Power OFF the Pellomatic and power it back on to RESET it.\nDisconnected\n";
inline const std::string fw_question = "\a\aWARNING! This will alter the Pellomatic firmware!\nDo "
                                       "you want to continue (n or y)? [n]: ";
inline const std::string fw_warning =
    "\n\a\aWARNING! The Pellomatic Firmware is about to be updated!\n"
    "This will take less than 5 minutes.\nDo NOT interrupt the process once started!\n"
    "If power is interrupted during this process you may not be able\n"
    "to communicate with the Pellomatic due to firmware corruption.\n"
    "If this happens correct the power problem and restart this entire process.\n\n"
    "Type the Enter key when you are ready to continue..."
    "\nTo begin TURN ON the Pellomatic or CYCLE THE POWER if it is already on.\n"
    "\a\aYou have 20 seconds to do this...";
inline const std::string fw_in_contact = "\a\nConnected at 19200\n";
inline const std::string fw_succeeded =
    "\a\aFirmware update succeeded!\n\nPower cycle Pellomatic!\n"
    "Don't forget to Configure Operating Parameters, Process Rules\n"
    "and Download these to the Pellomatic!\n";
inline const std::string fw_failed =
    "Error: Firmware update failed!\n\tPower cycle Pellomatic and try again!\n";

// Runs the utility with the given operator input.
test::run_result run_utility(const std::string& input, int timeout_ms = 60000);

// What the utility printed after its banner and command summary, from the
// first prompt on.
std::string transcript(const std::string& out);

// The lines of a successful connect at rate, after "Command> ".
std::string connect_ok(long rate);

// The lines up to the 20-second window of a connect at rate.
std::string connect_start(long rate);

// The hex dump the handshake prints for these bytes.
std::string dump(const bytes& data);

// The byte runs the emulator traced as sent ("send") or received ("recv"),
// in order.
std::vector<bytes> traced(const std::string& log, const std::string& direction);

// Packets and their answers from the emulator's packets.log.
struct logged_packet {
    bytes packet;
    unsigned char answer;
};
std::vector<logged_packet> logged_packets(const std::string& log);

// The packet the host must send for a payload: length, payload and CRC-16
// (CRC-16/SPI-FUJITSU computed bit by bit, independent of the utility).
bytes packet_for(const bytes& payload);
// A command packet: name and decimal size, NUL padded; size < 0: no size.
bytes command_packet(const std::string& name, long size);

// The record lines of a firmware file, in order.
std::vector<std::string> record_lines(const std::string& text);

// Lines of a text file's content.
std::vector<std::string> lines_of(const std::string& text);

// A utility kept running with its standard input open, for tests that need
// it to hold the port while something else happens.
class live_utility {
public:
    live_utility();
    ~live_utility();
    live_utility(const live_utility&) = delete;
    live_utility& operator=(const live_utility&) = delete;
    void send(const std::string& text);
    // Waits until the output holds text; false after timeout_ms.
    bool wait_for(const std::string& text, int timeout_ms);
    // Waits for the next "Command> " after the last one waited for; what the
    // utility printed before it ("(no prompt) ..." after timeout_ms).
    std::string next_prompt(int timeout_ms = 30000);
    // Closes its input and waits for it to end; returns the exit status.
    int finish();
    const std::string& out() const { return out_; }
    int pid() const { return pid_; }

private:
    void pump(int timeout_ms);
    int pid_ = -1;
    int in_ = -1;
    int out_fd_ = -1;
    std::string out_;
    std::size_t seen_ = 0;  // where next_prompt looks from
};

}  // namespace pello::e2e
