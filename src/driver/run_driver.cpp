#include "driver/run_driver.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/internal_error.h"
#include "driver/coefficient_output.h"
#include "driver/compute_driver.h"
#include "driver/input_files.h"
#include "driver/output_path.h"
#include "spec/simulation_spec.h"
#include "subpixel/subpixel_schemes.h"

namespace {

// Base-10 conversion keeping the low 32 bits; a value outside 0..2 is an internal error.
int32_t parse_subpixel_scheme(const char* text) {
    const auto value = static_cast<int32_t>(static_cast<uint32_t>(std::strtoll(text, nullptr, 10)));
    if (static_cast<uint32_t>(value) > 2) internal_error();
    return value;
}

}  // namespace

int run_gencoeffs(const char* const* argv, uint64_t thread_count, std::string* load_cause) {
    // Creating the output truncates it: refuse an output that is one of the inputs before any
    // file is read or created.
    if (output_is_an_input(argv[4], {argv[1], argv[2], argv[3]})) internal_error();

    SimulationSpec spec;
    if (load_simulation_spec(spec, argv[1], argv[2], load_cause) != 0) {
        std::fputs("Error loading simulation specification JSON file.\n", stderr);
        std::fflush(stderr);
        return 1;
    }

    std::vector<Subdomain> subdomains = read_subdomains(argv[2]);
    const std::vector<float> freqs = read_frequencies(argv[3]);
    for (Subdomain& subdomain : subdomains) subdomain.freqs = freqs;
    const Grid grid = read_grid(argv[2]);
    check_spans_within_grid(subdomains, grid);

    const int32_t subpixel_scheme = parse_subpixel_scheme(argv[5]);
    const SchemeSet schemes = make_scheme_set(subpixel_scheme);
    require(thread_count >= 1);

    H5Handle file = create_output_file(argv[4]);
    for (std::size_t index = 0; index < subdomains.size(); ++index) {
        const Subdomain& subdomain = subdomains[index];
        const Span span = {subdomain.span[0], subdomain.span[1], subdomain.span[2],
                           subdomain.span[3], subdomain.span[4], subdomain.span[5]};
        CoefficientSet coefficients;
        compute_subdomain(schemes, thread_count, grid, spec, span, subdomain.freqs, coefficients);

        H5Handle group(H5Gcreate2(file.get(), subdomain.name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                       H5Gclose);
        require(group.valid());
        write_coefficients(group.get(), subdomains, "eps", coefficients, index);
        write_coefficients(group.get(), subdomains, "mu", coefficients, index);
        require(group.close());
    }
    require(file.close());
    return 0;
}
