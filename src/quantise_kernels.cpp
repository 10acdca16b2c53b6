// Quantising a query for the first pass: the ranges of its products, and its tables' byte
// entries with the terms of their bound, the same on every instruction set.
#include "first_pass.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>

namespace quilane {

namespace {

double value_of(const TableValues& table, size_t x) {
    if (table.values != nullptr) {
        return table.values[x];
    }
    const double first = table.first * table.first_levels[x];
    return table.second_levels == nullptr
               ? first
               : first + static_cast<double>(table.second * table.second_levels[x]);
}

double entries_scalar(const TableValues& table, double low, double inverse, double cap,
                      uint8_t* entries) {
    double largest = 0.0;
    for (size_t x = 0; x < 16; ++x) {
        const double scaled = (value_of(table, x) - low) * inverse;
        const double entry = std::trunc(std::min(scaled, cap));
        entries[x] = static_cast<uint8_t>(entry);
        largest = std::max(largest, scaled - entry);
    }
    return largest;
}

double ranges_scalar(const float* t, const float* levels, size_t level_count, size_t dim,
                     float* least, float* largest) {
    for (size_t j = 0; j < dim; ++j) {
        least[j] = largest[j] = t[j] * levels[0];
    }
    // Loops over coordinates, not levels, so that the compiler vectorises them: each
    // coordinate's least and largest are still folded over its levels in order.
    for (size_t e = 1; e < level_count; ++e) {
        for (size_t j = 0; j < dim; ++j) {
            const float product = t[j] * levels[e];
            least[j] = std::min(least[j], product);
            largest[j] = std::max(largest[j], product);
        }
    }
    LaneSums magnitudes;
    for (size_t j = 0; j < dim; ++j) {
        const float magnitude = std::max(std::fabs(least[j]), std::fabs(largest[j]));
        magnitudes.add(
            j, std::isfinite(magnitude) ? magnitude : std::numeric_limits<double>::infinity());
    }
    return magnitudes.total();
}

// The table of half byte `high` of row `row`. Its first code is number (8 row + 4 high) / bits,
// a shift at 2 and 4 bits: a division by a width known only at run time cost more than the
// rest of the table.
TableSource whole_code_table(const WholeCodeJob& job, size_t row, size_t high) {
    const size_t j = (8 * row + 4 * high) >> (job.bits / 2);
    if (job.bits == 4) {
        return TableSource{
            {nullptr, job.t[j], job.levels, 0.0f, nullptr}, job.least[j], job.largest[j], 0.0};
    }
    auto widened = [](float x) { return static_cast<double>(x); };
    return TableSource{{nullptr, job.t[j], job.levels, job.t[j + 1], job.second_levels},
                       widened(job.least[j]) + widened(job.least[j + 1]),
                       widened(job.largest[j]) + widened(job.largest[j + 1]),
                       0.0};
}

template <EntryKernel entries>
TableSums whole_codes_one_by_one(const WholeCodeJob& job) {
    return quantise_one_by_one(
        job.rows, [&](size_t row, size_t high) { return whole_code_table(job, row, high); },
        job.step, job.inverse, job.tables, job.stride, entries);
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// its own uninitialised-use analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Eight entries as 32-bit integers; `largest` takes the largest of their scaled - entry.
__attribute__((target("avx512f"))) __m256i eight_entries(__m512d values, __m512d low,
                                                         __m512d inverse, __m512d cap,
                                                         __m512d& largest) {
    const __m512d scaled = _mm512_mul_pd(_mm512_sub_pd(values, low), inverse);
    const __m512d entry =
        _mm512_roundscale_pd(_mm512_min_pd(scaled, cap), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    largest = _mm512_max_pd(largest, _mm512_sub_pd(scaled, entry));
    return _mm512_cvttpd_epi32(entry);
}

// The products of one coordinate with 16 levels, widened: the first eight and the last.
__attribute__((target("avx512f"))) void widened_products(float t, const float* levels,
                                                         __m512d& first, __m512d& last) {
    const __m512 products = _mm512_mul_ps(_mm512_set1_ps(t), _mm512_loadu_ps(levels));
    first = _mm512_cvtps_pd(_mm512_castps512_ps256(products));
    last = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(products), 1)));
}

// Searches take it for split codes; whole codes go through whole_codes_avx512, but this kernel
// forms them as every entry kernel does, in registers: values stored just before a wide load of
// them would hold it up until the stores retire.
__attribute__((target("avx512f"))) double entries_avx512(const TableValues& table, double low,
                                                         double inverse, double cap,
                                                         uint8_t* entries) {
    __m512d first;
    __m512d last;
    if (table.values != nullptr) {
        first = _mm512_loadu_pd(table.values);
        last = _mm512_loadu_pd(table.values + 8);
    } else {
        widened_products(table.first, table.first_levels, first, last);
        if (table.second_levels != nullptr) {
            __m512d second_first;
            __m512d second_last;
            widened_products(table.second, table.second_levels, second_first, second_last);
            first = _mm512_add_pd(first, second_first);
            last = _mm512_add_pd(last, second_last);
        }
    }
    const __m512d lows = _mm512_set1_pd(low);
    const __m512d inverses = _mm512_set1_pd(inverse);
    const __m512d caps = _mm512_set1_pd(cap);
    __m512d largest = _mm512_setzero_pd();
    const __m256i low_half = eight_entries(first, lows, inverses, caps, largest);
    const __m256i high_half = eight_entries(last, lows, inverses, caps, largest);
    const __m512i both = _mm512_inserti64x4(_mm512_castsi256_si512(low_half), high_half, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(entries), _mm512_cvtepi32_epi8(both));
    return _mm512_reduce_max_pd(largest);
}

// 16 coordinates at a time, each lane folding its coordinate's products in level order as the
// plain loop does (the minimum and maximum instructions pick as std::min and std::max do, NaN
// and signed zeros included) and adding to the LaneSums lane of its coordinate.
__attribute__((target("avx512f"))) double ranges_avx512(const float* t, const float* levels,
                                                        size_t level_count, size_t dim,
                                                        float* least, float* largest) {
    const __m512 most = _mm512_set1_ps(std::numeric_limits<float>::max());
    const __m512 infinity = _mm512_set1_ps(std::numeric_limits<float>::infinity());
    __m512d sums = _mm512_setzero_pd();
    for (size_t j = 0; j < dim; j += 16) {
        const __mmask16 live =
            dim - j >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << (dim - j)) - 1);
        const __m512 coordinates = _mm512_maskz_loadu_ps(live, t + j);
        __m512 low = _mm512_mul_ps(coordinates, _mm512_set1_ps(levels[0]));
        __m512 high = low;
        for (size_t e = 1; e < level_count; ++e) {
            const __m512 product = _mm512_mul_ps(coordinates, _mm512_set1_ps(levels[e]));
            low = _mm512_min_ps(product, low);
            high = _mm512_max_ps(product, high);
        }
        _mm512_mask_storeu_ps(least + j, live, low);
        _mm512_mask_storeu_ps(largest + j, live, high);
        __m512 magnitude = _mm512_max_ps(_mm512_abs_ps(high), _mm512_abs_ps(low));
        // NaN fails this comparison too, and adds infinity as in the plain loop.
        const __mmask16 finite = _mm512_cmp_ps_mask(magnitude, most, _CMP_LE_OQ);
        magnitude = _mm512_mask_blend_ps(finite, infinity, magnitude);
        const __m256 upper =
            _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(magnitude), 1));
        sums = _mm512_mask_add_pd(sums, static_cast<__mmask8>(live), sums,
                                  _mm512_cvtps_pd(_mm512_castps512_ps256(magnitude)));
        sums = _mm512_mask_add_pd(sums, static_cast<__mmask8>(live >> 8), sums,
                                  _mm512_cvtps_pd(upper));
    }
    LaneSums magnitudes;
    _mm512_storeu_pd(magnitudes.lanes, sums);
    return magnitudes.total();
}

// Stores the 16 entries of the 8 tables from `first` on, entries[x] holding entry x of table
// first + i in 32-bit lane i, each where quantise_query puts its table; only the live ones.
__attribute__((target("avx512f,avx512bw"))) void store_entries(const __m256i* entries,
                                                               const WholeCodeJob& job,
                                                               size_t first, __mmask8 live) {
    // Word t of words[p] is entries 2 p and 2 p + 1 of table t: an 8 by 8 matrix of words,
    // transposed by interleaving words, then pairs of them, then fours.
    const __m128i pair_up = _mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    __m128i words[8];
    for (size_t p = 0; p < 8; ++p) {
        const __m512i both =
            _mm512_inserti64x4(_mm512_castsi256_si512(entries[2 * p]), entries[2 * p + 1], 1);
        words[p] = _mm_shuffle_epi8(_mm512_cvtepi32_epi8(both), pair_up);
    }
    __m128i twos[8];  // twos[p], twos[p + 1]: words p and p + 1 of tables 0-3, of tables 4-7
    for (size_t p = 0; p < 8; p += 2) {
        twos[p] = _mm_unpacklo_epi16(words[p], words[p + 1]);
        twos[p + 1] = _mm_unpackhi_epi16(words[p], words[p + 1]);
    }
    __m128i fours[8];  // fours[4 h + g]: words 4 h to 4 h + 3 of tables 2 g and 2 g + 1
    for (size_t h = 0; h < 2; ++h) {
        for (size_t s = 0; s < 2; ++s) {
            const __m128i a = twos[4 * h + s];
            const __m128i b = twos[4 * h + 2 + s];
            fours[4 * h + 2 * s] = _mm_unpacklo_epi32(a, b);
            fours[4 * h + 2 * s + 1] = _mm_unpackhi_epi32(a, b);
        }
    }
    for (size_t g = 0; g < 4; ++g) {
        const __m128i rows[2] = {_mm_unpacklo_epi64(fours[g], fours[4 + g]),
                                 _mm_unpackhi_epi64(fours[g], fours[4 + g])};
        for (size_t i = 0; i < 2; ++i) {
            const size_t table = first + 2 * g + i;
            if ((live >> (2 * g + i)) & 1u) {
                uint8_t* out = job.tables + table_offset(table / 2, table % 2, job.stride);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), rows[i]);
            }
        }
    }
}

// Eight floats from `count` pairs at `from` (the rest zero): the first of each pair, or the
// second.
__attribute__((target("avx512f"))) __m256 of_pairs(const float* from, size_t count, bool second) {
    const __m512i order = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const auto live = static_cast<__mmask16>((1u << (2 * count)) - 1);
    const __m512 sorted = _mm512_permutexvar_ps(order, _mm512_maskz_loadu_ps(live, from));
    return second ? _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(sorted), 1))
                  : _mm512_castps512_ps256(sorted);
}

// The double sums of `count` pairs at `from`, widened.
__attribute__((target("avx512f"))) __m512d pair_sums(const float* from, size_t count) {
    return _mm512_add_pd(_mm512_cvtps_pd(of_pairs(from, count, false)),
                         _mm512_cvtps_pd(of_pairs(from, count, true)));
}

__attribute__((target("avx512f"))) __m256 first_eight(const float* from, size_t count) {
    return _mm512_castps512_ps256(
        _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1), from));
}

// The coordinates of the 8 tables from `first` on, one per lane, with their least and largest
// values: one coordinate a table at 4 bits, two at 2.
struct EightTables {
    __m256 first;
    __m256 second;
    __m512d least;
    __m512d largest;
};

__attribute__((target("avx512f"))) EightTables eight_tables(const WholeCodeJob& job, size_t first,
                                                            size_t count) {
    if (job.bits == 4) {
        return EightTables{first_eight(job.t + first, count), _mm256_setzero_ps(),
                           _mm512_cvtps_pd(first_eight(job.least + first, count)),
                           _mm512_cvtps_pd(first_eight(job.largest + first, count))};
    }
    return EightTables{
        of_pairs(job.t + 2 * first, count, false), of_pairs(job.t + 2 * first, count, true),
        pair_sums(job.least + 2 * first, count), pair_sums(job.largest + 2 * first, count)};
}

__attribute__((target("avx512f"))) __m512d widened_product(__m256 t, float level) {
    return _mm512_cvtps_pd(_mm256_mul_ps(t, _mm256_set1_ps(level)));
}

// Whole codes 8 tables, one chunk, at a time, table first + i in lane i: value x of every table
// formed at once, as entries_avx512 forms it for one, each lane computing what
// whole_codes_one_by_one computes for its table and adding to the LaneSums lane of its table.
// Quantising a dim-384 query one table at a time took 9 % of a batch (perf).
__attribute__((target("avx512f,avx512bw"))) TableSums whole_codes_avx512(const WholeCodeJob& job) {
    const size_t tables = 2 * job.rows;
    const __m512d inverse = _mm512_set1_pd(job.inverse);
    const __m512d step = _mm512_set1_pd(job.step);
    const __m512d ceiling = _mm512_set1_pd(static_cast<double>(kRowCeiling));
    __m512d base = _mm512_setzero_pd();
    __m512d residuals = _mm512_setzero_pd();
    __m512d magnitudes = _mm512_setzero_pd();
    for (size_t first = 0; first < tables; first += 8) {
        const size_t count = std::min<size_t>(8, tables - first);
        const auto live = static_cast<__mmask8>((1u << count) - 1);
        const EightTables eight = eight_tables(job, first, count);
        // A high table (odd lane) may reach the ceiling less the low one's largest entry.
        const __m512d low_largest = _mm512_roundscale_pd(
            _mm512_min_pd(_mm512_mul_pd(_mm512_sub_pd(eight.largest, eight.least), inverse),
                          ceiling),
            _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m512d cap = _mm512_mask_sub_pd(ceiling, 0xAA, ceiling,
                                               _mm512_unpacklo_pd(low_largest, low_largest));
        __m512d beyond = _mm512_setzero_pd();
        __m256i entries[16];
        __m512d products[4];  // at 2 bits, of the second coordinate with level x >> 2
        if (job.bits == 2) {
            for (size_t h = 0; h < 4; ++h) {
                products[h] = widened_product(eight.second, job.second_levels[4 * h]);
            }
        }
        for (size_t x = 0; x < 16; ++x) {
            __m512d value = widened_product(eight.first, job.levels[x]);
            if (job.bits == 2) {
                value = _mm512_add_pd(value, products[x >> 2]);
            }
            entries[x] = eight_entries(value, eight.least, inverse, cap, beyond);
        }
        store_entries(entries, job, first, live);
        const __m512d magnitude =
            _mm512_add_pd(_mm512_max_pd(_mm512_abs_pd(eight.largest), _mm512_abs_pd(eight.least)),
                          _mm512_abs_pd(eight.least));
        base = _mm512_mask_add_pd(base, live, base, eight.least);
        residuals = _mm512_mask_add_pd(residuals, live, residuals, _mm512_mul_pd(step, beyond));
        magnitudes = _mm512_mask_add_pd(magnitudes, live, magnitudes, magnitude);
    }
    LaneSums sums[3];
    _mm512_storeu_pd(sums[0].lanes, base);
    _mm512_storeu_pd(sums[1].lanes, residuals);
    _mm512_storeu_pd(sums[2].lanes, magnitudes);
    return TableSums{sums[0].total(), sums[1].total(), sums[2].total()};
}

#pragma GCC diagnostic pop

__attribute__((target("avx2"))) __m128i four_entries(__m256d values, __m256d low, __m256d inverse,
                                                     __m256d cap, __m256d& largest) {
    const __m256d scaled = _mm256_mul_pd(_mm256_sub_pd(values, low), inverse);
    const __m256d entry =
        _mm256_round_pd(_mm256_min_pd(scaled, cap), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    largest = _mm256_max_pd(largest, _mm256_sub_pd(scaled, entry));
    return _mm256_cvttpd_epi32(entry);
}

__attribute__((target("avx2"))) __m256d four_products(float t, const float* levels) {
    return _mm256_cvtps_pd(_mm_mul_ps(_mm_set1_ps(t), _mm_loadu_ps(levels)));
}

// Four values of a table, from `from` on.
__attribute__((target("avx2"))) __m256d four_values(const TableValues& table, size_t from) {
    if (table.values != nullptr) {
        return _mm256_loadu_pd(table.values + from);
    }
    const __m256d first = four_products(table.first, table.first_levels + from);
    return table.second_levels == nullptr
               ? first
               : _mm256_add_pd(first, four_products(table.second, table.second_levels + from));
}
__attribute__((target("avx2"))) double entries_avx2(const TableValues& table, double low,
                                                    double inverse, double cap, uint8_t* entries) {
    const __m256d lows = _mm256_set1_pd(low);
    const __m256d inverses = _mm256_set1_pd(inverse);
    const __m256d caps = _mm256_set1_pd(cap);
    __m256d largest = _mm256_setzero_pd();
    __m128i quarters[4];
    for (size_t i = 0; i < 4; ++i) {
        quarters[i] = four_entries(four_values(table, 4 * i), lows, inverses, caps, largest);
    }
    const __m128i first = _mm_packs_epi32(quarters[0], quarters[1]);
    const __m128i second = _mm_packs_epi32(quarters[2], quarters[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(entries), _mm_packus_epi16(first, second));
    const __m128d pair =
        _mm_max_pd(_mm256_castpd256_pd128(largest), _mm256_extractf128_pd(largest, 1));
    return _mm_cvtsd_f64(_mm_max_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

#endif

}  // namespace

RangeKernel range_kernel(Isa isa) {
#if defined(__x86_64__)
    if (isa == Isa::Avx512) {
        return ranges_avx512;
    }
#else
    (void)isa;
#endif
    return ranges_scalar;
}

EntryKernel entry_kernel(Isa isa) {
#if defined(__x86_64__)
    switch (isa) {
        case Isa::Avx512:
            return entries_avx512;
        case Isa::Avx2:
            return entries_avx2;
        case Isa::Scalar:
            break;
    }
#else
    (void)isa;
#endif
    return entries_scalar;
}

WholeCodeKernel whole_code_kernel(Isa isa) {
#if defined(__x86_64__)
    switch (isa) {
        case Isa::Avx512:
            return whole_codes_avx512;
        case Isa::Avx2:
            return whole_codes_one_by_one<entries_avx2>;
        case Isa::Scalar:
            break;
    }
#else
    (void)isa;
#endif
    return whole_codes_one_by_one<entries_scalar>;
}

}  // namespace quilane
