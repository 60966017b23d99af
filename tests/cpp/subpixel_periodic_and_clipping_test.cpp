#include <gtest/gtest.h>

#include "subpixel/periodic_and_clipping.h"

namespace {

TEST(WrapPeriodic, AcceptedIntervalIsShiftedDownByTheTolerance) {
    SimulationSpec spec;
    spec.periodic_boundary = {true, false, false};
    spec.simulation_bounds = {{{0.0, 10.0}, {0.0, 10.0}, {0.0, 10.0}}};
    spec.simulation_size = {10.0, 10.0, 10.0};
    const double t = 1e-3;
    spec.bounds_tolerance = t;
    struct Case {
        double x;
        double wrapped;
        double shift;
    };
    const Case cases[] = {{10 - t / 2, -t / 2, -10}, {-t / 2, -t / 2, 0}, {-2 * t, 10 - 2 * t, 10}, {5, 5, 0}};
    for (const Case& c : cases) {
        Vec3 p{c.x, 20.0, -20.0};  // y and z are not periodic: untouched
        const Vec3 shift = wrap_periodic(spec, p);
        EXPECT_NEAR(p.x, c.wrapped, 1e-12) << c.x;
        EXPECT_EQ(shift, (Vec3{c.shift, 0, 0})) << c.x;
        EXPECT_EQ(p.y, 20.0);
        EXPECT_EQ(p.z, -20.0);
    }
}

TEST(Clipping, OnlyActiveSidesBeyondTheirToleranceClampAndFlag) {
    SimulationSpec spec;
    spec.apply_extrusion_bounds[2] = {false, true};
    spec.extrusion_clipping_bounds[2] = {-5.0, 5.0};
    spec.extrusion_bound_tolerance[2] = {1e-6, 1e-6};

    Vec3 near{0, 0, 5.0000005};
    clamp_to_clipping_bounds(spec, near);
    EXPECT_EQ(near.z, 5.0000005);
    EXPECT_EQ(outside_clipping_bounds(spec, {0, 0, 5.0000005}), (std::array<bool, 3>{false, false, false}));

    Vec3 far{0, 0, 5.1};
    clamp_to_clipping_bounds(spec, far);
    EXPECT_EQ(far.z, 5.0);
    EXPECT_EQ(outside_clipping_bounds(spec, {0, 0, 5.1}), (std::array<bool, 3>{false, false, true}));

    Vec3 low{0, 0, -7.0};  // the min side is inactive
    clamp_to_clipping_bounds(spec, low);
    EXPECT_EQ(low.z, -7.0);
    // Inactive sides with the loader's NaN tolerances never flag.
    EXPECT_EQ(outside_clipping_bounds(SimulationSpec{}, {1e30, -1e30, 0}), (std::array<bool, 3>{false, false, false}));
}

TEST(Clipping, ClipNormalDropsFlaggedAxesAndRenormalizes) {
    SimulationSpec spec;
    spec.apply_extrusion_bounds[0] = {true, true};
    spec.apply_extrusion_bounds[1] = {true, true};
    spec.extrusion_clipping_bounds[0] = spec.extrusion_clipping_bounds[1] = {-1.0, 1.0};
    spec.extrusion_bound_tolerance[0] = spec.extrusion_bound_tolerance[1] = {1e-6, 1e-6};
    const Vec3 n{0.6, 0.8, 0.0};
    EXPECT_EQ(clip_normal(spec, n, {0, 2, 0}), (Vec3{1, 0, 0}));
    EXPECT_EQ(clip_normal(spec, n, {2, -2, 0}), (Vec3{0, 0, 0}));
    EXPECT_EQ(clip_normal(spec, n, {0, 0, 0}), n);

    Vec3 v{3, 0, 4};
    EXPECT_DOUBLE_EQ(normalize_vec3(v), 5.0);
    EXPECT_DOUBLE_EQ(v.z, 0.8);
    Vec3 zero{};
    EXPECT_EQ(normalize_vec3(zero), 0.0);
    EXPECT_EQ(zero, (Vec3{}));
}

}  // namespace
