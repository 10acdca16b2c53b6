#include "rotor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "checked_size.hpp"

namespace quilane {

namespace {

// Key expansion: one PCG32 step and output per key word.
constexpr uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr uint64_t kPcgIncrement = 11634580027462260723ULL;

uint32_t pcg32_next(uint64_t& state) {
    state = state * kPcgMultiplier + kPcgIncrement;
    const auto xorshifted = static_cast<uint32_t>((state >> 45) ^ (state >> 27));
    const auto rotation = static_cast<int>(state >> 59);
    return std::rotr(xorshifted, rotation);
}

constexpr size_t kBlockWords = 16;
constexpr size_t kBufferBlocks = 4;
constexpr int kDoubleRounds = 4;

void quarter_round(std::array<uint32_t, 16>& s, size_t a, size_t b, size_t c, size_t d) {
    s[a] += s[b];
    s[d] = std::rotl(s[d] ^ s[a], 16);
    s[c] += s[d];
    s[b] = std::rotl(s[b] ^ s[c], 12);
    s[a] += s[b];
    s[d] = std::rotl(s[d] ^ s[a], 8);
    s[c] += s[d];
    s[b] = std::rotl(s[b] ^ s[c], 7);
}

void chacha_block(const std::array<uint32_t, 16>& input, uint32_t* out) {
    std::array<uint32_t, 16> s = input;
    for (int round = 0; round < kDoubleRounds; ++round) {
        quarter_round(s, 0, 4, 8, 12);
        quarter_round(s, 1, 5, 9, 13);
        quarter_round(s, 2, 6, 10, 14);
        quarter_round(s, 3, 7, 11, 15);
        quarter_round(s, 0, 5, 10, 15);
        quarter_round(s, 1, 6, 11, 12);
        quarter_round(s, 2, 7, 8, 13);
        quarter_round(s, 3, 4, 9, 14);
    }
    for (size_t i = 0; i < kBlockWords; ++i) {
        out[i] = s[i] + input[i];
    }
}

void increment_counter(std::array<uint32_t, 16>& state) {
    if (++state[12] == 0) {
        ++state[13];
    }
}

void refill(ChaChaStream& stream) {
    for (size_t block = 0; block < kBufferBlocks; ++block) {
        chacha_block(stream.state, stream.buffer.data() + block * kBlockWords);
        increment_counter(stream.state);
    }
    stream.next = 0;
}

double double_from_bits(uint64_t bits) {
    return std::bit_cast<double>(bits);
}

// Marsaglia-Tsang ziggurat for the standard normal density with 256 layers.
constexpr double kZigR = 3.654152885361009;
constexpr double kZigV = 0.00492867323399;

double normal_density(double x) {
    return std::exp(-x * x / 2.0);
}

struct ZigguratTables {
    std::array<double, 257> x{};
    std::array<double, 257> f{};
};

// The rule reproduces the reference tables bit for bit under the GNU C library, except for three
// density entries whose stored values came out differently there; those are taken as stored.
ZigguratTables build_ziggurat_tables() {
    ZigguratTables t;
    t.x[0] = kZigV / normal_density(kZigR);
    t.x[1] = kZigR;
    for (size_t i = 1; i < 255; ++i) {
        t.x[i + 1] = std::sqrt(-2.0 * std::log(kZigV / t.x[i] + normal_density(t.x[i])));
    }
    t.x[256] = 0.0;
    for (size_t i = 0; i < 257; ++i) {
        t.f[i] = normal_density(t.x[i]);
    }
    t.f[0] = 0.000477467764586655;
    t.f[3] = 0.004037972593371872;
    t.f[94] = 0.2064054063986793;
    return t;
}

const ZigguratTables& ziggurat_tables() {
    static const ZigguratTables tables = build_ziggurat_tables();
    return tables;
}

// The far tail beyond R, by Marsaglia's exponential rejection.
double normal_tail(ChaChaStream& stream, double u) {
    double t = 1.0;
    double y = 0.0;
    while (-2.0 * y < t * t) {
        const double a = open_uniform_f64(stream);
        const double b = open_uniform_f64(stream);
        t = std::log(a) / kZigR;
        y = std::log(b);
    }
    return u < 0.0 ? t - kZigR : kZigR - t;
}

// Rotation matrix of the unit quaternion (w, x, y, z), written into a 3x3 row-major block.
void write_rotor3(float w, float x, float y, float z, float* m) {
    m[0] = ((z * z + w * w) - x * x) - y * y;
    m[1] = 2.0f * (w * x - y * z);
    m[2] = 2.0f * (w * y + x * z);
    m[3] = -2.0f * (w * x + y * z);
    m[4] = ((w * w + y * y) - x * x) - z * z;
    m[5] = 2.0f * (z * w - x * y);
    m[6] = 2.0f * (x * z - w * y);
    m[7] = -2.0f * (x * y + z * w);
    m[8] = ((w * w + x * x) - y * y) - z * z;
}

// Left multiplication by the unit quaternion (a, b, c, d), as a 4x4 row-major block.
void write_iso4(float a, float b, float c, float d, float* m) {
    const float rows[16] = {a, -b, -c, -d, b, a, -d, c, c, d, a, -b, d, -c, b, a};
    std::copy(rows, rows + 16, m);
}

void write_planar2(ChaChaStream& stream, float* m) {
    constexpr float kTwoPi = 6.2831855f;
    const float theta = uniform_f32(stream) * kTwoPi;
    const float s = std::sin(theta);
    const float c = std::cos(theta);
    m[0] = c;
    m[1] = -s;
    m[2] = s;
    m[3] = c;
}

// Four deviates scaled to a unit quaternion; all-zero draws give a zero quaternion, not NaN.
std::array<float, 4> random_unit_quaternion(ChaChaStream& stream) {
    const float g1 = gauss(stream);
    const float g2 = gauss(stream);
    const float g3 = gauss(stream);
    const float g4 = gauss(stream);
    const float norm = std::max(std::sqrt(((g1 * g1 + g2 * g2) + g3 * g3) + g4 * g4), 1e-30f);
    return {g1 / norm, g2 / norm, g3 / norm, g4 / norm};
}

void write_identity(size_t k, float* m) {
    for (size_t i = 0; i < k; ++i) {
        m[i * k + i] = 1.0f;
    }
}

void write_random_block(ChaChaStream& stream, Rotation kind, float* m) {
    switch (kind) {
        case Rotation::Planar2:
            write_planar2(stream, m);
            return;
        case Rotation::Rotor3:
        case Rotation::WalshRotor3: {
            const auto [w, x, y, z] = random_unit_quaternion(stream);
            write_rotor3(w, x, y, z, m);
            return;
        }
        case Rotation::Iso4: {
            const auto [a, b, c, d] = random_unit_quaternion(stream);
            write_iso4(a, b, c, d, m);
            return;
        }
    }
}

}  // namespace

ChaChaStream make_stream(uint64_t seed) {
    ChaChaStream stream;
    // "expand 32-byte k" as little-endian words.
    stream.state[0] = 0x61707865;
    stream.state[1] = 0x3320646e;
    stream.state[2] = 0x79622d32;
    stream.state[3] = 0x6b206574;
    uint64_t pcg = seed;
    for (size_t i = 0; i < 8; ++i) {
        stream.state[4 + i] = pcg32_next(pcg);
    }
    // Words 12-13 (block counter) and 14-15 (stream number) start at zero.
    return stream;
}

uint32_t next_u32(ChaChaStream& stream) {
    if (stream.next >= stream.buffer.size()) {
        refill(stream);
    }
    return stream.buffer[stream.next++];
}

uint64_t next_u64(ChaChaStream& stream) {
    const uint64_t low = next_u32(stream);
    const uint64_t high = next_u32(stream);
    return (high << 32) | low;
}

float uniform_f32(ChaChaStream& stream) {
    return static_cast<float>(next_u32(stream) >> 8) * 0x1p-24f;
}

double uniform_f64(ChaChaStream& stream) {
    return static_cast<double>(next_u64(stream) >> 11) * 0x1p-53;
}

double open_uniform_f64(ChaChaStream& stream) {
    const double one_to_two = double_from_bits((next_u64(stream) >> 12) | 0x3FF0000000000000ULL);
    return one_to_two - 0.9999999999999999;
}

double gauss_f64(ChaChaStream& stream) {
    const ZigguratTables& t = ziggurat_tables();
    for (;;) {
        const uint64_t bits = next_u64(stream);
        const size_t i = bits & 0xFF;
        // [2, 4) shifted to [-1, 1); the low byte that chose the layer lies below the mantissa.
        const double u = double_from_bits((bits >> 12) | 0x4000000000000000ULL) - 3.0;
        const double x = u * t.x[i];
        if (std::fabs(x) < t.x[i + 1]) {
            return x;
        }
        if (i == 0) {
            return normal_tail(stream, u);
        }
        if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * uniform_f64(stream) < normal_density(x)) {
            return x;
        }
    }
}

float gauss(ChaChaStream& stream) {
    return static_cast<float>(gauss_f64(stream));
}

const std::array<double, 257>& ziggurat_x() {
    return ziggurat_tables().x;
}

const std::array<double, 257>& ziggurat_f() {
    return ziggurat_tables().f;
}

BlockMatrices precompute_block_matrices(size_t dim, Rotation kind, uint64_t seed) {
    const size_t k = block_size(kind);
    const size_t full = dim / k;
    const bool partial = dim % k != 0;
    BlockMatrices result;
    result.blocks = full + (partial ? 1 : 0);
    result.padded_dim = checked_mul(result.blocks, k);
    result.matrices.assign(checked_mul(result.padded_dim, k), 0.0f);
    ChaChaStream stream = make_stream(seed);
    for (size_t b = 0; b < result.blocks; ++b) {
        float* m = result.matrices.data() + b * k * k;
        if (b == full) {
            // Only reached when dim leaves a partial block: its coordinates pass unchanged.
            write_identity(k, m);
        } else {
            write_random_block(stream, kind, m);
        }
    }
    return result;
}

}  // namespace quilane
