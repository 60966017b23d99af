#pragma once

#include <cstdint>
#include <string>

// Runs one coefficient generation. `argv` holds six strings: the program name, the
// specification file, the grid and subdomain file, the frequency file, the output file and the
// subpixel scheme as decimal text. The parallel phases run on `thread_count` threads (at least
// 1); the result does not depend on it. Returns 0 on success and 1 when the specification cannot
// be loaded; every other failure ends the process with the internal error.
// On a failed load, `load_cause` (when given) receives what went wrong.
int run_gencoeffs(const char* const* argv, uint64_t thread_count = 1, std::string* load_cause = nullptr);
