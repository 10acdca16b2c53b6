// Size arithmetic that cannot wrap. Every size derived from dim, n, k, nq or bits goes through
// these: a wrapped product would allocate a small buffer that the caller then writes past. A size
// that does not fit is memory that cannot exist, so it fails as exhausted memory does
// (std::length_error, which the module reports as MemoryError).
#pragma once

#include <cstddef>
#include <stdexcept>

namespace quilane {

[[noreturn]] inline void fail_size_overflow() {
    throw std::length_error("size does not fit in memory");
}

inline size_t checked_mul(size_t a, size_t b) {
    size_t product;
    if (__builtin_mul_overflow(a, b, &product)) {
        fail_size_overflow();
    }
    return product;
}

template <class... Rest>
size_t checked_mul(size_t a, size_t b, Rest... rest) {
    return checked_mul(checked_mul(a, b), rest...);
}

inline size_t checked_add(size_t a, size_t b) {
    size_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        fail_size_overflow();
    }
    return sum;
}

}  // namespace quilane
