#include <gtest/gtest.h>

#include <complex>
#include <string>

#include "spec/medium_reader.h"

using nlohmann::json;

namespace {

using C = std::complex<float>;

std::shared_ptr<Medium> read(const char* text) {
    json entry = json::parse(text);
    return read_medium(entry);
}

TEST(MediumReader, ScalarAndArrayForms) {
    auto scalar = read(R"({"type": "Medium", "permittivity": 2.25, "conductivity": 0, "poles": [[], [], []]})");
    EXPECT_EQ(scalar->eps_inf, (std::vector<float>{2.25f, 2.25f, 2.25f}));
    EXPECT_EQ(scalar->sigma, (std::vector<float>{0, 0, 0}));
    EXPECT_TRUE(scalar->all_kinds(ComponentKind::Medium));
    for (const auto& poles : scalar->poles) EXPECT_TRUE(poles.empty());
    EXPECT_EQ(scalar->subpixel, (std::array<bool, 3>{true, true, true}));
    EXPECT_EQ(scalar->subpixel_identifier, 0u);
    EXPECT_EQ(scalar->spatial_index(5, -3, 100), 0);

    auto array = read(R"({"type": "Medium", "permittivity": [1, 2, 3], "conductivity": [0, 0.1, 0], "poles": [null, [], []]})");
    EXPECT_EQ(array->eps_inf, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(array->sigma, (std::vector<float>{0, 0.1f, 0}));
}

TEST(MediumReader, PolesPerComponent) {
    auto medium = read(R"({"type": "Medium", "permittivity": 1, "conductivity": 0,
                          "poles": [[[-1, 2, 3, 4]], [], [[1, 0, 0, 1], [true, false, 0.5, -0.5]]]})");
    ASSERT_EQ(medium->poles[0].size(), 1u);
    EXPECT_EQ(medium->poles[0][0].a, (std::vector<C>{C(-1, 2)}));
    EXPECT_EQ(medium->poles[0][0].c, (std::vector<C>{C(3, 4)}));
    EXPECT_TRUE(medium->poles[1].empty());
    ASSERT_EQ(medium->poles[2].size(), 2u);
    EXPECT_EQ(medium->poles[2][1].a, (std::vector<C>{C(1, 0)}));
    EXPECT_EQ(medium->poles[2][1].c, (std::vector<C>{C(0.5f, -0.5f)}));
    EXPECT_TRUE(medium->lossy_metal_poles.empty());
    EXPECT_EQ(medium->lossy_metal_constant, 0.0f);
}

TEST(MediumReader, LossyMetalSurfaceModel) {
    const char* entry = R"({"type": "LossyMetal", "permittivity": 1, "conductivity": 58,
        "poles": [[[1, 2, 3, 4], [5, 6, 7, 8], [5.0, 0, 0, 0]], [[9, 9, 9, 9]], []]%s})";
    for (const bool penetrable : {false, true}) {
        SCOPED_TRACE(penetrable);
        char text[512];
        std::snprintf(text, sizeof text, entry, penetrable ? R"(, "penetrable": true)" : "");
        auto metal = read(text);
        EXPECT_TRUE(metal->all_kinds(penetrable ? ComponentKind::Medium : ComponentKind::LossyMetal));
        EXPECT_EQ(metal->lossy_metal_constant, 5.0f);
        ASSERT_EQ(metal->lossy_metal_poles.size(), 2u);
        EXPECT_EQ(metal->lossy_metal_poles[1].a, (std::vector<C>{C(5, 6)}));
        EXPECT_EQ(metal->lossy_metal_poles[1].c, (std::vector<C>{C(7, 8)}));
        // The surface model never becomes the component dispersion, even for component 1.
        for (const auto& poles : metal->poles) EXPECT_TRUE(poles.empty());
        EXPECT_EQ(metal->sigma, (std::vector<float>{58, 58, 58}));
    }
    auto constant_only = read(R"({"type": "LossyMetal", "permittivity": 1, "conductivity": 1, "poles": [[[2.5]], [], []]})");
    EXPECT_EQ(constant_only->lossy_metal_constant, 2.5f);
    EXPECT_TRUE(constant_only->lossy_metal_poles.empty());
}

TEST(MediumReader, ConductorsCustomAndUnknownTypes) {
    EXPECT_TRUE(read(R"({"type": "PEC"})")->all_kinds(ComponentKind::PEC));
    EXPECT_TRUE(read(R"({"type": "PMC"})")->all_kinds(ComponentKind::PMC));
    EXPECT_TRUE(read(R"({"type": "Custom"})")->all_kinds(ComponentKind::Custom));
    auto unknown = read(R"({"type": "Drude", "permittivity": 9})");
    EXPECT_TRUE(unknown->all_kinds(ComponentKind::Medium));
    EXPECT_EQ(unknown->eps_inf, (std::vector<float>{1, 1, 1}));
}

TEST(MediumReader, AnisotropicComponents) {
    auto mixed = read(R"({"type": "Anisotropic", "comp_types": ["Medium", "Other", "Medium"],
                         "permittivity": [2, 3, 4], "conductivity": [0.1, 0.2, 0.3],
                         "poles": [[[1, 1, 1, 1]], [[2, 2, 2, 2]], []]})");
    EXPECT_TRUE(mixed->all_kinds(ComponentKind::Medium));
    // An unknown component type leaves that component vacuum.
    EXPECT_EQ(mixed->eps_inf, (std::vector<float>{2, 1, 4}));
    EXPECT_EQ(mixed->sigma, (std::vector<float>{0.1f, 0, 0.3f}));
    EXPECT_EQ(mixed->poles[0].size(), 1u);
    EXPECT_TRUE(mixed->poles[1].empty());

    // A conductor component makes the whole medium that conductor and stops the reading:
    // component 0 has been read, component 2 has not.
    auto pec = read(R"({"type": "Anisotropic", "comp_types": ["Medium", "PEC", "Medium"],
                       "permittivity": [2, 3, 4], "conductivity": [0, 0, 0], "poles": [[], [], []]})");
    EXPECT_TRUE(pec->all_kinds(ComponentKind::PEC));
    EXPECT_EQ(pec->eps_inf, (std::vector<float>{2, 1, 1}));
    auto pmc = read(R"({"type": "Anisotropic", "comp_types": ["PMC", "PEC", "Medium"]})");
    EXPECT_TRUE(pmc->all_kinds(ComponentKind::PMC));
}

TEST(MediumReader, FullyAnisotropicNineValues) {
    auto medium = read(R"({"type": "FullyAnisotropic", "permittivity": [1, 2, 3, 4, 5, 6, 7, 8, 9],
                          "conductivity": [9, 8, 7, 6, 5, 4, 3, 2, 1], "poles": [[[1, 1, 1, 1]], [], []]})");
    EXPECT_TRUE(medium->all_kinds(ComponentKind::FullyAnisotropic));
    EXPECT_EQ(medium->eps_inf, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(medium->sigma, (std::vector<float>{9, 8, 7, 6, 5, 4, 3, 2, 1}));
    for (const auto& poles : medium->poles) EXPECT_TRUE(poles.empty());
}

TEST(MediumReader, NonlinearParameters) {
    auto medium = read(R"({"type": "PEC", "nonlinear_spec": {"numiters": 5, "freq0_set": true, "freq0": 2e14,
        "n0_set": false, "n0": 1.5, "chi3": 0.1, "n2": 0.2, "beta": 0.3, "tau": 0.4, "sigma": 0.5,
        "e_e": 0.6, "e_h": 0.7, "c_e": 0.8, "c_h": 0.9}})");
    const NonlinearSpec& n = medium->nonlinear;
    EXPECT_EQ(n.numiters, 5.0f);
    EXPECT_EQ(n.freq0_set, 1.0f);
    EXPECT_EQ(n.freq0, 2e14f);
    EXPECT_EQ(n.n0_set, 0.0f);
    EXPECT_EQ(n.n0, 1.5f);
    EXPECT_EQ(n.sigma, 0.5f);
    EXPECT_EQ(n.c_h, 0.9f);
    EXPECT_EQ(read(R"({"type": "PEC", "nonlinear_spec": null})")->nonlinear.numiters, 0.0f);
}

TEST(MediumReader, MalformedEntriesRaise) {
    const char* cases[] = {
        R"({"type": "Medium", "conductivity": 0, "poles": [[], [], []]})",                      // no permittivity
        R"({"type": "Medium", "permittivity": "2", "conductivity": 0, "poles": [[], [], []]})",  // string
        R"({"type": "Medium", "permittivity": [2], "conductivity": [0], "poles": [[], [], []]})",  // one element
        R"({"type": "Medium", "permittivity": [2, 3], "conductivity": [0, 0], "poles": [[], [], []]})",  // no z
        R"({"type": "Medium", "permittivity": [2, 3, 4], "conductivity": 0, "poles": [[], [], []]})",
        R"({"type": "Medium", "permittivity": 2, "poles": [[], [], []]})",  // no conductivity
        R"({"type": "Medium", "permittivity": 2, "conductivity": 0})",      // no poles
        R"({"type": "Medium", "permittivity": 2, "conductivity": 0, "poles": [[5], [], []]})",
        R"({"type": "Medium", "permittivity": 2, "conductivity": 0, "poles": [[[1, 2, 3]], [], []]})",
        R"({"type": "Medium", "permittivity": 2, "conductivity": 0, "poles": [[[1, 2, 3, "4"]], [], []]})",
        R"({"type": "Medium", "permittivity": 2, "conductivity": 0, "poles": [3, [], []]})",
        R"({"type": "LossyMetal", "permittivity": 1, "conductivity": 1, "poles": [[[1, 2, 3, 4], 5.0], [], []]})",
        R"({"type": "PEC", "penetrable": 1})",
        R"({"type": "FullyAnisotropic", "permittivity": [1, 2, 3, 4, 5, 6, 7, 8], "conductivity": [0, 0, 0, 0, 0, 0, 0, 0, 0]})",
        R"({"type": "FullyAnisotropic", "permittivity": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "conductivity": [0, 0, 0, 0, 0, 0, 0, 0, 0]})",
        R"({"type": "PEC", "nonlinear_spec": {"numiters": 1}})",
        R"({"type": "PEC", "nonlinear_spec": 3})",
        R"("PEC")",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        json entry = json::parse(text);
        EXPECT_ANY_THROW(read_medium(entry));
    }
}

TEST(MediumConstructor, RejectsInconsistentKinds) {
    Medium tensor(9, ComponentKind::FullyAnisotropic);
    EXPECT_EQ(tensor.eps_inf.size(), 9u);
    EXPECT_EQ(tensor.sigma, std::vector<float>(9, 0.0f));
    EXPECT_EXIT(Medium(3, ComponentKind::Invalid), ::testing::ExitedWithCode(1), "An internal error has occured");
    EXPECT_EXIT(Medium(3, ComponentKind::FullyAnisotropic), ::testing::ExitedWithCode(1), "An internal error has occured");
}

}  // namespace
