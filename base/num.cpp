#include "base/num.h"

#include <cmath>
#include <cstdio>

namespace base {

std::string num(double value)
{
    // "%.0f" of the largest double is 309 digits; with a sign and the
    // terminator that needs 311 bytes.
    char buffer[320];
    double whole;
    // modf reports a zero fraction for the infinities too, so they print
    // through "%.0f" as "inf" and "-inf". NaN has a NaN fraction and takes
    // the "%g" path.
    if (std::modf(value, &whole) == 0.0)
        snprintf(buffer, sizeof buffer, "%.0f", value);
    else
        snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

}  // namespace base
