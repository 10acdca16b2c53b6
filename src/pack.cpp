#include "pack.hpp"

#include <string>

#include "error.hpp"

namespace quilane {

namespace {

// Within a plane byte, coordinate 8q is the most significant bit.
constexpr uint8_t coordinate_mask(size_t j) {
    return static_cast<uint8_t>(0x80u >> (j % 8));
}

}  // namespace

void pack_codes_into(std::span<const uint8_t> codes, size_t n, size_t dim, size_t bits,
                     std::span<uint8_t> out) {
    const size_t plane = dim / 8;
    const size_t record = bits * plane;
    if (dim % 8 != 0 || codes.size() < n * dim || out.size() < n * record) {
        fail("internal error: pack_codes given buffers too short for " + std::to_string(n) +
             " vectors of dim " + std::to_string(dim));
    }
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* row = codes.data() + i * dim;
        uint8_t* dest = out.data() + i * record;
        for (size_t j = 0; j < dim; ++j) {
            for (size_t p = 0; p < bits; ++p) {
                if ((row[j] >> p) & 1u) {
                    dest[p * plane + j / 8] |= coordinate_mask(j);
                }
            }
        }
    }
}

std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, size_t n, size_t dim, size_t bits) {
    std::vector<uint8_t> out(n * record_bytes(bits, dim), 0);
    pack_codes_into(codes, n, dim, bits, out);
    return out;
}

void unpack_record(const uint8_t* record, size_t dim, size_t bits, uint8_t* codes) {
    const size_t plane = dim / 8;
    for (size_t j = 0; j < dim; ++j) {
        uint8_t code = 0;
        for (size_t p = 0; p < bits; ++p) {
            if (record[p * plane + j / 8] & coordinate_mask(j)) {
                code |= static_cast<uint8_t>(1u << p);
            }
        }
        codes[j] = code;
    }
}

}  // namespace quilane
