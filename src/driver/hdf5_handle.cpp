#include "driver/hdf5_handle.h"

void ensure_hdf5_ready() {
    H5open();
    H5check();
}

H5Handle open_hdf5_file_read_only(const char* path) {
    ensure_hdf5_ready();
    return H5Handle(H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
}
