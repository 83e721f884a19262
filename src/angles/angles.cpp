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

bool walk_dmc(const char* body, parts& value)
{
    bool have_degrees = false;
    bool have_minutes = false;
    bool have_seconds = false;
    const char* pending = body;
    const char* p = body;
    for (; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
        case ' ':
        case '\t':
        case '+':
        case '-':
        case '.':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            continue;
        case 'D':
        case 'd':
            if (have_degrees) {
                std::printf("\a\aError: DMC format: already have degrees (%f)\n",
                            static_cast<double>(value.degrees));
                return false;
            }
            value.degrees = to_float_or_infinity(piece_to_real(pending, p));
            have_degrees = true;
            break;
        case 'M':
        case 'm':
            if (have_minutes) {
                std::printf("\a\aError: DMC format: already have minutes (%f)\n",
                            static_cast<double>(value.minutes));
                return false;
            }
            value.minutes = to_float_or_infinity(to_real(pending));
            have_minutes = true;
            break;
        case 'C':
        case 'c':
            if (have_seconds) {
                std::printf("\a\aError: DMC format: already have seconds (%f)\n",
                            static_cast<double>(value.seconds));
                return false;
            }
            value.seconds = to_float_or_infinity(to_real(pending));
            have_seconds = true;
            break;
        case 'N':
        case 'n':
        case 'E':
        case 'e':
        case 'S':
        case 's':
        case 'W':
        case 'w':
            break;
        default:
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

}  // namespace

double dmctodeg(const char* text)
{
    if (text == nullptr || *text == '\0') {
        std::printf("dmctodeg: Error: invalid param inp\n");
        return angle_error;
    }

    // First scan: the whole text, line ends included.
    std::int32_t minus = 0;
    std::int32_t colons = 0;
    std::int32_t periods = 0;
    std::int32_t letters = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '-')
            ++minus;
        else if (*p == ':')
            ++colons;
        else if (*p == '.')
            ++periods;
        else if (is_letter(*p))
            ++letters;
    }

    if (minus > 1) {
        std::printf("\a\aError: too man minus signs: %d: only one is allowed\n", minus);
        return angle_error;
    }

    enum { colon, dotted, dmc } notation;
    bool south_west = false;
    if (colons > 0) {
        if (colons != 2) {
            std::printf("%s", bad_colon_count);
            return angle_error;
        }
        if (periods > 1) {
            std::printf("%s", bad_colon_periods);
            return angle_error;
        }
        if (letters > 0) {
            std::printf("%s", bad_colon_alpha);
            return angle_error;
        }
        notation = colon;
    } else if (letters == 0) {
        if (periods == 0) {
            std::printf("%s", unrecognized);
            return angle_error;
        }
        if (periods != 2) {
            std::printf("%s", bad_dotted_periods);
            return angle_error;
        }
        notation = dotted;
    } else {
        if (std::strpbrk(text, "DdMmCc") == nullptr) {
            std::printf("%s", no_identifier);
            return angle_error;
        }
        const char* north_east = std::strpbrk(text, "NnEe");
        const char* south_west_letter = std::strpbrk(text, "SsWw");
        if (minus == 1) {
            const char* letter = north_east != nullptr ? north_east : south_west_letter;
            if (letter != nullptr) {
                std::printf("\a\aError: DMC format: both minus (-) and direction char %c "
                            "cannot be specified\n",
                            *letter);
                return angle_error;
            }
        } else if (north_east != nullptr && south_west_letter != nullptr) {
            std::printf("\a\aError: DMC format: both direction chars %c and %c cannot be "
                        "specified\n",
                        *north_east, *south_west_letter);
            return angle_error;
        }
        south_west = south_west_letter != nullptr;
        notation = dmc;
    }

    // The conversions read the text up to its first line end only.
    const std::string body(text, std::strcspn(text, "\n"));
    parts value;
    bool converted = false;
    switch (notation) {
    case colon:
        converted = walk_separated(body.c_str(), ':', true, value);
        break;
    case dotted:
        converted = walk_separated(body.c_str(), '.', false, value);
        break;
    case dmc:
        converted = walk_dmc(body.c_str(), value);
        break;
    }
    if (!converted)
        return angle_error;

    if (!(value.seconds > -60.0f && value.seconds < 60.0f)) {
        std::printf("\a\aError: sec %f is out of range [0..59.99]\n",
                    static_cast<double>(value.seconds));
        return angle_error;
    }
    if (!(value.minutes > -60.0f && value.minutes < 60.0f)) {
        std::printf("\a\aError: min %f is out of range [0..59.99]\n",
                    static_cast<double>(value.minutes));
        return angle_error;
    }

    const double seconds_factor = 0.0002777777777777778;  // 1/3600
    const double minutes_factor = 0.016666666666666666;   // 1/60
    const double degrees = value.degrees;
    const double minutes = value.minutes;
    const double seconds = value.seconds;
    double result;
    if (minus == 1 || south_west) {
        // A single minus sign, wherever it stands, or a South/West letter is
        // the direction of the whole angle.
        double magnitude = std::fabs(degrees) + (std::fabs(seconds) * seconds_factor +
                                                 std::fabs(minutes) * minutes_factor);
        result = magnitude == 0.0 ? 0.0 : -magnitude;
    } else {
        double fraction = seconds * seconds_factor + minutes * minutes_factor;
        result = degrees < 0.0 ? degrees - fraction : degrees + fraction;
    }

    if (!(result >= -360.0 && result <= 360.0)) {
        std::printf("\a\aError: deg %f is out of range [-180..180]\n", result);
        return angle_error;
    }
    return result;
}

}  // namespace pello
