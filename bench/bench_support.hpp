// What the benchmark programs share: time figures, the table rows they
// report, the files they generate (Rules, Configuration and Intel HEX files
// of valid lines) and starting the utility with scripted standard input.
//
// Every benchmark prints its results as rows of one Markdown table,
//   | item | measure | result | goal | verdict |
// and remarks as Markdown list items ("- ..."); scripts/bench.sh gathers
// them into docs/PERFORMANCE.md. Whatever else a program prints goes to
// standard error.
#pragma once

#include "textio/textio.hpp"  // format_text: printf into a std::string

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pello::bench {

using pello::format_text;

using steady = std::chrono::steady_clock;

double ms_between(steady::time_point from, steady::time_point to);

// CPU time of the calling thread and of the whole process, in ms.
double thread_cpu_ms();
double process_cpu_ms();

struct figures {
    std::size_t count = 0;
    double p50 = 0, p99 = 0, max = 0, mean = 0;
};
figures summarize(std::vector<double> samples);

// "p50 0.081 / p99 0.140 / max 0.310 ms" (3 decimals).
std::string pmax_text(const figures& f);

// The results: rows and remarks go to the report stream, which is the
// program's standard output as it was when report_begin was called. After
// report_begin, file descriptor 1 (what the utility's own functions print
// on) goes to quiet_path instead: /dev/null or a log file kept for a look
// when a figure is odd.
void report_begin(const char* quiet_path);
void row(const std::string& item, const std::string& measure, const std::string& result,
         const std::string& goal, const std::string& verdict);
void remark(const std::string& line);
void report_end();
// Errors of the benchmark itself, on standard error.
void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "met" when ok, "MISSED" otherwise.
const char* verdict(bool ok);

// Generated input files.
// A Rules file of rule_count rules of every rule type (no implicit line, so
// all rule_count become rule records), with a comment line now and then.
std::string rules_file_text(int rule_count);
// A Configuration file of valid lines (every keyword, the three angle
// notations, comments), repeated to at least min_bytes.
std::string conf_file_text(std::size_t min_bytes);
// An Intel HEX file of an image of image_bytes pseudo-random bytes from
// address 0 in records of record_bytes data bytes, a type 04 record at each
// 64 KB boundary past the first, and the end-of-file record. Lines end with
// LF. records (when not null) receives the number of record lines.
std::string hex_file_text(std::size_t image_bytes, int record_bytes, long* records = nullptr);
bool write_file(const std::string& path, const std::string& contents);

// The benchmark's scratch folder (created when missing).
std::string scratch_dir();

// Starts a program with the given standard input (written at once, so it
// must fit a pipe) and its standard output and error appended to log_path.
// Returns the process id, -1 on failure.
pid_t spawn(const std::vector<std::string>& argv, const std::string& input,
            const std::string& log_path);
// Waits at most timeout_ms for the program to end (then kills it): its exit
// status, 128 + signal when killed, -1 when it could not be waited for.
int finish(pid_t pid, int timeout_ms);

}  // namespace pello::bench
