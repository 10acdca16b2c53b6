// The random-sign Walsh-Hadamard stage in front of the blocks of the walshrotor3 kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quilane {

// Added (wrapping) to the index seed so that the sign stream differs from the block stream.
inline constexpr uint64_t kSignSeedOffset = 5720148;

// dim entries of +1 or -1: one 32-bit draw each, +1 when its top bit is set.
std::vector<float> make_sign_vector(size_t dim, uint64_t seed);

// Sign flip, unnormalised fast Walsh-Hadamard transform and scaling by 1/sqrt(dim) of x[0, dim).
// dim must be a power of two no larger than x.size(); entries from dim on are untouched.
void wht_inplace(std::span<float> x, std::span<const float> signs, size_t dim);

bool is_power_of_two(uint64_t value);

}  // namespace quilane
