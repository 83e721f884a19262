// The firmware loader: after SYN it waits for the identifier "PeLoMa1.0",
// then takes Intel HEX record lines ended by CR, checks each one and answers
// with one status byte, and collects the accepted data records into an image.
#include "sim.hpp"

#include <cstring>
#include <map>
#include <string>

namespace pello::sim {

namespace {

constexpr char identifier[] = "PeLoMa1.0";
constexpr std::size_t identifier_length = sizeof identifier - 1;
constexpr std::size_t line_keep = 1024;              // longest line kept for the log
constexpr std::uint32_t image_span_max = 16u << 20;  // firmware.bin is written up to this span

struct record_check {
    unsigned char natural = ACK;
    std::string why;
    std::vector<unsigned char> bytes;  // count, offset (2), type, data, checksum
};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

record_check check_record(const std::string& line, std::size_t length)
{
    record_check r;
    const auto refuse = [&r](unsigned char answer, std::string why) {
        r.natural = answer;
        r.why = std::move(why);
        return r;
    };
    if (line.empty() || line[0] != ':')
        return refuse(DC1, "no start character");
    if (length != line.size())
        return refuse(NAK, format_text("line of %zu characters", length));
    const std::size_t digits = line.size() - 1;
    if (digits < 10 || digits % 2 != 0)
        return refuse(NAK, format_text("malformed: %zu hex digits", digits));
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const int high = hex_digit(line[i]);
        const int low = hex_digit(line[i + 1]);
        if (high < 0 || low < 0)
            return refuse(NAK,
                          format_text("malformed: not a hex digit at %zu", high < 0 ? i : i + 1));
        r.bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    unsigned sum = 0;
    for (const unsigned char b : r.bytes)
        sum += b;
    if ((sum & 0xFF) != 0)
        return refuse(DC2, format_text("checksum (sum 0x%02X)", sum & 0xFF));
    const std::size_t count = r.bytes[0];
    const unsigned type = r.bytes[3];
    if (r.bytes.size() != count + 5)
        return refuse(NAK, format_text("byte count %zu does not match the line", count));
    if (type > 5)
        return refuse(NAK, format_text("record type %02X", type));
    if ((type == 1 && count != 0) || ((type == 2 || type == 4) && count != 2) ||
        ((type == 3 || type == 5) && count != 4))
        return refuse(NAK, format_text("type %02X record with %zu data bytes", type, count));
    return r;
}

void use_record(loader_state& s, const std::vector<unsigned char>& bytes)
{
    const unsigned count = bytes[0];
    const std::uint32_t offset = static_cast<std::uint32_t>((bytes[1] << 8) | bytes[2]);
    const unsigned type = bytes[3];
    ++s.types[type];
    const std::uint32_t value =
        count >= 2 ? static_cast<std::uint32_t>((bytes[4] << 8) | bytes[5]) : 0;
    switch (type) {
    case 0:
        for (unsigned i = 0; i < count; ++i)
            s.image[s.base + offset + i] = bytes[4 + i];
        break;
    case 1:
        s.eof_seen = true;
        break;
    case 2:
        s.base = value << 4;  // extended segment address
        break;
    case 4:
        s.base = value << 16;  // extended linear address
        break;
    default:
        break;
    }
}

void record_line(device& d)
{
    loader_state& s = d.ld;
    const std::string line = std::move(s.line);
    const std::size_t length = s.line_length;
    s.line.clear();
    s.line_length = 0;
    const record_check check = check_record(line, length);
    const decided_answer decided = answer_for(d, s.book, line, check.natural);
    const int answer = decided.answer;
    s.log += line + "\n";
    if (length > line.size())
        s.anomalies.push_back(
            format_text("record %ld: %zu characters, only %zu kept in firmware.log", s.book.number,
                        length, line.size()));
    // The end-of-file record ends the image: a loader takes nothing after it.
    if (s.eof_seen)
        s.anomalies.push_back(
            format_text("record %ld: after the end-of-file record", s.book.number));
    trace("record %ld (%zu characters, %s, send %d): answer %s", s.book.number, length,
          check.why.empty() ? "ok" : check.why.c_str(), decided.sends, answer_text(answer).c_str());
    give_booked_answer(d, s.book, line, decided);
    if (answer == ACK && check.natural == ACK) {
        use_record(s, check.bytes);
        if (check.bytes[3] == 1)
            loader_write(d);  // the end-of-file record: the image is complete
    }
}

// The report's lines of the address ranges of the data, each run of
// consecutive addresses once.
std::string address_ranges(const std::map<std::uint32_t, unsigned char>& image)
{
    std::string ranges;
    for (auto it = image.begin(); it != image.end();) {
        const std::uint32_t first = it->first;
        std::uint32_t last = first;
        for (++it; it != image.end() && it->first == last + 1; ++it)
            last = it->first;
        ranges += format_text("  0x%08X-0x%08X  %u bytes\n", first, last, last - first + 1);
    }
    return ranges.empty() ? std::string("  none\n") : ranges;
}

}  // namespace

void loader_begin(device& d)
{
    begin_session(d, session_kind::firmware);
    event(d, "firmware loader: SYN received, waiting for the identifier");
}

void loader_byte(device& d, unsigned char byte)
{
    loader_state& s = d.ld;
    if (!s.identified) {
        if (s.ident.empty() && byte == SYN)
            return;  // a repeated sync character
        s.ident += static_cast<char>(byte);
        if (s.ident.size() < identifier_length)
            return;
        if (s.ident == identifier && d.opt.ident_hangup) {
            s.ident.clear();
            plan_hangup(d, "firmware loader: identifier received, no answer");
            return;
        }
        hold_answer(d, d.opt.ident_delay_ms, "the answer to the identifier");
        if (s.ident == identifier) {
            s.identified = true;
            send_byte(d, ACK);
            event(d, "firmware loader: identifier accepted, receiving records");
        } else {
            ++s.ident_refused;
            send_byte(d, NAK);
            event(d, "firmware loader: identifier %s refused",
                  quoted(s.ident.c_str(), s.ident.size()).c_str());
            s.ident.clear();
        }
        return;
    }
    if (byte == '\r') {
        record_line(d);
        return;
    }
    ++s.line_length;
    if (s.line.size() < line_keep)
        s.line += static_cast<char>(byte);
}

void loader_write(device& d)
{
    loader_state& s = d.ld;
    if (s.written == s.book.number)
        return;  // nothing new since the files were written
    s.written = s.book.number;
    std::string r = "Pellomatic firmware report\n\n";
    r += format_text("Identifier          %s (refused %ld)\n",
                     s.identified ? "\"PeLoMa1.0\" accepted" : "not received", s.ident_refused);
    r += format_text("Record lines        %ld\n", s.book.number);
    r += format_text("  acknowledged      %ld\n", s.book.acked);
    r += format_text("  DC1 (start)       %ld\n", s.book.dc1);
    r += format_text("  DC2 (checksum)    %ld\n", s.book.dc2);
    r += format_text("  NAK (malformed)   %ld\n", s.book.refused);
    r += format_text("  other answer      %ld\n", s.book.other);
    r += format_text("  no answer         %ld\n", s.book.unanswered);
    r += format_text("  resends seen      %ld\n", s.book.resends);
    r += format_text("Accepted types      00: %ld, 01: %ld, 02: %ld, 03: %ld, 04: %ld, 05: %ld\n",
                     s.types[0], s.types[1], s.types[2], s.types[3], s.types[4], s.types[5]);
    r += std::string("End-of-file record  ") + (s.eof_seen ? "received" : "not received") + "\n";
    r += format_text("Data bytes          %zu\n", s.image.size());

    r += "Address ranges\n" + address_ranges(s.image);

    std::string image;
    if (!s.image.empty()) {
        const std::uint32_t low = s.image.begin()->first;
        const std::uint32_t span = s.image.rbegin()->first - low + 1;
        if (span <= image_span_max) {
            image.assign(span, static_cast<char>(0xFF));
            for (const auto& [address, byte] : s.image)
                image[address - low] = static_cast<char>(byte);
            r += format_text("Image               firmware.bin, %u bytes from 0x%08X (gaps 0xFF)\n",
                             span, low);
        } else {
            r += format_text("Image               not written: spans %u bytes\n", span);
        }
    } else {
        r += "Image               firmware.bin empty\n";
    }
    // A run that ends (or is written) before its end-of-file record leaves
    // the box with part of an image.
    std::vector<std::string> anomalies = s.anomalies;
    if (!s.eof_seen)
        anomalies.emplace_back("no end-of-file record received");
    r += "Anomalies           " + std::string(anomalies.empty() ? "none" : "") + "\n";
    for (const auto& a : anomalies)
        r += "  " + a + "\n";

    write_out(d, "firmware.log", s.log);
    write_out(d, "firmware.bin", image);
    write_out(d, "report.txt", r);
    trace("firmware files written: %ld record lines, %zu data bytes", s.book.number,
          s.image.size());
}

}  // namespace pello::sim
