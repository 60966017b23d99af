#pragma once

#include <cstdint>
#include <initializer_list>

#include "common/internal_error.h"

// Sizes of lists and index ranges, computed so that they can never wrap: every factor and term
// must be a count (not negative) and the result must fit a signed 64-bit value. A size that
// cannot be held ends the process with the internal error.

inline int64_t checked_sum(int64_t a, int64_t b) {
    int64_t sum = 0;
    require(a >= 0 && b >= 0 && !__builtin_add_overflow(a, b, &sum));
    return sum;
}

inline int64_t checked_product(std::initializer_list<int64_t> factors) {
    int64_t product = 1;
    for (const int64_t factor : factors) require(factor >= 0 && !__builtin_mul_overflow(product, factor, &product));
    return product;
}

// The number of cells (or nodes) between begin and end along one axis.
inline int64_t checked_extent(int64_t begin, int64_t end) {
    int64_t extent = 0;
    require(!__builtin_sub_overflow(end, begin, &extent) && extent >= 0);
    return extent;
}
