#pragma once

// The fixed text written on every internal error.
inline constexpr char INTERNAL_ERROR_TEXT[] = "An internal error has occured. Please contact Zentrav support.";

// Writes the internal-error text to standard error (no line end) and ends the process with
// status 1. Exit handlers run and the standard streams are flushed.
[[noreturn]] void internal_error();

// Ends the process with the internal error unless the condition holds.
inline void require(bool condition) {
    if (!condition) internal_error();
}
