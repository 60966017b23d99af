#include "driver/hdf5_member_type.h"

// The object-information call changed its signature twice: 1.10.3 added the `fields` argument
// (H5Oget_info_by_idx2) and 1.12 replaced the record by H5O_info2_t (H5Oget_info_by_idx3), where
// the unversioned name now maps. Naming the version explicitly compiles against every series.
bool member_is_group(hid_t group, hsize_t index) {
#if H5_VERSION_GE(1, 12, 0)
    H5O_info2_t object;
    const herr_t status =
        H5Oget_info_by_idx3(group, ".", H5_INDEX_NAME, H5_ITER_INC, index, &object, H5O_INFO_BASIC, H5P_DEFAULT);
#elif H5_VERSION_GE(1, 10, 3)
    H5O_info_t object;
    const herr_t status =
        H5Oget_info_by_idx2(group, ".", H5_INDEX_NAME, H5_ITER_INC, index, &object, H5O_INFO_BASIC, H5P_DEFAULT);
#else
    H5O_info_t object;
    const herr_t status = H5Oget_info_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, index, &object, H5P_DEFAULT);
#endif
    return status >= 0 && object.type == H5O_TYPE_GROUP;
}
