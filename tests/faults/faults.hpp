// Fault injection against the emulator: what the utility must do when the line
// hangs up, carries noise and NUL storms, answers late, and that no command
// leaves a file or the port open behind it.
#pragma once

#include <string>
#include <vector>

#include "support/com_numbers.hpp"
#include "support/e2e.hpp"

namespace pello::faults {

using namespace pello::e2e;
using pello::test::com_lock;
using pello::test::run_result;
using pello::test::sim_device;

// Every test here holds the com_lock of its number for its whole run, so
// that CTest may run them in parallel: two at a time, one on each number.
inline constexpr int com_a = pello::test::com::faults_a;
inline constexpr int com_b = pello::test::com::faults_b;

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
