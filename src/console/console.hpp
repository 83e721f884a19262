// Console: the command interpreter and main loop of the utility.
#pragma once

#include <cstdint>

namespace pello {

// Command codes shared with the configuration keyword and rule type codes.
enum cmd_code : std::int32_t {
    CMD_DOWNLOAD = 0,
    CMD_FIRMWARE = 1,
    CMD_BAUD = 5,
    CMD_EXIT = 8,
    CMD_HELP = 22,
    CMD_DCONFIGURE = 23,
    CMD_DRULES = 24,
    CMD_ANGLES = 26,
    CMD_CONFIGURE = 28,
    CMD_RULES = 29,
    CMD_CONNECT = 30,
    CMD_DISCONNECT = 31,
    CMD_REPEAT = 33,
};

struct cmd_entry {
    std::int32_t shown;     // 1: listed in the command summary; 0: hidden alias
    std::int32_t code;      // command code the dispatcher switches on
    const char* name;       // word the operator types
    const char* arguments;  // shown in the summary only
    const char* comment;    // shown in the summary only
};

inline constexpr int cmd_count = 16;
extern const cmd_entry cmd_table[cmd_count];

// The text printed by the angles command (without its final line end).
extern const char angles_help[];

inline constexpr int line_size = 256;
extern char line_buf[line_size];
extern char prev_line[line_size];
extern char fw_file_name[line_size];

// Prints the command summary, the default link baud in square brackets.
void cmd_summary();

// Reads one operator line from standard input into buf (at most size - 1
// characters, ending after a line end). Returns false at end of input.
bool console_read_line(char* buf, int size);

// A cursor that splits a line into words one at a time, the way the console
// takes a command and its arguments and the file parsers take keywords and
// values. Each call to next_word skips leading separators, ends the word at
// the next separator (overwritten by NUL) and resumes right after that one
// separator; the position lives in the cursor, not in hidden state.
struct word_cursor {
    char* next;  // where the next word search starts; nullptr once used up
};

// The next word of the line, split at any of separators, or nullptr when
// only separators (or nothing) remain.
char* next_word(word_cursor& cursor, const char* separators);

// True when word, compared without regard to ASCII letter case, equals the
// first strlen(word) characters of name (an abbreviation or the whole name).
bool word_abbreviates(const char* word, const char* name);

// The cmd_table entry a command word selects (any abbreviation of exactly
// one name, letter case ignored), or nullptr after printing the unknown or
// ambiguous command message.
const cmd_entry* cmd_match(const char* word);

// Start-up and the main loop; returns the exit status: 0 after exit, quit
// or x, 1 at end of input.
int console_main();

}  // namespace pello
