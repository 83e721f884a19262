// Packet mode: the device's side of the download. Every packet is checked
// (length 5 to 64, CRC-16) and answered ACK or NAK; the "conf", "rules" and
// "-cestfini-" command packets and the data packets after them rebuild the
// configuration and rule images, which the session leaves in the out folder
// with a readable decoding.
#include "config/config.hpp"
#include "rules/rules.hpp"
#include "sim.hpp"

#include <algorithm>
#include <cstring>

namespace pello::sim {

namespace {

constexpr std::size_t packet_min = 5;
constexpr std::size_t packet_max = 64;
constexpr std::size_t command_length = 21;
constexpr milliseconds packet_idle_limit{1000};  // a packet stopping half-way

// CRC-16/AUG-CCITT, bit by bit: polynomial 0x1021, register from 0x1D0F,
// most significant bit first, no final exclusive-or.
std::uint16_t packet_crc(const unsigned char* bytes, std::size_t count)
{
    std::uint16_t crc = 0x1D0F;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// The pause that ends a resynchronisation: the line has been quiet this long.
nanoseconds quiet_pause(const device& d)
{
    return milliseconds(20) + 2 * char_time(d);
}

// A text field of a command packet: the text up to the first NUL; the bytes
// after it must be NUL too.
std::string field_text(const unsigned char* field, std::size_t size, bool& padded)
{
    std::size_t n = 0;
    while (n < size && field[n] != 0)
        ++n;
    padded = std::all_of(field + n, field + size, [](unsigned char c) { return c == 0; });
    return std::string(reinterpret_cast<const char*>(field), n);
}

void note(download_state& s, const std::string& text)
{
    s.anomalies.push_back(format_text("packet %ld: %s", s.book.number, text.c_str()));
}

void command_packet(device& d, const std::vector<unsigned char>& packet)
{
    download_state& s = d.dl;
    if (packet.size() != command_length) {
        note(s,
             format_text("data packet of %zu bytes while no image is expected", packet.size() - 4));
        return;
    }
    bool name_padded = false, size_padded = false;
    const std::string name = field_text(packet.data() + 2, 12, name_padded);
    const std::string size_text = field_text(packet.data() + 14, 5, size_padded);
    if (!name_padded || !size_padded)
        note(s, "command fields not padded with NUL bytes");
    const bool digits =
        !size_text.empty() && std::all_of(size_text.begin(), size_text.end(),
                                          [](char c) { return c >= '0' && c <= '9'; });
    const long size = digits ? std::stol(size_text) : -1;

    if (name == "-cestfini-") {
        s.commands.push_back(name);
        if (!size_text.empty())
            note(s, "finish packet with size field " + quoted(size_text.c_str(), 5));
        if (s.conf_size < 0 || s.rules_size < 0)
            note(s, "finish packet before both images were announced");
        s.finished = true;
        return;
    }
    if (name != "conf" && name != "rules") {
        note(s, "unknown command " + quoted(name.c_str(), 12));
        return;
    }
    s.commands.push_back(name + " " + size_text);
    if (!digits) {
        note(s, name + " with size field " + quoted(size_text.c_str(), 5));
        return;
    }
    if (name == "conf") {
        if (s.conf_size >= 0)
            note(s, "second conf command");
        if (size != 120)
            note(s, format_text("conf size %ld, the configuration image is 120 bytes", size));
        s.conf_size = size;
        s.conf.clear();
        s.target = size > 0 ? 1 : 0;
    } else {
        if (s.rules_size >= 0)
            note(s, "second rules command");
        if (s.conf_size < 0)
            note(s, "rules announced before the configuration");
        if (size % 28 != 0)
            note(s, format_text("rules size %ld is not a multiple of 28", size));
        s.rules_size = size;
        s.rules.clear();
        s.target = size > 0 ? 2 : 0;
    }
}

void accept_packet(device& d, const std::vector<unsigned char>& packet)
{
    download_state& s = d.dl;
    if (s.target == 0) {
        command_packet(d, packet);
        return;
    }
    auto& image = s.target == 1 ? s.conf : s.rules;
    const long size = s.target == 1 ? s.conf_size : s.rules_size;
    const std::size_t payload = packet.size() - 4;
    const std::size_t room = static_cast<std::size_t>(size) - image.size();
    const std::size_t take = std::min(payload, room);
    if (payload > 60)
        note(s, format_text("data packet of %zu bytes (at most 60)", payload));
    image.insert(image.end(), packet.begin() + 2, packet.begin() + 2 + static_cast<long>(take));
    if (take < payload)
        note(s, format_text("%zu bytes beyond the announced size", payload - take));
    if (image.size() == static_cast<std::size_t>(size))
        s.target = 0;
}

// One packet as received (complete, or cut short by a resynchronisation):
// answer it and, when it is accepted, use it.
void finish_packet(device& d, std::vector<unsigned char> packet, const std::string& bad)
{
    download_state& s = d.dl;
    const std::string_view received(reinterpret_cast<const char*>(packet.data()), packet.size());
    const decided_answer decided = answer_for(d, s.book, received, bad.empty() ? ACK : NAK);
    const int answer = decided.answer;
    s.log +=
        format_text("%4ld %s: %s -> %s\n", s.book.number, bad.empty() ? "ok" : bad.c_str(),
                    hex_bytes(packet.data(), packet.size()).c_str(), answer_text(answer).c_str());
    trace("packet %ld (%zu bytes, %s, send %d): answer %s", s.book.number, packet.size(),
          bad.empty() ? "ok" : bad.c_str(), decided.sends, answer_text(answer).c_str());
    give_booked_answer(d, s.book, received, decided);
    if (answer == ACK && bad.empty()) {
        accept_packet(d, packet);
        if (s.finished)
            download_write(d);  // the files are complete now
    }
}

void start_discarding(device& d, const std::string& reason, time_point t)
{
    download_state& s = d.dl;
    s.discarding = true;
    s.bad_reason = reason;
    s.discard.clear();
    s.quiet_until = t + quiet_pause(d);
}

void complete_packet(device& d, time_point t)
{
    download_state& s = d.dl;
    const std::size_t n = s.packet.size();
    const std::uint16_t sent = static_cast<std::uint16_t>((s.packet[n - 2] << 8) | s.packet[n - 1]);
    const std::uint16_t crc = packet_crc(s.packet.data(), n - 2);
    if (crc == sent) {
        ++s.crc_good;
        finish_packet(d, std::move(s.packet), "");
        s.packet.clear();
        return;
    }
    ++s.crc_bad;
    // Whatever follows a bad packet belongs to it until the line pauses.
    start_discarding(d, format_text("bad CRC %04X (computed %04X)", sent, crc), t);
}

// --- The report -----------------------------------------------------------

std::string conf_report(const std::vector<unsigned char>& image)
{
    if (image.size() != sizeof(conf_record_t))
        return format_text("Configuration image: incomplete (%zu bytes)\n", image.size());
    conf_record_t c;
    std::memcpy(&c, image.data(), sizeof c);
    std::string r = "Configuration image\n";
    const auto line = [&r](const char* name, const std::string& value) {
        r += format_text("  %-18s %s\n", name, value.c_str());
    };
    line("host_baud", std::to_string(c.host_baud));
    line("dstar_baud", std::to_string(c.dstar_baud));
    line("tnc_baud", std::to_string(c.tnc_baud));
    line("base_lat", format_text("%.6f", static_cast<double>(c.base_lat)));
    line("base_lon", format_text("%.6f", static_cast<double>(c.base_lon)));
    line("station_call", quoted(c.station_call, sizeof c.station_call));
    line("ssid", std::to_string(c.ssid));
    line("wide_max", std::to_string(c.wide_max));
    line("wide_total", std::to_string(c.wide_total));
    line("relay", std::to_string(c.relay));
    line("nsr", std::to_string(c.nsr));
    line("use_dstar_baud", std::to_string(c.use_dstar_baud));
    line("dupe_window", std::to_string(c.dupe_window));
    line("log_port", std::to_string(c.log_port));
    line("halt_on_error", std::to_string(c.halt_on_error));
    line("drop_mangled", std::to_string(c.drop_mangled));
    line("fix_valid", std::to_string(c.fix_valid));
    line("pass_no_position", std::to_string(c.pass_no_position));
    const char* implicit = c.implicit_action == implicit_drop   ? " (drop)"
                           : c.implicit_action == implicit_pass ? " (pass)"
                                                                : " (?)";
    line("implicit_action", format_text("0x%04X%s", c.implicit_action, implicit));
    line("rule_count", std::to_string(c.rule_count));
    for (int i = 0; i < 8; ++i)
        line(format_text("digi_path[%d]", i).c_str(),
             quoted(c.digi_path[i], sizeof c.digi_path[i]));
    return r;
}

std::string rule_report(const rule_record& rule)
{
    const int action = rule.flags & action_mask;
    std::string r =
        format_text("line %u, %s, %s (0x%02X), mods 0x%02X:", static_cast<unsigned>(rule.line),
                    action == action_pass   ? "pass"
                    : action == action_drop ? "drop"
                                            : "?",
                    rule_type_name(rule.type), rule.type, rule.flags & modifier_mask);
    const auto f = [&rule](int slot) { return static_cast<double>(rule_float(rule, slot)); };
    switch (rule.type) {
    case rule_destin:
    case rule_source:
        if ((rule.flags & mod_any) != 0)
            r += " any call sign";
        else
            r += " call " + quoted(reinterpret_cast<const char*>(rule.slot[0]), 6);
        if ((rule.flags & mod_prefix) != 0 && (rule.flags & mod_any) == 0)
            r += " prefix";
        if ((rule.flags & mod_ssid) != 0)
            r += format_text(", SSID %u", static_cast<unsigned>(rule.slot[1][0]));
        break;
    case rule_circle:
        r += format_text(" radius %.3f mi, lat %.6f, lon %.6f", f(0), f(1), f(2));
        break;
    case rule_compass:
        r += format_text(" direction %s (%u), lat %.6f, lon %.6f",
                         rule.slot[0][0] < compass_count ? compass_names[rule.slot[0][0]] : "?",
                         static_cast<unsigned>(rule.slot[0][0]), f(1), f(2));
        break;
    case rule_rectangle:
        r += format_text(" lat1 %.6f, lon1 %.6f, lat2 %.6f, lon2 %.6f", f(0), f(1), f(2), f(3));
        break;
    case rule_sector:
        r += format_text(" angle1 %.3f, angle2 %.3f, inner %.3f, outer %.3f", f(0), f(1), f(2),
                         f(3));
        break;
    default:
        r += " slots " + hex_bytes(rule.slot[0], sizeof rule.slot);
        break;
    }
    return r + "\n";
}

std::string size_text(long size)
{
    return size < 0 ? "not announced" : std::to_string(size);
}

}  // namespace

void download_begin(device& d)
{
    begin_session(d, session_kind::download);
    event(d, "download: packet mode");
}

void download_byte(device& d, unsigned char byte, time_point t)
{
    download_state& s = d.dl;
    if (s.skip_lf) {
        s.skip_lf = false;
        if (byte == '\n' && s.packet.empty())
            return;
    }
    if (s.discarding) {
        s.discard.push_back(byte);
        s.quiet_until = t + quiet_pause(d);
        return;
    }
    s.packet.push_back(byte);
    s.last_byte = t;
    if (s.packet.size() < 2)
        return;
    const std::size_t length = static_cast<std::size_t>((s.packet[0] << 8) | s.packet[1]);
    if (length < packet_min || length > packet_max) {
        ++s.length_bad;
        start_discarding(d, format_text("bad length %zu", length), t);
        return;
    }
    if (s.packet.size() == length)
        complete_packet(d, t);
}

void download_timers(device& d, time_point now)
{
    download_state& s = d.dl;
    if (s.discarding && now >= s.quiet_until) {
        s.discarding = false;
        std::vector<unsigned char> packet = std::move(s.packet);
        s.packet.clear();
        if (!s.discard.empty())
            s.log += format_text("     discarded %zu bytes: %s\n", s.discard.size(),
                                 hex_bytes(s.discard.data(), s.discard.size()).c_str());
        finish_packet(d, std::move(packet), s.bad_reason);
    } else if (!s.discarding && !s.packet.empty() && now >= s.last_byte + packet_idle_limit) {
        ++s.length_bad;
        const std::string reason = format_text("incomplete (%zu bytes)", s.packet.size());
        std::vector<unsigned char> packet = std::move(s.packet);
        s.packet.clear();
        finish_packet(d, std::move(packet), reason);
    }
}

bool download_deadline(const device& d, time_point& when)
{
    const download_state& s = d.dl;
    if (s.discarding) {
        when = s.quiet_until;
        return true;
    }
    if (!s.packet.empty()) {
        when = s.last_byte + packet_idle_limit;
        return true;
    }
    return false;
}

void download_write(device& d)
{
    download_state& s = d.dl;
    if (s.written == s.book.number)
        return;  // nothing new since the files were written
    s.written = s.book.number;
    std::string r = "Pellomatic download report\n\n";
    r += format_text("Packets received    %ld\n", s.book.number);
    r += format_text("  acknowledged      %ld\n", s.book.acked);
    r += format_text("  refused (NAK)     %ld\n", s.book.refused);
    // DC1 and DC2 are no answers of packet mode: the report counts them as other answers.
    r += format_text("  other answer      %ld\n", s.book.other + s.book.dc1 + s.book.dc2);
    r += format_text("  no answer         %ld\n", s.book.unanswered);
    r += format_text("  resends seen      %ld\n", s.book.resends);
    r += format_text("CRC good            %ld\n", s.crc_good);
    r += format_text("CRC bad             %ld\n", s.crc_bad);
    r += format_text("Length bad          %ld\n", s.length_bad);
    std::string commands;
    for (const auto& c : s.commands)
        commands += (commands.empty() ? "" : ", ") + c;
    r += "Commands            " + (commands.empty() ? std::string("none") : commands) + "\n";
    r += format_text("Configuration       %zu of %s bytes\n", s.conf.size(),
                     size_text(s.conf_size).c_str());
    r += format_text("Rules               %zu of %s bytes, %zu records\n", s.rules.size(),
                     size_text(s.rules_size).c_str(), s.rules.size() / sizeof(rule_record));
    r += std::string("Finish packet       ") + (s.finished ? "received" : "not received") + "\n";
    r += "Anomalies           " + std::string(s.anomalies.empty() ? "none" : "") + "\n";
    for (const auto& a : s.anomalies)
        r += "  " + a + "\n";
    r += '\n';
    r += conf_report(s.conf);
    r += format_text("\nRule image (%zu records)\n", s.rules.size() / sizeof(rule_record));
    for (std::size_t i = 0; i + sizeof(rule_record) <= s.rules.size(); i += sizeof(rule_record)) {
        rule_record rule;
        std::memcpy(&rule, s.rules.data() + i, sizeof rule);
        r += format_text("  rule %zu: ", i / sizeof(rule_record) + 1) + rule_report(rule);
    }

    write_out(d, "conf.bin",
              std::string_view(reinterpret_cast<const char*>(s.conf.data()), s.conf.size()));
    write_out(d, "rules.bin",
              std::string_view(reinterpret_cast<const char*>(s.rules.data()), s.rules.size()));
    write_out(d, "packets.log", s.log);
    write_out(d, "report.txt", r);
    trace("download files written: %ld packets, conf %zu bytes, rules %zu bytes", s.book.number,
          s.conf.size(), s.rules.size());
}

}  // namespace pello::sim
