// The rule table, its display and the rule image.
#include "rules/rules.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.hpp"
#include "textio/textio.hpp"

namespace pello {

const char* const compass_names[compass_count] = {"Error", "N",  "NE", "E", "SE",
                                                  "S",     "SW", "W",  "NW"};

rule_record rule_table[rule_max];
std::int32_t rules_processed = 0;

void rules_reset()
{
    conf_record.implicit_action = implicit_pass;
    rule_lines = 0;
    conf_record.rule_count = 0;
    rules_processed = 0;
    std::memset(rule_table, 0, sizeof rule_table);
}

float rule_float(const rule_record& rule, int slot)
{
    float value;
    std::memcpy(&value, rule.slot[slot], sizeof value);
    return value;
}

void set_rule_float(rule_record& rule, int slot, float value)
{
    std::memcpy(rule.slot[slot], &value, sizeof value);
    rule.slot[slot][4] = 0;
    rule.slot[slot][5] = 0;
}

namespace {

// The records that rule_count names, never more than the table holds.
std::size_t counted_rules()
{
    return std::min<std::size_t>(conf_record.rule_count, rule_max);
}

double slot_value(const rule_record& rule, int slot)
{
    return static_cast<double>(rule_float(rule, slot));
}

// A latitude or longitude slot as drules shows it; tail follows the unit
// ("1," for the first corner of a rectangle, "," before a further slot).
std::string lat_text(const rule_record& rule, int slot, const char* tail)
{
    return format_text("%-10.6f D Lat%s", slot_value(rule, slot), tail);
}

std::string lon_text(const rule_record& rule, int slot, const char* tail)
{
    return format_text("%-11.5f D Lon%s", slot_value(rule, slot), tail);
}

// destin, source: CALL, CALL-SSID, PREFIX* or a lone *.
void show_call_sign(const rule_record& rule, std::string text[4])
{
    char call[7] = {};
    std::memcpy(call, rule.slot[0], 6);
    if (rule.flags & mod_any)
        text[0] = format_text("%s", "*");
    else if (rule.flags & mod_prefix)
        text[0] = format_text("%-*s*", 6, call);
    else if (rule.flags & mod_ssid)
        text[0] = format_text("%-*s-%d", 6, call, rule.slot[1][0]);
    else
        text[0] = format_text("%-*s", 6, call);
}

void show_circle(const rule_record& rule, std::string text[4])
{
    text[0] = format_text("%-.3f mi R,", slot_value(rule, 0));
    text[1] = lat_text(rule, 1, ",");
    text[2] = lon_text(rule, 2, "");
}

void show_compass(const rule_record& rule, std::string text[4])
{
    unsigned direction = rule.slot[0][0];
    text[0] = format_text("%-2s Dir,", compass_names[direction < compass_count ? direction : 0]);
    text[1] = lat_text(rule, 1, ",");
    text[2] = lon_text(rule, 2, "");
}

void show_rectangle(const rule_record& rule, std::string text[4])
{
    text[0] = lat_text(rule, 0, "1,");
    text[1] = lon_text(rule, 1, "1,");
    text[2] = lat_text(rule, 2, "2,");
    text[3] = lon_text(rule, 3, "2");
}

void show_sector(const rule_record& rule, std::string text[4])
{
    text[0] = format_text("%-.3f D Ang1,", slot_value(rule, 0));
    text[1] = format_text("%-.3f D Ang2,", slot_value(rule, 1));
    text[2] = format_text("%-.3f In R,", slot_value(rule, 2));
    text[3] = format_text("%-.3f Out R", slot_value(rule, 3));
}

// Every rule type, in the order of the keyword table.
constexpr rule_type_entry rule_types[] = {
    {rule_implicit, {"implicit"}, nullptr, nullptr},
    {rule_destin, {"destin", "dst"}, read_call_sign, show_call_sign},
    {rule_source, {"source", "src"}, read_call_sign, show_call_sign},
    {rule_circle, {"circle"}, read_circle, show_circle},
    {rule_compass, {"compass"}, read_compass, show_compass},
    {rule_rectangle, {"rectangle"}, read_rectangle, show_rectangle},
    {rule_sector, {"sector"}, read_sector, show_sector},
};

constexpr std::size_t keyword_count()
{
    std::size_t count = 0;
    for (const rule_type_entry& type : rule_types)
        count += static_cast<std::size_t>(std::ranges::count_if(
            type.keywords, [](const char* keyword) { return keyword != nullptr; }));
    return count;
}

// The keyword table: the words of the types, type by type.
constexpr std::array<rule_keyword, keyword_count()> rule_keyword_entries = [] {
    std::array<rule_keyword, keyword_count()> entries{};
    std::size_t i = 0;
    for (const rule_type_entry& type : rule_types) {
        for (const char* keyword : type.keywords) {
            if (keyword != nullptr)
                entries[i++] = {keyword, type.code};
        }
    }
    return entries;
}();

}  // namespace

constinit const std::span<const rule_keyword> rule_keywords{rule_keyword_entries};

const rule_type_entry* rule_type_of(int code)
{
    for (const rule_type_entry& type : rule_types) {
        if (type.code == code)
            return &type;
    }
    return nullptr;
}

const char* rule_type_name(int code)
{
    for (const rule_keyword& keyword : rule_keywords) {
        if (keyword.code == code)
            return keyword.name;
    }
    return "?";
}

void rules_display()
{
    const std::uint16_t implicit = conf_record.implicit_action;
    const std::uint16_t count = conf_record.rule_count;
    if (count == 0) {
        // Two blanks after the '!', as the system prints it.
        std::printf("No Rules are configured!  Implicit Rule Action is %s\n",
                    implicit == implicit_drop   ? "Drop"
                    : implicit == implicit_pass ? "Pass"
                                                : "?");
        return;
    }
    std::printf("Rule count %d plus Implicit\n", count);
    std::printf("\n%-6s %-9s %-s Arguments\n", "Action", "Command", "Mods");
    std::printf("%-6s %-9s\n", implicit == implicit_drop ? "Drop" : "Pass", "Implicit");
    for (std::size_t i = 0; i < counted_rules(); ++i) {
        const rule_record& rule = rule_table[i];
        std::string text[4];
        const rule_type_entry* type = rule_type_of(rule.type);
        if (type != nullptr && type->show != nullptr)
            type->show(rule, text);
        const int action = rule.flags & action_mask;
        std::printf("%-6s %-9s %02x   %s %s %s %s\n",
                    action == action_pass   ? "Pass"
                    : action == action_drop ? "Drop"
                                            : "?",
                    rule_type_name(rule.type), rule.flags & modifier_mask, text[0].c_str(),
                    text[1].c_str(), text[2].c_str(), text[3].c_str());
    }
}

std::span<const unsigned char> rule_image()
{
    return {reinterpret_cast<const unsigned char*>(rule_table),
            counted_rules() * sizeof(rule_record)};
}

}  // namespace pello
