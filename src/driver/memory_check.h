#pragma once

// Prints "Warning: getting close to exhausting RAM, may crash\n" on standard output when 1.5
// times the estimated size exceeds the physical memory available now. Only warns.
void check_memory(double estimated_bytes);

// Physical memory available now, in bytes.
double available_memory_bytes();
