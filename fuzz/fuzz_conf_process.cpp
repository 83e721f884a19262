// Fuzz target: the input is a Configuration file, read by conf_process
// through its path. The record must keep its invariants whatever the file
// holds, the two rule fields must survive, and the file must be closed
// (LeakSanitizer reports a FILE left open).
#include <cstddef>
#include <cstdint>

#include "config/config.hpp"
#include "fuzz_support.hpp"

namespace {

pello::fuzz::memory_file conf_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pello::fuzz::quiet_stdio();
    conf_file = pello::fuzz::memory_file_create("pellomatic.conf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pello;
    fuzz::reset_state();
    fuzz::memory_file_set(conf_file, data, size);

    // Left by an earlier rules command: conf_process must carry them over.
    conf_record.rule_count = 42;
    conf_record.implicit_action = implicit_drop;
    conf_loaded = 1;

    const int status = conf_process(conf_file.path.c_str());
    switch (status) {
    case 0:
        if (conf_loaded != 1)
            fuzz::finding("conf_process succeeded but conf_loaded is not 1");
        break;
    case -7:
    case -8:
    case -11:
    case -12:
        if (conf_loaded != 0)
            fuzz::finding("conf_process failed but conf_loaded is still 1");
        break;
    default:
        fuzz::finding(
            "conf_process returned a status outside 0, -7, -8, -11, -12 for a readable file");
    }
    if (conf_record.rule_count != 42 || conf_record.implicit_action != implicit_drop)
        fuzz::finding("conf_process lost rule_count or implicit_action");
    fuzz::check_conf_record();
    return 0;
}
