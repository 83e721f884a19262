// Console: the command interpreter and main loop of the utility.
#pragma once

#include "textio/textio.hpp"

#include <cstdint>
#include <span>

namespace pello {

// Command codes shared with the configuration keyword and rule type codes.
enum cmd_code : std::int32_t {
    cmd_download = 0,
    cmd_firmware = 1,
    cmd_baud = 5,
    cmd_exit = 8,
    cmd_help = 22,
    cmd_dconfigure = 23,
    cmd_drules = 24,
    cmd_angles = 26,
    cmd_configure = 28,
    cmd_rules = 29,
    cmd_connect = 30,
    cmd_disconnect = 31,
    cmd_repeat = 33,
};

struct cmd_entry {
    std::int32_t shown;     // 1: listed in the command summary; 0: hidden alias
    std::int32_t code;      // command code the dispatcher switches on
    const char* name;       // word the operator types
    const char* arguments;  // shown in the summary only
    const char* comment;    // shown in the summary only
};

// Every command entry, in summary order.
extern const std::span<const cmd_entry> cmd_table;

// The text printed by the angles command (without its final line end).
extern const char angles_help[];

// The operator's command line and the line "." repeats.
extern char line_buf[line_size];
extern char prev_line[line_size];

// Empties the command line and the line "." repeats.
void console_reset();

// Prints the command summary, the default link baud in square brackets.
void cmd_summary();

// The cmd_table entry a command word selects (any abbreviation of exactly
// one name, letter case ignored), or nullptr after printing the unknown or
// ambiguous command message.
const cmd_entry* cmd_match(const char* word);

// Start-up and the main loop; returns the exit status: 0 after exit, quit
// or x, 1 at end of input.
int console_main();

}  // namespace pello
