#include "common/internal_error.h"

#include <cstdio>
#include <cstdlib>

void internal_error() {
    std::fputs(INTERNAL_ERROR_TEXT, stderr);
    std::fflush(stderr);
    std::exit(1);
}
