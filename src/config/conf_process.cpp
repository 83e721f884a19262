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

// One line of the file as the handlers see it.
struct conf_line {
    int number;           // physical line number, from 1
    const char* text;     // the line without its line end, as messages show it
    const char* comment;  // first comment character in the line, or nullptr
    word_cursor words;    // the rest of the line after the keyword
};

namespace {

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

template <std::uint32_t conf_record_t::*field>
int handle_baud(conf_line& line)
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
    conf_record.*field = static_cast<std::uint32_t>(rate);
    return conf_ok;
}

template <std::uint16_t conf_record_t::*field>
int handle_wide(conf_line& line)
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
    conf_record.*field = static_cast<std::uint16_t>(n);
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
template <std::uint16_t conf_record_t::*field>
int handle_switch(conf_line& line)
{
    int status = conf_ok;
    const char* word = next_argument(line, "y | n", status);
    if (word == nullptr)
        return status;
    conf_record.*field = std::strchr("yYtTeE1", word[0]) != nullptr ? 1 : 0;
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

}  // namespace

// The keywords in the order abbreviations are matched, each with its item
// code and its handler.
constexpr conf_keyword conf_keyword_entries[] = {
    {"call", 9, handle_call},
    {"ssid", 10, handle_ssid},
    {"position", 11, handle_position},
    {"base", 11, handle_position},
    {"log", 32, handle_switch<&conf_record_t::log_port>},
    {"dropmangld", 17, handle_switch<&conf_record_t::drop_mangled>},  // the system's spelling
    {"haltonerr", 16, handle_switch<&conf_record_t::halt_on_error>},
    {"fixvalid", 18, handle_switch<&conf_record_t::fix_valid>},
    {"host", 4, handle_baud<&conf_record_t::host_baud>},
    {"tnc", 3, handle_baud<&conf_record_t::tnc_baud>},
    {"dstar", 2, handle_baud<&conf_record_t::dstar_baud>},
    {"nsr", 20, handle_switch<&conf_record_t::nsr>},
    {"relay", 19, handle_switch<&conf_record_t::relay>},
    {"widemax", 14, handle_wide<&conf_record_t::wide_max>},
    {"widetotal", 15, handle_wide<&conf_record_t::wide_total>},
    {"dupewin", 34, handle_dupe_window},
    {"digipath", 35, handle_digi_path},
};

constinit const std::span<const conf_keyword> conf_keywords{conf_keyword_entries};

namespace {

// The keyword the word selects, or nullptr after printing why none does.
const conf_keyword* match_keyword(const conf_line& line, const char* word)
{
    const word_match<conf_keyword> match =
        match_word(word, conf_keywords, &conf_keyword::name, word_rule::abbreviation);
    // The system's messages call the keyword a command.
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
        const int status = keyword->handler(line);
        if (status != conf_ok)
            return status;
        if (pieces.continued()) {
            conf_record = before;
            digi_count = digi_count_before;
            std::printf("\a\aError: line %d: line too long (more than %d characters): %s\n",
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
        // "rfp" is the system's own word for the path here too.
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
