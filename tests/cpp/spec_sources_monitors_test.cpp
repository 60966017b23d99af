#include <gtest/gtest.h>

#include <string>

#include "spec_fixtures.h"

using nlohmann::json;
using spec_test::load_json;
using spec_test::minimal_spec;

namespace {

TEST(SpecSourcesMonitors, ReadsSources) {
    json doc = minimal_spec();
    doc["sources"] = json::parse(R"([
        {"type": "TFSF", "injection_axis": 2.7, "direction": "+"},
        {"type": "TFSF", "injection_axis": 0, "direction": "-"},
        {"type": "TFSF", "injection_axis": 1, "direction": "plus"},
        {"type": "PlaneWave", "direction": 5, "angular_spec": {"type": "FixedAngleSpec"}},
        {"type": "PlaneWave", "angular_spec": {"type": "DefaultAngularSpec"}}
    ])");
    doc["source_time_list"] = json::parse(R"([{"freq0": 1e14}, {"freq0": 2e14}, {"freq0": 3e14}, {"freq0": 4e14}, {"freq0": 5e14}])");
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);
    ASSERT_EQ(spec.sources.size(), 5u);
    EXPECT_EQ(spec.sources[0]->type, "TFSF");
    EXPECT_EQ(spec.sources[0]->injection_axis, 2);
    const int directions[] = {1, -1, -1};
    for (int s = 0; s < 3; ++s) EXPECT_EQ(spec.sources[s]->direction, directions[s]) << s;
    for (int s = 0; s < 5; ++s) EXPECT_EQ(spec.sources[s]->freq0, static_cast<float>((s + 1) * 1e14)) << s;
    EXPECT_TRUE(spec.sources[3]->fixed_angle);
    EXPECT_FALSE(spec.sources[4]->fixed_angle);
    EXPECT_FALSE(spec.sources[0]->fixed_angle);
}

TEST(SpecSourcesMonitors, ReadsInternalAbsorbers) {
    json doc = minimal_spec();
    doc["internal_absorbers"] = json::parse(R"([
        {"size": [0, 2, 2], "direction": "+"},
        {"size": [0, 0, 2], "direction": "-"},
        {"size": ["Infinity", 0, 0], "direction": "up"},
        {"size": [1, 1, 1], "direction": "+"}
    ])");
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);
    ASSERT_EQ(spec.internal_absorbers.size(), 4u);
    const int axes[] = {0, 1, 2, -1};
    const int directions[] = {1, -1, -1, 1};
    for (int a = 0; a < 4; ++a) {
        EXPECT_EQ(spec.internal_absorbers[a]->axis, axes[a]) << a;
        EXPECT_EQ(spec.internal_absorbers[a]->direction, directions[a]) << a;
    }
}

TEST(SpecSourcesMonitors, ReadsMonitorMembersByType) {
    json doc = minimal_spec();
    doc["monitor_list"] = json::parse(R"([
        {"name": "field", "type": "FieldMonitor", "size": [1, "Infinity", 0], "fields": ["Ex", "Hz"], "freqs": [1e14, 2e14],
         "colocate": true, "apodization": {"start": null, "end": null, "width": null}},
        {"name": "flux", "type": "FluxTimeMonitor", "size": [1, 1, 0], "start": 0, "stop": null, "use_colocated_integration": false},
        {"name": "proj", "type": "FieldProjectionAngleMonitor", "freqs": [3e14], "far_field_approx": true,
         "apodization": {"start": 1e-13, "end": null, "width": 2e-14}},
        {"name": "other", "type": "FutureMonitor", "fields": 7, "colocate": "yes"}
    ])");
    SimulationSpec spec;
    ASSERT_EQ(load_json(spec, doc), 0);
    ASSERT_EQ(spec.monitors.size(), 4u);
    const Monitor& field = *spec.monitors[0];
    EXPECT_EQ(field.name, "field");
    EXPECT_EQ(field.size, (std::array<double, 3>{1, 1e20, 0}));
    EXPECT_EQ(field.fields, (std::vector<std::string>{"Ex", "Hz"}));
    EXPECT_EQ(field.freqs, (std::vector<float>{1e14f, 2e14f}));
    EXPECT_EQ(field.colocate, true);
    ASSERT_TRUE(field.apodization.has_value());
    EXPECT_FALSE(field.apodization->start.has_value());

    const Monitor& flux = *spec.monitors[1];
    EXPECT_EQ(flux.start, 0.0f);
    EXPECT_FALSE(flux.stop.has_value());
    EXPECT_EQ(flux.use_colocated_integration, false);

    const Monitor& projection = *spec.monitors[2];
    EXPECT_EQ(projection.far_field_approx, true);
    EXPECT_EQ(projection.apodization->width, 2e-14f);
    // A type the reader does not know keeps only its name and type.
    EXPECT_EQ(spec.monitors[3]->type, "FutureMonitor");
    EXPECT_TRUE(spec.monitors[3]->fields.empty());
}

TEST(SpecSourcesMonitors, AbsentOrNullListsAreEmpty) {
    for (const bool erase : {true, false}) {
        json doc = minimal_spec();
        for (const char* key : {"sources", "source_time_list", "monitor_list", "internal_absorbers"}) {
            if (erase) doc.erase(key);
            else doc[key] = nullptr;
        }
        SimulationSpec spec;
        ASSERT_EQ(load_json(spec, doc), 0) << erase;
        EXPECT_TRUE(spec.sources.empty() && spec.monitors.empty() && spec.internal_absorbers.empty());
    }
}

TEST(SpecSourcesMonitors, WrongJsonTypesRejectTheSpecification) {
    const std::pair<const char*, const char*> cases[] = {
        {"sources", R"({"sources": {"type": "TFSF"}})"},
        {"source type a number", R"({"sources": [{"type": 3}], "source_time_list": [{"freq0": 1}]})"},
        {"source without source time", R"({"sources": [{"type": "PointDipole"}], "source_time_list": []})"},
        {"freq0 a string", R"({"sources": [{"type": "PointDipole"}], "source_time_list": [{"freq0": "1e14"}]})"},
        {"TFSF direction a number", R"({"sources": [{"type": "TFSF", "injection_axis": 0, "direction": 1}], "source_time_list": [{"freq0": 1}]})"},
        {"TFSF axis missing", R"({"sources": [{"type": "TFSF", "direction": "+"}], "source_time_list": [{"freq0": 1}]})"},
        {"absorber size of two", R"({"internal_absorbers": [{"size": [0, 1], "direction": "+"}]})"},
        {"absorber size a string", R"({"internal_absorbers": [{"size": [0, "1", 1], "direction": "+"}]})"},
        {"absorber direction a number", R"({"internal_absorbers": [{"size": [0, 1, 1], "direction": -1}]})"},
        {"absorber direction missing", R"({"internal_absorbers": [{"size": [0, 1, 1]}]})"},
        {"monitor without name", R"({"monitor_list": [{"type": "FieldMonitor"}]})"},
        {"monitor type a number", R"({"monitor_list": [{"name": "m", "type": 1}]})"},
        {"monitor field a number", R"({"monitor_list": [{"name": "m", "type": "FieldMonitor", "fields": ["Ex", 1]}]})"},
        {"monitor freqs a number", R"({"monitor_list": [{"name": "m", "type": "ModeMonitor", "freqs": 1e14}]})"},
        {"monitor colocate a string", R"({"monitor_list": [{"name": "m", "type": "FieldTimeMonitor", "colocate": "true"}]})"},
        {"monitor size of two", R"({"monitor_list": [{"name": "m", "type": "FluxMonitor", "size": [1, 1]}]})"},
        {"monitor start a string", R"({"monitor_list": [{"name": "m", "type": "FluxTimeMonitor", "start": "0"}]})"},
        {"apodization width a string", R"({"monitor_list": [{"name": "m", "type": "FieldMonitor", "apodization": {"width": "1"}}]})"},
        {"far_field_approx a number", R"({"monitor_list": [{"name": "m", "type": "DirectivityMonitor", "far_field_approx": 1}]})"},
    };
    for (const auto& [what, patch] : cases) {
        SCOPED_TRACE(what);
        json doc = minimal_spec();
        doc.merge_patch(json::parse(patch));
        SimulationSpec spec;
        EXPECT_EQ(load_json(spec, doc), -1);
    }
}

}  // namespace
