#include "driver/loop_description.h"

#include <algorithm>

LoopDescription make_loop_description(const Span& span, const std::array<uint64_t, 6>& reach, bool extend_by_one) {
    LoopDescription loop;
    const uint64_t extra = extend_by_one ? 1 : 0;
    for (int a = 0; a < 3; ++a) {
        loop.bounds[2 * a] = std::max(static_cast<uint64_t>(span[2 * a]), reach[2 * a]);
        loop.bounds[2 * a + 1] = std::min(static_cast<uint64_t>(span[2 * a + 1]) + extra, reach[2 * a + 1]);
    }
    int outer = 2;
    for (int a : {1, 0})
        if (loop.extent(a) > loop.extent(outer)) outer = a;
    for (int k = 0; k < 3; ++k) {
        loop.order[k] = (outer + k) % 3;
        loop.inverse[loop.order[k]] = k;
    }
    return loop;
}
