#pragma once

// Smallest length treated as non-zero: the divisor floor of every normalisation and the
// threshold of "zero" angles, bulges and dilations.
inline constexpr double ZERO_LENGTH = 1.1920928955078125e-07;  // 2^-23
// Angles closer than this compare equal.
inline constexpr double ANGLE_TOLERANCE = 9.5367431640625e-07;  // 2^-20
// A share above this counts as fully open (the float32 0x3F7FFFFE).
inline constexpr float FULLY_OPEN_SHARE = 0.99999988f;

// Tolerance of a coordinate test at magnitude |x|: twice the float32 spacing at |x|, at least
// 2^-23.
// NaN for an x that is infinite or beyond the float range.
double float_tolerance(double x);
