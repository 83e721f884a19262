// Fuzz target: the input is a firmware file, opened in memory with fmemopen
// and checked by inhexverify. The result is a record count of at least 1 or
// one of the check's failure codes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/device.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pello::fuzz::quiet_stdio();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A private copy: fmemopen wants a writable buffer. Size 0 gives a stream
    // that is at its end at once (glibc 2.22 and later).
    std::vector<char> bytes(size + 1);
    if (size > 0)
        std::memcpy(bytes.data(), data, size);
    std::FILE* file = fmemopen(bytes.data(), size, "r");
    if (file == nullptr)
        pello::fuzz::finding("fmemopen failed");

    const int result = pello::inhexverify(file);
    std::fclose(file);

    // Lines start at the beginning of the file or after a newline; a record
    // line is one that starts with ':'. The count cannot exceed them and the
    // further pieces of lines too long for the reader's buffer.
    std::size_t colon_lines = 0;
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] == ':' && (i == 0 || data[i - 1] == '\n'))
            ++colon_lines;
    const auto piece = static_cast<std::size_t>(pello::firmware_line_size - 1);
    if (result >= 1 && static_cast<std::size_t>(result) > colon_lines + size / piece)
        pello::fuzz::finding("inhexverify counted more records than the file has record lines");
    if (result < -10 || result == 0 || result == -1)
        pello::fuzz::finding("inhexverify returned a result outside its table");
    return 0;
}
