#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "driver/grid.h"
#include "driver/subdomain.h"
#include "spec/simulation_spec.h"

// Structure indices on the doubled grid of a subdomain: along each axis, grid index i gives the
// boundary position 2(i - begin) and the dual position 2(i - begin) + 1. -1 where no structure.
struct StructureMap {
    std::array<int64_t, 3> extents{};
    std::vector<int32_t> indices;
    // Lower and upper grid index reached by any structure along x, y, z (half-open).
    std::array<uint64_t, 6> reach{};
    Span span{};

    // An empty map for the span: every entry -1, nothing reached. A span whose map cannot be
    // held is the internal error.
    explicit StructureMap(const Span& s);

    // The extents (2n + 4 per axis) and the number of entries of the map of a span; the
    // internal error when the span is reversed or the sizes overflow.
    static std::array<int64_t, 3> extents_for(const Span& s);
    static int64_t entry_count(const Span& s);

    std::size_t index(int64_t X, int64_t Y, int64_t Z) const {
        return static_cast<std::size_t>((X * extents[1] + Y) * extents[2] + Z);
    }
    int32_t at(int64_t X, int64_t Y, int64_t Z) const { return indices[index(X, Y, Z)]; }
};

// Which structures a painting covers.
enum class PaintMode : int { All = 0, WithoutModalFrames = 1, OnlyModalFrames = 2 };

// Paints the structures selected by `mode` over the map in list order (later ones win) and
// widens `reach`.
void build_structure_map(StructureMap& map, const Grid& grid, const std::vector<std::shared_ptr<Structure>>& structures,
                         uint64_t thread_count, const SimulationSpec& spec, PaintMode mode);
