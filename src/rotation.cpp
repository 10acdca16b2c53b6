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

}  // namespace quilane
