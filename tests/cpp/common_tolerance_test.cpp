#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "common/tolerance.h"

namespace {

// Twice the float32 spacing at |x| (2^(e - 23) for |x| in [2^e, 2^(e + 1))), at least 2^-23;
// a coordinate and its mirror image get the same tolerance, also at powers of two, where the
// spacing towards +infinity of -2^e is half that of 2^e.
TEST(FloatTolerance, IsTwiceTheSpacingAtTheAbsoluteValue) {
    struct Case {
        double x;
        double expected;
    };
    const Case cases[] = {
        {1.0, std::ldexp(1.0, -22)},    {2.0, std::ldexp(1.0, -21)},     {3.0, std::ldexp(1.0, -21)},
        {1024.0, std::ldexp(1.0, -12)}, {1500.0, std::ldexp(1.0, -12)},  {0.5, std::ldexp(1.0, -23)},
        {1e-3, std::ldexp(1.0, -23)},   {0.0, std::ldexp(1.0, -23)},     {1e20, std::ldexp(1.0, 66 - 22)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(float_tolerance(c.x), c.expected) << c.x;
        EXPECT_EQ(float_tolerance(-c.x), c.expected) << -c.x;
    }
}

TEST(FloatTolerance, InfiniteOrBeyondTheFloatRangeIsNaN) {
    for (double x : {std::numeric_limits<double>::infinity(), 1e39, 1e300}) {
        EXPECT_TRUE(std::isnan(float_tolerance(x))) << x;
        EXPECT_TRUE(std::isnan(float_tolerance(-x))) << -x;
    }
}

}  // namespace
