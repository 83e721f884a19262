// Fault injection against the emulator: what the utility must do when the line
// hangs up, carries noise and NUL storms, answers late, and that no command
// leaves a file or the port open behind it.
#pragma once

#include <string>
#include <vector>

#include "support/e2e.hpp"

namespace pello::faults {

using namespace pello::e2e;
using pello::test::com_lock;
using pello::test::run_result;
using pello::test::sim_device;

// The utility takes COM1 to COM20 only. The end-to-end tests use 1 to 10, the
// device tests 11 to 13, the serial tests 15, 16, 18 and 19 (19 must not
// exist), the benchmark 20; 14 and 17 are left. Every test here holds the
// com_lock of its number for its whole run, so that CTest may run them in
// parallel: two at a time, one on each number.
inline constexpr int com_a = 14;
inline constexpr int com_b = 17;

inline const std::string P = "Command> ";

inline const std::string q_conf =
    "\a\aWarning: Configuration file has not yet been processed!\n"
    "Do you want to use the Default Configuration? (yes|no) [no]: ";
inline const std::string q_rules =
    "\n\a\aWarning: Rules file has not yet been processed!\n"
    "Do you  want to use the Implicit Rule only without specific rules?\n(yes|no) [no]: ";
inline const std::string download_ok =
    "Downloading Configuration succeeded\nDownloading Rules succeeded\n";
inline const std::string power_off =
    "\a\aPlease Power OFF the Pellomatic and power it back on to RESET it.\nDisconnected\n";

inline const std::string fw_question =
    "\a\aWARNING! This will alter the Pellomatic firmware!\nDo you want to continue (n or y)? [n]: ";
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

// A firmware file of four records, one per line: an address record, two
// data records, the end-of-file record.
inline const std::vector<std::string> fw_records = {
    ":020000040000FA",
    ":10010000214601360121470136007EFE09D2190140",
    ":100110002146017E17C20001FF5F16002148011928",
    ":00000001FF",
};

// Writes the firmware file into a fresh folder of the test and returns its path.
std::string firmware_file(const std::string& test_name);

// What a line that hung up under a read leaves on standard error.
std::string read_failure(int com);

// The emulator's sends of the session, NUL bytes left out (the host never
// sees them), as one stream: the loader prompt, the start-up text, answers.
bytes sent_stream(const sim_device& sim);

// Lines of the firmware progress in a transcript (each begins with "\r").
int progress_lines(const std::string& text);

}  // namespace pello::faults
