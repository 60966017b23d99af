#include "subpixel/subpixel_schemes.h"

SchemeSet make_scheme_set(int32_t subpixel_scheme) {
    SchemeSet set;
    set.subpixel_scheme = subpixel_scheme;
    set.volume = std::make_unique<VolumeScheme>();
    set.face = std::make_unique<FaceScheme>();
    set.edge = std::make_unique<EdgeScheme>();
    set.fine_face = std::make_unique<FineFaceScheme>();
    return set;
}
