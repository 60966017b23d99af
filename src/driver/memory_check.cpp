#include "driver/memory_check.h"

#include <cstdio>

#include <unistd.h>

double available_memory_bytes() {
    return static_cast<double>(sysconf(_SC_AVPHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void check_memory(double estimated_bytes) {
    if (1.5 * estimated_bytes > available_memory_bytes()) {
        std::fputs("Warning: getting close to exhausting RAM, may crash\n", stdout);
        std::fflush(stdout);
    }
}
