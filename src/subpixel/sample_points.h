#pragma once

#include <cstdint>
#include <vector>

// Fixed pseudo-random points over a simplex, in barycentric coordinates, used to decide an
// element (segment, triangle, tetrahedron) by counting how many of its interior points lie in a
// medium. The sequence is seeded with a constant, so every run uses the same points.

// Rows per generator.
inline constexpr uint64_t SAMPLE_POINT_COUNT = 30;
// Leading rows put in farthest-point order, so that a prefix of the table is already spread out.
inline constexpr uint64_t SPREAD_POINT_COUNT = 8;
// Start state of every generator.
inline constexpr uint64_t SAMPLE_POINT_SEED = 1;

// Advances the Lehmer minimal-standard state, s <- 16807 s mod (2^31 - 1), and returns the new
// state.
uint64_t lehmer_next(uint64_t& state);

// A double in [0, 1) from two successive outputs r1, r2 of the state:
// ((r1 - 1) + (r2 - 1) * 2147483646) / 2147483646^2, replaced by the largest double below 1 when
// rounding reaches 1.
double next_uniform(uint64_t& state);

// Reorders the `count` rows of `points` (row-major, `dimension` values per row): the first
// `select_count` rows are chosen by farthest-point selection starting from the row nearest the
// centroid (1/dimension, ...), the unselected rows follow in their previous order. Nothing
// changes when select_count is 0 or at least count. Ties keep the lower row index.
void farthest_point_order(std::vector<double>& points, uint64_t count, int dimension, uint64_t select_count);

// The sample points of one element shape: SAMPLE_POINT_COUNT rows of `dimension` barycentric
// coordinates (each row sums to 1, no coordinate is 0), the first SPREAD_POINT_COUNT spread out.
// Filled on construction and read-only afterwards, so any number of threads may read it.
class SamplePointGenerator {
public:
    // dimension: 2 (segment), 3 (triangle) or 4 (tetrahedron); anything else is an internal error.
    explicit SamplePointGenerator(int dimension);

    // Refills the rows from the current state (continuing the sequence) and reorders them.
    void generate();

    int dimension() const { return dimension_; }
    uint64_t count() const { return count_; }
    uint64_t select_count() const { return select_count_; }
    uint64_t rng_state() const { return rng_state_; }
    // Row r (r < count()): dimension() coordinates.
    const double* row(uint64_t r) const { return points_.data() + r * static_cast<uint64_t>(dimension_); }

private:
    uint64_t count_ = SAMPLE_POINT_COUNT;
    uint64_t rng_state_ = SAMPLE_POINT_SEED;
    uint64_t select_count_ = SPREAD_POINT_COUNT;
    int dimension_;
    std::vector<double> points_;
};
