// Angles: latitude, longitude and bearing text in the Colon, Dotted and DMC
// notations turned into signed decimal degrees (north and east positive).
#pragma once

#include <cfloat>

namespace pello {

// Returned by dmctodeg, after its message, when the text is not an angle.
inline constexpr double angle_error = FLT_MAX;

// Converts one angle text; prints exactly one message and returns
// angle_error when the text is not a valid angle.
double dmctodeg(const char* text);

}  // namespace pello
