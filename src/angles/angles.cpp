// The angle parser: Colon ([s][D]DD:MM:SS[.F*]), Dotted ([s][D]DD.MM.[F*])
// and DMC (numbers followed by the identifiers D, M and C, with optional
// direction letters N, E, S and W) turned into signed decimal degrees.
#include "angles/angles.hpp"

#include "textio/textio.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace pello {

namespace {

const char bad_colon_count[] = "\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n";
const char bad_colon_periods[] = "\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n";
const char bad_colon_alpha[] =
    "\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n";
const char unrecognized[] = "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n";
const char bad_dotted_periods[] =
    "\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
    "\tor DMC format must have at least one of [DdMmCc] identifiers\n";
const char no_identifier[] =
    "\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
    "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n";

bool is_letter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Decimal text to real: leading white space, optional sign, digits, fraction
// and exponent; 0 when there is no number.
double to_real(const char* text)
{
    return std::strtod(text, nullptr);
}

// Real conversion of exactly the characters [begin, end): the piece is taken
// as a text of its own, so that the character at end is never read as part
// of the number.
double piece_to_real(const char* begin, const char* end)
{
    std::size_t length = static_cast<std::size_t>(end - begin);
    char local[64];
    if (length < sizeof local) {
        std::memcpy(local, begin, length);
        local[length] = '\0';
        return to_real(local);
    }
    std::string piece(begin, length);
    return to_real(piece.c_str());
}

struct parts {
    float degrees = 0;
    float minutes = 0;
    float seconds = 0;
};

// Colon and Dotted walks share their shape: convert at the first and second
// separator. Returns false after printing the end-of-walk message when the
// text ends early with characters after the last separator read.
bool walk_separated(const char* body, char separator, bool integer_minutes, parts& value)
{
    const char* pending = body;
    int seen = 0;
    for (const char* p = body; *p != '\0'; ++p) {
        if (*p != separator)
            continue;
        ++seen;
        if (seen == 1) {
            value.degrees = static_cast<float>(to_long_long_saturating(body));
            pending = p + 1;
        } else {
            if (integer_minutes) {
                value.minutes = static_cast<float>(to_long_long_saturating(pending));
                value.seconds = to_float_or_infinity(to_real(p + 1));
            } else {
                value.minutes = to_float_or_infinity(to_real(pending));
            }
            return true;
        }
    }
    if (*pending != '\0') {
        std::printf("\a\aInternal Error: pointer mismatch\n");
        return false;
    }
    return true;
}

// What a character of a DMC text is: part of the number being read, the
// identifier that closes it, a direction letter, or none of these.
enum class dmc_char { number, degrees, minutes, seconds, direction, invalid };

dmc_char classify_dmc_char(unsigned char c)
{
    if (c != '\0' && std::strchr(" \t+-.0123456789", c) != nullptr)
        return dmc_char::number;
    switch (c) {
    case 'D':
    case 'd':
        return dmc_char::degrees;
    case 'M':
    case 'm':
        return dmc_char::minutes;
    case 'C':
    case 'c':
        return dmc_char::seconds;
    case 'N':
    case 'n':
    case 'E':
    case 'e':
    case 'S':
    case 's':
    case 'W':
    case 'w':
        return dmc_char::direction;
    default:
        return dmc_char::invalid;
    }
}

// Each identifier converts the text since the previous one, once only: the
// degrees exactly up to the D, minutes and seconds as far as the number goes.
bool walk_dmc(const char* body, parts& value)
{
    bool have_degrees = false;
    bool have_minutes = false;
    bool have_seconds = false;
    const char* pending = body;
    const char* p = body;
    for (; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (classify_dmc_char(c)) {
        case dmc_char::number:
            continue;
        case dmc_char::degrees:
            if (have_degrees) {
                std::printf("\a\aError: DMC format: already have degrees (%f)\n",
                            static_cast<double>(value.degrees));
                return false;
            }
            value.degrees = to_float_or_infinity(piece_to_real(pending, p));
            have_degrees = true;
            break;
        case dmc_char::minutes:
            if (have_minutes) {
                std::printf("\a\aError: DMC format: already have minutes (%f)\n",
                            static_cast<double>(value.minutes));
                return false;
            }
            value.minutes = to_float_or_infinity(to_real(pending));
            have_minutes = true;
            break;
        case dmc_char::seconds:
            if (have_seconds) {
                std::printf("\a\aError: DMC format: already have seconds (%f)\n",
                            static_cast<double>(value.seconds));
                return false;
            }
            value.seconds = to_float_or_infinity(to_real(pending));
            have_seconds = true;
            break;
        case dmc_char::direction:
            break;
        case dmc_char::invalid:
            // Bytes from 0x80 on are shown with their unsigned code; a control
            // byte (a carriage return would let the message overwrite
            // itself) shows escaped, as file lines do.
            std::printf("\a\aError: DMC format: invalid char: %s (0x%02x)\n",
                        shown_text(std::string(1, static_cast<char>(c)).c_str()).c_str(),
                        static_cast<unsigned>(c));
            return false;
        }
        pending = p + 1;
    }
    if (pending != p) {
        std::printf("\a\aInternal Error: pointer mismatch\n");
        return false;
    }
    return true;
}

// The first scan: the whole text, line ends included.
struct character_counts {
    std::int32_t minus = 0;
    std::int32_t colons = 0;
    std::int32_t periods = 0;
    std::int32_t letters = 0;
};

character_counts count_characters(const char* text)
{
    character_counts counts;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '-')
            ++counts.minus;
        else if (*p == ':')
            ++counts.colons;
        else if (*p == '.')
            ++counts.periods;
        else if (is_letter(*p))
            ++counts.letters;
    }
    return counts;
}

enum class notation { colon, dotted, dmc };

// The notation of a text and the direction of its angle: negative for a
// single minus sign, wherever it stands, or a South/West letter.
struct angle_form {
    notation kind;
    bool negative;
};

// The direction letters of a DMC text against its minus sign: false after
// the message when they contradict each other.
bool dmc_direction(const char* text, std::int32_t minus, bool& south_west)
{
    const char* north_east = std::strpbrk(text, "NnEe");
    const char* south_west_letter = std::strpbrk(text, "SsWw");
    if (minus == 1) {
        const char* letter = north_east != nullptr ? north_east : south_west_letter;
        if (letter != nullptr) {
            std::printf("\a\aError: DMC format: both minus (-) and direction char %c "
                        "cannot be specified\n",
                        *letter);
            return false;
        }
    } else if (north_east != nullptr && south_west_letter != nullptr) {
        std::printf("\a\aError: DMC format: both direction chars %c and %c cannot be "
                    "specified\n",
                    *north_east, *south_west_letter);
        return false;
    }
    south_west = south_west_letter != nullptr;
    return true;
}

// Tells the notation from the first scan's counts: colons make a Colon text,
// a text without letters is Dotted, one with letters DMC. Empty after the
// message when the text is none of them.
std::optional<angle_form> classify(const char* text, const character_counts& counts)
{
    if (counts.minus > 1) {
        // Too man, not too many: the system's own wording; keep it.
        std::printf("\a\aError: too man minus signs: %d: only one is allowed\n", counts.minus);
        return std::nullopt;
    }
    const char* refused = nullptr;
    notation kind = notation::dmc;
    bool south_west = false;
    if (counts.colons > 0) {
        kind = notation::colon;
        if (counts.colons != 2)
            refused = bad_colon_count;
        else if (counts.periods > 1)
            refused = bad_colon_periods;
        else if (counts.letters > 0)
            refused = bad_colon_alpha;
    } else if (counts.letters == 0) {
        kind = notation::dotted;
        if (counts.periods == 0)
            refused = unrecognized;
        else if (counts.periods != 2)
            refused = bad_dotted_periods;
    } else if (std::strpbrk(text, "DdMmCc") == nullptr) {
        refused = no_identifier;
    } else if (!dmc_direction(text, counts.minus, south_west)) {
        return std::nullopt;
    }
    if (refused != nullptr) {
        std::printf("%s", refused);
        return std::nullopt;
    }
    return angle_form{kind, counts.minus == 1 || south_west};
}

// The degrees, minutes and seconds of the text as its notation reads them:
// up to its first line end only.
bool convert(notation kind, const char* text, parts& value)
{
    const std::string body(text, std::strcspn(text, "\n"));
    switch (kind) {
    case notation::colon:
        return walk_separated(body.c_str(), ':', true, value);
    case notation::dotted:
        return walk_separated(body.c_str(), '.', false, value);
    case notation::dmc:
        return walk_dmc(body.c_str(), value);
    }
    return false;
}

// Negative minutes and seconds pass, the messages say [0..59.99]: the system's own.
bool minutes_and_seconds_in_range(const parts& value)
{
    if (!(value.seconds > -60.0f && value.seconds < 60.0f)) {
        std::printf("\a\aError: sec %f is out of range [0..59.99]\n",
                    static_cast<double>(value.seconds));
        return false;
    }
    if (!(value.minutes > -60.0f && value.minutes < 60.0f)) {
        std::printf("\a\aError: min %f is out of range [0..59.99]\n",
                    static_cast<double>(value.minutes));
        return false;
    }
    return true;
}

double decimal_degrees(const parts& value, bool negative)
{
    const double seconds_factor = 0.0002777777777777778;  // 1/3600
    const double minutes_factor = 0.016666666666666666;   // 1/60
    const double degrees = value.degrees;
    const double minutes = value.minutes;
    const double seconds = value.seconds;
    if (negative) {
        // The direction is the whole angle's: every part counts towards it.
        double magnitude = std::fabs(degrees) + (std::fabs(seconds) * seconds_factor +
                                                 std::fabs(minutes) * minutes_factor);
        return magnitude == 0.0 ? 0.0 : -magnitude;
    }
    double fraction = seconds * seconds_factor + minutes * minutes_factor;
    return degrees < 0.0 ? degrees - fraction : degrees + fraction;
}

}  // namespace

double dmctodeg(const char* text)
{
    if (text == nullptr || *text == '\0') {
        std::printf("dmctodeg: Error: invalid param inp\n");
        return angle_error;
    }
    const std::optional<angle_form> form = classify(text, count_characters(text));
    if (!form)
        return angle_error;
    parts value;
    if (!convert(form->kind, text, value) || !minutes_and_seconds_in_range(value))
        return angle_error;
    const double result = decimal_degrees(value, form->negative);
    // The range is +-360, the message says [-180..180]: the system's own; keep both.
    if (!(result >= -360.0 && result <= 360.0)) {
        std::printf("\a\aError: deg %f is out of range [-180..180]\n", result);
        return angle_error;
    }
    return result;
}

}  // namespace pello
