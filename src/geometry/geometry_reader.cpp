#include "geometry/geometry_reader.h"

#include <cstdio>
#include <string>

std::shared_ptr<Geometry> read_structure_geometry(nlohmann::json& entry) {
    std::fputs("Error: unsupported or malformed geometry type '", stderr);
    const std::string type = entry["type"].get<std::string>();
    std::fprintf(stderr, "%s'.\n", type.c_str());
    std::fflush(stderr);
    return nullptr;
}
