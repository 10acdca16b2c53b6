#include "rotation_keyword.hpp"

#include <array>
#include <string>

#include "errors.hpp"

namespace quilane {

namespace {

struct Keyword {
    std::string_view text;
    Rotation kind;
};

constexpr std::array<Keyword, 13> kKeywords = {{
    {"planar2", Rotation::Planar2},
    {"planar", Rotation::Planar2},
    {"givens", Rotation::Planar2},
    {"rotor3", Rotation::Rotor3},
    {"rotor", Rotation::Rotor3},
    {"clifford", Rotation::Rotor3},
    {"iso4", Rotation::Iso4},
    {"iso", Rotation::Iso4},
    {"quaternion", Rotation::Iso4},
    {"walshrotor3", Rotation::WalshRotor3},
    {"walsh", Rotation::WalshRotor3},
    {"walsh-rotor3", Rotation::WalshRotor3},
    {"rotor3+walsh", Rotation::WalshRotor3},
}};

// Only A-Z fold; every other byte, non-ASCII included, is compared as it is.
std::string fold_ascii_case(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

}  // namespace

Rotation parse_rotation(std::string_view text) {
    const std::string folded = fold_ascii_case(text);
    for (const Keyword& keyword : kKeywords) {
        if (keyword.text == folded) {
            return keyword.kind;
        }
    }
    raise_value_error("unknown rotation '" + folded +
                      "': expected 'planar2', 'rotor3', 'iso4', or 'walshrotor3'");
}

}  // namespace quilane
