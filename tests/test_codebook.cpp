#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codebook.hpp"
#include "error.hpp"

namespace quilane {
namespace {

size_t levels_of(uint32_t bits) {
    return size_t{1} << bits;
}

// Checks every structural promise of a codebook.
void expect_well_formed(const Codebook& book, uint32_t bits, size_t dim) {
    SCOPED_TRACE("bits " + std::to_string(bits) + " dim " + std::to_string(dim));
    const size_t n = levels_of(bits);
    ASSERT_EQ(book.centroids.size(), n);
    ASSERT_EQ(book.boundaries.size(), n - 1);
    for (size_t k = 0; k < n; ++k) {
        EXPECT_TRUE(std::isfinite(book.centroids[k]));
        EXPECT_GT(book.centroids[k], -1.0f);
        EXPECT_LT(book.centroids[k], 1.0f);
        // Symmetric about zero up to rounding of the last bits.
        EXPECT_NEAR(book.centroids[k], -book.centroids[n - 1 - k],
                    1e-6 * std::fabs(book.centroids[k]));
    }
    for (size_t k = 0; k + 1 < n; ++k) {
        EXPECT_LT(book.centroids[k], book.boundaries[k]);
        EXPECT_LT(book.boundaries[k], book.centroids[k + 1]);
        // The midpoint of the unrounded neighbours, so within a rounding of the rounded ones'.
        const double mid = (double{book.centroids[k]} + book.centroids[k + 1]) * 0.5;
        EXPECT_NEAR(book.boundaries[k], mid, 2e-7 * std::fabs(book.centroids[k]));
    }
    EXPECT_NEAR(book.boundaries[n / 2 - 1], 0.0f, 1e-7f);
}

TEST(Codebook, WellFormedForIndexSizes) {
    for (const uint32_t bits : {2u, 3u, 4u}) {
        for (const size_t dim : {size_t{8}, size_t{1024}}) {
            ASSERT_NO_FATAL_FAILURE(expect_well_formed(cached_codebook(bits, dim), bits, dim));
        }
    }
}

// Lloyd-Max iteration as the codebook runs it, but with the cell mass and first moment of the
// density given in closed form.
using CellIntegral = std::function<double(double lo, double hi)>;

std::vector<double> closed_form_lloyd_max(size_t n, double spread, const CellIntegral& mass,
                                          const CellIntegral& moment) {
    std::vector<double> c(n);
    for (size_t i = 0; i < n; ++i) {
        c[i] = (static_cast<double>(i) * 2.0 * spread) / static_cast<double>(n - 1) - spread;
    }
    for (int iteration = 0; iteration < 200; ++iteration) {
        std::vector<double> edges = {-1.0};
        for (size_t k = 1; k < n; ++k) {
            edges.push_back((c[k - 1] + c[k]) * 0.5);
        }
        edges.push_back(1.0);
        double delta = 0.0;
        for (size_t j = 0; j < n; ++j) {
            const double next = moment(edges[j], edges[j + 1]) / mass(edges[j], edges[j + 1]);
            delta = std::max(delta, std::fabs(next - c[j]));
            c[j] = next;
        }
        if (delta < 1e-12) {
            break;
        }
    }
    return c;
}

void expect_centroids_near(const Codebook& book, const std::vector<double>& expected) {
    ASSERT_EQ(book.centroids.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_NEAR(book.centroids[k], expected[k], 1e-6) << "centroid " << k;
    }
}

// Small dims have densities with closed-form integrals: dim 2 the arcsine law, dim 3 flat, dim 4
// a semicircle, dim 5 a parabola. Their initial grids spread over (n - 1) / n for dims up to 4.
TEST(Codebook, SmallDimsMatchClosedFormLloydMax) {
    const CellIntegral arcsine_mass = [](double lo, double hi) {
        return (std::asin(hi) - std::asin(lo)) / M_PI;
    };
    const CellIntegral arcsine_moment = [](double lo, double hi) {
        return (std::sqrt(1.0 - lo * lo) - std::sqrt(1.0 - hi * hi)) / M_PI;
    };
    const CellIntegral circle_mass = [](double lo, double hi) {
        const auto f = [](double x) { return std::asin(x) + x * std::sqrt(1.0 - x * x); };
        return (f(hi) - f(lo)) / M_PI;
    };
    const CellIntegral circle_moment = [](double lo, double hi) {
        const auto f = [](double x) { return -std::pow(1.0 - x * x, 1.5) * 2.0 / 3.0; };
        return (f(hi) - f(lo)) / M_PI;
    };
    const CellIntegral parabola_mass = [](double lo, double hi) {
        const auto f = [](double x) { return 0.75 * (x - x * x * x / 3.0); };
        return f(hi) - f(lo);
    };
    const CellIntegral parabola_moment = [](double lo, double hi) {
        const auto f = [](double x) { return 0.75 * (x * x / 2.0 - x * x * x * x / 4.0); };
        return f(hi) - f(lo);
    };
    for (const uint32_t bits : {2u, 3u, 4u}) {
        SCOPED_TRACE("bits " + std::to_string(bits));
        const size_t n = levels_of(bits);
        const double clamped = static_cast<double>(n - 1) / static_cast<double>(n);
        ASSERT_NO_FATAL_FAILURE(expect_centroids_near(
            codebook(bits, 2), closed_form_lloyd_max(n, clamped, arcsine_mass, arcsine_moment)));
        ASSERT_NO_FATAL_FAILURE(expect_centroids_near(
            codebook(bits, 4), closed_form_lloyd_max(n, clamped, circle_mass, circle_moment)));
        ASSERT_NO_FATAL_FAILURE(expect_centroids_near(
            codebook(bits, 5),
            closed_form_lloyd_max(n, 3.0 / std::sqrt(10.0), parabola_mass, parabola_moment)));

        // Flat density: evenly spaced levels, boundaries on the grid between them.
        const Codebook flat = codebook(bits, 3);
        for (size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(flat.centroids[k], -1.0 + (2.0 * k + 1.0) / n, 1e-7);
        }
        for (size_t k = 0; k + 1 < n; ++k) {
            EXPECT_NEAR(flat.boundaries[k], -1.0 + 2.0 * (k + 1.0) / n, 1e-7);
        }
        for (const size_t dim : {2, 3, 4, 5}) {
            ASSERT_NO_FATAL_FAILURE(expect_well_formed(codebook(bits, dim), bits, dim));
        }
    }
}

TEST(Codebook, ApproachesNormalLevelsAsDimGrows) {
    const size_t dim = 65536;
    const double scale = std::sqrt(static_cast<double>(dim));
    const Codebook two = cached_codebook(2, dim);
    const std::vector<double> normal2 = {-1.5104, -0.4528, 0.4528, 1.5104};
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(two.centroids[k] * scale, normal2[k], 2e-3) << "centroid " << k;
    }
    const Codebook three = cached_codebook(3, dim);
    const std::vector<double> normal3 = {-2.1520, -1.3439, -0.7560, -0.2451,
                                         0.2451,  0.7560,  1.3439,  2.1520};
    for (size_t k = 0; k < 8; ++k) {
        EXPECT_NEAR(three.centroids[k] * scale, normal3[k], 2e-3) << "centroid " << k;
    }
}

TEST(Codebook, StaysFiniteForLargeDims) {
    for (const uint32_t bits : {2u, 3u, 4u}) {
        for (const size_t dim : {size_t{65536}, size_t{1} << 20}) {
            ASSERT_NO_FATAL_FAILURE(expect_well_formed(cached_codebook(bits, dim), bits, dim));
        }
    }
}

TEST(Codebook, RefusesBadArguments) {
    for (const size_t dim : {0, 1}) {
        try {
            codebook(2, dim);
            ADD_FAILURE() << "dim " << dim << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "codebook needs dim of at least 2 (got " + std::to_string(dim) + ")");
        }
        EXPECT_THROW(cached_codebook(2, dim), Error);
    }
    for (const uint32_t bits : {0u, 1u, 5u, 64u}) {
        try {
            codebook(bits, 8);
            ADD_FAILURE() << "bits " << bits << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "bits must be 2, 3, or 4");
        }
    }
}

// The codebooks of every index dim up to 4096 as the integrating computation gave them before
// codebook evaluated the integrals directly: for bits 2, 3, 4 and dim 8, 16, ..., 4096 in turn,
// the boundaries then the centroids as little-endian float32.
std::map<std::pair<uint32_t, size_t>, Codebook> recorded_codebooks() {
    const std::string path = std::string(QUILANE_TEST_DATA_DIR) + "/codebooks_dim8_to_4096.f32";
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    std::map<std::pair<uint32_t, size_t>, Codebook> books;
    size_t at = 0;
    const auto take = [&bytes, &at](size_t count) {
        std::vector<float> values(count);
        if (at + count * sizeof(float) <= bytes.size()) {
            std::memcpy(values.data(), bytes.data() + at, count * sizeof(float));
        }
        at += count * sizeof(float);
        return values;
    };
    for (const uint32_t bits : {2u, 3u, 4u}) {
        for (size_t dim = 8; dim <= 4096; dim += 8) {
            Codebook& book = books[{bits, dim}];
            book.boundaries = take(levels_of(bits) - 1);
            book.centroids = take(levels_of(bits));
        }
    }
    EXPECT_EQ(at, bytes.size()) << path;
    return books;
}

// Equal as stored: bit for bit, so that the sign of a zero and every last bit count.
void expect_same_bits(const std::vector<float>& actual, const std::vector<float>& expected,
                      const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(std::bit_cast<uint32_t>(actual[k]), std::bit_cast<uint32_t>(expected[k]))
            << what << " " << k << ": " << actual[k] << " recorded " << expected[k];
    }
}

TEST(Codebook, EqualsRecordedValuesForEveryIndexDimUpTo4096) {
    for (const auto& [size, recorded] : recorded_codebooks()) {
        const auto [bits, dim] = size;
        SCOPED_TRACE("bits " + std::to_string(bits) + " dim " + std::to_string(dim));
        const Codebook book = codebook(bits, dim);
        expect_same_bits(book.boundaries, recorded.boundaries, "boundary");
        expect_same_bits(book.centroids, recorded.centroids, "centroid");
        if (HasFailure()) {
            return;
        }
    }
}

// The recorded values, and the middle boundaries codebook keeps of them, are those of the
// defining computation; a sample keeps this test's cost to seconds.
TEST(Codebook, RecordedValuesAreTheIntegratedOnes) {
    const auto recorded = recorded_codebooks();
    for (const auto& [bits, dim] : {std::pair<uint32_t, size_t>{2, 8}, {2, 4096}, {3, 8}, {4, 8}}) {
        SCOPED_TRACE("bits " + std::to_string(bits) + " dim " + std::to_string(dim));
        const Codebook book = integrated_codebook(bits, dim);
        expect_same_bits(book.boundaries, recorded.at({bits, dim}).boundaries, "boundary");
        expect_same_bits(book.centroids, recorded.at({bits, dim}).centroids, "centroid");
    }
}

TEST(CachedCodebook, IsTheCodebookComputedOnce) {
    const Codebook fresh = codebook(2, 24);
    const Codebook& first = cached_codebook(2, 24);
    EXPECT_EQ(first.centroids, fresh.centroids);
    EXPECT_EQ(first.boundaries, fresh.boundaries);
    EXPECT_EQ(&cached_codebook(2, 24), &first);
    EXPECT_NE(&cached_codebook(3, 24), &first);

    // Concurrent first requests for one size all receive the one entry.
    std::vector<const Codebook*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&seen, t] { seen[t] = &cached_codebook(2, 40); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const Codebook* entry : seen) {
        EXPECT_EQ(entry, seen[0]);
    }
    EXPECT_EQ(seen[0]->centroids, codebook(2, 40).centroids);
}

}  // namespace
}  // namespace quilane
