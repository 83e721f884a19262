// The Rules file parser: one rule per line, an action word, a command word
// and the command's arguments, compiled into the rule table.

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "angles/angles.hpp"
#include "config/config.hpp"
#include "rules/rules.hpp"
#include "textio/textio.hpp"

namespace pello {

std::int32_t rule_lines = 0;

// One line being parsed.
struct rule_line {
    const char* file_name;
    std::int32_t number;  // physical line number, from 1
    word_cursor words;    // the rest of the line, word by word
    const char* comment;  // first comment character, or null
    const char* copy;     // the line as read, for messages (shown through shown_text)
};

namespace {

constexpr rule_action rule_action_entries[] = {
    {"drop", action_drop}, {"d", action_drop}, {"pass", action_pass}, {"p", action_pass}};

}  // namespace

constinit const std::span<const rule_action> rule_actions{rule_action_entries};

namespace {

// What rules_process returns: 0, or the code of the first failure. An
// argument fails as absent (nothing left on the line), in the commentary
// (its word lies after a comment character) or invalid.
enum rules_status : int {
    rules_ok = 0,
    rules_null_path = -1,
    rules_cannot_read = -2,  // cannot be opened, or a read error
    rules_action = -3,
    rules_command_in_comment = -5,
    rules_limit = -6,
    rules_command = -7,  // unknown or ambiguous
    rules_destin_in_comment = -8,
    rules_ssid = -9,
    rules_destin_too_long = -10,
    rules_source_too_long = -11,
    rules_destin_absent = -11,  // the same code as a Source too long
    rules_source_in_comment = -12,
    rules_source_absent = -13,
    rules_radius_in_comment = -14,
    rules_radius = -16,
    rules_circle_lat_in_comment = -17,
    rules_circle_lat = -19,
    rules_circle_lon_in_comment = -20,
    rules_circle_lon = -22,
    rules_circle_lon_absent = -23,
    rules_circle_lat_absent = -24,
    rules_radius_absent = -25,
    rules_direction_in_comment = -26,
    rules_direction = -27,
    rules_compass_lat_in_comment = -29,
    rules_compass_lat = -31,
    rules_compass_lon_in_comment = -32,
    rules_compass_lon = -34,
    rules_compass_lon_absent = -35,
    rules_compass_lat_absent = -36,
    rules_direction_absent = -37,
    rules_lat1_in_comment = -38,
    rules_lat1 = -40,
    rules_lon1_in_comment = -41,
    rules_lon1 = -43,
    rules_lat2_in_comment = -44,
    rules_lat2 = -46,
    rules_lon2_in_comment = -47,
    rules_lon2 = -49,
    rules_lon2_absent = -50,
    rules_lat2_absent = -51,
    rules_lon1_absent = -52,
    rules_lat1_absent = -53,
    rules_angle1_in_comment = -54,
    rules_angle1 = -57,
    rules_angle2_in_comment = -58,
    rules_angle2 = -60,
    rules_inner_in_comment = -61,
    rules_inner = -62,
    rules_outer = -66,
    rules_inner_absent = -67,
    rules_angle2_absent = -68,
    rules_angle1_absent = -69,
    rules_command_absent = -71,
    rules_too_long = -72,  // the rest of an over-long line would be a rule
};

// Separator sets: each word of a line is taken with one of them.
const char word_separators[] = " \t,";
const char angle_separators[] = "\t,";
const char last_angle_separators[] = "#/;\t,";
const char item_separators[] = "#/; \t,";
const char comment_chars[] = "#/;";

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Decimal text to real: optional leading white space and sign, digits, an
// optional fraction and an optional exponent. Reading stops at the first
// character that does not fit; text with no number gives 0. Only the decimal
// form is read (no hexadecimal, infinity or NaN texts).
double decimal_to_real(const char* text)
{
    const char* p = text;
    while (is_space(*p))
        ++p;
    const char* start = p;
    if (*p == '+' || *p == '-')
        ++p;
    int digits = 0;
    for (; is_digit(*p); ++p)
        digits = 1;
    if (*p == '.') {
        for (++p; is_digit(*p); ++p)
            digits = 1;
    }
    if (digits == 0)
        return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-')
            ++q;
        if (is_digit(*q)) {
            while (is_digit(*q))
                ++q;
            p = q;
        }
    }
    const std::string number(start, p);
    return std::strtod(number.c_str(), nullptr);
}

bool in_comment(const rule_line& line, const char* word)
{
    return line.comment != nullptr && word >= line.comment;
}

// Prints the line-numbered message "\a\aError: FILE[LINE]: TEXT:\nLINE-COPY\n"
// and returns the failure code.
[[gnu::format(printf, 3, 4)]] int fail(const rule_line& line, int code, const char* text, ...)
{
    std::printf("\a\aError: %s[%d]: ", line.file_name, line.number);
    std::va_list args;
    va_start(args, text);
    std::vprintf(text, args);
    va_end(args);
    std::printf(":\n%s\n", shown_text(line.copy).c_str());
    return code;
}

// The messages and codes of one argument.
struct argument {
    const char* absent;
    int absent_code;
    const char* commented;
    int commented_code;
    const char* bad;  // prints the value
    int bad_code;
};

// Takes an argument that must be present: the word, or null after printing
// the failure, whose code is left in code.
char* take_argument(rule_line& line, const char* separators, const argument& arg, int& code)
{
    char* word = next_word(line.words, separators);
    if (word == nullptr) {
        code = fail(line, arg.absent_code, "%s", arg.absent);
        return nullptr;
    }
    if (in_comment(line, word)) {
        code = fail(line, arg.commented_code, "%s", arg.commented);
        return nullptr;
    }
    code = 0;
    return word;
}

// An angle argument: converted by the angle parser, checked against its
// closed range before it is narrowed into its slot.
struct angle_argument {
    argument msg;
    const char* separators;
    double low;
    double high;
};

int take_angle(rule_line& line, const angle_argument& arg, rule_record& rule, int slot)
{
    int code = 0;
    char* word = take_argument(line, arg.separators, arg.msg, code);
    if (word == nullptr)
        return code;
    const double value = dmctodeg(word);
    if (!(value >= arg.low && value <= arg.high))
        return fail(line, arg.msg.bad_code, arg.msg.bad, value);
    set_rule_float(rule, slot, static_cast<float>(value));
    return 0;
}

int take_angles(rule_line& line, const angle_argument* args, int count, rule_record& rule,
                int first_slot)
{
    for (int i = 0; i < count; ++i) {
        if (int code = take_angle(line, args[i], rule, first_slot + i))
            return code;
    }
    return 0;
}

const angle_argument circle_position[2] = {
    {{"missing Latitude", rules_circle_lat_absent, "missing Latitude", rules_circle_lat_in_comment,
      "invalid Latitude range [-90..90]: %f", rules_circle_lat},
     angle_separators,
     -90.0,
     90.0},
    {{"missing Longitude", rules_circle_lon_absent, "missing Longitude",
      rules_circle_lon_in_comment, "invalid Longitude range [-180..180]: %f", rules_circle_lon},
     last_angle_separators,
     -180.0,
     180.0},
};

const angle_argument compass_position[2] = {
    {{"missing Latitude", rules_compass_lat_absent, "missing Latitude",
      rules_compass_lat_in_comment, "invalid Latitude range [-90..90]: %f", rules_compass_lat},
     angle_separators,
     -90.0,
     90.0},
    {{"missing Longitude", rules_compass_lon_absent, "missing Longitude",
      rules_compass_lon_in_comment, "invalid Longitude range [-180..180]: %f", rules_compass_lon},
     last_angle_separators,
     -180.0,
     180.0},
};

const angle_argument rectangle_corners[4] = {
    {{"missing Latitude1", rules_lat1_absent, "missing Latitude1", rules_lat1_in_comment,
      "invalid Latitude1 range [-90..90]: %f", rules_lat1},
     angle_separators,
     -90.0,
     90.0},
    {{"missing Longitude1", rules_lon1_absent, "missing Longitude1", rules_lon1_in_comment,
      "invalid Longitude1 range [-180..180]: %f", rules_lon1},
     angle_separators,
     -180.0,
     180.0},
    {{"missing Latitude2", rules_lat2_absent, "missing Latitude2", rules_lat2_in_comment,
      "invalid Latitude2 range [-90..90]: %f", rules_lat2},
     angle_separators,
     -90.0,
     90.0},
    {{"missing Longitude2", rules_lon2_absent, "missing Longitude2", rules_lon2_in_comment,
      "invalid Longitude2 range [-180..180]: %f", rules_lon2},
     last_angle_separators,
     -180.0,
     180.0},
};

// The comma in "invalid Angle1, range" is the system's text.
const angle_argument sector_angles[2] = {
    {{"missing Angle1", rules_angle1_absent, "missing Angle1", rules_angle1_in_comment,
      "invalid Angle1, range [0..360]: %f", rules_angle1},
     angle_separators,
     0.0,
     360.0},
    {{"missing Angle2", rules_angle2_absent, "missing Angle2", rules_angle2_in_comment,
      "invalid Angle2, range [0..360]: %f", rules_angle2},
     angle_separators,
     0.0,
     360.0},
};

}  // namespace

int read_circle(rule_line& line, rule_record& rule)
{
    // "missing Range" for a Radius in the commentary is the system's text.
    static const argument radius_arg = {"missing Radius",
                                        rules_radius_absent,
                                        "missing Range",
                                        rules_radius_in_comment,
                                        "invalid Circle Radius, must be > 0: %f",
                                        rules_radius};
    int code = 0;
    char* word = take_argument(line, word_separators, radius_arg, code);
    if (word == nullptr)
        return code;
    const double radius = decimal_to_real(word);
    if (!(radius > 0.0))
        return fail(line, radius_arg.bad_code, radius_arg.bad, radius);
    set_rule_float(rule, 0, to_float_or_infinity(radius));
    return take_angles(line, circle_position, 2, rule, 1);
}

int read_compass(rule_line& line, rule_record& rule)
{
    // "compass" in lower case in the invalid-direction text is the system's.
    static const argument direction_arg = {
        "missing Compass Direction", rules_direction_absent,         "missing Direction",
        rules_direction_in_comment,  "invalid compass Direction %s", rules_direction};
    int code = 0;
    char* word = take_argument(line, word_separators, direction_arg, code);
    if (word == nullptr)
        return code;
    // Direction 0 ("Error") is no direction a word may name.
    const word_match<const char*> direction = match_word(word, std::span(compass_names).subspan(1),
                                                         std::identity{}, word_rule::whole_word);
    if (direction.first == nullptr)
        return fail(line, direction_arg.bad_code, direction_arg.bad, shown_text(word).c_str());
    rule.slot[0][0] = static_cast<unsigned char>(direction.first - compass_names);
    return take_angles(line, compass_position, 2, rule, 1);
}

int read_rectangle(rule_line& line, rule_record& rule)
{
    return take_angles(line, rectangle_corners, 4, rule, 0);
}

int read_sector(rule_line& line, rule_record& rule)
{
    static const argument inner_arg = {"missing Inner Range",
                                       rules_inner_absent,
                                       "missing Inner Range",
                                       rules_inner_in_comment,
                                       "invalid or missing Inner Range",
                                       rules_inner};
    if (int code = take_angles(line, sector_angles, 2, rule, 0))
        return code;
    int code = 0;
    char* word = take_argument(line, item_separators, inner_arg, code);
    if (word == nullptr)
        return code;
    if (!is_digit(word[0]))
        return fail(line, inner_arg.bad_code, "%s", inner_arg.bad);
    set_rule_float(rule, 2, to_float_or_infinity(decimal_to_real(word)));

    // The Outer Range is optional: absent or in the commentary leaves 0.0.
    word = next_word(line.words, item_separators);
    if (word == nullptr || in_comment(line, word))
        return 0;
    const double outer = decimal_to_real(word);
    if (!(outer > static_cast<double>(rule_float(rule, 2))))
        return fail(line, rules_outer, "invalid Outer Range, must be > Inner Range: %f", outer);
    set_rule_float(rule, 3, to_float_or_infinity(outer));
    return 0;
}

// destin, dst, source, src: CALL, CALL-SSID, PREFIX* or a lone *.
int read_call_sign(rule_line& line, rule_record& rule)
{
    static const argument source_arg = {"missing Source",         rules_source_absent,
                                        "missing Source string",  rules_source_in_comment,
                                        "Source is too long: %s", rules_source_too_long};
    static const argument destin_arg = {"missing Destination",         rules_destin_absent,
                                        "missing Destination string",  rules_destin_in_comment,
                                        "Destination is too long: %s", rules_destin_too_long};
    const argument& arg = rule.type == rule_source ? source_arg : destin_arg;
    int code = 0;
    char* item = take_argument(line, item_separators, arg, code);
    if (item == nullptr)
        return code;
    if (item[0] == '*') {
        rule.flags |= mod_prefix | mod_any;
        return 0;
    }
    if (char* star = std::strchr(item, '*')) {
        *star = '\0';
        rule.flags |= mod_prefix;
    } else if (char* dash = std::strchr(item, '-')) {
        *dash = '\0';
        const int ssid = to_int_saturating(dash + 1, 10);
        if (ssid < 0 || ssid > ssid_max)
            return fail(line, rules_ssid, "invalid SSID range [0..15]: %d", ssid);
        rule.flags |= mod_ssid;
        rule.slot[1][0] = static_cast<unsigned char>(ssid);
    }
    const std::size_t length = std::strlen(item);
    if (length > call_max)
        return fail(line, arg.bad_code, arg.bad, shown_text(item).c_str());
    std::memcpy(rule.slot[0], item, length);
    return 0;
}

namespace {

// One run over a Rules file: where it stands.
struct rules_run {
    const char* file_name;
    std::int32_t line_number = 0;
    std::int32_t implicit_count = 0;
    rule_record* next = rule_table;  // the slot of the next record
};

// The rest of an over-long line fails as it would on a line of its own, but
// is never taken as a rule: where it would pass, the file fails instead.
int too_long(const rule_line& line)
{
    return fail(line, rules_too_long, "line too long (more than %d characters)", line_size - 1);
}

// A rule line's action and the type its command word selects.
struct matched_rule {
    std::uint8_t action = 0;
    const rule_type_entry* type = nullptr;
};

// Matches the action word given and the command word that follows it: 0, or
// the failure code.
int match_rule(rule_line& line, const char* word, matched_rule& matched)
{
    const word_match<rule_action> action_word =
        match_word(word, rule_actions, &rule_action::name, word_rule::whole_word);
    if (action_word.first == nullptr)
        return fail(line, rules_action, "action %s invalid", shown_text(word).c_str());
    matched.action = action_word.first->action;

    const char* command = next_word(line.words, word_separators);
    if (command == nullptr)
        return fail(line, rules_command_absent, "missing arguments");
    if (std::strchr(comment_chars, command[0]) != nullptr)
        return fail(line, rules_command_in_comment, "missing command");

    if (rule_lines >= rule_max)
        return fail(line, rules_limit, "rule limit (%d) exceeded", rule_max);

    const word_match<rule_keyword> keyword =
        match_word(command, rule_keywords, &rule_keyword::name, word_rule::abbreviation);
    if (keyword.count > 1)
        return fail(line, rules_command, "Ambiguous command: %s", shown_text(command).c_str());
    if (keyword.count == 0)
        return fail(line, rules_command, "command %s invalid", shown_text(command).c_str());
    matched.type = rule_type_of(keyword.first->code);
    return 0;
}

// Reads the arguments of a matched line into the next record and keeps it;
// an implicit line sets the implicit action instead. continued: the line is
// the first piece of an over-long one.
int store_rule(rule_line& line, const matched_rule& matched, bool continued, rules_run& run)
{
    if (matched.type->code == rule_implicit) {
        if (continued)
            return too_long(line);
        conf_record.implicit_action = matched.action == action_drop ? implicit_drop : implicit_pass;
        ++run.implicit_count;
        ++rule_lines;
        return 0;
    }

    rule_record& rule = *run.next;
    rule.type = matched.type->code;
    rule.flags = matched.action;
    // The record keeps the line number in 16 bits.
    rule.line = static_cast<std::uint16_t>(line.number);
    if (int code = matched.type->read(line, rule))
        return code;
    if (continued) {
        rule = rule_record{};
        return too_long(line);
    }
    ++rule_lines;
    ++run.next;
    return 0;
}

// Reads the open file line by line into the rule table: 0, or the code of
// the first failure.
int read_rule_lines(std::FILE* file, rules_run& run)
{
    char buf[line_size];
    char copy[line_size];
    line_pieces pieces;
    int length = 0;
    while ((length = read_text_line(file, buf, static_cast<int>(sizeof buf))) > 0) {
        pieces.next(buf, length, comment_chars);
        chop_line_end(buf);
        std::memcpy(copy, buf, sizeof copy);
        rule_line line{run.file_name, ++run.line_number, word_cursor{buf},
                       std::strpbrk(buf, comment_chars), copy};
        if (pieces.after_comment())
            continue;  // the rest of a comment

        const char* word = next_word(line.words, word_separators);
        if (word == nullptr || std::strchr(comment_chars, word[0]) != nullptr)
            continue;
        matched_rule matched;
        if (int code = match_rule(line, word, matched))
            return code;
        if (int code = store_rule(line, matched, pieces.continued(), run))
            return code;
    }
    return 0;
}

}  // namespace

int rules_process(const char* rfp)
{
    if (rfp == nullptr) {
        std::printf("rules_process: Error: param rfp is invalid\n");
        return rules_null_path;
    }
    text_file file = open_text_file(rfp);
    if (file == nullptr) {
        std::printf("\a\aError: cannot open %s\n", rfp);
        return rules_cannot_read;
    }

    rules_reset();
    rules_run run{rfp};
    if (int code = read_rule_lines(file.get(), run))
        return code;

    // A read error is no end of file: the rules read so far are not counted.
    if (std::ferror(file.get())) {
        std::printf("\a\aError: cannot read %s\n", rfp);
        return rules_cannot_read;
    }

    conf_record.rule_count = static_cast<std::uint16_t>(rule_lines - run.implicit_count);
    std::printf("Rules processed %d, implicit %d\n", conf_record.rule_count, run.implicit_count);
    rules_processed = 1;
    return rules_ok;
}

}  // namespace pello
