#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "subpixel/integration_drivers.h"
#include "subpixel_fixtures.h"

namespace {

// A scheme that records the elements it is asked about and answers from a table.
class SpyScheme final : public SubpixelScheme {
public:
    explicit SpyScheme(int dimension) : SubpixelScheme(dimension) {}
    Measurement integrate(const SchemeInput&) const override { return {}; }
    Measurement measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                const SchemeInput& input) const override {
        for (std::size_t i = 0; i < corners.size(); ++i)
            corners_match = corners_match && corners[i].point == input.points[positions[i]].point;
        elements.emplace_back(positions.begin(), positions.end());
        return answer ? answer(elements.size() - 1) : Measurement{};
    }
    std::function<Measurement(std::size_t)> answer;
    mutable std::vector<std::vector<int>> elements;
    mutable bool corners_match = true;
};

// Front-end data around a list of points; nothing but the points matters to the drivers.
template <std::size_t N>
struct Points {
    explicit Points(const std::array<Vec3, N>& at) {
        for (std::size_t i = 0; i < N; ++i) points[i].point = at[i];
    }
    SchemeInput input() const { return {spec, points, media, structures, candidate_media, 0, 0, false}; }
    SimulationSpec spec;
    std::array<InterfacePoint, N> points;
    std::array<uint16_t, N> media{};
    std::array<int32_t, N> structures{};
    std::array<uint16_t, N> candidate_media{};
};

double tetrahedron_size(const std::array<Vec3, 11>& p, const std::vector<int>& t) {
    return std::fabs(dot(p[t[1]] - p[t[0]], cross(p[t[2]] - p[t[0]], p[t[3]] - p[t[0]]))) / 6.0;
}

double triangle_size(const Vec3& a, const Vec3& b, const Vec3& c) { return length(cross(b - a, c - a)) / 2.0; }

const std::array<Vec3, 11> NEIGHBOURHOOD = subpixel_test::ex_neighbourhood(1.0, 2.0, 0.5, 1.5, 1.0, 3.0);

TEST(IntegrateTetrahedra, SixteenTetrahedraInOrder) {
    SpyScheme spy(4);
    const Points<11> p(NEIGHBOURHOOD);
    integrate_tetrahedra(spy, p.input());
    const std::vector<std::vector<int>> expected = {
        {0, 7, 4, 1},  {0, 7, 3, 1},  {0, 7, 4, 2},  {0, 7, 3, 2},  {0, 8, 5, 1},  {0, 8, 4, 1},
        {0, 8, 5, 2},  {0, 8, 4, 2},  {0, 9, 6, 1},  {0, 9, 5, 1},  {0, 9, 6, 2},  {0, 9, 5, 2},
        {0, 10, 3, 1}, {0, 10, 6, 1}, {0, 10, 3, 2}, {0, 10, 6, 2}};
    EXPECT_EQ(spy.elements, expected);
    EXPECT_TRUE(spy.corners_match);
}

TEST(IntegrateTetrahedra, VolumeWeightsClampedFractionsAndNormals) {
    const Points<11> p(NEIGHBOURHOOD);
    // The tetrahedra fill the double pyramid over the ring rectangle.
    const double total = (0.5 + 1.5) * (1.0 + 3.0) * (1.0 + 2.0) / 3.0;
    SpyScheme order(4);
    integrate_tetrahedra(order, p.input());
    for (std::size_t e = 0; e < 16; ++e) {
        SpyScheme spy(4);
        spy.answer = [e](std::size_t i) { return Measurement{i == e ? 2.5 : -1.0, {}}; };  // clamped to 1 and 0
        EXPECT_NEAR(integrate_tetrahedra(spy, p.input()).fraction, tetrahedron_size(NEIGHBOURHOOD, order.elements[e]) / total,
                    1e-14)
            << e;
    }
    // Normals are volume-weighted before normalizing: elements 0 (x) and 12 (y).
    SpyScheme spy(4);
    spy.answer = [](std::size_t i) {
        return Measurement{0.5, i == 0 ? Vec3{1, 0, 0} : (i == 12 ? Vec3{0, 1, 0} : Vec3{})};
    };
    const Measurement m = integrate_tetrahedra(spy, p.input());
    EXPECT_DOUBLE_EQ(m.fraction, 0.5);
    EXPECT_NEAR(length(m.normal), 1.0, 1e-15);
    EXPECT_NEAR(m.normal.x / m.normal.y,
                tetrahedron_size(NEIGHBOURHOOD, order.elements[0]) / tetrahedron_size(NEIGHBOURHOOD, order.elements[12]),
                1e-12);
    // No normal anywhere stays zero.
    SpyScheme quiet(4);
    EXPECT_EQ(integrate_tetrahedra(quiet, p.input()).normal, (Vec3{0, 0, 0}));
}

TEST(IntegrateTriangles, FourTrianglesAreaWeighted) {
    // A 2 x 1 face centred off its middle so that the four triangles differ.
    const std::array<Vec3, 5> at = {{{0.5, 0.25, 0}, {0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {0, 1, 0}}};
    const Points<5> p(at);
    SpyScheme order(3);
    integrate_triangles(order, p.input());
    EXPECT_EQ(order.elements, (std::vector<std::vector<int>>{{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 1}}));
    SpyScheme spy(3);
    spy.answer = [](std::size_t i) { return Measurement{i == 1 ? 1.0 : 0.0, {0, 0, i == 1 ? 1.0 : 0.0}}; };
    const Measurement m = integrate_triangles(spy, p.input());
    EXPECT_NEAR(m.fraction, triangle_size(at[0], at[2], at[3]) / 2.0, 1e-15);
    EXPECT_EQ(m.normal, (Vec3{0, 0, 1}));
}

TEST(IntegrateSegments, LengthWeighted) {
    const Points<3> p({{{0, 0, 0}, {-1, 0, 0}, {3, 0, 0}}});
    SpyScheme spy(2);
    spy.answer = [](std::size_t i) { return Measurement{i == 0 ? 1.0 : 0.0, {1, 0, 0}}; };
    const Measurement m = integrate_segments(spy, p.input());
    EXPECT_EQ(spy.elements, (std::vector<std::vector<int>>{{0, 1}, {0, 2}}));
    EXPECT_DOUBLE_EQ(m.fraction, 0.25);
    EXPECT_EQ(m.normal, (Vec3{0, 0, 0}));
}

TEST(IntegrateFineTriangles, EightTrianglesAreaWeighted) {
    // A 2 x 1 face with its midpoints moved off centre so that the eight triangles differ.
    const std::array<Vec3, 9> at = {
        {{0.5, 0.5, 0}, {0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {0, 1, 0}, {0.7, 0, 0}, {2, 0.6, 0}, {1.2, 1, 0}, {0, 0.3, 0}}};
    const Points<9> p(at);
    SpyScheme order(3);
    integrate_fine_triangles(order, p.input());
    const std::vector<std::vector<int>> expected = {{0, 5, 1}, {0, 5, 2}, {0, 6, 2}, {0, 6, 3},
                                                    {0, 7, 3}, {0, 7, 4}, {0, 8, 4}, {0, 8, 1}};
    EXPECT_EQ(order.elements, expected);
    for (std::size_t e = 0; e < 8; ++e) {
        SpyScheme spy(3);
        spy.answer = [e](std::size_t i) { return Measurement{i == e ? 1.0 : 0.0, {}}; };
        const auto& t = expected[e];
        EXPECT_NEAR(integrate_fine_triangles(spy, p.input()).fraction, triangle_size(at[t[0]], at[t[1]], at[t[2]]) / 2.0,
                    1e-15)
            << e;
    }
}

TEST(IntegrationDriversDeathTest, NonFiniteFractions) {
    const Points<3> p({{{0, 0, 0}, {-1, 0, 0}, {1, 0, 0}}});
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        SpyScheme spy(2);
        spy.answer = [bad](std::size_t) { return Measurement{bad, {}}; };
        EXPECT_EXIT(integrate_segments(spy, p.input()), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
    // All points in one place: zero total length, 0/0.
    const Points<3> collapsed({{{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}});
    SpyScheme spy(2);
    EXPECT_EXIT(integrate_segments(spy, collapsed.input()), ::testing::ExitedWithCode(1),
                "An internal error has occured");
}

TEST(IntegrationDriversDeathTest, BadlyOrderedNeighbourhood) {
    std::array<Vec3, 11> swapped = NEIGHBOURHOOD;
    std::swap(swapped[1], swapped[2]);  // poles exchanged: every corrected volume is negative
    const Points<11> p(swapped);
    SpyScheme spy(4);
    EXPECT_EXIT(integrate_tetrahedra(spy, p.input()), ::testing::ExitedWithCode(1), "An internal error has occured");
}

TEST(IntegrationDriversDeathTest, WrongPointCountOrMeasuredPoint) {
    const Points<5> five({{{0, 0, 0}, {0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}});
    SpyScheme spy(4);
    EXPECT_EXIT(integrate_tetrahedra(spy, five.input()), ::testing::ExitedWithCode(1), "An internal error has occured");
    SchemeInput input = five.input();
    input.measured_point = 5;
    EXPECT_EXIT(integrate_triangles(spy, input), ::testing::ExitedWithCode(1), "An internal error has occured");
}

}  // namespace
