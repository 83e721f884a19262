// The firmware file check: every Intel HEX record of the file must suit the
// Pellomatic loader before the update touches the device.
#include "device/device.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

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

namespace {

constexpr std::uint64_t fnv_offset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t fnv_prime = 0x100000001b3ULL;

std::uint64_t digest_of(std::uint64_t digest, const char* bytes, int length)
{
    for (int i = 0; i < length; ++i) {
        digest ^= static_cast<unsigned char>(bytes[i]);
        digest *= fnv_prime;
    }
    return digest;
}

// The size of the open file in bytes, or 0 when it cannot be told.
std::size_t file_size_of(std::FILE* file)
{
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    std::rewind(file);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

void pack_record(std::string& packed, unsigned long lines_since, const char* text,
                 std::size_t length)
{
    while (lines_since >= 0x80) {
        packed += static_cast<char>((lines_since & 0x7F) | 0x80);
        lines_since >>= 7;
    }
    packed += static_cast<char>(lines_since);
    packed.append(text, length);
}

// Why the loader would refuse a record that passed the checks of its sum,
// type, length and alignment, or nullptr when it takes it: a character that
// is not a hex digit anywhere after the ':' (the digit reader skips blanks
// and a sign and stops at any other character, so the sums alone let such a
// record through), or a byte count its type does not allow. text holds the
// piece as read, without its line end and up to text_length: past a NUL too.
const char* record_fault(const char* text, std::size_t text_length, int count)
{
    for (std::size_t i = 1; i < text_length; ++i) {
        if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0)
            return "not a hex digit";
    }
    // The data bytes of each type: any for data, none for the end of the
    // file, 2 for a segment or upper address word, 4 for a start address.
    struct type_rule {
        int count;
        const char* reason;
    };
    static constexpr type_rule rules[] = {
        {-1, nullptr},
        {0, "type 01 with data"},
        {2, "type 02 without 2 data bytes"},
        {4, "type 03 without 4 data bytes"},
        {2, "type 04 without 2 data bytes"},
        {4, "type 05 without 4 data bytes"},
    };
    const type_rule& rule = rules[text[8] - '0'];
    return rule.reason != nullptr && count != rule.count ? rule.reason : nullptr;
}

// The checks of one record line (length characters, read_length as read)
// against what the loader takes: 0 when it passes, else the check's result
// after its message.
int check_record(const char* line, std::size_t length, std::size_t read_length,
                 unsigned long line_number)
{
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
    if (const char* reason = record_fault(line, read_length, n)) {
        std::printf("\a\aError: invalid record (%s) for line %lu in Firmware file!\n", reason,
                    line_number);
        return -8;
    }
    return 0;
}

// Empties the records the check accepts, with room for all of them.
void start_accepted(std::FILE* file, hex_records* accepted)
{
    if (accepted == nullptr)
        return;
    accepted->packed.clear();
    // No record takes more room than its line in the file: one buffer of
    // the file's size (and a byte) holds them all without growing.
    accepted->packed.reserve(file_size_of(file) + 1);
    accepted->digest = fnv_offset;
}

// What the file as a whole must have once every line passed: a record, and
// the end-of-file record. The record count, else the check's result after
// its message.
int whole_image(int records, bool ended)
{
    if (records == 0) {
        std::printf("\a\aError: Firmware file is empty!\n");
        return -7;
    }
    // Without its end-of-file record the file is not a whole image (a copy
    // or a download cut short): the loader would be left with part of one.
    if (!ended) {
        std::printf("\a\aError: no end-of-file record in Firmware file!\n");
        return -10;
    }
    return records;
}

}  // namespace

bool next_hex_record(const hex_records& records, std::size_t& at, hex_record& record)
{
    const std::string& packed = records.packed;
    unsigned long lines_since = 0;
    int shift = 0;
    while (at < packed.size() && shift < std::numeric_limits<unsigned long>::digits) {
        const auto group = static_cast<unsigned char>(packed[at++]);
        lines_since |= static_cast<unsigned long>(group & 0x7F) << shift;
        shift += 7;
        if ((group & 0x80) == 0)
            break;
    }
    // The text: 2n + 11 characters for the byte count n in its first two
    // digits, as the check accepted it.
    if (at + 3 > packed.size())
        return false;
    const long long length = 2LL * hex_value(packed.data() + at + 1, 2) + 11;
    if (length < 1 || static_cast<unsigned long long>(length) > packed.size() - at)
        return false;
    record.line_number += lines_since;
    record.text = std::string_view(packed.data() + at, static_cast<std::size_t>(length));
    at += static_cast<std::size_t>(length);
    return true;
}

bool firmware_file_digest(const char* file_name, std::uint64_t& digest)
{
    text_file file = open_text_file(file_name);
    if (!file)
        return false;
    digest = fnv_offset;
    char piece[firmware_line_size];
    int length = 0;
    while ((length = read_text_line(file.get(), piece, static_cast<int>(sizeof piece))) > 0)
        digest = digest_of(digest, piece, length);
    return std::ferror(file.get()) == 0;
}

int inhexverify(std::FILE* file, hex_records* accepted)
{
    if (file == nullptr) {
        std::printf("inhexverify: Error: param fp is invalid\n");
        return -1;
    }
    start_accepted(file, accepted);
    std::rewind(file);
    unsigned long line_number = 0;
    unsigned long last_record_line = 0;
    bool ended = false;  // an end-of-file record was read
    int records = 0;
    char line[firmware_line_size];
    line_pieces pieces;
    int read = 0;
    while ((read = read_text_line(file, line, static_cast<int>(sizeof line))) > 0) {
        ++line_number;
        if (accepted != nullptr)
            accepted->digest = digest_of(accepted->digest, line, read);
        pieces.next(line, read);
        // The piece's length without its line end, past a NUL if it has one:
        // the checks see the text up to its first NUL.
        const std::size_t read_length = static_cast<std::size_t>(read - (line[read - 1] == '\n'));
        std::size_t length = static_cast<std::size_t>(chop_line_end(line));
        // A piece that continues a line is never a record: a record line is
        // far shorter than a piece, so that line is not a record either.
        if (line[0] != ':' || pieces.continued())
            continue;
        ++records;
        if (int fault = check_record(line, length, read_length, line_number); fault != 0)
            return fault;
        // The end-of-file record ends the image: the loader takes nothing
        // after it, and lines that are not records may still follow.
        if (ended) {
            std::printf("\a\aError: record after the end-of-file record for line %lu in Firmware "
                        "file!\n",
                        line_number);
            return -9;
        }
        ended = line[8] == '1';
        if (accepted != nullptr)
            pack_record(accepted->packed, line_number - last_record_line, line, length);
        last_record_line = line_number;
    }
    return whole_image(records, ended);
}

}  // namespace pello
