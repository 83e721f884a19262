// The command table, the command summary and the angles help text.
#include "config/config.hpp"
#include "console/console.hpp"
#include "device/device.hpp"

#include <cstdio>

namespace pello {

namespace {

constexpr cmd_entry cmd_entries[] = {
    {1, cmd_help, "help", "", "Displays this summary (alias ?)"},
    {0, cmd_help, "?", "", "Displays this summary"},
    {1, cmd_repeat, ".", "", "Repeats the previous command"},
    {1, cmd_angles, "angles", "", "Displays the Angles format used for Lat and Lon"},
    {1, cmd_baud, "baud", "baud",
     "Changes the baud rates on host and Pellomatic\n\t\t\t\tonce connected. Default [ ]"},
    {1, cmd_configure, "configure", "file_name", "Reads a Configuration file"},
    {1, cmd_dconfigure, "dconfigure", "", "Displays the Configuration"},
    {1, cmd_rules, "rules", "file_name", "Reads a Rules file"},
    {1, cmd_drules, "drules", "", "Displays the Rules"},
    {1, cmd_connect, "connect", "com_port [baud]",
     "Connect to Pellomatic at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)"},
    {1, cmd_disconnect, "disconnect", "", "Disconnect from the Pellomatic"},
    {1, cmd_download, "download", "", "Download Configuration and Rules to Pellomatic"},
    {1, cmd_firmware, "firmware", "com_port file_name",
     "Update Pellomatic firmware from firmware file"},
    {1, cmd_exit, "exit", "", "Exits this program (aliases quit, x)"},
    {0, cmd_exit, "quit", "", "Same as exit"},
    {0, cmd_exit, "x", "", "Same as exit"},
};

}  // namespace

constinit const std::span<const cmd_entry> cmd_table{cmd_entries};

void cmd_summary()
{
    std::printf("\n\t\tCommand Summary:\n%-10s %-20s %s\n", "Command", "Arguments", "Comments");
    for (const cmd_entry& entry : cmd_table) {
        if (entry.shown != 1)
            continue;
        std::printf("%-10s %-20s %s\n", entry.name, entry.arguments, entry.comment);
        if (entry.code == cmd_baud) {
            // The link rates, the one connect uses by default in brackets.
            std::printf("%-10s Valid Baud Rates:\t", "");
            const long current = default_link_baud();
            for (std::int32_t rate : link_bauds)
                std::printf(rate == current ? "[%ld] " : "%ld ", static_cast<long>(rate));
            std::printf("\n\n");
        }
    }
}

// Printed whole by the angles command; it documents the notations that the
// angle parser accepts in the Configuration and Rules files.
const char angles_help[] =
    "Colon, Dotted and DMC formats for Angles, Latitudes and Longitudes\n"
    "\n"
    "Angles, Latitudes and Longitudes in the Configuration and Rules files may be\n"
    "written in any of the three formats below. Each is turned into signed decimal\n"
    "degrees: North Latitudes and East Longitudes are positive, South Latitudes\n"
    "and West Longitudes negative. The format is told by its characters: a text\n"
    "with colons is in Colon format, one with two periods and no letters is in\n"
    "Dotted format, and one with angle identifiers is in DMC format.\n"
    "\n"
    "\n"
    "Colon format:\n"
    "The Colon format is a fixed position format: its fields are separated by\n"
    "colons and each field has its own number of digits. It has an optional\n"
    "negative sign and optional fractional seconds. Two colons are always\n"
    "required, even when the seconds are left out, and no embedded white space\n"
    "is allowed.\n"
    "\n"
    "\t [s]DD:MM:SS[.F*]\t\tfor Latitudes\n"
    "\t[s]DDD:MM:SS[.F*]\t\tfor Longitudes\n"
    "\n"
    "Where:\n"
    "\ts\tis the optional minus sign, for South Latitudes or West Longitudes\n"
    "\tDD\tis 2 decimal digits, the Latitude degrees\n"
    "\tDDD\tis 3 decimal digits, the Longitude degrees\n"
    "\tMM\tis 2 decimal digits, the minutes\n"
    "\tSS\tis 2 decimal digits, the whole seconds\n"
    "\t.F*\tis an optional decimal point and 0 or more decimal digits,\n"
    "\t\tthe fractional seconds\n"
    "\n"
    "Examples:\t45:22:33\t-103:00:00\t-38:33:29.222\t45:18:\n"
    "\n"
    "\n"
    "Dotted format:\n"
    "The Dotted format is a fixed position format: its fields are separated by\n"
    "periods and each field has its own number of digits. It has an optional\n"
    "negative sign and optional fractional minutes. Two periods are always\n"
    "required, even when the fraction is left out, and no embedded white space\n"
    "is allowed.\n"
    "\n"
    "\t [s]DD.MM.[F*]\t\tfor Latitudes\n"
    "\t[s]DDD.MM.[F*]\t\tfor Longitudes\n"
    "\n"
    "Where:\n"
    "\ts\tis the optional minus sign, for South Latitudes or West Longitudes\n"
    "\tDD\tis 2 decimal digits, the Latitude degrees\n"
    "\tDDD\tis 3 decimal digits, the Longitude degrees\n"
    "\tMM\tis 2 decimal digits, the whole minutes\n"
    "\tF*\tis 0 or more optional decimal digits, the fractional minutes\n"
    "\n"
    "Examples:\t45.22.64\t-103.00.\t-38.33.379\n"
    "\n"
    "\n"
    "DMC format:\n"
    "The DMC format allows many ways of writing an angle. Every angle written in\n"
    "it is tested against the legal ranges of its parts and for conflicting\n"
    "directions.\n"
    "\n"
    "DMC stands for Degrees, Minutes and seConds. S cannot be the seconds\n"
    "identifier because it is reserved for the South direction.\n"
    "\n"
    "An angle identifier must follow its number (an integer or a decimal number)\n"
    "and may be preceded by white space (any mix of blanks and tabs).\n"
    "\n"
    "Angle identifiers:\n"
    "\tD, d\tDegrees\n"
    "\tM, m\tMinutes\n"
    "\tC, c\tseConds\n"
    "\n"
    "Direction identifiers:\n"
    "\tN, n\tNorth\n"
    "\tS, s\tSouth\n"
    "\tE, e\tEast\n"
    "\tW, w\tWest\n"
    "\n"
    "A direction identifier may stand before or after any angle part. Direction\n"
    "identifiers are optional: without them and without a minus sign, Latitudes\n"
    "are North and Longitudes are East.\n"
    "\n"
    "Instead of a direction identifier one minus sign may be given on exactly one\n"
    "of the parts, usually the degrees. The minus sign may be given only once and\n"
    "never together with direction identifiers.\n"
    "\n"
    "Any combination of the parts, with fractions in any of them, may be given in\n"
    "any order, though usually degrees, minutes, seconds.\n"
    "\n"
    "Examples:\n"
    "\tN 39d 23.7m 33.9c\ta North Latitude\n"
    "\t39d23.7m33.9C\t\tthe same North Latitude\n"
    "\t39.404415D\t\tthe same North Latitude, approximately\n"
    "\tn39.395d 33.9c\t\tthe same North Latitude, approximately\n"
    "\t-42.5d\t\t\ta South Latitude or a West Longitude";

}  // namespace pello
