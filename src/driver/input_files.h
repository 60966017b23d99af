#pragma once

#include <array>
#include <vector>

#include "driver/grid.h"
#include "driver/subdomain.h"

// Readers of the two input files. Each opens its file read-only and closes it before
// returning; a missing group or malformed subdomain ends the process with the internal error.

// Every member group of "/subdomains", in enumeration order. Members that are not groups are
// skipped.
std::vector<Subdomain> read_subdomains(const char* hdf5_path);

// "freqs" of the group "frequency", flattened; empty when the dataset is missing. One that exists
// but cannot be read as floats ends the process with the internal error, as does a grid axis.
std::vector<float> read_frequencies(const char* frequency_path);

// The boundary lists "x", "y", "z" of the group "grid", as the grid they describe.
Grid read_grid(const char* hdf5_path);

// Ends the process with the internal error unless every span lies within the grid
// (0 <= begin <= end <= cell count on each axis).
void check_spans_within_grid(const std::vector<Subdomain>& subdomains, const Grid& grid);
