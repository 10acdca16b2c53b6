// The index formats held in memory: the same bytes as the files, and the same refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "file_helpers.hpp"
#include "index_file.hpp"

namespace quilane {
namespace {

using test::io_error_of;

TEST(MemoryIo, BytesAreTheFileAndEveryCutIsRefusedAlike) {
    // Over 8192 bytes, so that the codes bypass the buffer as they do in a file.
    GyrelIndex plain = test::index_from_noise(256, 4, Rotation::Iso4, 3, 70);
    std::vector<uint64_t> ids(70);
    for (uint64_t i = 0; i < ids.size(); ++i) {
        ids[i] = i * i;
    }
    const IdMapIndex mapped =
        IdMapIndex::from_parts(test::index_from_noise(256, 4, Rotation::Iso4, 3, 70), ids);
    test::TempDir dir;
    write_index(dir.file("plain"), plain);
    write_id_map(dir.file("mapped"), mapped);
    const std::vector<uint8_t> plain_bytes = index_file_bytes(plain);
    const std::vector<uint8_t> mapped_bytes = id_map_file_bytes(mapped);
    ASSERT_EQ(plain_bytes, test::read_all(dir.file("plain")));
    ASSERT_EQ(mapped_bytes, test::read_all(dir.file("mapped")));

    EXPECT_EQ(index_file_bytes(index_from_bytes(plain_bytes)), plain_bytes);
    EXPECT_EQ(id_map_file_bytes(id_map_from_bytes(mapped_bytes)), mapped_bytes);
    for (size_t cut = 0; cut < mapped_bytes.size(); cut += 97) {
        const std::span<const uint8_t> mapped_prefix(mapped_bytes.data(), cut);
        test::write_all_bytes(dir.file("cut"), {mapped_prefix.begin(), mapped_prefix.end()});
        EXPECT_EQ(io_error_of([&] { id_map_from_bytes(mapped_prefix); }),
                  io_error_of([&] { read_id_map(dir.file("cut")); }))
            << "cut at " << cut;
        const std::span<const uint8_t> plain_prefix(plain_bytes.data(),
                                                    std::min(cut, plain_bytes.size() - 1));
        test::write_all_bytes(dir.file("cut"), {plain_prefix.begin(), plain_prefix.end()});
        EXPECT_EQ(io_error_of([&] { index_from_bytes(plain_prefix); }),
                  io_error_of([&] { read_index(dir.file("cut")); }))
            << "cut at " << cut;
    }
}

}  // namespace
}  // namespace quilane
