// Shared helpers of the libFuzzer targets: quiet output, memory files that
// the parsers open by name, the utility's records put back to their start-up
// state before every run, and the report of a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pello::fuzz {

// Standard output to /dev/null (the utility prints a lot, and the fuzzer's own
// report goes to standard error), unless PELLOMATIC_FUZZ_VERBOSE is set, as
// when a finding is replayed. Standard input from /dev/null, so that no
// question of the utility waits for a terminal.
void quiet_stdio();

// A file in memory (memfd) that the code under test opens by its path
// /proc/self/fd/N, as it would open a file the operator named.
struct memory_file {
    int fd = -1;
    std::string path;
};

memory_file memory_file_create(const char* name);

// Replaces the file's contents with the given bytes.
void memory_file_set(const memory_file& file, const std::uint8_t* data, std::size_t size);

// Writes a real file (for names typed at the console and the firmware file).
void write_file(const std::string& path, const char* text);

// A fresh private folder under the system's temporary folder.
std::string make_temp_dir(const char* tag);

// Every global record of the utility back to its state at program start:
// default configuration, empty rule table, link disconnected, empty console
// line buffers, port closed.
void reset_state();

// A broken invariant: the message to standard error, then abort, which the
// fuzzer reports as a crash with the input that caused it.
[[noreturn]] void finding(const char* what);

// Checks that hold for the configuration record whatever a Configuration
// file holds; finding() when one does not.
void check_conf_record();

}  // namespace pello::fuzz
