#include "rotation.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "error.hpp"

namespace quilane {

namespace {

constexpr std::array<size_t, kRotationCount> kBlockSizes = {2, 3, 4, 3};
constexpr std::array<std::string_view, kRotationCount> kNames = {"planar2", "rotor3", "iso4",
                                                                 "walshrotor3"};

// A Rotation holding a tag outside the enumeration can only come from a bad cast.
size_t tag_index(Rotation kind) {
    const auto tag = static_cast<size_t>(kind);
    if (tag >= kRotationCount) {
        fail("internal error: rotation tag " + std::to_string(tag) + " is not a known kind");
    }
    return tag;
}

}  // namespace

size_t block_size(Rotation kind) {
    return kBlockSizes[tag_index(kind)];
}

std::string_view rotation_name(Rotation kind) {
    return kNames[tag_index(kind)];
}

std::optional<Rotation> rotation_from_tag(uint8_t tag) {
    if (tag >= kRotationCount) {
        return std::nullopt;
    }
    return static_cast<Rotation>(tag);
}

void rotate_inplace(std::span<const float> matrices, size_t k, std::span<float> x) {
    if (k < 1 || k > 4) {
        fail("internal error: rotation block size " + std::to_string(k) + " is outside 1..4");
    }
    const size_t blocks = std::min(matrices.size() / (k * k), x.size() / k);
    std::array<float, 4> scratch{};
    for (size_t b = 0; b < blocks; ++b) {
        const float* m = matrices.data() + b * k * k;
        float* v = x.data() + b * k;
        for (size_t r = 0; r < k; ++r) {
            float sum = 0.0f;
            for (size_t c = 0; c < k; ++c) {
                sum += m[r * k + c] * v[c];
            }
            scratch[r] = sum;
        }
        for (size_t r = 0; r < k; ++r) {
            v[r] = scratch[r];
        }
    }
}

}  // namespace quilane
