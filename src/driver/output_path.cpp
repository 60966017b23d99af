#include "driver/output_path.h"

#include <sys/stat.h>

bool output_is_an_input(const char* output, std::initializer_list<const char*> inputs) {
    struct stat out {};
    if (stat(output, &out) != 0) return false;
    for (const char* input : inputs) {
        struct stat in {};
        if (stat(input, &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) return true;
    }
    return false;
}
