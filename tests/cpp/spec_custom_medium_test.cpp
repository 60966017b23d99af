#include <gtest/gtest.h>

#include <complex>
#include <limits>
#include <map>
#include <string>

#include "spec/custom_medium.h"
#include "spec_fixtures.h"

using nlohmann::json;
using spec_test::H5Writer;
using spec_test::ScratchDir;

namespace {

using C = std::complex<float>;
constexpr const char* INTERNAL_ERROR_PATTERN = "An internal error has occured";

// The datasets of one "custom_NNNN" group, by name; a name left out is not written.
struct Datasets {
    std::map<std::string, std::vector<float>> floats;
    std::map<std::string, std::vector<uint32_t>> uints;
    std::map<std::string, std::vector<uint8_t>> bools;
};

std::vector<float> ramp(std::size_t count, float start) {
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = start + static_cast<float>(i);
    return values;
}

// A 2 × 1 × 3 box at cells x 10..11, y 0, z 5..7 (six points) with two poles on the y component.
Datasets box_medium() {
    Datasets d;
    d.uints["inds_range"] = {10, 12, 0, 1, 5, 8};
    d.floats["eps_inf"] = ramp(18, 1.0f);
    d.floats["sigma"] = ramp(18, 100.0f);
    d.bools["subpixel"] = {1, 0, 1};
    d.uints["subpixel_identifier"] = {7, 99};
    d.bools["dispersive"] = {0, 1, 0};
    d.floats["pole_ar_y"] = ramp(12, 0.0f);
    d.floats["pole_ai_y"] = ramp(12, 20.0f);
    d.floats["pole_cr_y"] = ramp(12, 40.0f);
    d.floats["pole_ci_y"] = ramp(12, 60.0f);
    d.bools["clamp_sides"] = {1, 0, 0, 1, 0, 0};
    return d;
}

Datasets single_point(std::vector<uint8_t> clamp_sides) {
    Datasets d;
    d.uints["inds_range"] = {4, 5, 4, 5, 4, 5};
    d.floats["eps_inf"] = {2, 3, 4};
    d.floats["sigma"] = {0, 0, 0};
    d.bools["subpixel"] = {1, 1, 1};
    d.uints["subpixel_identifier"] = {0};
    d.bools["dispersive"] = {0, 0, 0};
    d.bools["clamp_sides"] = std::move(clamp_sides);
    return d;
}

std::string group_name(int32_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "/custom_medium/custom_%04d", index);
    return buffer;
}

void write_custom_file(const std::string& path, const std::vector<int32_t>& istr_ind,
                       const std::vector<std::pair<int32_t, Datasets>>& groups) {
    H5Writer w(path);
    w.group("/custom_medium");
    w.ints("/custom_medium/istr_ind", istr_ind);
    for (const auto& [index, data] : groups) {
        const std::string group = group_name(index);
        w.group(group);
        for (const auto& [name, values] : data.floats) w.floats(group + "/" + name, values);
        for (const auto& [name, values] : data.uints) w.uints(group + "/" + name, values);
        for (const auto& [name, values] : data.bools) w.bools(group + "/" + name, values);
    }
}

TEST(CustomMedium, ReadsGroupsPointsAndPoles) {
    ScratchDir dir;
    const std::string path = dir.file("grid.h5");
    write_custom_file(path, {3, 12, 12345},
                      {{3, box_medium()}, {12, single_point({1, 1, 1, 1, 1, 1})}, {12345, single_point({1, 1, 1, 1, 1})}});
    const std::optional<CustomMediaList> read = read_custom_media(path.c_str());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->structure_indices, (std::vector<int32_t>{3, 12, 12345}));
    ASSERT_EQ(read->media.size(), 3u);

    const CustomMedium& box = *read->media[0];
    EXPECT_TRUE(box.all_kinds(ComponentKind::Custom));
    EXPECT_EQ(box.point_counts, (std::array<int32_t, 3>{2, 1, 3}));
    EXPECT_EQ(box.point_origin, (std::array<int32_t, 3>{10, 0, 5}));
    EXPECT_EQ(box.eps_inf, ramp(18, 1.0f));
    EXPECT_EQ(box.sigma, ramp(18, 100.0f));
    EXPECT_EQ(box.subpixel, (std::array<bool, 3>{true, false, true}));
    EXPECT_EQ(box.subpixel_identifier, 7u);
    EXPECT_EQ(box.clamp_sides, (std::array<bool, 6>{true, false, false, true, false, false}));
    EXPECT_TRUE(box.poles[0].empty());
    EXPECT_TRUE(box.poles[2].empty());
    // Pole q of point p sits at q·N + p: pole 0 from values 0..5, pole 1 from values 6..11.
    ASSERT_EQ(box.poles[1].size(), 2u);
    for (int q = 0; q < 2; ++q)
        for (int p = 0; p < 6; ++p) {
            const float at = static_cast<float>(q * 6 + p);
            EXPECT_EQ(box.poles[1][q].a[p], C(at, 20 + at));
            EXPECT_EQ(box.poles[1][q].c[p], C(40 + at, 60 + at));
        }

    EXPECT_EQ(read->media[1]->clamp_sides, (std::array<bool, 6>{true, true, true, true, true, true}));
    // Five flags are not a clamp specification.
    EXPECT_EQ(read->media[2]->clamp_sides, (std::array<bool, 6>{}));
    EXPECT_EQ(read->media[2]->eps_inf, (std::vector<float>{2, 3, 4}));
}

TEST(CustomMedium, MissingGroupOrIndexListMeansNoMedia) {
    ScratchDir dir;
    const std::string without_group = dir.file("plain.h5");
    { H5Writer w(without_group); w.group("/grid"); }
    const std::string without_list = dir.file("empty_group.h5");
    { H5Writer w(without_list); w.group("/custom_medium"); }
    for (const std::string& path : {without_group, without_list}) {
        const auto read = read_custom_media(path.c_str());
        ASSERT_TRUE(read.has_value()) << path;
        EXPECT_TRUE(read->media.empty() && read->structure_indices.empty());
    }
}

TEST(CustomMedium, RejectsInconsistentData) {
    struct Case {
        const char* what;
        void (*mutate)(Datasets&);
    };
    const Case cases[] = {
        {"eps_inf short", [](Datasets& d) { d.floats["eps_inf"].pop_back(); }},
        {"sigma long", [](Datasets& d) { d.floats["sigma"].push_back(0); }},
        {"sigma missing", [](Datasets& d) { d.floats.erase("sigma"); }},
        {"two subpixel flags", [](Datasets& d) { d.bools["subpixel"] = {1, 1}; }},
        {"dispersive missing", [](Datasets& d) { d.bools.erase("dispersive"); }},
        {"identifier missing", [](Datasets& d) { d.uints.erase("subpixel_identifier"); }},
        {"five range values", [](Datasets& d) { d.uints["inds_range"] = {10, 12, 0, 1, 5}; }},
        {"end below begin", [](Datasets& d) { d.uints["inds_range"] = {12, 10, 0, 1, 5, 8}; }},
        {"empty box", [](Datasets& d) { d.uints["inds_range"] = {10, 12, 0, 0, 5, 8}; }},
        {"box beyond int32", [](Datasets& d) { d.uints["inds_range"] = {10, 12, 0, 1, 4294967290u, 4294967293u}; }},
        {"poles not a multiple of N", [](Datasets& d) { d.floats["pole_ar_y"].pop_back(); }},
        {"pole parts of different lengths", [](Datasets& d) { d.floats["pole_ci_y"].resize(6); }},
        {"pole part missing", [](Datasets& d) { d.floats.erase("pole_cr_y"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Datasets data = box_medium();
        c.mutate(data);
        ScratchDir dir;
        const std::string path = dir.file("grid.h5");
        write_custom_file(path, {3}, {{3, data}});
        EXPECT_FALSE(read_custom_media(path.c_str()).has_value());
    }

    ScratchDir dir;
    const std::string descending = dir.file("descending.h5");
    write_custom_file(descending, {12, 3}, {{3, box_medium()}, {12, box_medium()}});
    EXPECT_FALSE(read_custom_media(descending.c_str()).has_value());
    const std::string missing_group = dir.file("missing.h5");
    write_custom_file(missing_group, {3, 4}, {{3, box_medium()}});
    EXPECT_FALSE(read_custom_media(missing_group.c_str()).has_value());
    // A pole dataset absent on a component that is not dispersive is fine.
    Datasets no_poles = box_medium();
    no_poles.bools["dispersive"] = {0, 0, 0};
    no_poles.floats.erase("pole_ar_y");
    const std::string plain = dir.file("plain.h5");
    write_custom_file(plain, {3, 3}, {{3, no_poles}});
    const auto read = read_custom_media(plain.c_str());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->media.size(), 2u);
    EXPECT_TRUE(read->media[0]->poles[1].empty());
}

CustomMedium box_at(std::array<bool, 6> clamp) {
    CustomMedium medium(6);
    medium.point_counts = {2, 1, 3};
    medium.point_origin = {10, 0, 5};
    medium.clamp_sides = clamp;
    return medium;
}

TEST(CustomMedium, SpatialIndexInsideAndClamped) {
    constexpr int32_t low = std::numeric_limits<int32_t>::min();
    constexpr int32_t high = std::numeric_limits<int32_t>::max();
    struct Case {
        std::array<bool, 6> clamp;
        int32_t i, j, k, expected;
    };
    const Case cases[] = {
        {{}, 10, 0, 5, 0},
        {{}, 11, 0, 7, 5},  // 2 + (0 + 1·1)·3
        {{}, 10, 0, 7, 2},
        {{true, false, false, false, false, false}, 9, 0, 7, 2},  // onto i = 10
        {{true, false, false, false, false, false}, low, 0, 6, 1},
        {{false, true, false, false, false, false}, high, 0, 5, 3},
        {{false, false, true, true, false, false}, 11, -4, 6, 4},
        {{false, false, false, false, true, true}, 10, 0, high, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(box_at(c.clamp).spatial_index(c.i, c.j, c.k), c.expected) << c.i << " " << c.j << " " << c.k;

    // A single point serves every cell, inside the box or not.
    CustomMedium point(1);
    point.point_counts = {1, 1, 1};
    point.point_origin = {4, 4, 4};
    EXPECT_EQ(point.spatial_index(-100, 4, 100000), 0);
}

TEST(CustomMedium, SpatialIndexOutsideUnclampedSideIsInternalError) {
    struct Case {
        std::array<bool, 6> clamp;
        int32_t i, j, k;
    };
    const Case cases[] = {
        {{}, 9, 0, 7},
        {{false, true, true, true, true, true}, 9, 0, 7},  // every side clamped but low x
        {{}, 12, 0, 5},
        {{}, 10, 1, 5},
        {{true, true, true, true, true, false}, 10, 0, 8},
        {{}, std::numeric_limits<int32_t>::min(), 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.i << " " << c.j << " " << c.k);
        const CustomMedium medium = box_at(c.clamp);
        EXPECT_EXIT(medium.spatial_index(c.i, c.j, c.k), ::testing::ExitedWithCode(1), INTERNAL_ERROR_PATTERN);
    }
}

json custom_structure(int str_index, int mat_index) {
    return {{"type", "Box"}, {"str_index", str_index}, {"mat_index", mat_index}, {"x_cent", 0}, {"y_cent", 0},
            {"z_cent", 0}, {"x_span", 1}, {"y_span", 1}, {"z_span", 1}};
}

TEST(CustomMedium, LoaderAppendsGriddedMediaAndRedirectsStructures) {
    ScratchDir dir;
    const std::string path = dir.file("grid.h5");
    write_custom_file(path, {2, 5, 9}, {{2, box_medium()}, {5, single_point({})}, {9, single_point({})}});
    json doc = spec_test::minimal_spec();
    doc["medium_list"] = json::parse(R"([
        {"type": "Medium", "permittivity": 2, "conductivity": 0, "poles": [[], [], []]},
        {"type": "Custom"}
    ])");
    doc["struct_list"] = {custom_structure(0, 0), custom_structure(2, 1), custom_structure(5, 1), custom_structure(9, 1)};

    SimulationSpec spec;
    ASSERT_EQ(spec_test::load_json(spec, doc, path.c_str()), 0);
    ASSERT_EQ(spec.media.size(), 5u);
    EXPECT_EQ(spec.media[2]->eps_inf.size(), 18u);
    EXPECT_EQ(spec.media[3]->eps_inf, (std::vector<float>{2, 3, 4}));
    const int32_t expected[] = {0, 2, 3, 4};
    for (int s = 0; s < 4; ++s) EXPECT_EQ(spec.structures[s]->medium_index, expected[s]) << s;
    EXPECT_TRUE(spec.has_subpixel_identifiers);  // the box medium carries identifier 7

    // Without the HDF5 file the custom structures have no medium to point at.
    SimulationSpec without_file;
    EXPECT_EQ(spec_test::load_json(without_file, doc, nullptr), -1);

    // Inconsistent gridded data fail the load.
    Datasets broken = box_medium();
    broken.floats["eps_inf"].pop_back();
    const std::string broken_path = dir.file("broken.h5");
    write_custom_file(broken_path, {2}, {{2, broken}});
    SimulationSpec rejected;
    EXPECT_EQ(spec_test::load_json(rejected, doc, broken_path.c_str()), -1);
}

}  // namespace
