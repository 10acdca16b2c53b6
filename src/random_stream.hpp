// The seeded random stream every transform is drawn from: part of the file contract, since a
// loaded index regenerates its transform from the stored seed, bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quilane {

// ChaCha with 8 rounds keyed by the PCG32 expansion of a 64-bit seed, block counter from 0,
// stream number 0. Words come out in block order; a 64-bit draw is two words, low half first.
struct ChaChaStream {
    std::array<uint32_t, 16> state{};
    std::array<uint32_t, 64> buffer{};  // four blocks of output
    size_t next = 64;                   // index of the next unread word in buffer
};

ChaChaStream make_stream(uint64_t seed);
uint32_t next_u32(ChaChaStream& stream);
uint64_t next_u64(ChaChaStream& stream);
float uniform_f32(ChaChaStream& stream);        // [0, 1) from the top 24 bits of a word
double uniform_f64(ChaChaStream& stream);       // [0, 1) from the top 53 bits of a 64-bit draw
double open_uniform_f64(ChaChaStream& stream);  // (0, 1)

// One standard normal deviate by the 256-layer ziggurat; gauss rounds it to single precision.
double gauss_f64(ChaChaStream& stream);
float gauss(ChaChaStream& stream);

// The ziggurat's layer edges (X) and density values (F), 257 entries each.
const std::array<double, 257>& ziggurat_x();
const std::array<double, 257>& ziggurat_f();

}  // namespace quilane
