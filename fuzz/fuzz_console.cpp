// Fuzz target: the input is the operator's standard input for one run of the
// console loop, from start-up to exit or the end of input. The loop runs in a
// private folder holding a Configuration file, a Rules file and a firmware
// file (conf, rules, fw.hex), so that configure, rules and firmware lines
// reach the parsers; inputs with a "/" are refused, so a file name can only
// name something in that folder. The port is the fake port layer, with a
// device that never answers.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/config.hpp"
#include "console/console.hpp"
#include "device/device.hpp"
#include "fake_port.hpp"
#include "fuzz_support.hpp"
#include "rules/rules.hpp"
#include "serial/serial.hpp"

namespace {

pello::fuzz::memory_file operator_input;

const char conf_text[] = "call w1aw ; station\n"
                         "ssid 0x0A\n"
                         "position 41:42:53.2 -072:43:38.1\n"
                         "host 57600\n"
                         "dstar 19200\n"
                         "digipath WIDE1-1,WIDE2-2\n";

const char rules_text[] = "pass implicit\n"
                          "drop src N0CALL-3\n"
                          "pass circle 25 41:42:53.2,-072:43:38.1\n"
                          "d sector 10d,350d,0.5,2\n";

const char firmware_text[] = ":020000040001F9\n"
                             ":0400000001020304F2\n"
                             ":00000001FF\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pello::fuzz::quiet_stdio();
    operator_input = pello::fuzz::memory_file_create("operator-input");
    const std::string dir = pello::fuzz::make_temp_dir("fuzz-console");
    pello::fuzz::write_file(dir + "/conf", conf_text);
    pello::fuzz::write_file(dir + "/rules", rules_text);
    pello::fuzz::write_file(dir + "/fw.hex", firmware_text);
    if (chdir(dir.c_str()) != 0)
        pello::fuzz::finding("cannot enter the console's folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pello;
    // Only names inside the private folder: a path could name a device or a
    // file without end.
    if (size > 0 && std::memchr(data, '/', size) != nullptr)
        return -1;

    fuzz::reset_state();
    fake_port::start(nullptr, 0);
    fuzz::memory_file_set(operator_input, data, size);
    if (std::freopen(operator_input.path.c_str(), "r", stdin) == nullptr)
        fuzz::finding("cannot reopen standard input");

    int status = 1;
    try {
        status = console_main();
    } catch (const fake_port::fake_port_exit&) {
        return 0;  // the port layer ended the program, as the real one would
    }
    if (status != 0 && status != 1)
        fuzz::finding("console_main returned a status other than 0 or 1");
    if (link_state.connected != 0)
        fuzz::finding("connected without a device");
    if (port_is_open())
        fuzz::finding("a port was left open with no link connected");
    if (rules_processed == 1 && conf_record.rule_count > rule_max)
        fuzz::finding("rule_count above the rule table");
    fuzz::check_conf_record();
    return 0;
}
