#include "subpixel/component_outcome.h"

namespace {

using Method = AveragingMethod;

// Entry into averaging proper: only two media can be averaged, a conductor among them is
// staircased heuristically when its setting asks for that, and magnetic components are never
// averaged.
ComponentOutcome averaging_entry(const SubpixelMethodSettings& s, const ComponentConditions& c) {
    if (c.distinct_media != 2) return ComponentOutcome::PlainStaircase;
    if (c.pec)
        return s.pec == Method::HeuristicPECStaircasing ? ComponentOutcome::HeuristicPecStaircase
                                                        : ComponentOutcome::Error;
    if (c.pmc)
        return s.pmc == Method::HeuristicPECStaircasing ? ComponentOutcome::HeuristicPmcStaircase
                                                        : ComponentOutcome::Error;
    if (c.magnetic) return ComponentOutcome::Error;
    return ComponentOutcome::Averaging;
}

// A perfect electric conductor under heuristic staircasing.
ComponentOutcome heuristic_pec(const SubpixelMethodSettings& s, const ComponentConditions& c) {
    if (c.fully_anisotropic) return ComponentOutcome::StaircaseWithConductors;
    if (c.pmc && s.pmc == Method::Staircasing) return ComponentOutcome::StaircaseWithConductors;
    if (c.pmc && s.pmc != Method::HeuristicPECStaircasing) return ComponentOutcome::Error;
    if (s.dielectric == Method::Staircasing &&
        (s.metal != Method::Staircasing || s.lossy_metal != Method::Staircasing))
        return averaging_entry(s, c);
    if (c.distinct_media == 2) return ComponentOutcome::HeuristicPecStaircase;
    return ComponentOutcome::PlainStaircase;
}

}  // namespace

ComponentOutcome select_component_outcome(const SubpixelMethodSettings& s, const ComponentConditions& c) {
    if (c.pec) {
        if (s.pec == Method::HeuristicPECStaircasing) return heuristic_pec(s, c);
        if (s.pec == Method::Staircasing || c.fully_anisotropic) return ComponentOutcome::StaircaseWithConductors;
        if (c.pmc && s.pmc == Method::Staircasing) return ComponentOutcome::StaircaseWithConductors;
        return ComponentOutcome::Error;
    }
    if (c.pmc && s.pmc == Method::Staircasing) return ComponentOutcome::StaircaseWithConductors;
    if (c.pmc && s.pmc != Method::HeuristicPECStaircasing) return ComponentOutcome::Error;
    if (c.fully_anisotropic) return ComponentOutcome::FullyAnisotropicStaircase;
    if (s.dielectric != Method::Staircasing || s.metal != Method::Staircasing ||
        s.lossy_metal != Method::Staircasing)
        return averaging_entry(s, c);
    if (c.pmc && c.distinct_media == 2) return ComponentOutcome::HeuristicPmcStaircase;
    return ComponentOutcome::PlainStaircase;
}
