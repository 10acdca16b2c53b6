// The instruction sets the engine has kernels for, and the one this process uses. Every kernel
// that has several paths dispatches on active_isa(), so one setting forces them all: tests and CI
// run each path the processor has, and every path gives bit-identical results.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quilane {

// Ordered from the plainest to the widest.
enum class Isa : uint8_t { Scalar, Avx2, Avx512 };

inline constexpr Isa kAllIsas[] = {Isa::Scalar, Isa::Avx2, Isa::Avx512};

bool isa_supported(Isa isa);

// The widest set this processor runs.
Isa best_isa();

std::string_view isa_name(Isa isa);
std::optional<Isa> parse_isa(std::string_view name);

// best_isa(), unless the environment variable QUILANE_ISA names another set ("scalar", "avx2",
// "avx512"). Decided once per process; an unknown name or a set this processor lacks throws
// Error, on every call, so that no kernel runs on a path it was not asked for.
Isa active_isa();

}  // namespace quilane
