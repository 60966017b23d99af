#pragma once

#include <string_view>
#include <vector>

#include <hdf5.h>

#include "common/coefficient_set.h"
#include "driver/hdf5_handle.h"
#include "driver/subdomain.h"

// The element type of the coefficient datasets: a compound of two native floats, "r" at
// offset 0 and "i" at offset 4. Created on first use and kept for the life of the process.
hid_t complex_float_type();

// Creates (truncating) the coefficient file; ends the process with the internal error when it
// cannot be created.
H5Handle create_output_file(const char* path);

// Writes the dataset `name` ("eps" or "mu") of shape (frequencies, nx, ny, nz, 9) into `group`,
// taking the shape from subdomain `index` of the list and the values from `coefficients`. Ends
// the process with the internal error when the dataset cannot be created or written.
void write_coefficients(hid_t group, const std::vector<Subdomain>& subdomains, std::string_view name,
                        const CoefficientSet& coefficients, std::size_t index);
