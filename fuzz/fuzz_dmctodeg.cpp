// Fuzz target: the input, as a NUL-terminated text, is one angle for the
// angle parser. Whatever the text, the result is the error value or a finite
// angle of at most 360 degrees either way.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "angles/angles.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pello::fuzz::quiet_stdio();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exact-size copy, so that a read past the terminator is caught.
    std::vector<char> text(size + 1);
    if (size > 0)
        std::memcpy(text.data(), data, size);
    text[size] = '\0';

    const double degrees = pello::dmctodeg(text.data());
    if (degrees != pello::angle_error && !(degrees >= -360.0 && degrees <= 360.0))
        pello::fuzz::finding(
            "dmctodeg returned a value outside [-360, 360] that is not the error value");
    return 0;
}
