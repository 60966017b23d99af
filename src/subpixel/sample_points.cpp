#include "subpixel/sample_points.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "common/internal_error.h"
#include "common/tolerance.h"

namespace {

constexpr uint64_t LEHMER_MULTIPLIER = 16807;
constexpr uint64_t LEHMER_MODULUS = 2147483647;  // 2^31 - 1
// Outputs lie in [1, 2^31 - 2]: 2147483646 distinct values.
constexpr double LEHMER_RANGE = 2147483646.0;
constexpr double LEHMER_RANGE_SQUARED = 4.6116860098374533e18;
constexpr double LARGEST_BELOW_ONE = 0.99999999999999989;  // 1 - 2^-53

double squared_distance(const double* a, const double* b, int dimension) {
    double sum = 0.0;
    for (int i = 0; i < dimension; ++i) {
        const double d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

}  // namespace

uint64_t lehmer_next(uint64_t& state) {
    state = (LEHMER_MULTIPLIER * state) % LEHMER_MODULUS;
    return state;
}

double next_uniform(uint64_t& state) {
    const double r1 = static_cast<double>(lehmer_next(state) - 1);
    const double r2 = static_cast<double>(lehmer_next(state) - 1);
    const double u = (r1 + r2 * LEHMER_RANGE) / LEHMER_RANGE_SQUARED;
    return u >= 1.0 ? LARGEST_BELOW_ONE : u;
}

void farthest_point_order(std::vector<double>& points, uint64_t count, int dimension, uint64_t select_count) {
    if (select_count == 0 || select_count >= count) return;
    const auto d = static_cast<uint64_t>(dimension);
    require(dimension > 0 && points.size() >= count * d);

    std::vector<double> centroid(d, 1.0 / dimension);
    uint64_t current = 0;
    double nearest = DBL_MAX;
    for (uint64_t r = 0; r < count; ++r) {
        const double dist = squared_distance(&points[r * d], centroid.data(), dimension);
        if (dist < nearest) {
            nearest = dist;
            current = r;
        }
    }

    std::vector<double> min_distance(count, DBL_MAX);
    std::vector<bool> selected(count, false);
    std::vector<double> ordered;
    ordered.reserve(count * d);
    for (uint64_t step = 0; step < select_count; ++step) {
        selected[current] = true;
        ordered.insert(ordered.end(), points.begin() + static_cast<std::ptrdiff_t>(current * d),
                       points.begin() + static_cast<std::ptrdiff_t>((current + 1) * d));
        uint64_t next = current;
        double farthest = -1.0;
        for (uint64_t r = 0; r < count; ++r) {
            if (selected[r]) continue;
            const double dist = squared_distance(&points[r * d], &points[current * d], dimension);
            if (dist < min_distance[r]) min_distance[r] = dist;
            if (min_distance[r] > farthest) {
                farthest = min_distance[r];
                next = r;
            }
        }
        current = next;
    }
    for (uint64_t r = 0; r < count; ++r) {
        if (selected[r]) continue;
        ordered.insert(ordered.end(), points.begin() + static_cast<std::ptrdiff_t>(r * d),
                       points.begin() + static_cast<std::ptrdiff_t>((r + 1) * d));
    }
    std::copy(ordered.begin(), ordered.end(), points.begin());
}

SamplePointGenerator::SamplePointGenerator(int dimension) : dimension_(dimension) {
    require(dimension >= 2 && dimension <= 4);
    points_.assign(count_ * static_cast<uint64_t>(dimension_), 0.0);
    generate();
}

void SamplePointGenerator::generate() {
    const auto d = static_cast<uint64_t>(dimension_);
    for (double& value : points_) value = next_uniform(rng_state_);
    // Normalized exponential variables are uniform over the simplex. The clamp keeps every
    // coordinate away from 0.
    constexpr double low = ZERO_LENGTH;
    constexpr double high = 1.0 - ZERO_LENGTH;
    for (uint64_t r = 0; r < count_; ++r) {
        double* row = &points_[r * d];
        double sum = 0.0;
        for (uint64_t i = 0; i < d; ++i) {
            const double u = row[i] < low ? low : (row[i] > high ? high : row[i]);
            row[i] = -std::log(u);
            sum += row[i];
        }
        for (uint64_t i = 0; i < d; ++i) row[i] /= sum;
    }
    farthest_point_order(points_, count_, dimension_, select_count_);
}
