#pragma once

#include "spec/simulation_spec.h"

// How the averaging phase settles a field component whose neighbourhood holds two or more media.
enum class ComponentOutcome {
    // The medium at the component's own position.
    PlainStaircase,
    // A conductor on one of the four face-centre samples shorts the component; otherwise the
    // medium at the component's position, or the other medium when that position is a conductor.
    StaircaseWithConductors,
    // The two poles of the component carry the fully anisotropic tensors.
    FullyAnisotropicStaircase,
    // A conductor at the component's position yields to the open medium when the nearest
    // surface's normal runs along the component.
    HeuristicPecStaircase,
    HeuristicPmcStaircase,
    // Fill fraction and interface normal measured with the geometry.
    Averaging,
    // The settings cannot treat this combination of media.
    Error,
};

// What the samples of one component showed, after conductors handled elsewhere were removed.
struct ComponentConditions {
    bool pec = false;                 // a perfect electric conductor sample remains
    bool pmc = false;                 // a perfect magnetic conductor sample remains
    bool fully_anisotropic = false;   // some sample is a fully anisotropic medium
    int distinct_media = 2;           // number of distinct media, counted up to 3
    bool magnetic = false;            // the component is a magnetic one
};

// The outcome for a component with at least two media under the run's averaging settings.
ComponentOutcome select_component_outcome(const SubpixelMethodSettings& settings, const ComponentConditions& conditions);
