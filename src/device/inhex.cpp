// The firmware file check: every Intel HEX record of the file must suit the
// Pellomatic loader before the update touches the device.
#include "device/device.hpp"

#include <cstdio>
#include <cstring>

#include "textio/textio.hpp"

namespace pello {

int hex_value(const char* text, int count)
{
    if (text == nullptr)
        return 0;
    int i = 0;
    while (i < count && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < count && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The callers pass a count of 2; the value is kept within int for any
    // count by saturating.
    long long value = 0;
    for (; i < count; ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        value = value * 16 + digit;
        if (value > 0x7FFFFFFF)
            value = 0x7FFFFFFF;
    }
    return static_cast<int>(negative ? -value : value);
}

int hex_line_sum(const char* text)
{
    if (text == nullptr)
        return 0;
    unsigned sum = 0;
    std::size_t len = std::strlen(text);
    for (std::size_t at = 0; at < len; at += 2)
        sum += static_cast<unsigned>(hex_value(text + at, 2));
    return static_cast<int>(sum & 0xFFu);
}

int inhexverify(std::FILE* file, std::vector<hex_record>* accepted)
{
    if (file == nullptr) {
        std::printf("inhexverify: Error: param fp is invalid\n");
        return -1;
    }
    std::rewind(file);
    if (accepted != nullptr)
        accepted->clear();
    unsigned long line_number = 0;
    int records = 0;
    char line[firmware_line_size];
    while (read_text_line(file, line, static_cast<int>(sizeof line)) > 0) {
        ++line_number;
        std::size_t length = static_cast<std::size_t>(chop_line_end(line));
        if (line[0] != ':')
            continue;
        ++records;

        int residual = hex_line_sum(line + 1);
        if (residual != 0) {
            std::printf("\a\aError: checksum mismatch (0x%02x) for line %lu in Firmware file!\n",
                        static_cast<unsigned>(residual), line_number);
            return -2;
        }
        if (length < 9 || line[7] != '0' || line[8] < '0' || line[8] > '5') {
            // Only the characters the line really has at positions 7 and 8
            // are shown.
            char type[3] = {length > 7 ? line[7] : '\0', length > 8 ? line[8] : '\0', '\0'};
            std::printf("\a\aError: invalid type (%s) for line %lu in Firmware file!\n", type,
                        line_number);
            return -3;
        }
        int n = hex_value(line + 1, 2);
        if (static_cast<long long>(length) != 2LL * n + 11) {
            std::printf("\a\aError: invalid record length (%u) for line %lu in Firmware file!\n",
                        static_cast<unsigned>(n), line_number);
            return -4;
        }
        if (n > 128) {
            std::printf("\a\aError: record length > 128 (%u) for line %lu in Firmware file!\n",
                        static_cast<unsigned>(n), line_number);
            return -5;
        }
        if (line[8] == '0' && (line[6] == '\0' || std::strchr("048Cc", line[6]) == nullptr)) {
            std::printf("\a\aError: data record offset boundary error for line %lu in Firmware "
                        "file!\n",
                        line_number);
            return -6;
        }
        if (accepted != nullptr)
            accepted->push_back({line_number, std::string(line, length)});
    }
    if (records == 0) {
        std::printf("\a\aError: Firmware file is empty!\n");
        return -7;
    }
    return records;
}

}  // namespace pello
