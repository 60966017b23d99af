#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "common/tolerance.h"
#include "spec/json_values.h"
#include "spec/load_failure.h"
#include "spec_fixtures.h"

using nlohmann::json;
using spec_test::load_json;
using spec_test::minimal_spec;

namespace {

constexpr const char* INTERNAL_ERROR_PATTERN = "An internal error has occured";

TEST(SpecLoader, ReadsSettingsBoundsAndDefaults) {
    json doc = minimal_spec();
    doc["symmetry"] = {true, 2.7, -1.9, 5};
    doc["fixed_angle_axis"] = 258;
    doc["fixed_angle_dir"] = {0.1, 0, 1};
    doc["periodic_boundary"] = {false, true, false};
    doc["total_time_steps"] = 12.9;
    doc["relax_courant"] = true;
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);

    EXPECT_EQ(spec.version, "2.9");
    EXPECT_FLOAT_EQ(spec.courant_scaling, 0.5f);
    EXPECT_EQ(spec.symmetry, (std::array<int32_t, 3>{1, 2, -1}));
    EXPECT_EQ(spec.fixed_angle_axis, 2);  // low 8 bits of 258
    EXPECT_EQ(spec.total_time_steps, 12);
    EXPECT_TRUE(spec.relax_courant);
    // Read as float32, then widened.
    EXPECT_EQ(spec.fixed_angle_dir[0], static_cast<double>(0.1f));
    EXPECT_EQ(spec.periodic_boundary, (std::array<bool, 3>{false, true, false}));
    // The JSON holds three minima then three maxima; the spec holds (min, max) per axis.
    EXPECT_EQ(spec.simulation_bounds[1], std::make_pair(-2.0, 2.0));
    EXPECT_EQ(spec.simulation_size[2], 6.0);
    EXPECT_EQ(spec.bounds_tolerance, float_tolerance(3.0));
    EXPECT_EQ(spec.normalize_index, 0);
    // Without clipping keys the planes stay infinite and unapplied.
    EXPECT_TRUE(std::isinf(spec.extrusion_clipping_bounds[0].first));
    EXPECT_FALSE(spec.apply_extrusion_bounds[0].first);
    EXPECT_TRUE(spec.media.empty() && spec.structures.empty() && spec.sources.empty());

    doc["normalize_index"] = 4;
    SimulationSpec with_index;
    ASSERT_EQ(load_json(with_index, doc), 0);
    EXPECT_EQ(with_index.normalize_index, 4);
}

TEST(SpecLoader, ReplacesInfinityStringsAtAnyDepthButNotKeys) {
    json doc = minimal_spec();
    doc["simulation_bounds"] = {{"-Infinity", -1, -1}, {"Infinity", 1, 1}};
    SimulationSpec spec;
    // "-Infinity" stays a string, so the minimum is not a number.
    EXPECT_EQ(load_json(spec, doc), -1);

    doc["simulation_bounds"] = {{-1, -1, -1}, {"Infinity", 1, 1}};
    doc["extra"] = {{"Infinity", {"a", {{"deep", {"Infinity"}}}, "-Infinity", "infinity"}}};
    SimulationSpec loaded;
    ASSERT_EQ(load_json(loaded, doc), 0);
    EXPECT_EQ(loaded.simulation_bounds[0].second, 1e20);
    const json& extra = loaded.document["extra"];
    ASSERT_TRUE(extra.contains("Infinity"));
    EXPECT_EQ(extra["Infinity"][1]["deep"][0], 1e20);
    EXPECT_EQ(extra["Infinity"][2], "-Infinity");
    EXPECT_EQ(extra["Infinity"][3], "infinity");
}

TEST(SpecLoader, InfinityReplacementSurvivesDeepNesting) {
    const int depth = 200000;
    json doc = json::parse(std::string(depth, '[') + "\"Infinity\"" + std::string(depth, ']'));
    replace_infinity_strings(doc);
    const json* node = &doc;
    for (int level = 0; level < depth; ++level) node = &(*node)[0];
    EXPECT_EQ(*node, 1e20);
}

struct MethodCase {
    const char* material;
    const char* settings;
    AveragingMethod SubpixelMethodSettings::*field;
    AveragingMethod expected;
    bool pec_correction = false;
    bool lossy_correction = false;
};

TEST(SpecLoader, ReadsEveryAveragingMethod) {
    using M = AveragingMethod;
    using S = SubpixelMethodSettings;
    const MethodCase cases[] = {
        {"dielectric", R"({"type": "PolarizedAveraging"})", &S::dielectric, M::PolarizedAveraging},
        {"dielectric", R"({"type": "Staircasing"})", &S::dielectric, M::Staircasing},
        {"dielectric", R"({"type": "ContourPathAveraging"})", &S::dielectric, M::ContourPathAveraging},
        {"metal", R"({"type": "VolumetricAveraging", "staircase_normal_component": false})", &S::metal, M::VolumetricAveraging},
        {"metal", R"({"type": "VolumetricAveraging", "staircase_normal_component": true})", &S::metal,
         M::VolumetricAveragingNormalStaircased},
        {"metal", R"({"type": "Staircasing"})", &S::metal, M::Staircasing},
        {"pec", R"({"type": "Staircasing"})", &S::pec, M::Staircasing},
        {"pec", R"({"type": "HeuristicPECStaircasing"})", &S::pec, M::HeuristicPECStaircasing},
        {"pec", R"({"type": "PECConformal", "edge_singularity_correction": true})", &S::pec, M::PECConformal, true},
        {"lossy_metal", R"({"type": "VolumetricAveraging", "staircase_normal_component": false})", &S::lossy_metal,
         M::VolumetricAveraging},
        {"lossy_metal", R"({"type": "VolumetricAveraging", "staircase_normal_component": true})", &S::lossy_metal,
         M::VolumetricAveragingNormalStaircased},
        {"lossy_metal", R"({"type": "Staircasing"})", &S::lossy_metal, M::Staircasing},
        {"lossy_metal", R"({"type": "SurfaceImpedance", "edge_singularity_correction": true})", &S::lossy_metal,
         M::SurfaceImpedance, false, true},
        {"pmc", R"({"type": "Staircasing"})", &S::pmc, M::Staircasing},
        {"pmc", R"({"type": "HeuristicPECStaircasing"})", &S::pmc, M::HeuristicPECStaircasing},
    };
    for (const MethodCase& c : cases) {
        SCOPED_TRACE(std::string(c.material) + " " + c.settings);
        json doc = minimal_spec();
        doc["subpixel_method"][c.material] = json::parse(c.settings);
        SimulationSpec spec;
        ASSERT_EQ(load_json(spec, doc), 0);
        EXPECT_EQ(spec.subpixel.*c.field, c.expected);
        EXPECT_EQ(spec.subpixel.pec_edge_singularity_correction, c.pec_correction);
        EXPECT_EQ(spec.subpixel.lossy_metal_edge_singularity_correction, c.lossy_correction);
    }
}

TEST(SpecLoader, UnlistedAveragingMethodIsInternalError) {
    const std::pair<const char*, const char*> cases[] = {
        {"dielectric", R"({"type": "VolumetricAveraging"})"},  // a metal method, not a dielectric one
        {"metal", R"({"type": "PolarizedAveraging"})"},
        {"pec", R"({"type": "SurfaceImpedance"})"},
        {"lossy_metal", R"({"type": "PECConformal"})"},
        {"pmc", R"({"type": "PECConformal"})"},
        {"pmc", R"({})"},  // missing type
        {"dielectric", R"({"type": "polarizedaveraging"})"},
    };
    for (const auto& [material, settings] : cases) {
        SCOPED_TRACE(std::string(material) + " " + settings);
        json doc = minimal_spec();
        doc["subpixel_method"][material] = json::parse(settings);
        EXPECT_EXIT(
            {
                SimulationSpec spec;
                load_json(spec, doc);
            },
            ::testing::ExitedWithCode(1), INTERNAL_ERROR_PATTERN);
    }
}

// Simulation bounds are [-1, 1] on x, [-2, 2] on y and [-3, 3] on z.
json with_clipping(const json& apply, const json& planes) {
    json doc = minimal_spec();
    doc["apply_extrusion_bounds"] = apply;
    doc["extrusion_clipping_bounds"] = planes;
    return doc;
}

TEST(SpecLoader, ReadsClippingPlanesWithinTolerance) {
    json doc = with_clipping({{true, false, false}, {true, false, true}}, {{-1.0 - 1e-9, -5, 0}, {0.5, 9, 2.5}});
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);
    EXPECT_EQ(spec.apply_extrusion_bounds[0], std::make_pair(true, true));
    EXPECT_EQ(spec.apply_extrusion_bounds[2], std::make_pair(false, true));
    EXPECT_EQ(spec.extrusion_clipping_bounds[0], std::make_pair(-1.0 - 1e-9, 0.5));
    EXPECT_EQ(spec.extrusion_clipping_bounds[1], std::make_pair(-5.0, 9.0));  // unapplied planes are not checked
    EXPECT_EQ(spec.extrusion_bound_tolerance[0].second, float_tolerance(1.0));  // |0.5| raised to 1
    EXPECT_EQ(spec.extrusion_bound_tolerance[1].second, float_tolerance(9.0));

    // Only the min flag: the planes need not be ordered. A periodic axis without flags is fine.
    doc = with_clipping({{false, true, false}, {false, false, false}}, {{0, 1.5, 0}, {0, 1.0, 0}});
    doc["periodic_boundary"] = {true, false, true};
    SimulationSpec min_only;
    EXPECT_EQ(load_json(min_only, doc), 0);
}

TEST(SpecLoader, ViolatedClippingChecksAreInternalErrors) {
    struct Case {
        const char* what;
        json apply, planes, periodic;
    };
    const json none = {false, false, false};
    const Case cases[] = {
        {"flag on a periodic axis", {{false, false, false}, {false, false, true}}, {{0, 0, -1}, {0, 0, 1}}, {false, false, true}},
        {"min below bounds", {{true, false, false}, {false, false, false}}, {{-1.001, 0, 0}, {0, 0, 0}}, none},
        {"max above bounds", {{true, false, false}, {true, false, false}}, {{-0.5, 0, 0}, {1.001, 0, 0}}, none},
        {"min not below max", {{false, true, false}, {false, true, false}}, {{0, 1, 0}, {0, 1, 0}}, none},
        {"only max, above bounds", {{false, false, false}, {false, false, true}}, {{0, 0, 0}, {0, 0, 3.001}}, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        json doc = with_clipping(c.apply, c.planes);
        doc["periodic_boundary"] = c.periodic;
        EXPECT_EXIT(
            {
                SimulationSpec spec;
                load_json(spec, doc);
            },
            ::testing::ExitedWithCode(1), INTERNAL_ERROR_PATTERN);
    }
}

TEST(SpecLoader, RejectsMalformedSpecifications) {
    struct Case {
        const char* what;
        void (*mutate)(json&);
    };
    const Case cases[] = {
        {"missing version", [](json& d) { d.erase("version"); }},
        {"version not a string", [](json& d) { d["version"] = 2; }},
        {"run_time a string", [](json& d) { d["run_time"] = "1e-12"; }},
        {"symmetry shorter than three", [](json& d) { d["symmetry"] = {0, 0}; }},
        {"symmetry not an array", [](json& d) { d["symmetry"] = 0; }},
        {"symmetry element a string", [](json& d) { d["symmetry"] = {0, "1", 0}; }},
        {"total_time_steps beyond int32", [](json& d) { d["total_time_steps"] = 1e20; }},
        {"run_time beyond the float range", [](json& d) { d["run_time"] = 1e39; }},
        {"courant below the float range", [](json& d) { d["courant"] = -3.5e38; }},
        {"fixed_angle_dir element beyond the float range", [](json& d) { d["fixed_angle_dir"][1] = 1e300; }},
        {"permittivity beyond the float range", [](json& d) {
             d["medium_list"] = {{{"type", "Medium"}, {"permittivity", 1e39}, {"conductivity", 0},
                                  {"poles", {json::array(), json::array(), json::array()}}}};
         }},
        {"periodic flag a number", [](json& d) { d["periodic_boundary"] = {0, 0, 0}; }},
        {"simulation_bounds missing", [](json& d) { d.erase("simulation_bounds"); }},
        {"simulation_bounds too short", [](json& d) { d["simulation_bounds"] = {{-1, -1}, {1, 1}}; }},
        {"fixed_angle_center missing", [](json& d) { d.erase("fixed_angle_center"); }},
        {"relax_courant null", [](json& d) { d["relax_courant"] = nullptr; }},
        {"normalize_index a string", [](json& d) { d["normalize_index"] = "0"; }},
        {"staircase flag missing", [](json& d) { d["subpixel_method"]["metal"] = {{"type", "VolumetricAveraging"}}; }},
        {"clipping flag a number", [](json& d) {
             d["apply_extrusion_bounds"] = {{0, false, false}, {false, false, false}};
             d["extrusion_clipping_bounds"] = {{0, 0, 0}, {0, 0, 0}};
         }},
        {"medium_list an object", [](json& d) { d["medium_list"] = json::object(); }},
        {"medium entry not an object", [](json& d) { d["medium_list"] = {nullptr}; }},
        {"struct_list a number", [](json& d) { d["struct_list"] = 3; }},
        {"structure str_index a string", [](json& d) { d["struct_list"] = {{{"type", "Unknown"}, {"str_index", "0"}, {"mat_index", 0}}}; }},
        {"document an array", [](json& d) { d = json::array({d}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        json doc = minimal_spec();
        c.mutate(doc);
        SimulationSpec spec;
        EXPECT_EQ(load_json(spec, doc), -1);
    }
}

TEST(SpecLoader, ReadsFloatsUpToTheLargestFloat) {
    json doc = minimal_spec();
    doc["run_time"] = 3.4028234663852886e38;  // the largest float
    doc["shutoff"] = -3.4e38;
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);
    EXPECT_EQ(spec.run_time, std::numeric_limits<float>::max());
    EXPECT_EQ(spec.shutoff, -3.4e38f);
}

TEST(SpecLoader, RejectsFilesThatAreNotJson) {
    spec_test::ScratchDir dir;
    const std::string good = minimal_spec().dump();
    const std::pair<const char*, std::string> cases[] = {
        {"truncated", good.substr(0, good.size() / 2)},
        {"with a comment", "// settings\n" + good},
        {"trailing text", good + " x"},
        {"empty", ""},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        SimulationSpec spec;
        EXPECT_EQ(load_simulation_spec(spec, dir.write_text("spec.json", text).c_str(), nullptr), -1);
    }
    SimulationSpec spec;
    EXPECT_EQ(load_simulation_spec(spec, dir.file("missing.json").c_str(), nullptr), -1);
    ASSERT_EQ(load_simulation_spec(spec, dir.write_text("spec.json", good).c_str(), nullptr), 0);
}

TEST(SpecLoader, RejectsUnreadableGeometryWithItsMessage) {
    json doc = minimal_spec();
    doc["medium_list"] = json::parse(R"([{"type": "PEC"}])");
    doc["struct_list"] = json::parse(R"([{"type": "Unknown", "name": "wg", "str_index": 7, "mat_index": 0}])");
    SimulationSpec spec;
    ::testing::internal::CaptureStderr();
    const int result = load_json(spec, doc);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_NE(err.find("Error loading structure index 7 (name='wg', type='Unknown'): unsupported or malformed "
                       "geometry; rejecting simulation.\n"),
              std::string::npos)
        << err;
}

TEST(SpecLoader, LoadsEveryMediumKind) {
    json doc = minimal_spec();
    doc["medium_list"] = json::parse(R"([
        {"type": "Medium", "permittivity": 2.25, "conductivity": 0, "poles": [[], [], []]},
        {"type": "LossyMetal", "permittivity": 1, "conductivity": 5, "poles": [[[5.0, 0, 0, 0]], [], []]},
        {"type": "PEC"}, {"type": "PMC"}, {"type": "Custom"},
        {"type": "Anisotropic", "comp_types": ["Medium", "Medium", "Medium"], "permittivity": [1, 2, 3],
         "conductivity": [0, 0, 0], "poles": [[], [], []]},
        {"type": "FullyAnisotropic", "permittivity": [2, 0, 0, 0, 3, 0, 0, 0, 4], "conductivity": [0, 0, 0, 0, 0, 0, 0, 0, 0]}
    ])");
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);
    const ComponentKind expected[] = {ComponentKind::Medium, ComponentKind::LossyMetal, ComponentKind::PEC, ComponentKind::PMC,
                                      ComponentKind::Custom, ComponentKind::Medium, ComponentKind::FullyAnisotropic};
    ASSERT_EQ(spec.media.size(), std::size(expected));
    for (std::size_t m = 0; m < spec.media.size(); ++m) EXPECT_TRUE(spec.media[m]->all_kinds(expected[m])) << m;
    // Media alone set the run-wide flags: a PEC and a lossy-metal medium under the default methods.
    EXPECT_TRUE(spec.has_conformal_metal);
    EXPECT_TRUE(spec.has_pmc);
    EXPECT_FALSE(spec.has_subpixel_identifiers);
}

}  // namespace

namespace {

// The cause of a failed load names the offending value's path and what was wrong with it.
TEST(SpecLoader, FailedLoadsSayWhichValueIsWrongAndWhy) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        const char* cause;
    };
    const Case cases[] = {
        {"missing key", [](json& d) { d.erase("courant"); }, "courant: expected a number, got nothing (missing or null)"},
        {"string for a number", [](json& d) { d["run_time"] = "soon"; }, "run_time: expected a number, got string"},
        {"nested member",
         [](json& d) {
             d["medium_list"] = json::parse(R"([{"type": "PEC"}])");
             d["struct_list"] = json::parse(R"([{"type": "GeometryGroup", "name": "g", "str_index": 0, "mat_index": 0,
                 "geometries": [{"type": "Sphere", "x_cent": 0, "y_cent": 0, "z_cent": 0, "radius": 1},
                                {"type": "Sphere", "x_cent": 0, "y_cent": 0, "z_cent": 0, "radius": "big"}]}])");
         },
         "struct_list[0].geometries[1].radius: type must be number, but is string"},
        {"unsupported geometry type",
         [](json& d) {
             d["medium_list"] = json::parse(R"([{"type": "PEC"}])");
             d["struct_list"] = json::parse(R"([{"type": "Polyslab", "name": "p", "str_index": 0, "mat_index": 0}])");
         },
         "struct_list[0]: unsupported or malformed geometry of type \"Polyslab\""},
        {"medium index beyond the media",
         [](json& d) {
             d["medium_list"] = json::parse(R"([{"type": "PEC"}, {"type": "PEC"}])");
             d["struct_list"] = json::parse(R"([{"type": "Sphere", "name": "s", "str_index": 0, "mat_index": 9,
                 "x_cent": 0, "y_cent": 0, "z_cent": 0, "radius": 1}])");
         },
         "struct_list[0].mat_index: medium index 9 with 2 media"},
        {"integer out of range", [](json& d) { d["total_time_steps"] = 1e12; },
         "total_time_steps: integer out of range"},
        {"a pole that is no array",
         [](json& d) {
             d["medium_list"] = json::parse(R"([{"type": "Medium", "permittivity": 2, "conductivity": 0,
                 "poles": [[1.0], [], []]}])");
         },
         "medium_list[0].poles[0][0]: a pole must be an array of four numbers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        json doc = minimal_spec();
        c.change(doc);
        spec_test::ScratchDir dir;
        SimulationSpec spec;
        std::string cause;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(load_simulation_spec(spec, dir.write_text("spec.json", doc.dump()).c_str(), nullptr, &cause), -1);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(cause, c.cause);
    }

    spec_test::ScratchDir dir;
    SimulationSpec spec;
    std::string cause;
    EXPECT_EQ(load_simulation_spec(spec, dir.write_text("spec.json", "{\"a\": ").c_str(), nullptr, &cause), -1);
    EXPECT_EQ(cause.rfind("parse error at line 1, column 7", 0), 0u) << cause;
    EXPECT_EQ(load_simulation_spec(spec, dir.file("absent.json").c_str(), nullptr, &cause), -1);
    EXPECT_EQ(cause, "the specification file cannot be opened");
}

TEST(LoadFailure, JsonPointersBecomeDottedPaths) {
    EXPECT_EQ(dotted_path("/struct_list/3/geometries/1/radius"), "struct_list[3].geometries[1].radius");
    EXPECT_EQ(dotted_path("/simulation_bounds/0/2"), "simulation_bounds[0][2]");
    EXPECT_EQ(dotted_path("/a~1b/c~0d"), "a/b.c~d");
    EXPECT_EQ(dotted_path(""), "");
    EXPECT_EQ(describe_load_error("[json.exception.type_error.302] (/x/0) type must be number, but is null"),
              "x[0]: type must be number, but is null");
    EXPECT_EQ(describe_load_error("plain reason"), "plain reason");
}

}  // namespace
