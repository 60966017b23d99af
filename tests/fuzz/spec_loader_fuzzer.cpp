// The specification loader fed arbitrary bytes as its JSON file, without gridded media.

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "common/internal_error.h"
#include "spec/simulation_spec.h"

namespace {

// The loader reads a path: each input is written to one in-memory file, read through its
// descriptor's path.
struct InputFile {
    int fd = memfd_create("specification", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const InputFile file;
    if (file.fd < 0) __builtin_trap();
    if (ftruncate(file.fd, 0) != 0) __builtin_trap();
    if (size > 0 && pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
    SimulationSpec spec;
    load_simulation_spec(spec, file.path.c_str(), nullptr);
    return 0;
}
