#include "spec/simulation_spec.h"

#include <fstream>

int load_simulation_spec(SimulationSpec& spec, const char* json_path, const char* /*hdf5_path*/) {
    std::ifstream in(json_path, std::ios::binary);
    if (!in) return -1;
    spec.document = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (spec.document.is_discarded()) return -1;
    return 0;
}
