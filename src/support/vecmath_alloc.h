// Heap storage handed to the application by the vector-maths calls: zeroed,
// released by the caller with free().
#pragma once

#include <cstddef>

namespace torvi::vecmath {

// Zeroed array of n doubles from the C heap, or nullptr (logged) when memory
// runs out.
double *alloc_zeroed(std::size_t n);

// Returns dest, or a fresh zeroed array of n doubles when dest is null.
inline double *dest_or_new(double *dest, std::size_t n) {
  return dest != nullptr ? dest : alloc_zeroed(n);
}

}  // namespace torvi::vecmath
