// The Configuration file parser: one keyword and its arguments per line,
// read into conf_record.
#include "config/config.hpp"

#include "angles/angles.hpp"
#include "serial/serial.hpp"
#include "textio/textio.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pello {

namespace {

constexpr conf_keyword conf_keyword_entries[] = {
    {"call", 9},        {"ssid", 10},      {"position", 11}, {"base", 11},    {"log", 32},
    {"dropmangld", 17}, {"haltonerr", 16}, {"fixvalid", 18}, {"host", 4},     {"tnc", 3},
    {"dstar", 2},       {"nsr", 20},       {"relay", 19},    {"widemax", 14}, {"widetotal", 15},
    {"dupewin", 34},    {"digipath", 35},
};

}  // namespace

constinit const std::span<const conf_keyword> conf_keywords{conf_keyword_entries};

namespace {

enum conf_item : std::int32_t {
    item_dstar = 2,
    item_tnc = 3,
    item_host = 4,
    item_call = 9,
    item_ssid = 10,
    item_position = 11,
    item_wide_max = 14,
    item_wide_total = 15,
    item_halt_on_error = 16,
    item_drop_mangled = 17,
    item_fix_valid = 18,
    item_relay = 19,
    item_nsr = 20,
    item_log = 32,
    item_dupe_window = 34,
    item_digi_path = 35,
};

enum conf_status : int {
    conf_ok = 0,
    conf_null_path = -1,
    conf_cannot_open = -2,
    conf_unknown_keyword = -7,
    conf_in_comment = -8,
    conf_argument = -11,
    conf_too_long = -12,  // the rest of an over-long line would set something
};

constexpr int digi_max = 8;
constexpr int digi_length = 8;
constexpr int wide_limit = 6;

const char comment_chars[] = "#/;";
const char keyword_separators[] = " \t,";
const char argument_separators[] = "#/; \t,";
const char digi_list_separators[] = "#/; \t";

// One line of the file as the handlers see it.
struct conf_line {
    int number;           // physical line number, from 1
    const char* text;     // the line without its line end, as messages show it
    const char* comment;  // first comment character in the line, or nullptr
    word_cursor words;    // the rest of the line after the keyword
};

// The next argument of the line. When there is none, or it stands only after
// a comment character, prints the keyword's missing-argument message and
// sets status.
char* next_argument(conf_line& line, const char* what, int& status)
{
    char* word = next_word(line.words, argument_separators);
    if (word != nullptr && (line.comment == nullptr || word < line.comment))
        return word;
    std::printf("\a\aError: line %d: missing %s argument: %s\n", line.number, what, line.text);
    status = word == nullptr ? conf_argument : conf_in_comment;
    return nullptr;
}

char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

void copy_upper(char* to, const char* from, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        to[i] = ascii_upper(from[i]);
}

int handle_call(conf_line& line)
{
    int status = conf_ok;
    const char* call = next_argument(line, "Call Sign", status);
    if (call == nullptr)
        return status;
    const std::size_t length = std::strlen(call);
    if (length > call_max) {
        std::printf("\a\aError: line %d: invalid Call Sign argument: too long: %s\n", line.number,
                    line.text);
        return conf_argument;
    }
    // The terminator is copied too; the bytes after it keep the default text.
    copy_upper(conf_record.station_call, call, length + 1);
    return conf_ok;
}

int handle_ssid(conf_line& line)
{
    int status = conf_ok;
    const char* word = next_argument(line, "SSID", status);
    if (word == nullptr)
        return status;
    const int ssid = to_int_saturating(word, 0);
    if (ssid < 0 || ssid > ssid_max) {
        std::printf("\a\aError: line %d: invalid SSID argument range [0..15]: %d: %s\n",
                    line.number, ssid, line.text);
        return conf_argument;
    }
    conf_record.ssid = static_cast<std::uint16_t>(ssid);
    return conf_ok;
}

int handle_position(conf_line& line)
{
    // The latitude ends only at a blank, tab or comma, and no comment check
    // is made on it.
    const char* lat_text = next_word(line.words, keyword_separators);
    if (lat_text == nullptr) {
        std::printf("\a\aError: line %d: missing Station Latitude argument: %s\n", line.number,
                    line.text);
        return conf_argument;
    }
    const double lat = dmctodeg(lat_text);
    if (lat == angle_error) {
        std::printf("\a\aError: line %d: invalid Station Latitude argument: %s: %s\n", line.number,
                    shown_text(lat_text).c_str(), line.text);
        return conf_argument;
    }
    // dmctodeg gives at most 360 degrees either way: never a value past the
    // float range.
    conf_record.base_lat = to_float_or_infinity(lat);

    int status = conf_ok;
    const char* lon_text = next_argument(line, "Station Longitude", status);
    if (lon_text == nullptr)
        return status;
    const double lon = dmctodeg(lon_text);
    if (lon == angle_error) {
        std::printf("\a\aError: line %d: invalid Station Longitude argument: %s: %s\n", line.number,
                    shown_text(lon_text).c_str(), line.text);
        return conf_argument;
    }
    conf_record.base_lon = to_float_or_infinity(lon);
    return conf_ok;
}

int handle_baud(conf_line& line, std::uint32_t& field)
{
    int status = conf_ok;
    const char* word = next_argument(line, "Baud", status);
    if (word == nullptr)
        return status;
    const int rate = to_int_saturating(word, 10);
    if (get_baud(rate) == 0) {
        std::printf("\a\aError: line %d: invalid Baud argument: %d: %s\n", line.number, rate,
                    line.text);
        return conf_argument;
    }
    field = static_cast<std::uint32_t>(rate);
    return conf_ok;
}

int handle_wide(conf_line& line, std::uint16_t& field)
{
    int status = conf_ok;
    const char* word = next_argument(line, "n", status);
    if (word == nullptr)
        return status;
    const int n = to_int_saturating(word, 10);
    if (n < 1 || n > wide_limit) {
        std::printf("\a\aError: line %d: invalid n argument range [1..%d]: %d: %s\n", line.number,
                    wide_limit, n, line.text);
        return conf_argument;
    }
    field = static_cast<std::uint16_t>(n);
    return conf_ok;
}

int handle_dupe_window(conf_line& line)
{
    int status = conf_ok;
    const char* word = next_argument(line, "seconds", status);
    if (word == nullptr)
        return status;
    const int seconds = to_int_saturating(word, 10);
    if (seconds < 5 || seconds > 500) {
        std::printf("\a\aError: line %d: invalid seconds argument range [5..500]: %d: %s\n",
                    line.number, seconds, line.text);
        return conf_argument;
    }
    conf_record.dupe_window = static_cast<std::uint16_t>(seconds);
    return conf_ok;
}

// y or n: only the first character counts, and no value is refused.
int handle_switch(conf_line& line, std::uint16_t& field)
{
    int status = conf_ok;
    const char* word = next_argument(line, "y | n", status);
    if (word == nullptr)
        return status;
    field = std::strchr("yYtTeE1", word[0]) != nullptr ? 1 : 0;
    return conf_ok;
}

int handle_digi_path(conf_line& line)
{
    // The whole comma-separated list is one word: it ends at a blank, tab
    // or comment character, and the rest of the line is ignored.
    char* list = next_word(line.words, digi_list_separators);
    if (list == nullptr || (line.comment != nullptr && list > line.comment)) {
        std::printf("\a\aError: line %d: missing Digi Path argument: %s\n", line.number, line.text);
        return list == nullptr ? conf_argument : conf_in_comment;
    }
    std::memset(conf_record.digi_path, 0, sizeof conf_record.digi_path);
    digi_count = 0;
    word_cursor pieces{list};
    // Empty pieces between commas are skipped; pieces after the eighth are
    // ignored. digi_count always counts the slots filled so far.
    while (digi_count < digi_max) {
        const char* piece = next_word(pieces, ",");
        if (piece == nullptr)
            break;
        const std::size_t length = std::strlen(piece);
        if (length > digi_length) {
            std::printf("\a\aError: line %d: Digi Path component %d: %s exceeds length %d: %s\n",
                        line.number, static_cast<int>(digi_count) + 1, shown_text(piece).c_str(),
                        digi_length, line.text);
            return conf_argument;
        }
        copy_upper(conf_record.digi_path[digi_count], piece, length);
        ++digi_count;
    }
    return conf_ok;
}

int run_handler(std::int32_t code, conf_line& line)
{
    conf_record_t& c = conf_record;
    switch (code) {
    case item_call:
        return handle_call(line);
    case item_ssid:
        return handle_ssid(line);
    case item_position:
        return handle_position(line);
    case item_log:
        return handle_switch(line, c.log_port);
    case item_drop_mangled:
        return handle_switch(line, c.drop_mangled);
    case item_halt_on_error:
        return handle_switch(line, c.halt_on_error);
    case item_fix_valid:
        return handle_switch(line, c.fix_valid);
    case item_nsr:
        return handle_switch(line, c.nsr);
    case item_relay:
        return handle_switch(line, c.relay);
    case item_host:
        return handle_baud(line, c.host_baud);
    case item_tnc:
        return handle_baud(line, c.tnc_baud);
    case item_dstar:
        return handle_baud(line, c.dstar_baud);
    case item_wide_max:
        return handle_wide(line, c.wide_max);
    case item_wide_total:
        return handle_wide(line, c.wide_total);
    case item_dupe_window:
        return handle_dupe_window(line);
    case item_digi_path:
        return handle_digi_path(line);
    default:
        return conf_unknown_keyword;  // every code of conf_keywords has a handler
    }
}

// The keyword the word selects, or nullptr after printing why none does.
const conf_keyword* match_keyword(const conf_line& line, const char* word)
{
    const word_match<conf_keyword> match =
        match_word(word, conf_keywords, &conf_keyword::name, word_rule::abbreviation);
    if (match.count > 1) {
        std::printf("\a\aError: line %d: Ambiguous command: %s: %s\n", line.number,
                    shown_text(word).c_str(), line.text);
        return nullptr;
    }
    if (match.first == nullptr)
        std::printf("\a\aError: line %d: command %s invalid: %s\n", line.number,
                    shown_text(word).c_str(), line.text);
    return match.first;
}

// Reads the open file into the record; the status of the run.
int process_lines(std::FILE* file, const char* path)
{
    char buf[line_size];
    int line_number = 0;
    int items = 0;

    // A physical line longer than the buffer is read, and counted, in pieces.
    line_pieces pieces;
    int length = 0;
    while ((length = read_text_line(file, buf, line_size)) > 0) {
        pieces.next(buf, length, comment_chars);
        chop_line_end(buf);
        // Taken before the words are cut out of buf.
        const std::string text = shown_text(buf);
        conf_line line{++line_number, text.c_str(), std::strpbrk(buf, comment_chars),
                       word_cursor{buf}};
        if (pieces.after_comment())
            continue;  // the rest of a comment

        const char* word = next_word(line.words, keyword_separators);
        if (word == nullptr || std::strchr(comment_chars, word[0]) != nullptr)
            continue;
        const conf_keyword* keyword = match_keyword(line, word);
        if (keyword == nullptr)
            return conf_unknown_keyword;
        ++items;
        // The rest of an over-long line fails as it would on a line of its
        // own, but sets nothing where it would pass: the file fails instead.
        const conf_record_t before = conf_record;
        const std::int32_t digi_count_before = digi_count;
        const int status = run_handler(keyword->code, line);
        if (status != conf_ok)
            return status;
        if (pieces.continued()) {
            conf_record = before;
            digi_count = digi_count_before;
            std::printf("Error: line %d: line too long (more than %d characters): %s\n",
                        line.number, line_size - 1, line.text);
            return conf_too_long;
        }
    }
    if (std::ferror(file)) {
        std::printf("\a\aError: cannot read %s\n", path);
        return conf_cannot_open;
    }
    std::printf("Configuration items processed %d\n", items);
    return conf_ok;
}

}  // namespace

int conf_process(const char* path)
{
    if (path == nullptr) {
        std::printf("conf_process: Error: param rfp is invalid\n");
        return conf_null_path;
    }
    text_file file = open_text_file(path);
    if (file == nullptr) {
        std::printf("\a\aError: cannot open %s\n", path);
        return conf_cannot_open;
    }

    // Every field the file does not set gets its default; the two fields
    // that belong to the rules survive.
    const std::uint16_t rule_count = conf_record.rule_count;
    const std::uint16_t implicit_action = conf_record.implicit_action;
    conf_reset();
    conf_record.rule_count = rule_count;
    conf_record.implicit_action = implicit_action == implicit_drop ? implicit_drop : implicit_pass;

    const int status = process_lines(file.get(), path);
    // A record that holds only part of a file is not a loaded configuration:
    // the download then asks before sending it.
    conf_loaded = status == conf_ok ? 1 : 0;
    return status;
}

}  // namespace pello
