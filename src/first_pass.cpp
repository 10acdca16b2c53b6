#include "first_pass.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace quilane {

// --- Why a skipped vector cannot belong in the best k ---
//
// The exact scan gives a vector with codes e_j and norm w the score fl(s * w), where s is the
// float sum, left to right from 0.0f, of the float products T[j][e_j] = fl(t[j] * c[e_j]).
//
// 1. Tables. Each half byte x of a block row holds the bits of the codes of one or two
//    coordinates: whole codes (always at 2 and 4 bits) or, at 3 bits, the low or the high bits
//    of a code that goes on in the next half byte. A whole code adds its product T[j][e]; the low
//    bits lo of a split code add F(lo) = T[j][lo], its high bits hi add G(hi), the least over lo
//    of T[j][lo + hi 2^l] - F(lo), so that the code's product is F(lo) + G(hi) + r with r between
//    0 and R, the largest such difference. The half byte's value V[x] is the double sum of what
//    its parts add, within 2^-53 |V[x]| of the real sum. With m = min_x V[x] of each table and
//    one step d > 0, the entry is q[x] = floor((V[x] - m) / d), clipped so that the two tables of
//    a row never add up beyond 255 (d is chosen so that clipping is rare, but nothing relies on
//    it). Whatever q is, V[x] = m + d q[x] + r[x] for a residual r[x] that is 0 at the least
//    value and below d unless clipped. Over all N tables of a vector with integer sum Q = sum
//    of q, the real sum S of its products is M + d Q + (its residuals and its r), M the sum of
//    the m, so S lies in [M + d Q, M + U + d Q], U the sum over tables of the largest residual
//    and over split codes of R. Forming V, m, R, the residuals and these sums in double errs by
//    at most e = (N + 64) 2^-50 (sum max |V| + sum |m| + sum R + 256 N d), every term being at
//    most |V| + |m| + R + 256 d.
// 2. The float sum. Summing dim floats in any order differs from the real sum S by at most
//    gamma(dim - 1) * B, gamma(n) = n u / (1 - n u), u = 2^-24, B = sum_j max_e |T[j][e]|, as long
//    as nothing overflows (we require B <= 2^126, so no partial sum can reach FLT_MAX) and n u < 1
//    (we require dim <= 2^22). Subnormal partial sums do not weaken this: a float addition whose
//    result is subnormal is exact.
// 3. So s lies in [low(Q), high(Q)] = [M + L - E + d Q, M + U + E + d Q], E = e + gamma B plus a
//    further 2^-50 of every magnitude involved, which covers evaluating these in double.
// 4. The score. For a finite norm w, s * w lies between the products of w with the ends of
//    [low(Q), high(Q)]; rounding to float is monotone, so fl(s * w) <= fl(P) for P the larger
//    product. P is computed in double within 2^-53 |P|, so P + 2^-52 |P| bounds it from above.
//    If that is at most tau, the float just below the buffer's worst score theta, then
//    fl(s * w) <= tau < theta: the vector ranks below theta (a lower position cannot help it, as
//    its score is not equal), and below every one of the k buffered candidates, so it cannot be
//    among the best k of the vectors this worker scores, nor among the best k overall. A NaN or
//    infinite norm, a buffer not yet full or a NaN theta never skip; the vector is scored.
// 5. The block test is monotone. Let it hold for a largest sum S and a largest norm W >= 0, and
//    take S' <= S and 0 <= W' <= W. The double high end h(S') <= h(S), rounding being monotone.
//    If h(S') >= 0, then 0 <= h(S') W' <= h(S) W after rounding too, and p + 2^-52 |p| grows with
//    p, so the test at (S', W') holds; if h(S') < 0, its product is at most 0, and 0 <= tau is
//    part of the test at (S, W). So a block whose largest sum is at most a sum S for which the
//    test holds at the largest norm W of a whole chunk of blocks passes its own test as well.
// 6. Sums are exact: the two entries of a row add up to at most 255, so without carry in a byte;
//    256 such bytes in a 16-bit lane stay below 2^16, and the kernels widen to 32 bits at least
//    that often.

namespace {

constexpr double kRelative = 0x1p-50;
constexpr size_t kMaxBoundDim = size_t{1} << 22;
constexpr double kMaxTableSum = 0x1p126;
constexpr size_t kEntries = 16;
// The most two entries of one row add up to: a byte.
constexpr uint32_t kRowCeiling = 255;

// The least and the largest product T[j][e] of each coordinate over its levels, and B of
// step 2, the sum over coordinates of the largest magnitude: not finite when a product is not.
struct ProductRanges {
    std::vector<float> least;
    std::vector<float> largest;
    double largest_magnitudes = 0.0;
};

ProductRanges product_ranges(const float* t, const float* centroids, size_t dim, size_t bits) {
    ProductRanges ranges{std::vector<float>(dim), std::vector<float>(dim), 0.0};
    for (size_t j = 0; j < dim; ++j) {
        float least = t[j] * centroids[0];
        float largest = least;
        for (size_t e = 1; e < (size_t{1} << bits); ++e) {
            least = std::min(least, t[j] * centroids[e]);
            largest = std::max(largest, t[j] * centroids[e]);
        }
        ranges.least[j] = least;
        ranges.largest[j] = largest;
        const float magnitude = std::max(std::fabs(least), std::fabs(largest));
        ranges.largest_magnitudes +=
            std::isfinite(magnitude) ? magnitude : std::numeric_limits<double>::infinity();
    }
    return ranges;
}

// The bits of one code that lie in a half byte: `width` of them, from bit `shift` of the half
// byte, and the value each of their settings adds to the table (step 1).
struct CodePart {
    size_t shift = 0;
    size_t width = 0;
    std::array<double, kEntries> value;  // the first 2^width are set
    double least = 0.0;
    double largest = 0.0;
    double residual = 0.0;  // R of a code's high part; 0 otherwise
};

// Sets `part` to the part of the code of coordinate j that covers bits [first, first + width)
// of the code: the whole code adds its products; a low part the products with the high bits
// clear, F(lo); a high part G(hi), the least of T[j][lo + hi 2^l] - F(lo) over the low settings
// lo, leaving a residual r between 0 and R.
void set_code_part(const float* t, const float* centroids, const ProductRanges& ranges, size_t bits,
                   size_t j, size_t first, size_t width, CodePart& part) {
    part.width = width;
    part.residual = 0.0;
    auto product = [&](size_t e) { return static_cast<double>(t[j] * centroids[e]); };
    const size_t settings = size_t{1} << width;
    if (width == bits) {
        for (size_t v = 0; v < settings; ++v) {
            part.value[v] = product(v);
        }
        part.least = ranges.least[j];
        part.largest = ranges.largest[j];
        return;
    }
    if (first == 0) {
        for (size_t v = 0; v < settings; ++v) {
            part.value[v] = product(v);
        }
    } else {
        for (size_t v = 0; v < settings; ++v) {
            double least = std::numeric_limits<double>::infinity();
            double largest = -least;
            for (size_t lo = 0; lo < (size_t{1} << first); ++lo) {
                const double rise = product(lo + (v << first)) - product(lo);
                least = std::min(least, rise);
                largest = std::max(largest, rise);
            }
            part.value[v] = least;
            part.residual = std::max(part.residual, largest - least);
        }
    }
    part.least = *std::min_element(part.value.begin(), part.value.begin() + settings);
    part.largest = *std::max_element(part.value.begin(), part.value.begin() + settings);
}

// The parts of the codes in half byte `high` of row `row`, at most two: row r of group g holds
// bits [8 r, 8 r + 8) of the group's string, code c its bits [bits c, bits c + bits).
struct HalfByte {
    std::array<CodePart, 2> parts;
    size_t count = 0;
    double least = 0.0;    // m: the least value, double addition being monotone ...
    double largest = 0.0;  // ... and the largest
};

HalfByte half_byte(const float* t, const float* centroids, const ProductRanges& ranges, size_t bits,
                   size_t row, size_t high) {
    HalfByte half;
    const size_t start = 8 * (row % bits) + 4 * high;
    for (size_t c = start / bits; c < 8 && bits * c < start + 4; ++c) {
        const size_t from = std::max(start, bits * c);
        const size_t to = std::min(start + 4, bits * c + bits);
        CodePart& part = half.parts[half.count++];
        set_code_part(t, centroids, ranges, bits, 8 * (row / bits) + c, from - bits * c, to - from,
                      part);
        part.shift = from - start;
    }
    for (size_t p = 0; p < half.count; ++p) {
        half.least += half.parts[p].least;
        half.largest += half.parts[p].largest;
    }
    return half;
}

// V[x] of every half byte x: what its parts add, in double, the part at bit 0 first.
std::array<double, kEntries> values_of(const HalfByte& half) {
    std::array<double, kEntries> values;
    const CodePart& first = half.parts[0];
    const size_t mask = (size_t{1} << first.width) - 1;
    for (size_t x = 0; x < kEntries; ++x) {
        values[x] = first.value[x & mask];
    }
    if (half.count == 2) {
        const CodePart& second = half.parts[1];
        for (size_t x = 0; x < kEntries; ++x) {
            values[x] += second.value[x >> second.shift];
        }
    }
    return values;
}

// The range of a row's values: what its two tables span together.
double row_range(const float* t, const float* centroids, const ProductRanges& ranges, size_t bits,
                 size_t row) {
    if (bits == 3) {
        // Codes go on from one half byte or row into the next: the ranges of their parts.
        const HalfByte low = half_byte(t, centroids, ranges, bits, row, 0);
        const HalfByte high = half_byte(t, centroids, ranges, bits, row, 1);
        return (low.largest - low.least) + (high.largest - high.least);
    }
    const size_t first = 8 * (row / bits) + 8 * (row % bits) / bits;
    double range = 0.0;
    for (size_t j = first; j < first + 8 / bits; ++j) {
        range += static_cast<double>(ranges.largest[j]) - static_cast<double>(ranges.least[j]);
    }
    return range;
}

// The step that lets the larger-ranged rows fill their byte: the largest row range over 255.
// Not finite when a product is not.
double common_step(const float* t, const float* centroids, const ProductRanges& ranges, size_t bits,
                   size_t rows) {
    double step = 0.0;
    for (size_t row = 0; row < rows; ++row) {
        const double range = row_range(t, centroids, ranges, bits, row);
        if (!std::isfinite(range)) {
            return range;
        }
        step = std::max(step, range / kRowCeiling);
    }
    return step;
}

// What one table adds to the sums of step 1.
struct TableTerms {
    double low = 0.0;               // m
    double largest_residual = 0.0;  // its least is 0, at the least value
    double magnitude = 0.0;         // max |V| + |m| + R
    uint32_t largest_entry = 0;
};

// Writes the 16 entries of one half byte's table, none above `ceiling`, and returns its terms.
// Entries grow with V, so the least and largest entries are those of the least and largest
// value. An entry below the ceiling leaves a residual below d; a clipped one leaves
// V[x] - m - d ceiling, largest at the largest value. A code's high part adds its own R.
TableTerms quantise_table(const HalfByte& half, double step, double inverse, uint32_t ceiling,
                          uint8_t* out) {
    const double cap = static_cast<double>(ceiling);
    // Not negative, so truncation is the floor.
    auto entry = [&](double above) { return static_cast<int32_t>(std::min(above * inverse, cap)); };
    TableTerms terms;
    terms.low = half.least;
    const std::array<double, kEntries> values = values_of(half);
    for (size_t x = 0; x < kEntries; ++x) {
        out[x] = static_cast<uint8_t>(entry(values[x] - terms.low));
    }
    const double span = half.largest - terms.low;
    double residual = 0.0;
    for (size_t p = 0; p < half.count; ++p) {
        residual += half.parts[p].residual;
    }
    terms.largest_entry = static_cast<uint32_t>(entry(span));
    terms.largest_residual = (span * inverse < cap + 1.0 ? step : span - step * cap) + residual;
    terms.magnitude =
        std::max(std::fabs(terms.low), std::fabs(half.largest)) + std::fabs(terms.low) + residual;
    return terms;
}

}  // namespace

QuantisedQuery quantise_query(const float* t, const float* centroids, size_t dim, size_t bits,
                              uint8_t* out_tables, size_t stride) {
    QuantisedQuery query;
    const size_t rows = bits * dim / 8;
    const size_t tables = 2 * rows;
    const ProductRanges ranges = product_ranges(t, centroids, dim, bits);
    const double table_sum = ranges.largest_magnitudes;  // B
    const double step = common_step(t, centroids, ranges, bits, rows);
    if (!std::isfinite(table_sum) || !std::isfinite(step) || !(step > 0.0) || dim > kMaxBoundDim ||
        table_sum > kMaxTableSum) {
        return query;
    }
    double base = 0.0;       // M
    double largest = 0.0;    // U
    double magnitude = 0.0;  // sum max |V| + sum |m|
    const double inverse = 1.0 / step;
    for (size_t row = 0; row < rows; ++row) {
        uint32_t ceiling = kRowCeiling;
        for (size_t high = 0; high < 2; ++high) {
            const TableTerms terms =
                quantise_table(half_byte(t, centroids, ranges, bits, row, high), step, inverse,
                               ceiling, out_tables + table_offset(row, high, stride));
            ceiling -= terms.largest_entry;
            base += terms.low;
            largest += terms.largest_residual;
            magnitude += terms.magnitude;
        }
    }
    const double count = static_cast<double>(tables);
    const double reach = 256.0 * count * step;  // the largest d Q, and more
    const double unit = 0x1p-24 * static_cast<double>(dim - 1);
    const double gamma = unit / (1.0 - unit) * (1.0 + kRelative);
    const double quantised = (count + 64.0) * kRelative * (magnitude + reach);
    // B summed in double may fall short by dim 2^-53 of itself.
    const double summed = gamma * table_sum * (1.0 + 0x1p-28);
    const double error =
        quantised + summed + kRelative * (std::fabs(base) + summed + quantised + 2.0 * reach);
    query.step = step;
    query.low_base = base - error;
    query.high_base = base + largest + error;
    query.usable = std::isfinite(query.high_base) && std::isfinite(query.low_base);
    return query;
}

// The float just below a number (-inf stays).
Bar bar_below(float worst) {
    if (std::isnan(worst)) {
        return Bar{};
    }
    const uint32_t bits = std::bit_cast<uint32_t>(worst);
    double tau = static_cast<double>(std::bit_cast<float>(worst > 0.0f ? bits - 1 : bits + 1));
    if (worst == 0.0f) {
        tau = -static_cast<double>(std::numeric_limits<float>::denorm_min());
    } else if (std::isinf(worst) && worst < 0.0f) {
        tau = static_cast<double>(worst);
    }
    return Bar{tau, true};
}

int64_t sum_limit(const QuantisedQuery& query, const Bar& bar, float largest_norm, uint32_t most) {
    if (!bar.armed || !query.usable || !std::isfinite(largest_norm) || !(largest_norm >= 0.0f) ||
        !(bar.tau >= 0.0)) {
        return -1;
    }
    // A guess that ignores rounding, then checked by the test itself: only a checked sum is
    // returned, so the guess needs no proof.
    const double guess =
        largest_norm > 0.0f ? (bar.tau / largest_norm - query.high_base) / query.step : most;
    if (!(guess >= 0.0)) {
        return -1;
    }
    uint32_t sum = guess >= most ? most : static_cast<uint32_t>(guess);
    for (int attempt = 0; attempt < 4; ++attempt, --sum) {
        if (block_cannot_reach(query, bar, sum, largest_norm)) {
            return sum;
        }
        if (sum == 0) {
            break;
        }
    }
    return -1;
}

}  // namespace quilane
