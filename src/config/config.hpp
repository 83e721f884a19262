// Configuration: the 120-byte configuration record (the configuration image
// sent to the device), its defaults and display, and the Configuration file
// parser.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pello {

static_assert(std::endian::native == std::endian::little,
              "the configuration and rule images are little-endian");

struct conf_record_t {
    std::uint32_t host_baud;
    std::uint32_t dstar_baud;
    std::uint32_t tnc_baud;
    float base_lat;
    float base_lon;
    char station_call[8];
    std::uint16_t ssid;
    std::uint16_t wide_max;
    std::uint16_t wide_total;
    std::uint16_t relay;
    std::uint16_t nsr;
    std::uint16_t use_dstar_baud;
    std::uint16_t dupe_window;
    std::uint16_t log_port;
    std::uint16_t halt_on_error;
    std::uint16_t drop_mangled;
    std::uint16_t fix_valid;
    std::uint16_t pass_no_position;
    std::uint16_t implicit_action;  // 'd' (0x64) drop or 'p' (0x70) pass
    std::uint16_t rule_count;
    char digi_path[8][8];
};

static_assert(sizeof(conf_record_t) == 120);
static_assert(offsetof(conf_record_t, host_baud) == 0x00);
static_assert(offsetof(conf_record_t, dstar_baud) == 0x04);
static_assert(offsetof(conf_record_t, tnc_baud) == 0x08);
static_assert(offsetof(conf_record_t, base_lat) == 0x0C);
static_assert(offsetof(conf_record_t, base_lon) == 0x10);
static_assert(offsetof(conf_record_t, station_call) == 0x14);
static_assert(offsetof(conf_record_t, ssid) == 0x1C);
static_assert(offsetof(conf_record_t, wide_max) == 0x1E);
static_assert(offsetof(conf_record_t, wide_total) == 0x20);
static_assert(offsetof(conf_record_t, relay) == 0x22);
static_assert(offsetof(conf_record_t, nsr) == 0x24);
static_assert(offsetof(conf_record_t, use_dstar_baud) == 0x26);
static_assert(offsetof(conf_record_t, dupe_window) == 0x28);
static_assert(offsetof(conf_record_t, log_port) == 0x2A);
static_assert(offsetof(conf_record_t, halt_on_error) == 0x2C);
static_assert(offsetof(conf_record_t, drop_mangled) == 0x2E);
static_assert(offsetof(conf_record_t, fix_valid) == 0x30);
static_assert(offsetof(conf_record_t, pass_no_position) == 0x32);
static_assert(offsetof(conf_record_t, implicit_action) == 0x34);
static_assert(offsetof(conf_record_t, rule_count) == 0x36);
static_assert(offsetof(conf_record_t, digi_path) == 0x38);

inline constexpr std::uint16_t implicit_drop = 0x0064;  // 'd'
inline constexpr std::uint16_t implicit_pass = 0x0070;  // 'p'

// A call sign: at most call_max characters, and an SSID of 0 to ssid_max,
// in the station call and in the rules alike.
inline constexpr int call_max = 6;
inline constexpr int ssid_max = 15;

extern conf_record_t conf_record;
extern const unsigned char conf_default_image[120];
extern std::int32_t digi_count;   // components in digi_path, 0 to 8
extern std::int32_t conf_loaded;  // 1 once a Configuration file was read to its end

// The 120 bytes of the configuration image as held.
const unsigned char* conf_image();

// Loads the default image and sets digi_count to 0; conf_loaded is untouched.
void conf_reset();

// The configuration as at start-up: the default image, digi_count 0, and no
// file loaded (conf_loaded 0).
void conf_state_reset();

// dconfigure: prints the record.
void conf_display();

// The rate connect uses when none is given: dstar_baud when use_dstar_baud
// is non-zero, otherwise host_baud.
std::int32_t default_link_baud();

// A Configuration file line as the keyword handlers read it.
struct conf_line;

// One keyword of the Configuration file: its word, its item code (one
// numbering with the console commands and the rule types) and the handler
// that reads its arguments into conf_record and returns the status.
struct conf_keyword {
    const char* name;
    std::int32_t code;
    int (*handler)(conf_line& line);
};

// Every keyword; abbreviations are matched in this order.
extern const std::span<const conf_keyword> conf_keywords;

// configure: reads a Configuration file into the record. 0 on success,
// -1 null path, -2 cannot open, -7 keyword, -8 argument only in a comment,
// -11 argument missing, malformed or out of range.
int conf_process(const char* path);

}  // namespace pello
