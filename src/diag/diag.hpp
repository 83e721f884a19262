// Diagnostics: the hex dump that shows unexpected device answers.
#pragma once

#include <cstdint>
#include <cstdio>

namespace pello {

// Prints length bytes of buffer as an offset / hex / text table on stream.
// flags selects the title line (bit 0: label and length; bit 1: length only),
// header_every repeats the column header every so many lines (0: none).
void hexdump(std::FILE* stream, int flags, const char* label, const void* buffer,
             std::int32_t length, int header_every);

}  // namespace pello
