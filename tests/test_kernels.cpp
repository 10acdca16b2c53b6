// The scan kernels one call at a time: the exact kernels against the plain rule bit for bit, the
// first-pass kernels against plain integer sums, and the bound quantise_query gives against the
// exact float sums it must enclose, on every instruction set this processor runs. Whole searches
// (test_scan.cpp) only reach the cases their data happens to produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "first_pass.hpp"
#include "lib.hpp"
#include "pack.hpp"
#include "scan_kernels.hpp"
#include "test_support.hpp"

namespace quilane {
namespace {

using test::kInf;
using test::kNaN;
using test::random_floats;
using test::runnable_isas;

constexpr size_t kDims[] = {8, 24, 40, 128, 4096};

// The plain rule: the float products added left to right from 0.0f, times the norm. Where two
// NaNs meet, which one an x86 instruction passes on depends on the order the compiler gave its
// operands, so only the plain score's being NaN is certain; `nan_met_nan` marks it.
struct PlainScore {
    float score = 0.0f;
    bool nan_met_nan = false;
};

PlainScore plain_score(const float* t, const float* centroids, const uint8_t* codes, size_t dim,
                       float norm) {
    float s = 0.0f;
    bool met = false;
    for (size_t j = 0; j < dim; ++j) {
        const float product = t[j] * centroids[codes[j]];
        met = met || (std::isnan(s) && std::isnan(product));
        s = s + product;
    }
    return {s * norm, met || (std::isnan(s) && std::isnan(norm))};
}

std::string bits_of(float x) {
    std::ostringstream out;
    out << x << " (0x" << std::hex << std::bit_cast<uint32_t>(x) << ")";
    return out.str();
}

// Same floats by bit pattern, so that NaN payloads and the sign of zero count; with `any_nan`,
// a score where two NaNs met need only be NaN.
testing::AssertionResult same_bits(const float* got, const PlainScore* want, size_t count,
                                   bool any_nan) {
    for (size_t i = 0; i < count; ++i) {
        const bool loose = any_nan && want[i].nan_met_nan && std::isnan(got[i]);
        if (!loose && std::bit_cast<uint32_t>(got[i]) != std::bit_cast<uint32_t>(want[i].score)) {
            return testing::AssertionFailure() << "score " << i << ": " << bits_of(got[i])
                                               << ", wanted " << bits_of(want[i].score);
        }
    }
    return testing::AssertionSuccess();
}

std::vector<float> centroids_of(size_t dim, size_t bits) {
    GyrelIndex index(dim, bits, Rotation::Planar2, 7);
    return index.centroids();
}

// 16 lanes of codes, lane 0 all the largest code and lane 1 all zero, the rest random.
std::vector<uint8_t> random_codes(size_t dim, size_t bits, uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> code(0, (1 << bits) - 1);
    std::vector<uint8_t> codes(kBlockVectors * dim);
    for (size_t i = 0; i < codes.size(); ++i) {
        codes[i] = i < dim ? static_cast<uint8_t>((1 << bits) - 1)
                           : (i < 2 * dim ? 0 : static_cast<uint8_t>(code(engine)));
    }
    return codes;
}

// Random norms with the awkward ones among them, placed differently for each seed.
std::vector<float> awkward_norms(uint32_t seed) {
    std::vector<float> norms = random_floats(kBlockVectors, seed);
    const float special[] = {0.0f, -0.0f, -2.5f, kNaN, kInf, -kInf, 3e38f, 1e-38f, 1e-45f, 1e30f};
    for (size_t i = 0; i < std::size(special); ++i) {
        norms[(i + seed) % kBlockVectors] = special[i];
    }
    return norms;
}

std::vector<float> scaled(std::vector<float> row, float scale) {
    for (float& x : row) {
        x *= scale;
    }
    return row;
}

// Each entry times a random power of ten from 10^least to 10^most.
std::vector<float> spread(std::vector<float> row, int least, int most, uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> exponent(least, most);
    for (float& x : row) {
        x *= std::pow(10.0f, static_cast<float>(exponent(engine)));
    }
    return row;
}

// Query rows of every kind the exact kernels must pass through unchanged: ordinary, zero, with a
// NaN, with an infinity, with infinities of both signs, tiny, huge, overflowing products, and
// magnitudes from subnormal to huge in one row.
std::vector<std::vector<float>> awkward_queries(size_t dim, uint32_t seed) {
    const std::vector<float> normal = random_floats(dim, seed);
    std::vector<std::vector<float>> rows = {normal,
                                            scaled(normal, 0.0f),
                                            normal,
                                            normal,
                                            normal,
                                            scaled(normal, 1e-30f),
                                            scaled(normal, 1e30f),
                                            scaled(normal, 3e38f),
                                            spread(normal, -44, 38, seed)};
    rows[2][dim / 2] = kNaN;
    rows[3][1] = kInf;
    rows[4][0] = -kInf;
    rows[4][dim - 1] = kInf;
    return rows;
}

// One block of random codes and its norms, with the plain scores ready for each query.
struct ScoredBlock {
    std::vector<uint8_t> bytes;
    std::vector<float> norms;
    std::vector<std::vector<PlainScore>> want;  // [query][lane]
};

ScoredBlock scored_block(size_t dim, size_t bits, const std::vector<float>& centroids,
                         const std::vector<std::vector<float>>& queries, std::vector<float> norms,
                         uint32_t seed) {
    const std::vector<uint8_t> codes = random_codes(dim, bits, seed);
    ScoredBlock block{std::vector<uint8_t>(block_bytes(bits, dim)), std::move(norms), {}};
    codes_to_blocks(codes.data(), kBlockVectors, dim, bits, block.bytes.data(), 0);
    for (const std::vector<float>& t : queries) {
        std::vector<PlainScore>& want = block.want.emplace_back(kBlockVectors);
        for (size_t lane = 0; lane < kBlockVectors; ++lane) {
            want[lane] = plain_score(t.data(), centroids.data(), codes.data() + lane * dim, dim,
                                     block.norms[lane]);
        }
    }
    return block;
}

// Room for the most scores a call writes and a tail that must stay untouched.
constexpr size_t kScoreRoom = kMaxExactBlocks * kBlockVectors + kBlockVectors;
constexpr float kUntouched = -123.25f;

testing::AssertionResult tail_untouched(const std::vector<float>& scores, size_t written) {
    for (size_t i = written; i < scores.size(); ++i) {
        if (std::bit_cast<uint32_t>(scores[i]) != std::bit_cast<uint32_t>(kUntouched)) {
            return testing::AssertionFailure()
                   << "score " << i << " written, only " << written << " should be";
        }
    }
    return testing::AssertionSuccess();
}

// Scores the first block against every group size of the queries, each query at every place
// of a group, on `isa`; their tables `stride` floats apart.
testing::AssertionResult table_kernels_match(Isa isa, size_t bits, size_t dim,
                                             const ScoredBlock& block,
                                             const std::vector<float>& tables, size_t stride,
                                             bool any_nan) {
    const size_t nq = block.want.size();
    const uint8_t* codes = block.bytes.data();
    const float* norms = block.norms.data();
    for (size_t group = 1; group <= kMaxExactGroup; ++group) {
        for (size_t first = 0; first < nq; ++first) {
            std::vector<float> interleaved(group * stride);
            for (size_t q = 0; q < group; ++q) {
                std::copy_n(tables.data() + (first + q) % nq * stride, stride,
                            interleaved.data() + q * stride);
            }
            std::vector<float> scores(kScoreRoom, kUntouched);
            block_kernel(isa, bits, group)(
                BlockJob{&codes, &norms, dim / 8, interleaved.data(), stride, scores.data()});
            for (size_t q = 0; q < group; ++q) {
                if (auto same =
                        same_bits(scores.data() + q * kBlockVectors,
                                  block.want[(first + q) % nq].data(), kBlockVectors, any_nan);
                    !same) {
                    return same << "; group " << group << ", query " << (first + q) % nq
                                << " at place " << q;
                }
            }
            if (auto tail = tail_untouched(scores, group * kBlockVectors); !tail) {
                return tail << "; group " << group;
            }
        }
    }
    return testing::AssertionSuccess();
}

// Scores the first 1 ... kMaxExactBlocks blocks in one call against each query, with its table.
testing::AssertionResult blocks_kernels_match(Isa isa, size_t bits, size_t dim,
                                              const std::vector<ScoredBlock>& blocks,
                                              const std::vector<float>& tables, size_t stride,
                                              size_t nq, bool any_nan) {
    std::vector<const uint8_t*> codes;
    std::vector<const float*> norms;
    for (const ScoredBlock& block : blocks) {
        codes.push_back(block.bytes.data());
        norms.push_back(block.norms.data());
    }
    for (size_t count = 1; count <= kMaxExactBlocks; ++count) {
        for (size_t q = 0; q < nq; ++q) {
            std::vector<float> scores(kScoreRoom, kUntouched);
            blocks_kernel(isa, bits, count)(BlockJob{codes.data(), norms.data(), dim / 8,
                                                     tables.data() + q * stride, 0, scores.data()});
            for (size_t b = 0; b < count; ++b) {
                if (auto same = same_bits(scores.data() + b * kBlockVectors,
                                          blocks[b].want[q].data(), kBlockVectors, any_nan);
                    !same) {
                    return same << "; " << count << " blocks, block " << b << ", query " << q;
                }
            }
            if (auto tail = tail_untouched(scores, count * kBlockVectors); !tail) {
                return tail << "; " << count << " blocks";
            }
        }
    }
    return testing::AssertionSuccess();
}

// Every query's table, `stride` floats apart: further apart than they are long, with NaN
// between them, so that a kernel reading past its table or ignoring the stride shows.
std::vector<float> tables_of(const std::vector<std::vector<float>>& queries,
                             const std::vector<float>& centroids, size_t dim, size_t bits,
                             size_t stride) {
    std::vector<float> tables(queries.size() * stride, kNaN);
    for (size_t q = 0; q < queries.size(); ++q) {
        build_table(queries[q].data(), centroids, dim, bits, tables.data() + q * stride);
    }
    return tables;
}

// Row counts that end in every part of a 4-row step, lanes from up to 16 blocks with some
// positions taken by none: each named byte comes from its lane, every other byte stays.
TEST(Kernels, GatheredLanesComeFromTheirBlocks) {
    std::mt19937 engine(11);
    for (const size_t rows : {1, 2, 3, 4, 5, 7, 12, 48, 192}) {
        for (const size_t blocks : {1, 3, 16}) {
            SCOPED_TRACE(testing::Message() << "rows " << rows << " blocks " << blocks);
            std::vector<std::vector<uint8_t>> stored(blocks, std::vector<uint8_t>(16 * rows));
            for (std::vector<uint8_t>& block : stored) {
                std::generate(block.begin(), block.end(), [&] { return engine(); });
            }
            std::vector<LaneSource> sources(blocks);
            for (size_t b = 0; b < blocks; ++b) {
                sources[b].block = stored[b].data();
            }
            for (size_t v = 0; v < kBlockVectors; ++v) {
                if (engine() % 5 != 0) {  // some positions from no block
                    LaneSource& source = sources[engine() % blocks];
                    source.positions |= uint32_t{1} << v;
                    source.lanes[v] = static_cast<uint8_t>(engine() % kBlockVectors);
                }
            }
            std::vector<uint8_t> before(16 * rows);
            std::generate(before.begin(), before.end(), [&] { return engine(); });
            std::vector<uint8_t> expected = before;
            for (const LaneSource& source : sources) {
                for (size_t v = 0; v < kBlockVectors; ++v) {
                    for (size_t row = 0; (source.positions >> v) & 1u && row < rows; ++row) {
                        expected[row * 16 + v] = source.block[row * 16 + source.lanes[v]];
                    }
                }
            }
            for (const Isa isa : runnable_isas()) {
                std::vector<uint8_t> out = before;
                gather_lanes(sources, rows, out.data(), isa);
                ASSERT_EQ(out, expected) << isa_name(isa);
            }
        }
    }
}

TEST(Kernels, EveryExactKernelMatchesThePlainRule) {
    for (const size_t bits : {2, 3, 4}) {
        for (const size_t dim : kDims) {
            const std::vector<float> centroids = centroids_of(dim, bits);
            const auto queries = awkward_queries(dim, static_cast<uint32_t>(dim + bits));
            std::vector<ScoredBlock> blocks;
            for (uint32_t b = 0; b < kMaxExactBlocks; ++b) {
                blocks.push_back(scored_block(dim, bits, centroids, queries, awkward_norms(b), b));
            }
            const size_t stride = dim * kTableWidth + 16;
            const std::vector<float> tables = tables_of(queries, centroids, dim, bits, stride);
            for (const Isa isa : runnable_isas()) {
                SCOPED_TRACE(testing::Message()
                             << isa_name(isa) << " bits " << bits << " dim " << dim);
                for (const ScoredBlock& block : blocks) {
                    ASSERT_TRUE(table_kernels_match(isa, bits, dim, block, tables, stride, true));
                }
                ASSERT_TRUE(blocks_kernels_match(isa, bits, dim, blocks, tables, stride,
                                                 queries.size(), true));
            }
        }
    }
}

// --- First pass ---

// Where the table of half byte `high` of `row` starts within one query's tables, chunks
// `stride` bytes apart.
size_t table_at(size_t row, size_t high, size_t stride) {
    return row / 4 * stride + high * 64 + row % 4 * 16;
}

// Each query's tables drawn at random within the invariant that the largest entries of a row's
// two tables add up to at most 255; with `extreme`, exactly 255. Chunk c of query q at
// (c * count + q) * kChunkTableBytes; the tables of rows past the last stay zero.
std::vector<uint8_t> random_tables(size_t rows, size_t count, bool extreme, std::mt19937& engine) {
    const size_t stride = count * kChunkTableBytes;
    std::vector<uint8_t> tables(first_pass_chunks(rows) * stride);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t q = 0; q < count; ++q) {
        for (size_t row = 0; row < rows; ++row) {
            const int low_max = byte(engine);
            const int high_max = extreme ? 255 - low_max : byte(engine) * (255 - low_max) / 255;
            for (size_t high = 0; high < 2; ++high) {
                const int most = high == 0 ? low_max : high_max;
                uint8_t* table = tables.data() + q * kChunkTableBytes + table_at(row, high, stride);
                for (size_t x = 0; x < 16; ++x) {
                    table[x] = static_cast<uint8_t>(byte(engine) * most / 255);
                }
                table[byte(engine) % 16] = static_cast<uint8_t>(most);
            }
        }
    }
    return tables;
}

// The byte of `row` that selects the largest or the least entry of each of its two tables.
uint8_t extreme_byte(const uint8_t* tables, size_t stride, size_t row, bool largest_low,
                     bool largest_high) {
    auto pick = [](const uint8_t* table, bool largest) {
        return (largest ? std::max_element(table, table + 16)
                        : std::min_element(table, table + 16)) -
               table;
    };
    return static_cast<uint8_t>(pick(tables + table_at(row, 0, stride), largest_low) |
                                pick(tables + table_at(row, 1, stride), largest_high) << 4);
}

TEST(FirstPassKernels, MatchThePlainSums) {
    std::mt19937 engine(5);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const size_t bits : {2, 3, 4}) {
        for (const size_t dim : kDims) {
            const size_t rows = record_bytes(bits, dim);
            for (const bool extreme : {false, true}) {
                for (size_t count = 1; count <= kMaxFirstPassGroup; ++count) {
                    const std::vector<uint8_t> tables = random_tables(rows, count, extreme, engine);
                    // Lanes 0-11 of an extreme block reach 255 in every row for query 0.
                    std::vector<uint8_t> block(block_bytes(bits, dim));
                    for (size_t i = 0; i < block.size(); ++i) {
                        block[i] = extreme && i % 16 < 12
                                       ? extreme_byte(tables.data(), count * kChunkTableBytes,
                                                      i / 16, true, true)
                                       : static_cast<uint8_t>(byte(engine));
                    }
                    std::vector<uint32_t> want(count * kBlockVectors);
                    std::vector<uint32_t> want_largest(count);
                    for (size_t q = 0; q < count; ++q) {
                        const uint8_t* own = tables.data() + q * kChunkTableBytes;
                        for (size_t row = 0; row < rows; ++row) {
                            const uint8_t* low = own + table_at(row, 0, count * kChunkTableBytes);
                            const uint8_t* high = own + table_at(row, 1, count * kChunkTableBytes);
                            for (size_t lane = 0; lane < kBlockVectors; ++lane) {
                                const uint8_t x = block[row * 16 + lane];
                                want[q * 16 + lane] += low[x & 15] + high[x >> 4];
                            }
                        }
                        want_largest[q] =
                            *std::max_element(want.begin() + q * 16, want.begin() + q * 16 + 16);
                    }
                    if (extreme) {
                        ASSERT_EQ(want_largest[0], 255 * rows);
                    }
                    for (const Isa isa : runnable_isas()) {
                        if (isa != Isa::Scalar && count > first_pass_group_limit(isa)) {
                            continue;
                        }
                        SCOPED_TRACE(testing::Message()
                                     << isa_name(isa) << " bits " << bits << " dim " << dim
                                     << " count " << count << (extreme ? " extreme" : ""));
                        std::vector<uint32_t> sums(count * kBlockVectors);
                        std::vector<uint32_t> largest(count);
                        const size_t stride = count * kChunkTableBytes;
                        first_pass_kernel(
                            isa, count)(FirstPassJob{block.data(), 1, rows, tables.data(), stride,
                                                     sums.data(), largest.data(), 1});
                        ASSERT_EQ(sums, want);
                        ASSERT_EQ(largest, want_largest);
                        // One query of the group alone, reading its tables among the others'.
                        for (size_t q = 0; q < count; ++q) {
                            first_pass_kernel(isa, 1)(FirstPassJob{
                                block.data(), 1, rows, tables.data() + q * kChunkTableBytes, stride,
                                sums.data(), largest.data(), 1});
                            ASSERT_TRUE(std::equal(sums.begin(), sums.begin() + kBlockVectors,
                                                   want.begin() + q * kBlockVectors))
                                << "query " << q << " alone";
                            ASSERT_EQ(largest[0], want_largest[q]);
                        }
                    }
                }
            }
        }
    }
}

// A call over consecutive blocks gives each block what a call for it alone gives, in its own
// place of each query's run of sums.
TEST(FirstPassKernels, ManyBlocksInOneCallMatchOneAtATime) {
    std::mt19937 engine(6);
    constexpr size_t kBlocks = 5;
    for (const size_t bits : {2, 3, 4}) {
        for (const size_t dim : {size_t{8}, size_t{40}, size_t{128}}) {
            const size_t rows = record_bytes(bits, dim);
            std::vector<uint8_t> blocks(kBlocks * 16 * rows);
            for (uint8_t& b : blocks) {
                b = static_cast<uint8_t>(engine());
            }
            for (const Isa isa : runnable_isas()) {
                for (const size_t count : {size_t{1}, first_pass_group_limit(isa)}) {
                    SCOPED_TRACE(testing::Message() << isa_name(isa) << " bits " << bits << " dim "
                                                    << dim << " count " << count);
                    const std::vector<uint8_t> tables = random_tables(rows, count, false, engine);
                    const size_t stride = count * kChunkTableBytes;
                    std::vector<uint32_t> sums(count * kBlocks * kBlockVectors);
                    std::vector<uint32_t> largest(count * kBlocks);
                    first_pass_kernel(
                        isa, count)(FirstPassJob{blocks.data(), kBlocks, rows, tables.data(),
                                                 stride, sums.data(), largest.data(), kBlocks});
                    std::vector<uint32_t> alone_sums(count * kBlockVectors);
                    std::vector<uint32_t> alone(count);
                    for (size_t i = 0; i < kBlocks; ++i) {
                        first_pass_kernel(isa, count)(
                            FirstPassJob{blocks.data() + i * 16 * rows, 1, rows, tables.data(),
                                         stride, alone_sums.data(), alone.data(), 1});
                        for (size_t q = 0; q < count; ++q) {
                            ASSERT_EQ(largest[q * kBlocks + i], alone[q])
                                << "block " << i << " query " << q;
                            ASSERT_TRUE(
                                std::equal(alone_sums.begin() + q * kBlockVectors,
                                           alone_sums.begin() + (q + 1) * kBlockVectors,
                                           sums.begin() + (q * kBlocks + i) * kBlockVectors))
                                << "block " << i << " query " << q;
                        }
                    }
                }
            }
        }
    }
}

// The entries and largest residual each kernel gives for one table against the plain rule.
void expect_plain_entries(const TableValues& table, const double* values, double step, double cap) {
    const double low = *std::min_element(values, values + 16);
    uint8_t want[16];
    double want_beyond = 0.0;
    for (size_t x = 0; x < 16; ++x) {
        const double scaled = (values[x] - low) * (1.0 / step);
        want[x] = static_cast<uint8_t>(static_cast<int32_t>(std::min(scaled, cap)));
        want_beyond = std::max(want_beyond, scaled - want[x]);
    }
    for (const Isa isa : runnable_isas()) {
        uint8_t got[16];
        const double beyond = entry_kernel(isa)(table, low, 1.0 / step, cap, got);
        ASSERT_TRUE(std::equal(got, got + 16, want)) << isa_name(isa) << " cap " << cap;
        ASSERT_EQ(beyond, want_beyond) << isa_name(isa) << " cap " << cap;
    }
}

// Values given, at and either side of each step and at the least value; values the kernel forms
// from one or two whole codes; caps below 255 clipping them.
TEST(FirstPassKernels, EntriesMatchThePlainRule) {
    std::mt19937 engine(8);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<float> normal;
    const double step = 0.3;
    for (const double cap : {255.0, 254.0, 100.0, 1.0, 0.0}) {
        for (int round = 0; round < 50; ++round) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            const double low = (unit(engine) - 0.5) * 1e3;
            double values[16];
            values[0] = low;
            for (size_t x = 1; x < 16; ++x) {
                const double steps = std::floor(unit(engine) * 300.0);
                const double nudge = x % 3 == 0 ? 0.0 : (x % 3 == 1 ? 1e-9 : -1e-9);
                values[x] = low + std::max(0.0, steps * step + nudge);
            }
            expect_plain_entries(TableValues{values, 0.0f, nullptr, 0.0f, nullptr}, values, step,
                                 cap);
            // Whole codes: a coordinate times 16 levels, and a second one times 4 levels each
            // repeated 4 times, as at 2 bits.
            float first_levels[16];
            float second_levels[16];
            for (size_t x = 0; x < 16; ++x) {
                first_levels[x] = normal(engine);
                second_levels[x] = x % 4 == 0 ? normal(engine) : second_levels[x - 1];
            }
            const float first = normal(engine) * 300.0f;
            const float second = normal(engine) * 300.0f;
            double one[16];
            double two[16];
            for (size_t x = 0; x < 16; ++x) {
                one[x] = first * first_levels[x];
                two[x] = one[x] + static_cast<double>(second * second_levels[x]);
            }
            expect_plain_entries(TableValues{nullptr, first, first_levels, 0.0f, nullptr}, one,
                                 step, cap);
            expect_plain_entries(TableValues{nullptr, first, first_levels, second, second_levels},
                                 two, step, cap);
        }
    }
}

// Every length up to a few vector widths, with products of both signed zeros, that overflow, that
// are subnormal or NaN: each path's least and largest bit for bit, and the same B.
TEST(FirstPassKernels, RangesMatchThePlainLoop) {
    const float odd[] = {0.0f, -0.0f, 3e38f, -3e38f, 1e-40f, kNaN, kInf};
    for (const size_t bits : {2, 3, 4}) {
        const size_t levels = size_t{1} << bits;
        const std::vector<float> centroids = centroids_of(128, bits);
        for (const size_t dim : {8, 16, 24, 40, 128, 4096}) {
            for (size_t place = 0; place <= std::size(odd); ++place) {
                SCOPED_TRACE(testing::Message()
                             << "levels " << levels << " dim " << dim << " odd value " << place);
                std::vector<float> t = random_floats(dim, static_cast<uint32_t>(dim + levels));
                if (place < std::size(odd)) {
                    t[place % dim] = odd[place];
                    t[dim - 1 - place % dim] = odd[place];
                }
                std::vector<float> least(dim);
                std::vector<float> largest(dim);
                const double b = range_kernel(Isa::Scalar)(t.data(), centroids.data(), levels, dim,
                                                           least.data(), largest.data());
                for (const Isa isa : runnable_isas()) {
                    std::vector<float> least_again(dim);
                    std::vector<float> largest_again(dim);
                    const double again =
                        range_kernel(isa)(t.data(), centroids.data(), levels, dim,
                                          least_again.data(), largest_again.data());
                    EXPECT_EQ(again, b) << isa_name(isa);
                    for (size_t j = 0; j < dim; ++j) {
                        ASSERT_EQ(std::bit_cast<uint32_t>(least_again[j]),
                                  std::bit_cast<uint32_t>(least[j]))
                            << isa_name(isa) << " least " << j;
                        ASSERT_EQ(std::bit_cast<uint32_t>(largest_again[j]),
                                  std::bit_cast<uint32_t>(largest[j]))
                            << isa_name(isa) << " largest " << j;
                    }
                }
            }
        }
    }
}

// Steps from ample to far too small for the rows' ranges, so that the entries of a row's two
// tables are clipped at the ceiling they share, over table counts that end in every part of a
// chunk: each path writes the same entries, leaves the same bytes alone and sums the same terms.
TEST(FirstPassKernels, WholeCodeTablesMatchOneAtATime) {
    for (const size_t bits : {2, 4}) {
        const std::vector<float> centroids = centroids_of(128, bits);
        float levels[16];
        float second_levels[16];
        for (size_t e = 0; e < 16; ++e) {
            levels[e] = centroids[e % (size_t{1} << bits)];
            second_levels[e] = centroids[(e >> 2) % (size_t{1} << bits)];
        }
        for (const size_t dim : {8, 16, 24, 40, 136}) {
            const std::vector<float> t = random_floats(dim, static_cast<uint32_t>(dim + bits));
            std::vector<float> least(dim);
            std::vector<float> largest(dim);
            range_kernel(Isa::Scalar)(t.data(), levels, size_t{1} << bits, dim, least.data(),
                                      largest.data());
            double widest = 0.0;
            for (size_t j = 0; j < dim; ++j) {
                widest = std::max(widest, static_cast<double>(largest[j]) - least[j]);
            }
            const size_t rows = record_bytes(bits, dim);
            for (const double share : {0.01, 0.003, 0.0003}) {
                SCOPED_TRACE(testing::Message()
                             << "bits " << bits << " dim " << dim << " step share " << share);
                const double step = widest * share;
                auto quantise = [&](Isa isa, std::vector<uint8_t>& tables) {
                    tables.assign(first_pass_chunks(rows) * kChunkTableBytes, 0xA5);
                    return whole_code_kernel(isa)(WholeCodeJob{
                        t.data(), levels, second_levels, least.data(), largest.data(), bits, rows,
                        step, 1.0 / step, tables.data(), kChunkTableBytes});
                };
                std::vector<uint8_t> want;
                const TableSums sums = quantise(Isa::Scalar, want);
                for (size_t row = 0; row < rows; ++row) {
                    const uint8_t* low = want.data() + table_offset(row, 0, kChunkTableBytes);
                    const uint8_t* high = want.data() + table_offset(row, 1, kChunkTableBytes);
                    ASSERT_LE(*std::max_element(low, low + 16) + *std::max_element(high, high + 16),
                              255)
                        << "row " << row;
                }
                for (const Isa isa : runnable_isas()) {
                    std::vector<uint8_t> got;
                    const TableSums again = quantise(isa, got);
                    ASSERT_EQ(got, want) << isa_name(isa);
                    EXPECT_TRUE(again.base == sums.base && again.residuals == sums.residuals &&
                                again.magnitudes == sums.magnitudes)
                        << isa_name(isa);
                }
            }
        }
    }
}

// The plain rule: NaN where a norm is NaN or has its sign set, else the float maximum.
float plain_largest_norm(const std::vector<float>& norms) {
    float largest = 0.0f;
    for (const float norm : norms) {
        if (std::isnan(norm) || std::signbit(norm)) {
            return kNaN;
        }
        largest = std::max(largest, norm);
    }
    return largest;
}

// Every length up to a few vectors and one long run, with each kind of norm the block test must
// not trust placed in the vector part and in the tail.
TEST(FirstPassKernels, LargestNormMatchesThePlainRule) {
    std::mt19937 engine(10);
    std::uniform_real_distribution<float> unit(0.0f, 2.0f);
    const float odd[] = {kNaN, -kNaN, -0.0f, -1.0f, kInf, 1e-45f, 0.0f, 3e38f};
    for (const size_t count : {0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 40, 1000}) {
        std::vector<float> norms(count);
        for (float& norm : norms) {
            norm = unit(engine);
        }
        std::vector<std::vector<float>> cases = {norms};
        for (const float value : odd) {
            for (const size_t place : {size_t{0}, count / 2, count - 1}) {
                if (place < count) {
                    cases.push_back(norms);
                    cases.back()[place] = value;
                }
            }
        }
        for (const std::vector<float>& run : cases) {
            const float want = plain_largest_norm(run);
            for (const Isa isa : runnable_isas()) {
                const float got = largest_norm(run.data(), run.size(), isa);
                ASSERT_EQ(std::isnan(got), std::isnan(want)) << isa_name(isa) << " " << count;
                if (!std::isnan(want)) {
                    ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want))
                        << isa_name(isa) << " " << count;
                }
            }
        }
    }
}

// --- The bound ---

// Query rows whose bound must be usable: ordinary, tiny, huge, sparse, and with magnitudes far
// apart in one row.
std::vector<std::vector<float>> finite_queries(size_t dim, uint32_t seed) {
    const std::vector<float> normal = random_floats(dim, seed);
    std::vector<std::vector<float>> rows = {normal, scaled(normal, 1e-30f), scaled(normal, 1e30f),
                                            std::vector<float>(dim), spread(normal, -20, 20, seed)};
    rows[3][seed % dim] = 1.5f;
    return rows;
}

// A block whose lanes 0, 1 and 2 take the largest entries of every table, the least, and the
// largest low with the least high; the rest random.
std::vector<uint8_t> probing_block(const uint8_t* tables, size_t stride, size_t rows,
                                   std::mt19937& engine) {
    std::vector<uint8_t> block(16 * rows);
    for (size_t row = 0; row < rows; ++row) {
        for (size_t lane = 0; lane < kBlockVectors; ++lane) {
            block[row * 16 + lane] = lane < 3
                                         ? extreme_byte(tables, stride, row, lane != 1, lane == 0)
                                         : static_cast<uint8_t>(engine());
        }
    }
    return block;
}

bool all_zero(const uint8_t* begin, const uint8_t* end) {
    return std::all_of(begin, end, [](uint8_t x) { return x == 0; });
}

TEST(FirstPassBound, EnclosesEveryExactSum) {
    std::mt19937 engine(9);
    for (const size_t bits : {2, 3, 4}) {
        for (const size_t dim : kDims) {
            const std::vector<float> centroids = centroids_of(dim, bits);
            const size_t rows = record_bytes(bits, dim);
            const size_t chunks = first_pass_chunks(rows);
            // The query takes place 1 of a group of 2: place 0 must stay zero.
            const size_t stride = 2 * kChunkTableBytes;
            for (const std::vector<float>& t : finite_queries(dim, static_cast<uint32_t>(dim))) {
                SCOPED_TRACE(testing::Message() << "bits " << bits << " dim " << dim
                                                << " query magnitude " << std::fabs(t[0]));
                std::vector<uint8_t> tables(chunks * stride);
                const QuantisedQuery query =
                    quantise_query(t.data(), centroids.data(), dim, bits,
                                   tables.data() + kChunkTableBytes, stride, Isa::Scalar);
                ASSERT_TRUE(query.usable);
                for (const Isa isa : runnable_isas()) {
                    std::vector<uint8_t> same(chunks * stride);
                    const QuantisedQuery again =
                        quantise_query(t.data(), centroids.data(), dim, bits,
                                       same.data() + kChunkTableBytes, stride, isa);
                    ASSERT_EQ(same, tables) << isa_name(isa);
                    ASSERT_TRUE(again.step == query.step && again.low_base == query.low_base &&
                                again.high_base == query.high_base)
                        << isa_name(isa);
                }
                for (size_t row = 0; row < 4 * chunks; ++row) {
                    const uint8_t* low = tables.data() + table_at(row, 0, stride);
                    const uint8_t* high = tables.data() + table_at(row, 1, stride);
                    ASSERT_TRUE(all_zero(low, low + 16) && all_zero(high, high + 16))
                        << "place 0, row " << row;
                    const uint32_t most = uint32_t{*std::max_element(low + 128, low + 144)} +
                                          *std::max_element(high + 128, high + 144);
                    ASSERT_LE(most, row < rows ? 255u : 0u) << "row " << row;
                }
                for (int round = 0; round < 4; ++round) {
                    const std::vector<uint8_t> block =
                        probing_block(tables.data() + kChunkTableBytes, stride, rows, engine);
                    uint32_t sums[2 * kBlockVectors];
                    uint32_t largest[2];
                    first_pass_kernel(Isa::Scalar, 2)(FirstPassJob{
                        block.data(), 1, rows, tables.data(), stride, sums, largest, 1});
                    std::vector<uint8_t> records(kBlockVectors * rows);
                    blocks_to_records(block.data(), 0, kBlockVectors, dim, bits, records.data());
                    std::vector<uint8_t> codes(dim);
                    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
                        unpack_record(records.data() + lane * rows, dim, bits, codes.data());
                        const double s =
                            plain_score(t.data(), centroids.data(), codes.data(), dim, 1.0f).score;
                        const double q = sums[kBlockVectors + lane];
                        ASSERT_LE(query.low_base + query.step * q, s) << "lane " << lane;
                        ASSERT_LE(s, query.high_base + query.step * q) << "lane " << lane;
                    }
                }
            }
        }
    }
}

// V[x] of half byte `high` of row `row` where codes are whole (2 and 4 bits), as the tables
// take it: the double sum of the float products of its codes.
double whole_codes_value(const std::vector<float>& t, const std::vector<float>& centroids,
                         size_t bits, size_t row, size_t high, size_t x) {
    const size_t j = 8 * (row / bits) + (8 * (row % bits) + 4 * high) / bits;
    if (bits == 4) {
        return t[j] * centroids[x];
    }
    return static_cast<double>(t[j] * centroids[x & 3]) +
           static_cast<double>(t[j + 1] * centroids[x >> 2]);
}

// Each table's residual is taken from its own entries, so the vector that picks the entry of
// largest residual in every table meets the bound's high end most closely, and the one picking
// the least residual its low end.
TEST(FirstPassBound, HoldsWhereEveryTableLeavesItsLargestResidual) {
    for (const size_t bits : {2, 4}) {
        for (const size_t dim : {8, 128, 384}) {
            const std::vector<float> centroids = centroids_of(dim, bits);
            const size_t rows = record_bytes(bits, dim);
            for (const std::vector<float>& t : finite_queries(dim, static_cast<uint32_t>(dim))) {
                SCOPED_TRACE(testing::Message() << "bits " << bits << " dim " << dim
                                                << " query magnitude " << std::fabs(t[0]));
                std::vector<uint8_t> tables(first_pass_chunks(rows) * kChunkTableBytes);
                const QuantisedQuery query =
                    quantise_query(t.data(), centroids.data(), dim, bits, tables.data(),
                                   kChunkTableBytes, best_isa());
                ASSERT_TRUE(query.usable);
                std::vector<uint8_t> block(16 * rows);
                for (size_t row = 0; row < rows; ++row) {
                    for (size_t high = 0; high < 2; ++high) {
                        const uint8_t* entries =
                            tables.data() + table_at(row, high, kChunkTableBytes);
                        double values[16];
                        for (size_t x = 0; x < 16; ++x) {
                            values[x] = whole_codes_value(t, centroids, bits, row, high, x);
                        }
                        const double least = *std::min_element(values, values + 16);
                        auto residual = [&](size_t x) {
                            return (values[x] - least) - query.step * entries[x];
                        };
                        size_t most = 0;
                        size_t fewest = 0;
                        for (size_t x = 1; x < 16; ++x) {
                            most = residual(x) > residual(most) ? x : most;
                            fewest = residual(x) < residual(fewest) ? x : fewest;
                        }
                        block[row * 16] |= static_cast<uint8_t>(most << (4 * high));
                        block[row * 16 + 1] |= static_cast<uint8_t>(fewest << (4 * high));
                    }
                }
                uint32_t sums[kBlockVectors];
                uint32_t largest = 0;
                first_pass_kernel(Isa::Scalar, 1)(FirstPassJob{
                    block.data(), 1, rows, tables.data(), kChunkTableBytes, sums, &largest, 1});
                std::vector<uint8_t> records(kBlockVectors * rows);
                blocks_to_records(block.data(), 0, kBlockVectors, dim, bits, records.data());
                std::vector<uint8_t> codes(dim);
                for (size_t lane = 0; lane < 2; ++lane) {
                    unpack_record(records.data() + lane * rows, dim, bits, codes.data());
                    const double s =
                        plain_score(t.data(), centroids.data(), codes.data(), dim, 1.0f).score;
                    const double q = sums[lane];
                    ASSERT_LE(query.low_base + query.step * q, s) << "lane " << lane;
                    ASSERT_LE(s, query.high_base + query.step * q) << "lane " << lane;
                }
            }
        }
    }
}

TEST(FirstPassBound, UnusableRatherThanWrong) {
    for (const size_t bits : {2, 3, 4}) {
        for (const size_t dim : {8, 128}) {
            const std::vector<float> centroids = centroids_of(dim, bits);
            const std::vector<float> normal = random_floats(dim, 4);
            std::vector<std::vector<float>> rows(6, normal);
            rows[0][3] = kNaN;
            rows[1][0] = kInf;
            rows[2][dim - 1] = -kInf;
            std::fill(rows[3].begin(), rows[3].end(), 0.0f);
            // Products that overflow, and finite products whose sum would.
            std::fill(rows[4].begin(), rows[4].end(), std::numeric_limits<float>::max());
            std::fill(rows[5].begin(), rows[5].end(), 0x1p126f);
            for (size_t r = 0; r < rows.size(); ++r) {
                SCOPED_TRACE(testing::Message()
                             << "bits " << bits << " dim " << dim << " row " << r);
                std::vector<uint8_t> tables(first_pass_chunks(record_bytes(bits, dim)) *
                                            kChunkTableBytes);
                for (const Isa isa : runnable_isas()) {
                    const QuantisedQuery query =
                        quantise_query(rows[r].data(), centroids.data(), dim, bits, tables.data(),
                                       kChunkTableBytes, isa);
                    ASSERT_FALSE(query.usable) << isa_name(isa);
                    ASSERT_TRUE(all_zero(tables.data(), tables.data() + tables.size()))
                        << isa_name(isa) << ": tables written";
                }
            }
        }
    }
}

}  // namespace
}  // namespace quilane
