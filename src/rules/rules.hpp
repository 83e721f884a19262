// Rules: the 28-byte rule records, the rule table and its display, and the
// Rules file parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pello {

// Rule type codes; they travel in byte 24 of every rule record.
enum rule_type : std::uint8_t {
    rule_implicit = 0x24,
    rule_destin = 0x25,
    rule_source = 0x26,
    rule_circle = 0x27,
    rule_compass = 0x28,
    rule_rectangle = 0x29,
    rule_sector = 0x2A,
};

// Flags byte: the action in bits 0-3, the modifiers in bits 4-7.
inline constexpr std::uint8_t action_mask = 0x0F;
inline constexpr std::uint8_t modifier_mask = 0xF0;
inline constexpr std::uint8_t action_drop = 0x4;
inline constexpr std::uint8_t action_pass = 0x8;
inline constexpr std::uint8_t mod_prefix = 0x10;
inline constexpr std::uint8_t mod_any = 0x20;
inline constexpr std::uint8_t mod_ssid = 0x40;

// One rule as sent to the device: four 6-byte argument slots (a float fills
// the first 4 bytes of its slot), the type code, the flags, the line number.
struct rule_record {
    unsigned char slot[4][6];
    std::uint8_t type;
    std::uint8_t flags;
    std::uint16_t line;
};

static_assert(sizeof(rule_record) == 28);
static_assert(offsetof(rule_record, slot) == 0);
static_assert(offsetof(rule_record, type) == 24);
static_assert(offsetof(rule_record, flags) == 25);
static_assert(offsetof(rule_record, line) == 26);

// Float slots are unaligned: read and write them through these. slot is 0
// to 3; writing a float also zeroes the slot's last two bytes.
float rule_float(const rule_record& rule, int slot);
void set_rule_float(rule_record& rule, int slot, float value);

// A word of the Rules file's command column and the type code it selects.
struct rule_keyword {
    const char* name;
    std::uint8_t code;
};

// A Rules file line as the argument readers take it.
struct rule_line;

// One rule type: its code, the command words that name it (in the order they
// are matched), the reader of its arguments and the argument texts drules
// shows. The implicit type has neither: it stores no record.
struct rule_type_entry {
    std::uint8_t code;
    const char* keywords[2];  // the second may be null
    // Fills the record's slots and modifiers from the line: 0, or the failure
    // code after printing its message.
    int (*read)(rule_line& line, rule_record& rule);
    // Fills up to four argument texts of the record.
    void (*show)(const rule_record& rule, std::string text[4]);
};

// The entry of a type code, or nullptr for a code no type has.
const rule_type_entry* rule_type_of(int code);

// The argument readers of the rule types (the Rules file parser).
int read_call_sign(rule_line& line, rule_record& rule);
int read_circle(rule_line& line, rule_record& rule);
int read_compass(rule_line& line, rule_record& rule);
int read_rectangle(rule_line& line, rule_record& rule);
int read_sector(rule_line& line, rule_record& rule);

// The action words of a rule line, matched whole without regard to case.
struct rule_action {
    const char* name;
    std::uint8_t action;  // action_drop or action_pass
};

inline constexpr int rule_max = 100;
extern const std::span<const rule_action> rule_actions;
extern const std::span<const rule_keyword> rule_keywords;
// Indexed by direction code 0 to compass_count - 1; 0 is no direction.
inline constexpr int compass_count = 9;
extern const char* const compass_names[compass_count];
extern rule_record rule_table[rule_max];
extern std::int32_t rule_lines;       // rule lines accepted in the current parse
extern std::int32_t rules_processed;  // 1 once a Rules file was read to its end

// No rules: an empty table, no rule lines, nothing processed, and the
// record's implicit action pass with a rule count of 0.
void rules_reset();

// Keyword of the first rule_keywords entry with this code, or "?".
const char* rule_type_name(int code);

// drules: prints the implicit action and the rules.
void rules_display();

// The rule image for the download: the first rule_count records, read-only.
std::span<const unsigned char> rule_image();

// rules: reads a Rules file into the rule table. 0 on success, otherwise the
// negative code of the failure.
int rules_process(const char* rfp);

}  // namespace pello
