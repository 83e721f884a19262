// The configuration record, its default image and its display.
#include "config/config.hpp"

#include <bit>
#include <cstdio>
#include <cstring>

namespace pello {

conf_record_t conf_record;
std::int32_t digi_count = 0;
std::int32_t conf_loaded = 0;

// The default site position is that of W1AW, the ARRL headquarters station
// in Newington, Connecticut: 41.714775 N, 72.727260 W.
static_assert(std::bit_cast<float>(std::uint32_t{0x4226DBEE}) == 41.714775f);
static_assert(std::bit_cast<float>(std::uint32_t{0xC291745B}) == -72.727260f);

const unsigned char conf_default_image[120] = {
    0x00, 0xE1, 0x00, 0x00,                        // 0x00 host_baud 57600
    0x80, 0x25, 0x00, 0x00,                        // 0x04 dstar_baud 9600
    0x00, 0x4B, 0x00, 0x00,                        // 0x08 tnc_baud 19200
    0xEE, 0xDB, 0x26, 0x42,                        // 0x0C base_lat 41.714775
    0x5B, 0x74, 0x91, 0xC2,                        // 0x10 base_lon -72.727260
    'N',  'O',  'T',  'S',  'E', 'T', 0x00, 0x00,  // 0x14 station_call
    0x00, 0x00,                                    // 0x1C ssid 0
    0x03, 0x00,                                    // 0x1E wide_max 3
    0x06, 0x00,                                    // 0x20 wide_total 6
    0x01, 0x00,                                    // 0x22 relay 1
    0x00, 0x00,                                    // 0x24 nsr 0
    0x01, 0x00,                                    // 0x26 use_dstar_baud 1
    0x1C, 0x00,                                    // 0x28 dupe_window 28
    0x01, 0x00,                                    // 0x2A log_port 1
    0x00, 0x00,                                    // 0x2C halt_on_error 0
    0x01, 0x00,                                    // 0x2E drop_mangled 1
    0x01, 0x00,                                    // 0x30 fix_valid 1
    0x00, 0x00,                                    // 0x32 pass_no_position 0
    0x70, 0x00,                                    // 0x34 implicit_action 'p'
    0x00, 0x00,                                    // 0x36 rule_count 0
    0,    0,    0,    0,    0,   0,   0,    0,    0, 0, 0, 0, 0, 0, 0, 0,  // 0x38 digi_path
    0,    0,    0,    0,    0,   0,   0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0,    0,    0,    0,    0,   0,   0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};

const unsigned char* conf_image()
{
    return reinterpret_cast<const unsigned char*>(&conf_record);
}

void conf_reset()
{
    std::memcpy(&conf_record, conf_default_image, sizeof conf_record);
    digi_count = 0;
}

void conf_state_reset()
{
    conf_reset();
    conf_loaded = 0;
}

std::int32_t default_link_baud()
{
    const std::uint32_t rate =
        conf_record.use_dstar_baud != 0 ? conf_record.dstar_baud : conf_record.host_baud;
    return static_cast<std::int32_t>(rate);
}

namespace {

const char* en_dis(std::uint16_t value)
{
    return value != 0 ? "En" : "Dis";
}
const char* yes_no(std::uint16_t value)
{
    return value != 0 ? "Yes" : "No";
}

}  // namespace

void conf_display()
{
    const conf_record_t& c = conf_record;
    std::printf("Configuration:\nStation Call\t%*.*s\tSSID 0x%02x\nBase Lat %10.6f\tLon %11.5f\n"
                "Host  baud\t%lu\nDSTAR baud\t%lu\nTNC   baud\t%lu\n"
                "WIDE Max %u\tWIDE Total %u\tDupe Window %u sec.\nNSR: %sabled\tRelay: %sabled\n",
                6, static_cast<int>(sizeof c.station_call), c.station_call,
                static_cast<unsigned>(c.ssid), static_cast<double>(c.base_lat),
                static_cast<double>(c.base_lon), static_cast<unsigned long>(c.host_baud),
                static_cast<unsigned long>(c.dstar_baud), static_cast<unsigned long>(c.tnc_baud),
                static_cast<unsigned>(c.wide_max), static_cast<unsigned>(c.wide_total),
                static_cast<unsigned>(c.dupe_window), en_dis(c.nsr), en_dis(c.relay));

    // A component of 8 characters fills its slot without a terminator.
    const int count = digi_count < 0 ? 0 : (digi_count > 8 ? 8 : digi_count);
    std::printf("Digi Path[%d]: ", static_cast<int>(digi_count));
    for (int i = 0; i < count; ++i)
        std::printf("%.*s%s", 8, c.digi_path[i], i + 1 < count ? "," : "");

    std::printf(
        "\nLog Port: %s\nFix Valid: %s\tPass packets without valid position: %s\n"
        "Halt On Error: %s\tDrop Mangled Packet: %s\nRule count %u\tImplicit Rule Action: %s\n",
        yes_no(c.log_port), yes_no(c.fix_valid), yes_no(c.pass_no_position),
        yes_no(c.halt_on_error), yes_no(c.drop_mangled), static_cast<unsigned>(c.rule_count),
        c.implicit_action == implicit_drop ? "Drop" : "Pass");
}

}  // namespace pello
