#include "spec/medium_reader.h"

#include "spec/json_values.h"

using nlohmann::json;

namespace {

// A pole element is [a_re, a_im, c_re, c_im].
Pole read_pole(json& element) {
    if (!element.is_array()) reject_value(element, "a pole must be an array of four numbers");
    Pole pole;
    pole.a.emplace_back(read_float(element[0]), read_float(element[1]));
    pole.c.emplace_back(read_float(element[2]), read_float(element[3]));
    return pole;
}

void set_all_kinds(Medium& medium, ComponentKind kind) { medium.kinds = {kind, kind, kind}; }

void read_nonlinear(json& spec, NonlinearSpec& out) {
    float* const targets[] = {&out.numiters, &out.freq0_set, &out.freq0, &out.n0_set, &out.n0,
                              &out.chi3,     &out.n2,        &out.beta,  &out.tau,    &out.sigma,
                              &out.e_e,      &out.e_h,       &out.c_e,   &out.c_h};
    const char* const keys[] = {"numiters", "freq0_set", "freq0", "n0_set", "n0", "chi3", "n2",
                                "beta",     "tau",       "sigma", "e_e",    "e_h", "c_e", "c_h"};
    for (std::size_t i = 0; i < std::size(keys); ++i) *targets[i] = read_float(spec[keys[i]]);
}

}  // namespace

void read_medium_component(int c, json& entry, Medium& medium) {
    json& permittivity = entry["permittivity"];
    if (permittivity.is_number()) {
        medium.eps_inf[c] = read_float(permittivity);
        medium.sigma[c] = read_float(entry["conductivity"]);
    } else if (permittivity.is_array() && permittivity.size() >= 2) {
        json& conductivity = entry["conductivity"];
        if (!conductivity.is_array()) reject_value(conductivity, "conductivity must be an array");
        medium.eps_inf[c] = read_float(permittivity[c]);
        medium.sigma[c] = read_float(conductivity[c]);
    } else {
        reject_value(permittivity, "permittivity must be a number or an array per component");
    }

    json& poles = entry["poles"];
    if (!poles.is_array()) reject_value(poles, "poles must be an array per component");
    json& list = poles[c];
    if (list.is_null() || (list.is_array() && list.empty())) return;
    if (!list.is_array()) reject_value(list, "the poles of a component must be an array");
    const std::size_t m = list.size();

    if (entry["type"] == "LossyMetal") {
        // Only component 0 carries the surface model: its last element holds the constant term.
        if (c != 0) return;
        json& last = list[m - 1];
        if (!last.is_array()) reject_value(last, "the surface-model constant must be an array");
        medium.lossy_metal_constant = read_float(last[0]);
        for (std::size_t q = 0; q + 1 < m; ++q) medium.lossy_metal_poles.push_back(read_pole(list[q]));
        return;
    }
    for (std::size_t q = 0; q < m; ++q) medium.poles[c].push_back(read_pole(list[q]));
}

std::shared_ptr<Medium> read_medium(json& entry) {
    if (!entry.is_object()) reject_value(entry, "a medium entry must be an object");
    auto medium = std::make_shared<Medium>(3, ComponentKind::Medium);

    json& penetrable_value = entry["penetrable"];
    const bool penetrable = penetrable_value.is_null() ? false : read_bool(penetrable_value);

    json& type = entry["type"];
    if (type == "Medium" || type == "LossyMetal") {
        for (int c = 0; c < 3; ++c) read_medium_component(c, entry, *medium);
        if (type == "LossyMetal" && !penetrable) set_all_kinds(*medium, ComponentKind::LossyMetal);
    } else if (type == "PEC") {
        set_all_kinds(*medium, ComponentKind::PEC);
    } else if (type == "PMC") {
        set_all_kinds(*medium, ComponentKind::PMC);
    } else if (type == "Custom") {
        set_all_kinds(*medium, ComponentKind::Custom);
    } else if (type == "Anisotropic") {
        json& comp_types = entry["comp_types"];
        for (int c = 0; c < 3; ++c) {
            json& comp_type = comp_types[c];
            if (comp_type == "PEC") {
                set_all_kinds(*medium, ComponentKind::PEC);
                break;
            }
            if (comp_type == "PMC") {
                set_all_kinds(*medium, ComponentKind::PMC);
                break;
            }
            if (comp_type == "Medium") {
                medium->kinds[c] = ComponentKind::Medium;
                read_medium_component(c, entry, *medium);
            }
        }
    } else if (type == "FullyAnisotropic") {
        set_all_kinds(*medium, ComponentKind::FullyAnisotropic);
        medium->eps_inf.resize(9, 0.0f);
        medium->sigma.resize(9, 0.0f);
        json& permittivity = entry["permittivity"];
        json& conductivity = entry["conductivity"];
        for (int i = 0; i < 9; ++i) {
            medium->eps_inf[i] = read_float(permittivity[i]);
            medium->sigma[i] = read_float(conductivity[i]);
        }
    }

    json& nonlinear = entry["nonlinear_spec"];
    if (!nonlinear.is_null()) read_nonlinear(nonlinear, medium->nonlinear);
    return medium;
}
