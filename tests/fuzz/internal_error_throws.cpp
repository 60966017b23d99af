// The internal error of the fuzz targets. libFuzzer counts a target that ends the process as a
// finding, so here the internal error throws instead of exiting: the loader's catch-all turns
// it into a failed load, and the fuzzer goes on with the next input. Everything the real
// internal error guards against (a signal, a sanitizer report, a hang, a leak) is still seen.

#include "common/internal_error.h"

namespace {

struct InternalErrorRaised {};

}  // namespace

void internal_error() { throw InternalErrorRaised{}; }
