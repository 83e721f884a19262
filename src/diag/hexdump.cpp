// The hex dump: a byte buffer as an offset / hex / text table, used to show
// what the Pellomatic sent when the connect handshake did not get the answer
// it expected.
#include "diag/diag.hpp"

#include <cstdio>

namespace pello {

namespace {

constexpr const char hex_digits[] = "0123456789abcdef";

// The column header; before the first line it is written without its
// leading empty line.
constexpr const char column_header[] =
    "\nDec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

// Widths of one line after its offset prefix: 8 byte columns, two blanks,
// 8 byte columns, "| ", 16 text characters and the line end.
constexpr int hex_area = 8 * 3 + 2 + 8 * 3;
constexpr int text_start = hex_area + 2;
constexpr int line_tail = text_start + 16 + 1;

// The prefix "%4d %04x| " of the largest offset is 10 + 1 + 8 + 2 characters;
// a line never needs more than this buffer, whatever the offset.
constexpr int line_size = 32 + line_tail + 1;

void write_title(std::FILE* stream, int flags, const char* label, const void* buffer,
                 std::int32_t length)
{
    const auto hex_length = static_cast<unsigned>(length);
    const char* separator = (label != nullptr && label[0] != '\0') ? ": " : "";
    if (flags == 0) {
        // 0x before %p, which writes its own 0x, is the system's own text; keep it.
        if (label == nullptr)
            std::fprintf(stream, "hexdump: buffer addr 0x%p, length %d (0x%x):\n", buffer, length,
                         hex_length);
        else
            std::fprintf(stream, "hexdump: %s%sbuffer addr 0x%p, length %d (0x%x):\n", label,
                         separator, buffer, length, hex_length);
    } else if ((flags & 1) != 0) {
        if (label == nullptr)
            std::fprintf(stream, "hexdump: length %d (0x%x):\n", length, hex_length);
        else
            std::fprintf(stream, "%s%slength %d (0x%x):\n", label, separator, length, hex_length);
    } else if ((flags & 2) != 0) {
        std::fprintf(stream, "length %d (0x%x):\n", length, hex_length);
    }
}

}  // namespace

void hexdump(std::FILE* stream, int flags, const char* label, const void* buffer,
             std::int32_t length, int header_every)
{
    if (stream == nullptr) {
        std::fputs("hexdump: invalid param file ptr\n", stderr);
        return;
    }
    if (buffer == nullptr) {
        std::fputs("hexdump: invalid param buf ptr\n", stream);
        return;
    }
    if (length < 0) {
        std::fprintf(stream, "hexdump: invalid param len %d\n", length);
        return;
    }
    write_title(stream, flags, label, buffer, length);

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    char line[line_size];
    int lines_written = 0;
    // A 64-bit offset: stepping past the last line of a buffer near the
    // largest length must not overflow.
    for (std::int64_t offset = 0; offset < length; offset += 16) {
        if (header_every != 0 && lines_written % header_every == 0)
            std::fputs(lines_written == 0 ? column_header + 1 : column_header, stream);

        const auto line_offset = static_cast<std::int32_t>(offset);
        int prefix = std::snprintf(line, sizeof line, "%4d %04x| ", line_offset,
                                   static_cast<unsigned>(line_offset));
        if (prefix < 0 || prefix + line_tail >= line_size)
            return;  // cannot happen: the buffer holds the widest prefix
        char* hex = line + prefix;
        char* text = hex + text_start;

        const int count = (length - line_offset < 16) ? static_cast<int>(length - line_offset) : 16;
        for (int i = 0; i < hex_area; ++i)
            hex[i] = ' ';
        hex[hex_area] = '|';
        hex[hex_area + 1] = ' ';
        for (int i = 0; i < count; ++i) {
            const unsigned char byte = bytes[line_offset + i];
            char* column = hex + static_cast<std::ptrdiff_t>(i) * 3 + (i >= 8 ? 2 : 0);
            column[0] = hex_digits[byte >> 4];
            column[1] = hex_digits[byte & 0x0F];
            text[i] = (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
        }
        text[count] = '\n';
        text[count + 1] = '\0';
        std::fputs(line, stream);
        ++lines_written;
    }
}

}  // namespace pello
