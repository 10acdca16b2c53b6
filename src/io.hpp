// The two index file formats: "QLIX" for a GyrelIndex, "QLIM" for an IdMapIndex. Little-endian,
// unpadded: magic, version 2, core (bits, rotation tag + 2, dim, n, codes, norms), seed, and for
// QLIM the ids in position order.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "id_map.hpp"
#include "lib.hpp"

namespace quilane {

// A failed file operation. The text is what the caller sees: "{strerror} (os error N)" for a
// system error, "failed to fill whole buffer" for a short file, or a format message.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writers replace the file atomically: the old file stays intact until the new one is complete.
void write_index(const std::string& path, const GyrelIndex& index);
void write_id_map(const std::string& path, const IdMapIndex& index);

GyrelIndex read_index(const std::string& path);
IdMapIndex read_id_map(const std::string& path);

}  // namespace quilane
