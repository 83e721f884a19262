// Fuzz target: the input is a Rules file, read by rules_process through its
// path. After success every counted record is a well-formed rule whose angles
// lie in their ranges; after a failure no rule is counted; the file is closed
// on every path (LeakSanitizer reports a FILE left open).
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "config/config.hpp"
#include "fuzz_support.hpp"
#include "rules/rules.hpp"

namespace {

pello::fuzz::memory_file rules_file;

bool within(float value, float low, float high)
{
    return value >= low && value <= high;
}

void check_record(const pello::rule_record& rule)
{
    using namespace pello;
    const std::uint8_t action = rule.flags & 0x0F;
    if (action != action_drop && action != action_pass)
        fuzz::finding("a counted rule has no drop or pass action");
    if (rule.line == 0)
        fuzz::finding("a counted rule has line number 0");
    switch (rule.type) {
    case rule_destin:
    case rule_source:
        if ((rule.flags & mod_ssid) != 0 && rule.slot[1][0] > 15)
            fuzz::finding("a call sign rule holds an SSID above 15");
        break;
    case rule_circle:
        if (!(rule_float(rule, 0) > 0.0f))
            fuzz::finding("a circle rule holds a radius that is not above 0");
        if (!within(rule_float(rule, 1), -90, 90) || !within(rule_float(rule, 2), -180, 180))
            fuzz::finding("a circle rule holds a position out of range");
        break;
    case rule_compass:
        if (rule.slot[0][0] < 1 || rule.slot[0][0] > 8)
            fuzz::finding("a compass rule holds a direction code outside 1..8");
        if (!within(rule_float(rule, 1), -90, 90) || !within(rule_float(rule, 2), -180, 180))
            fuzz::finding("a compass rule holds a position out of range");
        break;
    case rule_rectangle:
        if (!within(rule_float(rule, 0), -90, 90) || !within(rule_float(rule, 1), -180, 180) ||
            !within(rule_float(rule, 2), -90, 90) || !within(rule_float(rule, 3), -180, 180))
            fuzz::finding("a rectangle rule holds a corner out of range");
        break;
    case rule_sector:
        if (!within(rule_float(rule, 0), 0, 360) || !within(rule_float(rule, 1), 0, 360))
            fuzz::finding("a sector rule holds an angle outside 0..360");
        // The outer range is compared, unrounded, with the inner range as
        // stored; once rounded to a float itself it may equal it.
        if (rule_float(rule, 3) != 0.0f && !(rule_float(rule, 3) >= rule_float(rule, 2)))
            fuzz::finding("a sector rule holds an outer range below its inner range");
        break;
    default:
        fuzz::finding("a counted rule has no record type");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pello::fuzz::quiet_stdio();
    rules_file = pello::fuzz::memory_file_create("pellomatic.rules");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace pello;
    fuzz::reset_state();
    fuzz::memory_file_set(rules_file, data, size);

    // An earlier successful run: a failure must discard it.
    conf_record.rule_count = 3;
    rules_processed = 1;

    const int status = rules_process(rules_file.path.c_str());
    if (rule_lines < 0 || rule_lines > rule_max)
        fuzz::finding("rule_lines outside 0..100");
    if (conf_record.implicit_action != implicit_drop &&
        conf_record.implicit_action != implicit_pass)
        fuzz::finding("implicit_action is neither drop nor pass");
    if (status == 0) {
        if (rules_processed != 1)
            fuzz::finding("rules_process succeeded but rules_processed is not 1");
        if (conf_record.rule_count > rule_max)
            fuzz::finding("rule_count above the rule table");
        for (int i = 0; i < conf_record.rule_count; ++i)
            check_record(rule_table[i]);
    } else {
        if (status > -1 || status == -1 || status == -2)
            fuzz::finding("rules_process returned no line failure code for a readable file");
        if (rules_processed != 0 || conf_record.rule_count != 0)
            fuzz::finding("a failed rules_process left rules counted");
    }
    return 0;
}
