#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/medium_index.h"
#include "spec/structure_list.h"
#include "spec_fixtures.h"

using nlohmann::json;

namespace {

std::shared_ptr<Medium> uniform(ComponentKind kind, float eps = 1.0f, float sigma = 0.0f) {
    auto medium = std::make_shared<Medium>(kind == ComponentKind::FullyAnisotropic ? 9 : 3, kind);
    for (int c = 0; c < 3; ++c) {
        medium->eps_inf[c] = eps;
        medium->sigma[c] = sigma;
    }
    return medium;
}

TEST(SpecStructures, ModalPecFrameNameRule) {
    const std::pair<const char*, bool> cases[] = {
        {"__orbelle_modal_pec_frame_0", true},
        {"__orbelle_modal_pec_frame_", true},
        {"x__orbelle_modal_pec_frame_0", false},
        {"__orbelle_modal_pec_frame", false},
        {"", false},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(is_modal_pec_frame_name(name), expected) << name;
}

TEST(SpecStructures, NormalizesAndChecksMediumIndices) {
    std::vector<std::shared_ptr<Medium>> media;
    media.push_back(uniform(ComponentKind::Medium));  // 0: vacuum
    auto almost = uniform(ComponentKind::Medium);
    almost->eps_inf[2] = 1.0001f;
    media.push_back(almost);  // 1
    media.push_back(uniform(ComponentKind::PEC));  // 2
    media.push_back(uniform(ComponentKind::PMC));  // 3
    auto with_pole = uniform(ComponentKind::Medium);
    with_pole->poles[1].push_back(Pole{{{1.0f, 0.0f}}, {{1.0f, 0.0f}}});
    media.push_back(with_pole);  // 4
    auto nonlinear = uniform(ComponentKind::Medium);
    nonlinear->nonlinear.numiters = 1;
    media.push_back(nonlinear);  // 5
    auto lossy_sigma = uniform(ComponentKind::Medium, 1.0f, 0.0f);
    lossy_sigma->sigma[0] = 1e-6f;
    media.push_back(lossy_sigma);  // 6
    auto mixed = uniform(ComponentKind::Medium);
    mixed->kinds[1] = ComponentKind::PEC;
    media.push_back(mixed);  // 7: kinds differ, so no special index even with a PEC component
    media.push_back(uniform(ComponentKind::LossyMetal));  // 8
    media.push_back(uniform(ComponentKind::FullyAnisotropic));  // 9

    const std::pair<int32_t, std::optional<int32_t>> cases[] = {
        {0, MEDIUM_INDEX_VACUUM}, {1, 1}, {2, MEDIUM_INDEX_PEC}, {3, MEDIUM_INDEX_PMC}, {4, 4}, {5, 5}, {6, 6},
        {7, 7}, {8, 8}, {9, 9},
        {MEDIUM_INDEX_VACUUM, MEDIUM_INDEX_VACUUM}, {MEDIUM_INDEX_PEC, MEDIUM_INDEX_PEC},
        {MEDIUM_INDEX_PMC, MEDIUM_INDEX_PMC},
        // Indices that name no medium.
        {10, std::nullopt}, {-1, std::nullopt}, {65531, std::nullopt}, {65534, std::nullopt},
        {65535, std::nullopt}, {70000, std::nullopt},
    };
    for (const auto& [index, expected] : cases) {
        SCOPED_TRACE(index);
        CustomStructureCursor cursor(static_cast<int32_t>(media.size()), {});
        int32_t medium_index = index;
        const bool accepted = normalize_medium_index(medium_index, 0, media, cursor);
        EXPECT_EQ(accepted, expected.has_value());
        if (expected) EXPECT_EQ(medium_index, *expected);
    }
}

TEST(SpecStructures, CustomStructuresFollowTheForwardCursor) {
    // JSON media 0..3 (medium 1 is the custom placeholder), gridded media 4, 5, 6 of the
    // structures 2, 5 and 9.
    std::vector<std::shared_ptr<Medium>> media;
    for (int m = 0; m < 7; ++m) media.push_back(uniform(m == 0 ? ComponentKind::Medium : ComponentKind::Custom, 2.0f));
    const auto redirect = [&](CustomStructureCursor& cursor, int32_t str_index) -> std::optional<int32_t> {
        int32_t medium_index = 1;
        if (!normalize_medium_index(medium_index, str_index, media, cursor)) return std::nullopt;
        return medium_index;
    };

    CustomStructureCursor cursor(4, {2, 5, 9});
    EXPECT_EQ(redirect(cursor, 2), 4);
    EXPECT_EQ(redirect(cursor, 5), 5);
    EXPECT_EQ(redirect(cursor, 9), 6);
    // The cursor never moves back: a later lower index still gets the medium under it.
    EXPECT_EQ(redirect(cursor, 3), 6);
    EXPECT_EQ(redirect(cursor, 10), std::nullopt);

    // An index between two gridded structures takes the next one.
    CustomStructureCursor skipping(4, {2, 5, 9});
    EXPECT_EQ(redirect(skipping, 4), 5);

    // A custom structure without any gridded media is rejected, not pointed past the list.
    CustomStructureCursor empty(4, {});
    EXPECT_EQ(redirect(empty, 0), std::nullopt);
}

TEST(SpecStructures, RunWideFlags) {
    using K = ComponentKind;
    using M = AveragingMethod;
    struct Case {
        const char* what;
        M pec_method, lossy_method;
        std::vector<int32_t> structure_media;
        std::vector<K> medium_kinds;  // one uniform medium per entry
        uint64_t identifier;
        bool conformal, pmc, identifiers;
    };
    const Case cases[] = {
        {"nothing special", M::PECConformal, M::SurfaceImpedance, {0}, {K::Medium}, 0, false, false, false},
        {"PEC structure, conformal", M::PECConformal, M::Staircasing, {MEDIUM_INDEX_PEC}, {}, 0, true, false, false},
        {"PEC structure, heuristic", M::HeuristicPECStaircasing, M::SurfaceImpedance, {MEDIUM_INDEX_PEC}, {}, 0, false, false, false},
        {"PEC medium, no structure", M::PECConformal, M::Staircasing, {}, {K::PEC}, 0, true, false, false},
        {"lossy metal, surface impedance", M::Staircasing, M::SurfaceImpedance, {}, {K::LossyMetal}, 0, true, false, false},
        {"lossy metal, volumetric", M::PECConformal, M::VolumetricAveraging, {}, {K::LossyMetal}, 0, false, false, false},
        {"PMC structure", M::PECConformal, M::SurfaceImpedance, {MEDIUM_INDEX_PMC}, {}, 0, false, true, false},
        {"PMC medium", M::PECConformal, M::SurfaceImpedance, {}, {K::PMC}, 0, false, true, false},
        {"gridded identifier", M::PECConformal, M::SurfaceImpedance, {}, {K::Custom}, 7, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulationSpec spec;
        spec.subpixel.pec = c.pec_method;
        spec.subpixel.lossy_metal = c.lossy_method;
        for (const int32_t index : c.structure_media) {
            auto structure = std::make_shared<Structure>();
            structure->medium_index = index;
            spec.structures.push_back(structure);
        }
        for (const K kind : c.medium_kinds) {
            spec.media.push_back(uniform(kind, 2.0f));
            spec.media.back()->subpixel_identifier = c.identifier;
        }
        compute_run_flags(spec);
        EXPECT_EQ(spec.has_conformal_metal, c.conformal);
        EXPECT_EQ(spec.has_pmc, c.pmc);
        EXPECT_EQ(spec.has_subpixel_identifiers, c.identifiers);
    }
}

json box(const char* name, int str_index, int mat_index) {
    json entry = {{"type", "Box"}, {"str_index", str_index}, {"mat_index", mat_index},
                  {"x_cent", 0}, {"y_cent", 0}, {"z_cent", 0}, {"x_span", 1}, {"y_span", 1}, {"z_span", 1}};
    if (name) entry["name"] = name;
    return entry;
}

TEST(SpecStructures, LoadsStructureList) {
    json doc = spec_test::minimal_spec();
    doc["subpixel_method"]["pec"] = {{"type", "HeuristicPECStaircasing"}};
    doc["medium_list"] = json::parse(R"([
        {"type": "Medium", "permittivity": 1, "conductivity": 0, "poles": [[], [], []]},
        {"type": "PEC"},
        {"type": "Medium", "permittivity": 4, "conductivity": 0, "poles": [[], [], []]}
    ])");
    doc["struct_list"] = {box("core", 0, 2), box("__orbelle_modal_pec_frame_1", 1, 1), box(nullptr, 2, 0),
                          box("x__orbelle_modal_pec_frame_", 3, MEDIUM_INDEX_PMC)};
    doc["struct_list"][0]["public_str_index"] = 11;
    doc["struct_list"][2]["name"] = nullptr;
    SimulationSpec spec;
    ASSERT_EQ(spec_test::load_json(spec, doc), 0);
    ASSERT_EQ(spec.structures.size(), 4u);
    const int32_t media[] = {2, MEDIUM_INDEX_PEC, MEDIUM_INDEX_VACUUM, MEDIUM_INDEX_PMC};
    const bool frames[] = {false, true, false, false};
    for (int s = 0; s < 4; ++s) {
        EXPECT_NE(spec.structures[s]->geometry, nullptr);
        EXPECT_EQ(spec.structures[s]->medium_index, media[s]) << s;
        EXPECT_EQ(spec.structures[s]->modal_pec_frame, frames[s]) << s;
    }
    EXPECT_EQ(spec.public_str_indices, (std::vector<int32_t>{11, -1, -1, -1}));
    // The PEC method is heuristic and no lossy metal exists; the PMC structure sets its flag.
    EXPECT_FALSE(spec.has_conformal_metal);
    EXPECT_TRUE(spec.has_pmc);
}

TEST(SpecStructures, RejectsInvalidStructureEntries) {
    struct Case {
        const char* what;
        const char* media;
        json entry;
    };
    const char* pec = R"([{"type": "PEC"}])";
    json wrong_name = box(nullptr, 0, 0);
    wrong_name["name"] = 5;
    json wrong_public = box(nullptr, 0, 0);
    wrong_public["public_str_index"] = nullptr;
    const Case cases[] = {
        {"medium index past the list", pec, box("a", 0, 1)},
        {"negative medium index", pec, box("a", 0, -1)},
        {"unnamed special index", pec, box("a", 0, 65531)},
        {"custom structure without gridded media", R"([{"type": "Custom"}])", box("a", 0, 0)},
        {"name not a string", pec, wrong_name},
        {"public index null", pec, wrong_public},
        {"mat_index missing", pec, json{{"type", "Box"}, {"str_index", 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        json doc = spec_test::minimal_spec();
        doc["medium_list"] = json::parse(c.media);
        doc["struct_list"] = {c.entry};
        SimulationSpec spec;
        EXPECT_EQ(spec_test::load_json(spec, doc), -1);
    }
}

}  // namespace
