// bench_parse: how fast the file readers go through large files of valid
// lines, with standard output going to /dev/null: conf_process (a generated
// Configuration file of about 1 MB), rules_process (the largest Rules file
// there can be: the table holds 100 rules) and inhexverify (an Intel HEX
// file of a 1 MB image in records of 16 data bytes). Each is run again and
// again for at least a second after one run that warms the page cache.
#include "bench_support.hpp"

#include "config/config.hpp"
#include "device/device.hpp"
#include "rules/rules.hpp"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using namespace pello::bench;

constexpr double min_seconds = 1.0;

struct throughput {
    bool ok = true;
    long runs = 0;
    double seconds = 0;
};

// Runs parse until min_seconds have passed; every run must succeed.
throughput measure(const std::function<bool()>& parse)
{
    throughput t;
    t.ok = parse();
    const auto start = steady::now();
    while (t.ok && (t.seconds < min_seconds || t.runs < 3)) {
        t.ok = parse();
        ++t.runs;
        t.seconds = ms_between(start, steady::now()) / 1000.0;
    }
    return t;
}

long count_lines(const std::string& text)
{
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

void report(const char* what, const std::string& file_text, const throughput& t)
{
    const double bytes = static_cast<double>(file_text.size()) * static_cast<double>(t.runs);
    const double lines = static_cast<double>(count_lines(file_text)) * static_cast<double>(t.runs);
    const double size = static_cast<double>(file_text.size());
    const std::string size_text =
        size >= 1.0e5 ? format_text("%.2f MB", size / 1.0e6) : format_text("%.1f KB", size / 1.0e3);
    row("6",
        format_text("%s (%s file of %ld lines, %ld runs)", what, size_text.c_str(),
                    count_lines(file_text), t.runs),
        t.ok ? format_text("%.1f MB/s (%.2f M lines/s)", bytes / t.seconds / 1.0e6,
                           lines / t.seconds / 1.0e6)
             : std::string("failed"),
        "-", t.ok ? "-" : "FAILED");
}

}  // namespace

int main()
{
    const std::string dir = scratch_dir();
    report_begin("/dev/null");

    const std::string conf_path = dir + "/parse.conf";
    const std::string rules_path = dir + "/parse-100.rules";
    const std::string hex_path = dir + "/parse-1m.hex";
    const std::string conf = conf_file_text(1000000);
    const std::string rules = rules_file_text(pello::rule_max);
    const std::string hex = hex_file_text(1024 * 1024, 16);
    if (!write_file(conf_path, conf) || !write_file(rules_path, rules) ||
        !write_file(hex_path, hex)) {
        complain("bench_parse: cannot write the generated files in %s", dir.c_str());
        return 1;
    }

    const throughput conf_t = measure([&] { return pello::conf_process(conf_path.c_str()) == 0; });
    const throughput rules_t = measure([&] {
        return pello::rules_process(rules_path.c_str()) == 0 &&
               pello::conf_record.rule_count == pello::rule_max;
    });
    std::FILE* hex_file = std::fopen(hex_path.c_str(), "r");
    throughput hex_t;
    hex_t.ok = false;
    if (hex_file != nullptr) {
        const long records = count_lines(hex);
        hex_t = measure([&] { return pello::inhexverify(hex_file) == records; });
        std::fclose(hex_file);
    }

    report("conf_process, Configuration file", conf, conf_t);
    report("rules_process, Rules file of 100 rules (the table's limit)", rules, rules_t);
    report("inhexverify, Intel HEX file of a 1 MB image", hex, hex_t);
    remark("Item 6: standard output goes to /dev/null; each reader runs for at least a second "
           "after one untimed run; MB = 10^6 bytes. A Rules file holds at most 100 rule lines, "
           "so its figure includes opening and closing the file for every 4 KB read.");
    report_end();
    return conf_t.ok && rules_t.ok && hex_t.ok ? 0 : 1;
}
