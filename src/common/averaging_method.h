#pragma once

#include <cstdint>

// How the cells where a class of material meets another are averaged.
enum class AveragingMethod : int32_t {
    Staircasing = 0,
    VolumetricAveraging = 1,
    VolumetricAveragingNormalStaircased = 2,
    PolarizedAveraging = 3,
    ContourPathAveraging = 4,
    PECConformal = 5,
    HeuristicPECStaircasing = 6,
    SurfaceImpedance = 7,
};
