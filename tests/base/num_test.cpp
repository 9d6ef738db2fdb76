#include "base/num.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

// Whole values in all their digits (309 and a sign at most), others as %g.
TEST(num, formats)
{
    EXPECT_EQ(base::num(-42), "-42");
    EXPECT_EQ(base::num(1e20), "100000000000000000000");
    EXPECT_EQ(base::num(-INFINITY), "-inf");
    EXPECT_EQ(base::num(2.5), "2.5");
    EXPECT_EQ(base::num(0.00001), "1e-05");
    EXPECT_NE(base::num(NAN).find("nan"), std::string::npos);
    std::string max = base::num(-DBL_MAX);
    EXPECT_EQ(max.size(), 310u);
    EXPECT_EQ(max.substr(0, 18), "-17976931348623157");
}
