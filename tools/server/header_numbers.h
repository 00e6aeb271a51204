// Decimal numbers read from request headers: digits only and never beyond the largest long
// long, so the arithmetic done with them afterwards cannot overflow.
#pragma once

#include <string_view>

namespace tool {

// False for an empty text, any character but 0-9 (no sign, no spaces), or a value over
// LLONG_MAX.
bool parse_decimal(std::string_view s, long long& out);

}  // namespace tool
