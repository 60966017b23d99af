#pragma once

#include <hdf5.h>

// Whether member `index` (in name order) of the open group is itself a group. False when the
// member's object cannot be looked at (for example a dangling link).
bool member_is_group(hid_t group, hsize_t index);
