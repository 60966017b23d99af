#pragma once

#include <cmath>
#include <complex>

// Complex arithmetic with a fixed evaluation: products by the textbook formula, quotients by
// Smith's method, which scales by the larger divisor part so that no intermediate square of
// a large operand overflows. The results do not depend on compiler flags for complex types.

template <typename T>
constexpr std::complex<T> complex_multiply(std::complex<T> x, std::complex<T> y) {
    return {x.real() * y.real() - x.imag() * y.imag(), x.real() * y.imag() + x.imag() * y.real()};
}

template <typename T>
inline std::complex<T> complex_divide(std::complex<T> x, std::complex<T> y) {
    const T a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
    if (std::fabs(c) >= std::fabs(d)) {
        const T r = d / c;
        const T den = c + d * r;
        return {(a + b * r) / den, (b - a * r) / den};
    }
    const T r = c / d;
    const T den = c * r + d;
    return {(a * r + b) / den, (b * r - a) / den};
}

// A complex value scaled by a real factor (both parts multiplied).
template <typename T>
constexpr std::complex<T> complex_scale(std::complex<T> x, T s) {
    return {x.real() * s, x.imag() * s};
}

template <typename T>
inline bool complex_is_finite(std::complex<T> x) {
    return std::isfinite(x.real()) && std::isfinite(x.imag());
}
