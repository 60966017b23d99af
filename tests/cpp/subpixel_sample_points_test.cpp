#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "subpixel/sample_points.h"
#include "subpixel/subpixel_schemes.h"

namespace {

// The unordered rows of a generator of the given dimension, computed from the standard library's
// minimal-standard engine (the same recurrence) and the stated transform.
std::vector<std::vector<double>> raw_rows(int dimension) {
    std::minstd_rand0 engine(1);
    std::vector<std::vector<double>> rows(30, std::vector<double>(dimension));
    for (auto& row : rows) {
        for (double& v : row) {
            const double r1 = static_cast<double>(engine() - 1);
            const double r2 = static_cast<double>(engine() - 1);
            v = (r1 + r2 * 2147483646.0) / 4.6116860098374533e18;
        }
        double sum = 0.0;
        for (double& v : row) {
            const double u = std::min(std::max(v, 1.1920928955078125e-7), 0.9999998807907104);
            v = -std::log(u);
            sum += v;
        }
        for (double& v : row) v /= sum;
    }
    return rows;
}

double squared_distance(const std::vector<double>& a, const double* b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s;
}

std::vector<double> row_of(const SamplePointGenerator& g, uint64_t r) {
    return std::vector<double>(g.row(r), g.row(r) + g.dimension());
}

TEST(SamplePoints, FirstUniformOfSeedOne) {
    uint64_t state = 1;
    const double u = next_uniform(state);
    EXPECT_EQ(state, 282475249u);  // two steps: 16807, then 16807^2 mod (2^31 - 1)
    EXPECT_DOUBLE_EQ(u, (16806.0 + 282475248.0 * 2147483646.0) / 4.6116860098374533e18);
    EXPECT_NEAR(u, 0.131538, 1e-6);
}

TEST(SamplePoints, LehmerStepStaysExactNearTheModulus) {
    uint64_t state = 2147483646;  // the largest state: 16807 * state needs more than 32 bits
    EXPECT_EQ(lehmer_next(state), (16807ull * 2147483646ull) % 2147483647ull);
}

TEST(SamplePoints, RowsAreBarycentricWithoutZeroCoordinates) {
    for (int dimension = 2; dimension <= 4; ++dimension) {
        const SamplePointGenerator g(dimension);
        ASSERT_EQ(g.count(), 30u);
        ASSERT_EQ(g.select_count(), 8u);
        for (uint64_t r = 0; r < g.count(); ++r) {
            double sum = 0.0;
            for (int i = 0; i < dimension; ++i) {
                EXPECT_GT(g.row(r)[i], 0.0) << dimension << " " << r;
                sum += g.row(r)[i];
            }
            EXPECT_NEAR(sum, 1.0, 1e-15) << dimension << " " << r;
        }
    }
}

// The first row is the one nearest the centroid, each of the next seven the remaining row
// farthest from those chosen before, and rows 9 to 30 the unchosen rows in generation order.
TEST(SamplePoints, FarthestPointOrderOfTheFirstEightRows) {
    for (int dimension = 2; dimension <= 4; ++dimension) {
        const SamplePointGenerator g(dimension);
        std::vector<std::vector<double>> remaining = raw_rows(dimension);
        const std::vector<double> centroid(dimension, 1.0 / dimension);

        std::size_t best = 0;
        for (std::size_t r = 1; r < remaining.size(); ++r)
            if (squared_distance(remaining[r], centroid.data()) < squared_distance(remaining[best], centroid.data()))
                best = r;
        std::vector<std::vector<double>> chosen = {remaining[best]};
        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
        while (chosen.size() < 8) {
            std::size_t far = 0;
            double far_distance = -1.0;
            for (std::size_t r = 0; r < remaining.size(); ++r) {
                double nearest = 1e300;
                for (const auto& c : chosen) nearest = std::min(nearest, squared_distance(remaining[r], c.data()));
                if (nearest > far_distance) {
                    far_distance = nearest;
                    far = r;
                }
            }
            chosen.push_back(remaining[far]);
            remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(far));
        }
        for (std::size_t r = 0; r < 8; ++r) EXPECT_EQ(row_of(g, r), chosen[r]) << dimension << " row " << r;
        for (std::size_t r = 8; r < 30; ++r) EXPECT_EQ(row_of(g, r), remaining[r - 8]) << dimension << " row " << r;
    }
}

TEST(SamplePoints, NoReorderingWithoutSelectionOrWhenSelectingAll) {
    const std::vector<double> rows = {0.9, 0.1, 0.5, 0.5, 0.2, 0.8};
    for (uint64_t select : {0ull, 3ull, 5ull}) {
        std::vector<double> copy = rows;
        farthest_point_order(copy, 3, 2, select);
        EXPECT_EQ(copy, rows) << select;
    }
    // Selecting one row moves the row nearest the centroid to the front.
    std::vector<double> copy = rows;
    farthest_point_order(copy, 3, 2, 1);
    EXPECT_EQ(copy, (std::vector<double>{0.5, 0.5, 0.9, 0.1, 0.2, 0.8}));
}

TEST(SamplePoints, SamePointSetsWhateverTheBuildOrder) {
    const FineFaceScheme fine_first;
    const EdgeScheme edge_second;
    const SchemeSet set = make_scheme_set(1);
    const std::pair<const SamplePointGenerator*, const SamplePointGenerator*> pairs[] = {
        {&fine_first.generator(), &set.fine_face->generator()},
        {&edge_second.generator(), &set.edge->generator()},
        {&set.face->generator(), &set.fine_face->generator()},  // same dimension, same seed
    };
    for (const auto& [a, b] : pairs) {
        ASSERT_EQ(a->dimension(), b->dimension());
        for (uint64_t r = 0; r < 30; ++r) EXPECT_EQ(row_of(*a, r), row_of(*b, r));
    }
    EXPECT_EQ(set.volume->generator().dimension(), 4);
    EXPECT_EQ(set.face->generator().dimension(), 3);
    EXPECT_EQ(set.edge->generator().dimension(), 2);
}

TEST(SamplePoints, GeneratingAgainContinuesTheSequence) {
    SamplePointGenerator g(3);
    const uint64_t state = g.rng_state();
    const std::vector<double> first = row_of(g, 0);
    g.generate();
    EXPECT_NE(g.rng_state(), state);
    EXPECT_NE(row_of(g, 0), first);
}

TEST(SamplePointsDeathTest, DimensionOutsideTwoToFour) {
    EXPECT_EXIT(SamplePointGenerator(5), ::testing::ExitedWithCode(1), "An internal error has occured");
    EXPECT_EXIT(SamplePointGenerator(1), ::testing::ExitedWithCode(1), "An internal error has occured");
}

}  // namespace
