// The kinds of rotation an index can use, and how files and keywords name them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quilane {

// The tag is what a record holds; files store tag + 2.
enum class Rotation : uint8_t { Planar2 = 0, Rotor3 = 1, Iso4 = 2, WalshRotor3 = 3 };

inline constexpr size_t kRotationCount = 4;

// Side length of the kind's square blocks: 2, 3, 4, 3.
size_t block_size(Rotation kind);

// The canonical keyword: "planar2", "rotor3", "iso4" or "walshrotor3".
std::string_view rotation_name(Rotation kind);

// The kind with this tag, or nothing for a tag of 4 or more.
std::optional<Rotation> rotation_from_tag(uint8_t tag);

}  // namespace quilane
