#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimulationSpec;

// A source of the time-domain run. No coefficient depends on it; it is read so that a
// malformed entry rejects the file.
struct Source {
    std::string type;
    float freq0 = 0;
    // Only set for "TFSF" sources.
    int32_t injection_axis = 0;
    int32_t direction = 1;
    // The source has an angular specification of type "FixedAngleSpec".
    bool fixed_angle = false;
};

// Start, end and width of a monitor's apodization window; each may be unset.
struct Apodization {
    std::optional<float> start;
    std::optional<float> end;
    std::optional<float> width;
};

// A monitor with the members its type defines; members the entry leaves out (or sets to null)
// stay unset.
struct Monitor {
    std::string name;
    std::string type;
    std::optional<std::array<double, 3>> size;
    std::optional<bool> colocate;
    std::vector<std::string> fields;
    std::optional<bool> use_colocated_integration;
    std::vector<float> freqs;
    std::optional<float> start;
    std::optional<float> stop;
    std::optional<Apodization> apodization;
    std::optional<bool> far_field_approx;
};

// An absorbing sheet inside the simulation.
struct InternalAbsorber {
    // Axis normal to the sheet (the last axis of zero size); -1 when no size is zero.
    int32_t axis = -1;
    int8_t direction = 1;
};

// Each reads its list from the spec's JSON document and appends to the spec's list. Values of
// the wrong JSON type raise (the JSON library's type error, naming the value's path).
void read_sources(SimulationSpec& spec);
void read_monitors(SimulationSpec& spec);
void read_internal_absorbers(SimulationSpec& spec);
