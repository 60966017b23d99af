#pragma once

#include <memory>

#include <nlohmann/json.hpp>

class Geometry;

// Reads the geometry of one structure entry (the entry object itself carries the geometry
// keys) with the identity outer transform. Returns null when the geometry is unsupported or
// malformed. The JSON library's type errors leave this call.
std::shared_ptr<Geometry> read_structure_geometry(nlohmann::json& entry);
