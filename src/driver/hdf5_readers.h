#pragma once

#include <cstdint>
#include <vector>

#include <hdf5.h>

// Whole-dataset readers. Each opens the dataset `name` under the open location `loc` and
// replaces `out` with every element in storage order, converted by the library to the
// requested memory type (the dataset's shape is ignored). When the dataset cannot be opened
// or read, `out` is left unchanged and false is returned.
bool read_float_dataset(hid_t loc, const char* name, std::vector<float>& out);
bool read_bool_dataset(hid_t loc, const char* name, std::vector<bool>& out);
bool read_uint_dataset(hid_t loc, const char* name, std::vector<uint32_t>& out);
bool read_int_dataset(hid_t loc, const char* name, std::vector<int32_t>& out);
