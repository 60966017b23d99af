#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "spec/medium.h"

// Builds the medium described by one entry of the medium list. Values of the wrong JSON type
// raise (the JSON library's type error, naming the value's path); the loader rejects the file then.
std::shared_ptr<Medium> read_medium(nlohmann::json& entry);

// Fills component c (0, 1 or 2) of `medium` from `entry`: permittivity, conductivity and poles,
// or for a lossy metal the surface model held in the poles of component 0.
void read_medium_component(int c, nlohmann::json& entry, Medium& medium);
