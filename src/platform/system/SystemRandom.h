#pragma once

#include <cstddef>

namespace platform {

// Fills buf with n bytes from the system's cryptographic random source.
// Returns false (and leaves buf unspecified) when the source cannot deliver.
bool systemRandomBytes(void* buf, std::size_t n);

// Replaces the random source, e.g. to exercise the failure paths. Passing nullptr restores
// the system source. Returns the previous override (nullptr for the system source).
using RandomSource = bool (*)(void* buf, std::size_t n);
RandomSource setRandomSource(RandomSource source);

} // namespace platform
