#pragma once

#include <cstdint>

// Medium indices above 65529 do not index the media list; per-cell records carry media as
// 16-bit values.
inline constexpr int32_t MEDIUM_INDEX_LAST_REAL = 65529;
inline constexpr int32_t MEDIUM_INDEX_VACUUM = 65530;
inline constexpr int32_t MEDIUM_INDEX_PEC = 65532;
inline constexpr int32_t MEDIUM_INDEX_PMC = 65533;
inline constexpr uint16_t MEDIUM_NONE = 65535;

// Whether a medium index refers to an entry of the media list.
constexpr bool is_real_medium_index(int64_t index) { return index >= 0 && index <= MEDIUM_INDEX_LAST_REAL; }
