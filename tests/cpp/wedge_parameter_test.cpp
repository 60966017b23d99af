// The wedge correction parameter and the node word that carries it, checked against the
// singularity exponents of a wedge computed here from the wedge angle and the permittivities.

#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

#include "common/node_word.h"
#include "subpixel/wedge_parameter.h"

namespace {

constexpr double PI = std::numbers::pi;

// 1 - x 2^(1 - x), in double throughout.
double parameter(double x) { return 1.0 - x * std::exp2(1.0 - x); }

// Exponent of a bare wedge of interior angle theta: pi over the open angle 2 pi - theta.
double bare_exponent(double theta) { return 1.0 / (2.0 - theta / PI); }

WedgeDescriptor wedge(double angle, double interface_angle, float minority, float majority) {
    WedgeDescriptor d;
    d.axis = 2;
    d.angle = static_cast<float>(angle);
    d.interface_angle = static_cast<float>(interface_angle);
    d.eps_minority = minority;
    d.eps_majority = majority;
    return d;
}

TEST(WedgeParameter, MatchesTheExponentOfEachWedge) {
    struct Case {
        const char* name;
        WedgeDescriptor descriptor;
        double expected_e;
        double expected_h;
    };
    // Right-angle edge with a dielectric interface: sin^2(t pi / 2) = 1 - majority / (2 (sum)).
    const double right_angle_t = std::asin(std::sqrt(1.0 - 1.0 / (2.0 * 5.0))) / (PI / 2.0);
    // Sheet rim across an interface: cos(t pi) = (majority - minority) / (2 sum).
    const double rim_t = std::acos((4.0 - 1.0) / (2.0 * 5.0)) / PI;
    const Case cases[] = {
        // Equal permittivities: the interface formulas reduce to the bare exponents 2/3 and 1/2.
        {"right angle, equal media", wedge(PI / 2, PI / 2, 3.0f, 3.0f), parameter(2.0 / 3.0), parameter(2.0 / 3.0)},
        {"sheet rim, equal media", wedge(0.0, PI / 2, 2.5f, 2.5f), parameter(0.5), parameter(0.5)},
        {"right angle, one medium", wedge(PI / 2, 0.0, 4.0f, 1.0f), parameter(2.0 / 3.0), parameter(2.0 / 3.0)},
        {"sheet rim, one medium", wedge(0.0, 0.0, 1.0f, 1.0f), 1.0 - 0.5 * std::sqrt(2.0), 1.0 - 0.5 * std::sqrt(2.0)},
        {"right angle, eps 4 in one quadrant", wedge(PI / 2, PI / 2, 4.0f, 1.0f), parameter(right_angle_t),
         parameter(2.0 / 3.0)},
        {"sheet rim, eps 4 in one quadrant", wedge(0.0, PI / 2, 1.0f, 4.0f), parameter(rim_t), parameter(0.5)},
        // An interface through the sheet's plane leaves the bare exponent.
        {"sheet rim, interface angle pi", wedge(0.0, PI, 4.0f, 1.0f), parameter(0.5), parameter(0.5)},
        // Another wedge angle with an interface keeps the bare exponent too.
        {"wedge of pi/4", wedge(PI / 4, PI / 2, 4.0f, 1.0f), parameter(bare_exponent(PI / 4)),
         parameter(bare_exponent(PI / 4))},
        // No singularity from pi on.
        {"flat, pi", wedge(PI, 0.0, 1.0f, 1.0f), 0.0, 0.0},
        {"just below pi, within the angle tolerance", wedge(PI - 4e-7, PI / 2, 4.0f, 1.0f), 0.0, 0.0},
        {"reflex", wedge(1.5 * PI, PI / 2, 4.0f, 1.0f), 0.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(wedge_parameter(c.descriptor, false), c.expected_e, 2e-7);
        EXPECT_NEAR(wedge_parameter(c.descriptor, true), c.expected_h, 2e-7);
    }
}

TEST(WedgeParameter, ReferenceValuesOfTheThreeCommonEdges) {
    EXPECT_FLOAT_EQ(wedge_parameter(wedge(PI / 2, 0.0, 1.0f, 1.0f), false), 0.16005263f);
    EXPECT_FLOAT_EQ(wedge_parameter(wedge(0.0, 0.0, 1.0f, 1.0f), true), 0.29289323f);
    EXPECT_FLOAT_EQ(wedge_parameter(wedge(PI / 2, PI / 2, 4.0f, 1.0f), false), 0.08352784f);
    EXPECT_FLOAT_EQ(wedge_parameter(wedge(PI / 2, PI / 2, 4.0f, 1.0f), true), 0.16005263f);
}

TEST(NodeWord, CountsRoundToTheNearestOf1024ThsAndOnlyFitTenBits) {
    EXPECT_EQ(node_parameter_count(0.16005263f), 164u);    // 163.89 + 0.5
    EXPECT_EQ(node_parameter_count(0.29289323f), 300u);    // 299.92 + 0.5
    EXPECT_EQ(node_parameter_count(0.08352784f), 86u);     // 85.53 + 0.5
    EXPECT_EQ(node_parameter_count(0.0f), 0u);
    EXPECT_EQ(node_parameter_count(1023.0f / 1024.0f), 1023u);
    EXPECT_EQ(node_parameter_count(1023.5f / 1024.0f), 0u);  // rounds to 1024: does not fit
    EXPECT_EQ(node_parameter_count(1.0f), 0u);
    EXPECT_EQ(node_parameter_count(3.0f), 0u);
    EXPECT_EQ(node_parameter_count(-0.25f), 0u);
    EXPECT_EQ(node_parameter_count(std::numeric_limits<float>::quiet_NaN()), 0u);
}

TEST(NodeWord, LayoutOfKindAxisAndCounts) {
    NodeWedge w;
    w.present = true;
    w.right_angle = true;
    w.axis = 2;
    w.count_e = 86;
    w.count_h = 164;
    const uint32_t word = encode_node_word(w);
    EXPECT_EQ(word, 1u + 2u + 2u * 4u + 86u * 16u + 164u * 16384u);
    const NodeWedge back = decode_node_word(word);
    EXPECT_TRUE(back.present);
    EXPECT_TRUE(back.right_angle);
    EXPECT_EQ(back.axis, 2);
    EXPECT_EQ(back.count_e, 86u);
    EXPECT_EQ(back.count_h, 164u);
    EXPECT_EQ(word >> 24, 0u);
    EXPECT_EQ(encode_node_word(NodeWedge{}), 0u);
}

}  // namespace
