#include "spec/sources_monitors.h"

#include <memory>
#include <string_view>

#include "spec/json_values.h"
#include "spec/simulation_spec.h"

using nlohmann::json;

namespace {

// The list stored under `key`: null when absent or null, otherwise it must be an array.
json* list_or_null(json& document, const char* key) {
    json& list = document[key];
    if (list.is_null()) return nullptr;
    if (!list.is_array()) reject_value(list, std::string(key) + " must be an array");
    return &list;
}

// +1 for exactly "+", -1 for any other string; other JSON types raise.
int direction_sign(const json& value) { return read_string(value) == "+" ? 1 : -1; }

// The members a monitor type carries beyond its name, type and size.
enum MonitorMember : unsigned {
    COLOCATE = 1u << 0,
    FIELDS = 1u << 1,
    COLOCATED_INTEGRATION = 1u << 2,
    FREQS = 1u << 3,
    TIME_WINDOW = 1u << 4,  // start and stop
    APODIZATION = 1u << 5,
    FAR_FIELD_APPROX = 1u << 6,
};

struct MonitorKind {
    std::string_view type;
    unsigned members;
};

constexpr unsigned FREQUENCY_DOMAIN = FREQS | APODIZATION;

constexpr MonitorKind MONITOR_KINDS[] = {
    {"FieldMonitor", FREQUENCY_DOMAIN | FIELDS | COLOCATE},
    {"FieldTimeMonitor", TIME_WINDOW | FIELDS | COLOCATE},
    {"SurfaceFieldMonitor", FREQUENCY_DOMAIN | FIELDS | COLOCATE},
    {"SurfaceFieldTimeMonitor", TIME_WINDOW | FIELDS | COLOCATE},
    {"PointCloudFieldMonitor", FREQUENCY_DOMAIN | FIELDS | COLOCATE},
    {"AuxFieldTimeMonitor", TIME_WINDOW | FIELDS},
    {"FluxMonitor", FREQUENCY_DOMAIN | COLOCATED_INTEGRATION},
    {"FluxTimeMonitor", TIME_WINDOW | COLOCATED_INTEGRATION},
    {"ModeMonitor", FREQUENCY_DOMAIN | COLOCATE},
    {"ModeTimeMonitor", TIME_WINDOW | COLOCATE},
    {"ModeSolverMonitor", FREQUENCY_DOMAIN | COLOCATE | FIELDS},
    {"MicrowaveModeMonitor", FREQUENCY_DOMAIN | COLOCATE},
    {"MicrowaveModeSolverMonitor", FREQUENCY_DOMAIN | COLOCATE | FIELDS},
    {"DiffractionMonitor", FREQUENCY_DOMAIN | COLOCATE},
    {"GaussianOverlapMonitor", FREQUENCY_DOMAIN | COLOCATE},
    {"AstigmaticGaussianOverlapMonitor", FREQUENCY_DOMAIN | COLOCATE},
    {"ThinLensOverlapMonitor", FREQUENCY_DOMAIN | COLOCATE},
    {"DirectivityMonitor", FREQUENCY_DOMAIN | FAR_FIELD_APPROX | COLOCATED_INTEGRATION},
    {"FieldProjectionAngleMonitor", FREQUENCY_DOMAIN | FAR_FIELD_APPROX},
    {"FieldProjectionKSpaceMonitor", FREQUENCY_DOMAIN | FAR_FIELD_APPROX},
    {"FieldProjectionCartesianMonitor", FREQUENCY_DOMAIN | FAR_FIELD_APPROX},
    {"FieldStructureMonitor", FREQUENCY_DOMAIN},
    {"PermittivityMonitor", FREQUENCY_DOMAIN},
    {"MediumMonitor", FREQUENCY_DOMAIN},
    {"PointCloudPermittivityMonitor", FREQUENCY_DOMAIN},
};

unsigned monitor_members(const std::string& type) {
    for (const MonitorKind& kind : MONITOR_KINDS)
        if (kind.type == type) return kind.members;
    return 0;
}

// The member `key` of `entry` when present and not null.
const json* optional_member(const json& entry, const char* key) {
    const auto it = entry.find(key);
    if (it == entry.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<bool> optional_bool(const json& entry, const char* key) {
    const json* value = optional_member(entry, key);
    if (!value) return std::nullopt;
    return read_bool(*value);
}

std::optional<float> optional_float(const json& entry, const char* key) {
    const json* value = optional_member(entry, key);
    if (!value) return std::nullopt;
    return read_float(*value);
}

const json& array_member(const json& value, const char* what) {
    if (!value.is_array()) reject_value(value, std::string(what) + " must be an array");
    return value;
}

Monitor read_monitor(json& entry) {
    if (!entry.is_object()) reject_value(entry, "a monitor must be an object");
    Monitor monitor;
    monitor.name = read_string(entry["name"]);
    monitor.type = read_string(entry["type"]);
    const unsigned members = monitor_members(monitor.type);
    if (members == 0) return monitor;

    if (const json* size = optional_member(entry, "size")) {
        if (!size->is_array() || size->size() < 3) reject_value(*size, "a monitor size needs three numbers");
        monitor.size = std::array<double, 3>{read_double((*size)[0]), read_double((*size)[1]), read_double((*size)[2])};
    }
    if (members & COLOCATE) monitor.colocate = optional_bool(entry, "colocate");
    if (members & FIELDS)
        if (const json* fields = optional_member(entry, "fields"))
            for (const json& field : array_member(*fields, "fields")) monitor.fields.push_back(read_string(field));
    if (members & COLOCATED_INTEGRATION)
        monitor.use_colocated_integration = optional_bool(entry, "use_colocated_integration");
    if (members & FREQS)
        if (const json* freqs = optional_member(entry, "freqs"))
            for (const json& freq : array_member(*freqs, "freqs")) monitor.freqs.push_back(read_float(freq));
    if (members & TIME_WINDOW) {
        monitor.start = optional_float(entry, "start");
        monitor.stop = optional_float(entry, "stop");
    }
    if (members & APODIZATION)
        if (const json* window = optional_member(entry, "apodization")) {
            if (!window->is_object()) reject_value(*window, "apodization must be an object");
            monitor.apodization = Apodization{optional_float(*window, "start"), optional_float(*window, "end"),
                                              optional_float(*window, "width")};
        }
    if (members & FAR_FIELD_APPROX) monitor.far_field_approx = optional_bool(entry, "far_field_approx");
    return monitor;
}

}  // namespace

void read_sources(SimulationSpec& spec) {
    json* sources = list_or_null(spec.document, "sources");
    if (!sources) return;
    for (std::size_t i = 0; i < sources->size(); ++i) {
        json& entry = (*sources)[i];
        auto source = std::make_shared<Source>();
        source->type = read_string(entry["type"]);
        source->freq0 = read_float(spec.document["source_time_list"][i]["freq0"]);
        if (source->type == "TFSF") {
            source->injection_axis = read_int32(entry["injection_axis"]);
            source->direction = direction_sign(entry["direction"]);
        }
        if (const json* angular = optional_member(entry, "angular_spec"); angular && angular->is_object()) {
            const json* angular_type = optional_member(*angular, "type");
            source->fixed_angle = angular_type && *angular_type == "FixedAngleSpec";
        }
        spec.sources.push_back(std::move(source));
    }
}

void read_monitors(SimulationSpec& spec) {
    json* monitors = list_or_null(spec.document, "monitor_list");
    if (!monitors) return;
    for (json& entry : *monitors) spec.monitors.push_back(std::make_shared<Monitor>(read_monitor(entry)));
}

void read_internal_absorbers(SimulationSpec& spec) {
    json* absorbers = list_or_null(spec.document, "internal_absorbers");
    if (!absorbers) return;
    for (json& entry : *absorbers) {
        json& size = entry["size"];
        if (!size.is_array() || size.size() < 3) reject_value(size, "an absorber size needs three numbers");
        auto absorber = std::make_shared<InternalAbsorber>();
        for (int axis = 0; axis < 3; ++axis)
            if (read_double(size[axis]) == 0.0) absorber->axis = axis;
        absorber->direction = static_cast<int8_t>(direction_sign(entry["direction"]));
        spec.internal_absorbers.push_back(std::move(absorber));
    }
}
