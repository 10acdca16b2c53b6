// Scratch directories, whole-file reads and writes, and index builders for the file tests.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "error.hpp"
#include "id_map.hpp"
#include "index_file.hpp"
#include "lib.hpp"
#include "test_support.hpp"

namespace quilane::test {

// A fresh directory, removed with everything in it.
struct TempDir {
    std::string path;

    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "quilane-io-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { std::filesystem::remove_all(path); }

    std::string file(const std::string& name) const { return path + "/" + name; }

    // Every name in the directory, hidden ones included.
    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            found.insert(entry.path().filename());
        }
        return found;
    }
};

inline std::vector<uint8_t> read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_all_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline size_t open_descriptor_count() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// The message of the IoError that call throws, or a note saying what happened instead.
template <class Call>
std::string io_error_of(Call&& call) {
    try {
        call();
    } catch (const IoError& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("not an IoError: ") + error.what();
    }
    return "no error";
}

// count vectors of dim coordinates.
inline std::vector<float> random_vectors(size_t count, size_t dim, uint32_t seed) {
    return random_floats(count * dim, seed);
}

// An index whose codes and norms are arbitrary bytes and floats: enough for the file format,
// which never interprets them.
inline GyrelIndex index_from_noise(uint64_t dim, uint64_t bits, Rotation kind, uint64_t seed,
                                   uint64_t n) {
    std::mt19937 engine(static_cast<uint32_t>(dim * 31 + bits * 7 + n));
    std::vector<uint8_t> codes(bits * (dim / 8) * n);
    for (uint8_t& byte : codes) {
        byte = static_cast<uint8_t>(engine());
    }
    std::vector<float> norms(n);
    std::uniform_real_distribution<float> positive(0.0f, 10.0f);
    for (float& norm : norms) {
        norm = positive(engine);
    }
    return GyrelIndex::from_parts(dim, bits, kind, seed, n, std::move(codes), std::move(norms));
}

inline constexpr Rotation kAllKinds[] = {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4,
                                         Rotation::WalshRotor3};

}  // namespace quilane::test
