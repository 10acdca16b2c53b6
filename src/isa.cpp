#include "isa.hpp"

#include <cstdlib>
#include <string>
#include <variant>

#include "error.hpp"

namespace quilane {

namespace {

// The outcome of reading QUILANE_ISA: the set to use, or why there is none.
using IsaChoice = std::variant<Isa, std::string>;

IsaChoice choose_isa() {
    const char* forced = std::getenv("QUILANE_ISA");
    if (forced == nullptr || *forced == '\0') {
        return best_isa();
    }
    const std::optional<Isa> isa = parse_isa(forced);
    if (!isa) {
        return "QUILANE_ISA=" + std::string(forced) +
               " names no instruction set; use scalar, avx2 or avx512";
    }
    if (!isa_supported(*isa)) {
        return "QUILANE_ISA=" + std::string(forced) +
               " asks for an instruction set this processor lacks";
    }
    return *isa;
}

}  // namespace

bool isa_supported(Isa isa) {
#if defined(__x86_64__)
    switch (isa) {
        case Isa::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        case Isa::Scalar:
            return true;
    }
    return false;
#else
    return isa == Isa::Scalar;
#endif
}

Isa best_isa() {
    for (const Isa isa : {Isa::Avx512, Isa::Avx2}) {
        if (isa_supported(isa)) {
            return isa;
        }
    }
    return Isa::Scalar;
}

std::string_view isa_name(Isa isa) {
    switch (isa) {
        case Isa::Avx512:
            return "avx512";
        case Isa::Avx2:
            return "avx2";
        case Isa::Scalar:
            break;
    }
    return "scalar";
}

std::optional<Isa> parse_isa(std::string_view name) {
    for (const Isa isa : kAllIsas) {
        if (isa_name(isa) == name) {
            return isa;
        }
    }
    return std::nullopt;
}

Isa active_isa() {
    static const IsaChoice choice = choose_isa();
    if (const std::string* refusal = std::get_if<std::string>(&choice)) {
        fail(*refusal);
    }
    return std::get<Isa>(choice);
}

}  // namespace quilane
