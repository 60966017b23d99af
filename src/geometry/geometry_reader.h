#pragma once

#include <memory>

#include <nlohmann/json.hpp>

class Geometry;
struct Transform;

// Builds the geometry described by one JSON geometry object, placed by the outer transform
// (the composition of every enclosing "Transformed" matrix). Returns null for an unsupported
// geometry type (after writing the unsupported-type line to standard error), when a member of
// a composite is null, or when composites and transforms nest more than 64 levels deep.
// Missing or ill-typed keys raise the JSON library's type error. The object is read through the
// inserting access, so absent keys read become null entries.
std::shared_ptr<Geometry> read_geometry(nlohmann::json& json, const Transform& outer);

// Reads the geometry of one structure entry (the entry object itself carries the geometry
// keys) with the identity outer transform. Returns null when the geometry is unsupported or
// malformed. The JSON library's type errors leave this call.
std::shared_ptr<Geometry> read_structure_geometry(nlohmann::json& entry);
