#include "first_pass.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <span>
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
//    and over split codes of R. A table's largest residual is taken from its own 16 entries, as
//    d times the largest (V[x] - m) / d - q[x]: a code picks one entry of each table, so no
//    vector has more, and at 16 entries it is near 0.94 d where d alone would bound it. Forming
//    V, m, R, the residuals and these sums in double, in any order of addition, errs by at most e =
//    (N + 64) 2^-50 (sum max |V| + sum |m| + sum R + 256 N d), every term being at most |V| + |m| +
//    R + 256 d: a residual formed as d times fl(fl(V[x] - m) * fl(1 / d)) - q[x] is off by at most
//    3.01 2^-53 (V[x] - m) plus 2^-53 of itself, and V[x] - m is at most 256 d unless clipped,
//    when |V| + |m| bounds it.
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

// The products T[j][e] of a query, formed where they are read, with the least and the largest of
// each coordinate's, and B of step 2, the sum over coordinates of the largest magnitude: not
// finite when a product is not.
struct Products {
    const float* t;
    std::array<float, kEntries> centroids;  // repeated, so that every e < 16 reads a level
    // At 2 bits, the level of the second code of half byte x, x >> 2.
    std::array<float, kEntries> second_levels;
    std::vector<float> least;
    std::vector<float> largest;
    double largest_magnitudes = 0.0;

    float at(size_t j, size_t e) const { return t[j] * centroids[e]; }
};

Products products_of(const float* t, const float* centroids, size_t dim, size_t bits, Isa isa) {
    const size_t levels = size_t{1} << bits;
    Products products{t, {}, {}, std::vector<float>(dim), std::vector<float>(dim), 0.0};
    for (size_t e = 0; e < kEntries; ++e) {
        products.centroids[e] = centroids[e % levels];
        products.second_levels[e] = centroids[(e >> 2) % levels];
    }
    products.largest_magnitudes = range_kernel(isa)(t, centroids, levels, dim,
                                                    products.least.data(), products.largest.data());
    return products;
}

// V[x] of one half byte for each of its settings x (step 1): what the parts of the codes it
// holds add, in double.
struct HalfByte {
    std::array<double, kEntries> value;
    double least = 0.0;     // m: the least value, double addition being monotone ...
    double largest = 0.0;   // ... and the largest
    double residual = 0.0;  // R of a code whose high bits it holds; 0 otherwise
};

// The bits of one code that lie in a half byte: `width` of them, from bit `shift` of the half
// byte, and the value each of their settings adds to the table.
struct CodePart {
    size_t shift = 0;
    size_t width = 0;
    std::array<double, kEntries> value;  // the first 2^width are set
    double least = 0.0;
    double largest = 0.0;
    double residual = 0.0;
};

// The part of the code of coordinate j that covers bits [first, first + width) of the code: a
// low part adds the products with the high bits clear, F(lo); a high part G(hi), the least of
// T[j][lo + hi 2^l] - F(lo) over the low settings lo, leaving a residual r between 0 and R.
CodePart code_part(const Products& products, size_t j, size_t first, size_t width) {
    CodePart part;
    part.width = width;
    auto product = [&](size_t e) { return static_cast<double>(products.at(j, e)); };
    const size_t settings = size_t{1} << width;
    for (size_t v = 0; v < settings; ++v) {
        if (first == 0) {
            part.value[v] = product(v);
            continue;
        }
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
    part.least = *std::min_element(part.value.begin(), part.value.begin() + settings);
    part.largest = *std::max_element(part.value.begin(), part.value.begin() + settings);
    return part;
}

// Row r of group g holds bits [8 r, 8 r + 8) of the group's string, code c its bits
// [bits c, bits c + bits). At 3 bits a half byte holds the parts of at most two codes, of which
// the first or the last may be split.
HalfByte split_half_byte(const Products& products, size_t row, size_t high) {
    constexpr size_t bits = 3;
    const size_t start = 8 * (row % bits) + 4 * high;
    HalfByte half{};
    for (size_t c = start / bits; c < 8 && bits * c < start + 4; ++c) {
        const size_t from = std::max(start, bits * c);
        const size_t to = std::min(start + 4, bits * c + bits);
        const CodePart part = code_part(products, 8 * (row / bits) + c, from - bits * c, to - from);
        const size_t shift = from - start;
        const size_t mask = (size_t{1} << part.width) - 1;
        for (size_t x = 0; x < kEntries; ++x) {
            half.value[x] += part.value[(x >> shift) & mask];
        }
        half.least += part.least;
        half.largest += part.largest;
        half.residual += part.residual;
    }
    return half;
}

// The range of a row's values: what its two tables span together.
double row_range(const Products& products, std::span<const HalfByte> halves, size_t bits,
                 size_t row) {
    if (bits == 3) {
        // Codes go on from one half byte or row into the next: the ranges of their parts.
        const HalfByte& low = halves[2 * row];
        const HalfByte& high = halves[2 * row + 1];
        return (low.largest - low.least) + (high.largest - high.least);
    }
    // The row's 8 / bits codes, from number 8 row / bits: shifts, as in whole_codes.
    const size_t first = (8 * row) >> (bits / 2);
    double range = 0.0;
    for (size_t j = first; j < first + (8 >> (bits / 2)); ++j) {
        range += static_cast<double>(products.largest[j]) - static_cast<double>(products.least[j]);
    }
    return range;
}

// The step that lets the larger-ranged rows fill their byte: the largest row range over 255,
// which is the largest of each range over 255, division being monotone. Not finite when a
// product is not.
double common_step(const Products& products, std::span<const HalfByte> halves, size_t bits,
                   size_t rows) {
    double largest = 0.0;
    for (size_t row = 0; row < rows; ++row) {
        const double range = row_range(products, halves, bits, row);
        if (!std::isfinite(range)) {
            return range;
        }
        largest = std::max(largest, range);
    }
    return largest / kRowCeiling;
}

}  // namespace

QuantisedQuery quantise_query(const float* t, const float* centroids, size_t dim, size_t bits,
                              uint8_t* out_tables, size_t stride, Isa isa) {
    QuantisedQuery query;
    const size_t rows = bits * dim / 8;
    const size_t tables = 2 * rows;
    const Products products = products_of(t, centroids, dim, bits, isa);
    // Split codes: every table's values first, as their ranges set the step; whole codes need
    // none, their kernel forming them.
    std::unique_ptr<HalfByte[]> halves;
    if (bits == 3) {
        halves.reset(new HalfByte[tables]);
        for (size_t table = 0; table < tables; ++table) {
            halves[table] = split_half_byte(products, table / 2, table % 2);
        }
    }
    const double table_sum = products.largest_magnitudes;  // B
    const double step = common_step(products, {halves.get(), halves ? tables : 0}, bits, rows);
    if (!std::isfinite(table_sum) || !std::isfinite(step) || !(step > 0.0) || dim > kMaxBoundDim ||
        table_sum > kMaxTableSum) {
        return query;
    }
    const double inverse = 1.0 / step;
    const TableSums sums =
        halves ? quantise_one_by_one(
                     rows,
                     [&](size_t row, size_t high) {
                         const HalfByte& half = halves[2 * row + high];
                         return TableSource{{half.value.data(), 0.0f, nullptr, 0.0f, nullptr},
                                            half.least,
                                            half.largest,
                                            half.residual};
                     },
                     step, inverse, out_tables, stride, entry_kernel(isa))
               : whole_code_kernel(isa)(
                     WholeCodeJob{t, products.centroids.data(), products.second_levels.data(),
                                  products.least.data(), products.largest.data(), bits, rows, step,
                                  inverse, out_tables, stride});
    const double base = sums.base;
    const double magnitude = sums.magnitudes;
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
    query.high_base = base + sums.residuals + error;
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
