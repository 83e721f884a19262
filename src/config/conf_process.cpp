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
    ITEM_DSTAR = 2,
    ITEM_TNC = 3,
    ITEM_HOST = 4,
    ITEM_CALL = 9,
    ITEM_SSID = 10,
    ITEM_POSITION = 11,
    ITEM_WIDE_MAX = 14,
    ITEM_WIDE_TOTAL = 15,
    ITEM_HALT_ON_ERROR = 16,
    ITEM_DROP_MANGLED = 17,
    ITEM_FIX_VALID = 18,
    ITEM_RELAY = 19,
    ITEM_NSR = 20,
    ITEM_LOG = 32,
    ITEM_DUPE_WINDOW = 34,
    ITEM_DIGI_PATH = 35,
};

enum conf_status : int {
    CONF_OK = 0,
    CONF_NULL_PATH = -1,
    CONF_CANNOT_OPEN = -2,
    CONF_KEYWORD = -7,
    CONF_IN_COMMENT = -8,
    CONF_ARGUMENT = -11,
    CONF_TOO_LONG = -12,  // the rest of an over-long line would set something
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
    status = word == nullptr ? CONF_ARGUMENT : CONF_IN_COMMENT;
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
    int status = CONF_OK;
    const char* call = next_argument(line, "Call Sign", status);
    if (call == nullptr)
        return status;
    const std::size_t length = std::strlen(call);
    if (length > call_max) {
        std::printf("\a\aError: line %d: invalid Call Sign argument: too long: %s\n", line.number,
                    line.text);
        return CONF_ARGUMENT;
    }
    // The terminator is copied too; the bytes after it keep the default text.
    copy_upper(conf_record.station_call, call, length + 1);
    return CONF_OK;
}

int handle_ssid(conf_line& line)
{
    int status = CONF_OK;
    const char* word = next_argument(line, "SSID", status);
    if (word == nullptr)
        return status;
    const int ssid = to_int_saturating(word, 0);
    if (ssid < 0 || ssid > ssid_max) {
        std::printf("\a\aError: line %d: invalid SSID argument range [0..15]: %d: %s\n",
                    line.number, ssid, line.text);
        return CONF_ARGUMENT;
    }
    conf_record.ssid = static_cast<std::uint16_t>(ssid);
    return CONF_OK;
}

int handle_position(conf_line& line)
{
    // The latitude ends only at a blank, tab or comma, and no comment check
    // is made on it.
    const char* lat_text = next_word(line.words, keyword_separators);
    if (lat_text == nullptr) {
        std::printf("\a\aError: line %d: missing Station Latitude argument: %s\n", line.number,
                    line.text);
        return CONF_ARGUMENT;
    }
    const double lat = dmctodeg(lat_text);
    if (lat == angle_error) {
        std::printf("\a\aError: line %d: invalid Station Latitude argument: %s: %s\n", line.number,
                    shown_text(lat_text).c_str(), line.text);
        return CONF_ARGUMENT;
    }
    // dmctodeg gives at most 360 degrees either way: never a value past the
    // float range.
    conf_record.base_lat = to_float_or_infinity(lat);

    int status = CONF_OK;
    const char* lon_text = next_argument(line, "Station Longitude", status);
    if (lon_text == nullptr)
        return status;
    const double lon = dmctodeg(lon_text);
    if (lon == angle_error) {
        std::printf("\a\aError: line %d: invalid Station Longitude argument: %s: %s\n", line.number,
                    shown_text(lon_text).c_str(), line.text);
        return CONF_ARGUMENT;
    }
    conf_record.base_lon = to_float_or_infinity(lon);
    return CONF_OK;
}

int handle_baud(conf_line& line, std::uint32_t& field)
{
    int status = CONF_OK;
    const char* word = next_argument(line, "Baud", status);
    if (word == nullptr)
        return status;
    const int rate = to_int_saturating(word, 10);
    if (get_baud(rate) == 0) {
        std::printf("\a\aError: line %d: invalid Baud argument: %d: %s\n", line.number, rate,
                    line.text);
        return CONF_ARGUMENT;
    }
    field = static_cast<std::uint32_t>(rate);
    return CONF_OK;
}

int handle_wide(conf_line& line, std::uint16_t& field)
{
    int status = CONF_OK;
    const char* word = next_argument(line, "n", status);
    if (word == nullptr)
        return status;
    const int n = to_int_saturating(word, 10);
    if (n < 1 || n > wide_limit) {
        std::printf("\a\aError: line %d: invalid n argument range [1..%d]: %d: %s\n", line.number,
                    wide_limit, n, line.text);
        return CONF_ARGUMENT;
    }
    field = static_cast<std::uint16_t>(n);
    return CONF_OK;
}

int handle_dupe_window(conf_line& line)
{
    int status = CONF_OK;
    const char* word = next_argument(line, "seconds", status);
    if (word == nullptr)
        return status;
    const int seconds = to_int_saturating(word, 10);
    if (seconds < 5 || seconds > 500) {
        std::printf("\a\aError: line %d: invalid seconds argument range [5..500]: %d: %s\n",
                    line.number, seconds, line.text);
        return CONF_ARGUMENT;
    }
    conf_record.dupe_window = static_cast<std::uint16_t>(seconds);
    return CONF_OK;
}

// y or n: only the first character counts, and no value is refused.
int handle_switch(conf_line& line, std::uint16_t& field)
{
    int status = CONF_OK;
    const char* word = next_argument(line, "y | n", status);
    if (word == nullptr)
        return status;
    field = std::strchr("yYtTeE1", word[0]) != nullptr ? 1 : 0;
    return CONF_OK;
}

int handle_digi_path(conf_line& line)
{
    // The whole comma-separated list is one word: it ends at a blank, tab
    // or comment character, and the rest of the line is ignored.
    char* list = next_word(line.words, digi_list_separators);
    if (list == nullptr || (line.comment != nullptr && list > line.comment)) {
        std::printf("\a\aError: line %d: missing Digi Path argument: %s\n", line.number, line.text);
        return list == nullptr ? CONF_ARGUMENT : CONF_IN_COMMENT;
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
            return CONF_ARGUMENT;
        }
        copy_upper(conf_record.digi_path[digi_count], piece, length);
        ++digi_count;
    }
    return CONF_OK;
}

int run_handler(std::int32_t code, conf_line& line)
{
    conf_record_t& c = conf_record;
    switch (code) {
    case ITEM_CALL:
        return handle_call(line);
    case ITEM_SSID:
        return handle_ssid(line);
    case ITEM_POSITION:
        return handle_position(line);
    case ITEM_LOG:
        return handle_switch(line, c.log_port);
    case ITEM_DROP_MANGLED:
        return handle_switch(line, c.drop_mangled);
    case ITEM_HALT_ON_ERROR:
        return handle_switch(line, c.halt_on_error);
    case ITEM_FIX_VALID:
        return handle_switch(line, c.fix_valid);
    case ITEM_NSR:
        return handle_switch(line, c.nsr);
    case ITEM_RELAY:
        return handle_switch(line, c.relay);
    case ITEM_HOST:
        return handle_baud(line, c.host_baud);
    case ITEM_TNC:
        return handle_baud(line, c.tnc_baud);
    case ITEM_DSTAR:
        return handle_baud(line, c.dstar_baud);
    case ITEM_WIDE_MAX:
        return handle_wide(line, c.wide_max);
    case ITEM_WIDE_TOTAL:
        return handle_wide(line, c.wide_total);
    case ITEM_DUPE_WINDOW:
        return handle_dupe_window(line);
    case ITEM_DIGI_PATH:
        return handle_digi_path(line);
    default:
        return CONF_KEYWORD;  // every code of conf_keywords has a handler
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
            return CONF_KEYWORD;
        ++items;
        // The rest of an over-long line fails as it would on a line of its
        // own, but sets nothing where it would pass: the file fails instead.
        const conf_record_t before = conf_record;
        const std::int32_t digi_count_before = digi_count;
        const int status = run_handler(keyword->code, line);
        if (status != CONF_OK)
            return status;
        if (pieces.continued()) {
            conf_record = before;
            digi_count = digi_count_before;
            std::printf("Error: line %d: line too long (more than %d characters): %s\n",
                        line.number, line_size - 1, line.text);
            return CONF_TOO_LONG;
        }
    }
    if (std::ferror(file)) {
        std::printf("\a\aError: cannot read %s\n", path);
        return CONF_CANNOT_OPEN;
    }
    std::printf("Configuration items processed %d\n", items);
    return CONF_OK;
}

}  // namespace

int conf_process(const char* path)
{
    if (path == nullptr) {
        std::printf("conf_process: Error: param rfp is invalid\n");
        return CONF_NULL_PATH;
    }
    text_file file = open_text_file(path);
    if (file == nullptr) {
        std::printf("\a\aError: cannot open %s\n", path);
        return CONF_CANNOT_OPEN;
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
    conf_loaded = status == CONF_OK ? 1 : 0;
    return status;
}

}  // namespace pello
