#pragma once

#include <initializer_list>

// Whether `output` names a file that exists and is one of `inputs`: the same device and inode,
// so also through another spelling of the path, a hard link or a symbolic link. Paths that do
// not exist name no file.
bool output_is_an_input(const char* output, std::initializer_list<const char*> inputs);
