// Reads the integer arrays out of the reference files in tests/data. Those files are JSON with a
// flat object of named arrays whose entries are decimal numbers or "0x..." hexadecimal strings;
// this reads exactly that shape and nothing more.
#pragma once

#include <bit>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quilane::test {

inline std::string read_reference_file(const std::string& name) {
    const std::string path = std::string(QUILANE_TEST_DATA_DIR) + "/" + name;
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The entries of the array named key, each read as an unsigned 64-bit integer.
inline std::vector<uint64_t> reference_array(const std::string& text, const std::string& key) {
    const size_t name = text.find("\"" + key + "\"");
    if (name == std::string::npos) {
        throw std::runtime_error("no array named " + key);
    }
    size_t pos = text.find('[', name);
    const size_t end = text.find(']', pos);
    if (pos == std::string::npos || end == std::string::npos) {
        throw std::runtime_error("array " + key + " is not closed");
    }
    std::vector<uint64_t> values;
    ++pos;
    while (pos < end) {
        const size_t start = text.find_first_not_of(" \t\r\n,\"", pos);
        if (start >= end) {
            break;
        }
        const size_t stop = text.find_first_of(" \t\r\n,\"]", start);
        values.push_back(std::stoull(text.substr(start, stop - start), nullptr, 0));
        pos = stop;
    }
    return values;
}

// The stream of seed 117900524, from the reference file.
inline const std::string& stream_reference() {
    static const std::string text = test::read_reference_file("chacha8_seed_117900524.json");
    return text;
}

inline std::vector<uint64_t> stream_array(const std::string& key) {
    return reference_array(stream_reference(), key);
}

// The single-precision deviates of the reference stream.
inline std::vector<float> reference_deviates() {
    std::vector<float> deviates;
    for (const uint64_t bits : stream_array("standard_normal_f32_hex")) {
        deviates.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits)));
    }
    return deviates;
}

}  // namespace quilane::test
