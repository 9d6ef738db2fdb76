// Number formatting for text output.
#pragma once

#include <string>

namespace base {

// "%.0f" when the value has no fractional part (the infinities included),
// otherwise "%g": 1 -> "1", 2.5 -> "2.5", 1e20 -> "100000000000000000000",
// 0.00001 -> "1e-05".
std::string num(double value);

}  // namespace base
