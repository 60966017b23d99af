#pragma once

#include <hdf5.h>

// Owns one HDF5 identifier and closes it with the matching close call when it goes out of
// scope. An invalid (negative) identifier is never closed.
class H5Handle {
public:
    using Closer = herr_t (*)(hid_t);

    H5Handle() = default;
    H5Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    H5Handle(const H5Handle&) = delete;
    H5Handle& operator=(const H5Handle&) = delete;
    H5Handle(H5Handle&& other) noexcept : id_(other.id_), closer_(other.closer_) { other.id_ = -1; }
    H5Handle& operator=(H5Handle&& other) noexcept {
        if (this != &other) {
            close();
            id_ = other.id_;
            closer_ = other.closer_;
            other.id_ = -1;
        }
        return *this;
    }
    ~H5Handle() { close(); }

    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }

    // Closes now; returns false when the library reports a failure.
    bool close() {
        herr_t status = 0;
        if (id_ >= 0 && closer_) status = closer_(id_);
        id_ = -1;
        return status >= 0;
    }

private:
    hid_t id_ = -1;
    Closer closer_ = nullptr;
};

// Initialises the library and checks that the headers this code was built with match the
// library in use; the library aborts on a mismatch.
void ensure_hdf5_ready();

// Opens a file read-only; the handle is invalid when the file cannot be opened.
H5Handle open_hdf5_file_read_only(const char* path);
