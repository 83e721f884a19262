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
