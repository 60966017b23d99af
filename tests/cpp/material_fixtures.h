#pragma once

// Media and specifications built in memory for the material-response and assembly tests.

#include <complex>
#include <memory>
#include <vector>

#include "material/medium_response.h"
#include "spec/custom_medium.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"

namespace material_test {

using C = std::complex<float>;

constexpr float F14 = 1e14f;  // the test frequency, hertz

// The conductivity (S/um) whose term equals `imag` at frequency f.
inline float sigma_for(float imag, float f) {
    return static_cast<float>(imag * static_cast<double>(static_cast<float>(TWO_PI * f)) * VACUUM_PERMITTIVITY);
}

// An isotropic medium of the given kind with permittivity eps and conductivity sigma.
inline std::shared_ptr<Medium> isotropic(float eps, float sigma = 0.0f, ComponentKind kind = ComponentKind::Medium) {
    auto m = std::make_shared<Medium>(3, kind);
    m->eps_inf = {eps, eps, eps};
    m->sigma = {sigma, sigma, sigma};
    return m;
}

// A single pole-residue pair of a one-point medium.
inline Pole pole(C a, C c) { return Pole{{a}, {c}}; }

// The pole with a = (-1e15, 0), c = (1e15, 0): +1.43391 + 0.90095i at 1e14 Hz.
inline Pole lorentz_pole() { return pole({-1e15f, 0.0f}, {1e15f, 0.0f}); }

// A pole that drives the real permittivity of an eps_inf = 1 medium to about -13.3 at 1e14 Hz.
inline Pole drude_pole() { return pole({-1e15f, 0.0f}, {-1e16f, 0.0f}); }

// A fully anisotropic medium with the given row-major permittivity and conductivity tensors.
inline std::shared_ptr<Medium> anisotropic(const std::vector<float>& eps, const std::vector<float>& sigma) {
    auto m = std::make_shared<Medium>(9, ComponentKind::FullyAnisotropic);
    m->eps_inf = eps;
    m->sigma = sigma;
    return m;
}

// A specification with the given media and averaging settings.
inline SimulationSpec spec_with(std::vector<std::shared_ptr<Medium>> media, SubpixelMethodSettings settings = {}) {
    SimulationSpec spec;
    spec.media = std::move(media);
    spec.subpixel = settings;
    return spec;
}

}  // namespace material_test
