// The two index file formats: "QLIX" for a GyrelIndex, "QLIM" for an IdMapIndex. Little-endian,
// unpadded: magic, version 2, core (bits, rotation tag + 2, dim, n, codes, norms), seed, and for
// QLIM the ids in position order. Every failure is an IoError (error.hpp) whose text the caller
// sees: "{strerror} (os error N)", "failed to fill whole buffer" for a short file, or a format
// message.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "id_map.hpp"
#include "lib.hpp"
#include "rotation.hpp"

namespace quilane {

// Writers replace a regular file atomically: the old file stays intact until the new one is
// complete and synced. A path naming a symbolic link replaces the file it points to; one naming
// something else that exists, such as a FIFO or a device, is written in place.
void write_index(const std::string& path, const GyrelIndex& index);
void write_id_map(const std::string& path, const IdMapIndex& index);

GyrelIndex read_index(const std::string& path);
IdMapIndex read_id_map(const std::string& path);

// The same formats in memory, with every check of the file functions: what write_index and
// write_id_map would store, and indexes loaded from such bytes.
std::vector<uint8_t> index_file_bytes(const GyrelIndex& index);
std::vector<uint8_t> id_map_file_bytes(const IdMapIndex& index);
GyrelIndex index_from_bytes(std::span<const uint8_t> bytes);
IdMapIndex id_map_from_bytes(std::span<const uint8_t> bytes);
// The length of those bytes (after the checks of the writers), and the bytes written into a
// buffer of exactly that length, so that a caller can hand out memory of its own with one copy.
uint64_t index_file_size(const GyrelIndex& index);
uint64_t id_map_file_size(const IdMapIndex& index);
void write_index_bytes(const GyrelIndex& index, std::span<uint8_t> out);
void write_id_map_bytes(const IdMapIndex& index, std::span<uint8_t> out);

// What the first 15 bytes of an index file declare, with every check a reader makes before it
// allocates: the magic (either format), the version, the parameters, and, where the size of the
// source is known, that it holds everything the header declares. Reads nothing else, so it lets
// a caller refuse a file by its dim or n before loading it. The ids of a QLIM file are not read,
// so a repeated id is left for the reader to find.
struct FileHeader {
    std::string magic;  // "QLIX" or "QLIM"
    uint8_t version = 0;
    uint64_t bits = 0;
    Rotation rotation = Rotation::Rotor3;
    uint64_t dim = 0;
    uint64_t n = 0;
};

FileHeader read_file_header(const std::string& path);
FileHeader file_header_from_bytes(std::span<const uint8_t> bytes);

// Refuses (as an IoError) a dim or n that the 32-bit header fields cannot hold.
void check_fits_file(uint64_t dim, uint64_t n);

}  // namespace quilane
