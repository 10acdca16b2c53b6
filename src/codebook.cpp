#include "codebook.hpp"

#include <algorithm>
#include <boost/math/distributions/beta.hpp>
#include <boost/math/special_functions/gamma.hpp>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <utility>

#include "error.hpp"

namespace quilane {

namespace {

constexpr int kMaxIterations = 200;
constexpr double kConvergence = 1e-12;
constexpr double kEmptyCellMass = 1e-15;
constexpr double kSimpsonTolerance = 1e-14;
constexpr unsigned kSimpsonDepth = 50;
constexpr double kSeriesTolerance = 1e-17;
constexpr double kFractionTolerance = 1e-16;
constexpr double kMaxFractionTerms = 10000.0;

void check_codebook_arguments(uint32_t bits, size_t dim) {
    if (bits < 2 || bits > 4) {
        fail("bits must be 2, 3, or 4");
    }
    // The coordinate model Beta((dim - 1) / 2, (dim - 1) / 2) needs a positive shape.
    if (dim < 2) {
        fail("codebook needs dim of at least 2 (got " + std::to_string(dim) + ")");
    }
}

// Library errors become values (NaN or infinity) that the checks below report as the engine's
// own errors, so that no foreign exception type leaves the engine.
using BetaPolicy = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::errno_on_error>,
    boost::math::policies::overflow_error<boost::math::policies::errno_on_error>,
    boost::math::policies::evaluation_error<boost::math::policies::errno_on_error>>;

using Beta = boost::math::beta_distribution<double, BetaPolicy>;

// The distribution of one coordinate x in [-1, 1] of a random unit vector: (x + 1) / 2 follows
// Beta(alpha, alpha).
struct CoordinateModel {
    Beta beta;
    // Beta(alpha + 1, alpha): its distribution function gives the first moment in closed form.
    Beta shifted;

    explicit CoordinateModel(double alpha) : beta(alpha, alpha), shifted(alpha + 1.0, alpha) {}

    // Below a shape of 2 (dims 2 to 4) the density has poles (dim 2) or unbounded slopes (dim 4)
    // at -1 and +1, where adaptive Simpson converges slowly or, at a pole, not at all.
    bool rough_at_ends() const { return beta.alpha() < 2.0; }

    // Every cell edge and integration point lies in [-1, 1]: the initial grid and every
    // conditional mean stay inside the support.
    double cdf(double x) const { return boost::math::cdf(beta, (x + 1.0) * 0.5); }

    // x times the density of the coordinate. A density that is not finite would send the
    // integrator down its whole depth budget, 2^50 evaluations, so it stops the computation.
    double first_moment(double x) const {
        const double density = boost::math::pdf(beta, (x + 1.0) * 0.5);
        if (!std::isfinite(density)) {
            fail("internal error: coordinate density is not finite at " + std::to_string(x));
        }
        return (density * x) * 0.5;
    }

    // The integral of x times the density over [lo, hi] without integrating: with y = (x + 1) / 2,
    // E[y; cell] = B(alpha + 1, alpha) / B(alpha, alpha) * (shifted mass) = shifted mass / 2, so
    // E[x; cell] = 2 E[y; cell] - mass = shifted mass - mass.
    double first_moment_closed_form(double lo, double hi) const {
        const double shifted_mass = boost::math::cdf(shifted, (hi + 1.0) * 0.5) -
                                    boost::math::cdf(shifted, (lo + 1.0) * 0.5);
        return shifted_mass - (cdf(hi) - cdf(lo));
    }

    double first_moment_integral(double lo, double hi) const {
        if (rough_at_ends()) {
            return first_moment_closed_form(lo, hi);
        }
        const auto g = [this](double x) { return first_moment(x); };
        const double mid = (lo + hi) * 0.5;
        const double g_lo = g(lo);
        const double g_hi = g(hi);
        const double g_mid = g(mid);
        const double whole = (4.0 * g_mid + g_lo + g_hi) * ((hi - lo) / 6.0);
        return adaptive_simpson_rec(g, lo, hi, g_lo, g_hi, g_mid, whole, kSimpsonTolerance,
                                    kSimpsonDepth);
    }
};

// exp(a) - exp(b) without the cancellation of subtracting two close values.
double exp_difference(double a, double b) {
    if (a < b) {
        return -exp_difference(b, a);
    }
    if (b == -std::numeric_limits<double>::infinity()) {
        return std::exp(a);
    }
    return std::exp(b) * std::expm1(a - b);
}

// Guards the continued fraction's divisions against a zero denominator.
double away_from_zero(double v) {
    constexpr double kTiny = 1e-300;
    return std::fabs(v) < kTiny ? kTiny : v;
}

// The same coordinate model with its two integrals evaluated directly instead of through the
// library's general incomplete beta function and by quadrature: 500 to 20000 times faster.
// The density of x is K (1 - x^2)^(alpha - 1) with K = Gamma(alpha + 1/2) / (sqrt(pi)
// Gamma(alpha)), and every quantity below is a multiple of the weight
// w(x) = K / (2 alpha) (1 - x^2)^alpha, whose constant is computed once. Used for dims 8 to 4096
// only, where the tests confirm that it gives the integrated codebooks to the last bit.
struct ClosedFormModel {
    double alpha;
    double weight_scale;  // K / (2 alpha)

    explicit ClosedFormModel(double alpha)
        : alpha(alpha),
          weight_scale(1.0 / (2.0 * alpha * std::sqrt(std::numbers::pi) *
                              boost::math::tgamma_delta_ratio(alpha, 0.5, BetaPolicy()))) {}

    // w(x) is weight_scale * exp(log_weight(x)); minus infinity at -1 and +1.
    double log_weight(double x) const { return alpha * std::log1p(-(x * x)); }

    // P((x + 1) / 2). Above the centre it is one minus the lower tail of the mirrored argument
    // (Beta(alpha, alpha) is symmetric), as the library evaluates it too.
    double cdf(double x) const {
        const double y = (x + 1.0) * 0.5;
        if (y <= 0.0) {
            return 0.0;
        }
        if (y >= 1.0) {
            return 1.0;
        }
        return y <= 0.5 ? lower_tail(y) : 1.0 - lower_tail(1.0 - y);
    }

    // I_t(alpha, alpha) for 0 < t <= 1/2. Within about 1.4 standard deviations of the centre the
    // central mass's series converges fastest; further out the continued fraction does, and it
    // keeps the small tail masses to full relative precision.
    double lower_tail(double t) const {
        const double x = 1.0 - 2.0 * t;
        if (alpha * (x * x) <= 1.0) {
            return 0.5 - 0.5 * central_mass(x);
        }
        const double log_base =
            t < 0.25 ? std::log(4.0 * t) + std::log1p(-t) : std::log1p(-(x * x));
        return weight_scale * std::exp(alpha * log_base) * tail_fraction(t);
    }

    // I_{x^2}(1/2, alpha), the mass of [-|x|, |x|], by its power series of positive terms
    // 4 alpha |x| w(x) sum_n (alpha + 1/2)_n / (3/2)_n x^(2n). The ratio of successive terms stays
    // below 1 for alpha x^2 <= 1.
    double central_mass(double x) const {
        const double z = x * x;
        double term = 1.0;
        double sum = 1.0;
        for (double n = 0.0; term >= sum * kSeriesTolerance; n += 1.0) {
            term *= (alpha + 0.5 + n) * z / (1.5 + n);
            sum += term;
        }
        return 4.0 * alpha * std::fabs(x) * (weight_scale * std::exp(log_weight(x))) * sum;
    }

    // The continued fraction of I_t(a, b) / (t^a (1 - t)^b / (a B(a, b))) for a = b = alpha,
    // evaluated by the modified Lentz method; it converges fast for t below the mean.
    double tail_fraction(double t) const {
        const double a = alpha;
        double c = 1.0;
        double d = 1.0 / away_from_zero(1.0 - 2.0 * a * t / (a + 1.0));
        double fraction = d;
        for (double m = 1.0; m <= kMaxFractionTerms; m += 1.0) {
            const double even = m * (a - m) * t / ((a - 1.0 + 2.0 * m) * (a + 2.0 * m));
            d = 1.0 / away_from_zero(1.0 + even * d);
            c = away_from_zero(1.0 + even / c);
            fraction *= d * c;
            const double odd = -(a + m) * (2.0 * a + m) * t / ((a + 2.0 * m) * (a + 1.0 + 2.0 * m));
            d = 1.0 / away_from_zero(1.0 + odd * d);
            c = away_from_zero(1.0 + odd / c);
            const double step = d * c;
            fraction *= step;
            if (std::fabs(step - 1.0) < kFractionTolerance) {
                return fraction;
            }
        }
        fail("internal error: coordinate distribution did not converge at " + std::to_string(t));
    }

    // x times the density is -w'(x), so its integral over a cell is w(lo) - w(hi).
    double first_moment_integral(double lo, double hi) const {
        return weight_scale * exp_difference(log_weight(lo), log_weight(hi));
    }
};

std::vector<double> initial_centroids(double alpha, size_t levels) {
    double spread = 3.0 * std::sqrt(2.0 * alpha / ((1.0 + 2.0 * alpha) * 4.0 * alpha));
    // For dim 4 and below the spread reaches past the support [-1, 1]. Outer cells would then be
    // empty, and an empty cell keeps its centroid, so levels would stay outside the support for
    // good. The levels that are optimal for a flat density fit inside instead.
    if (spread >= 1.0) {
        spread = static_cast<double>(levels - 1) / static_cast<double>(levels);
    }
    std::vector<double> c(levels);
    for (size_t i = 0; i < levels; ++i) {
        c[i] = (static_cast<double>(i) * 2.0 * spread) / static_cast<double>(levels - 1) - spread;
    }
    return c;
}

std::vector<double> cell_edges(const std::vector<double>& c) {
    const size_t levels = c.size();
    std::vector<double> e(levels + 1);
    e[0] = -1.0;
    e[levels] = 1.0;
    for (size_t k = 1; k < levels; ++k) {
        e[k] = (c[k - 1] + c[k]) * 0.5;
    }
    return e;
}

// One Lloyd-Max step: every cell's conditional mean under the edges of the current centroids.
// Returns the largest move.
template <class Model>
double lloyd_max_step(const Model& model, std::vector<double>& c) {
    const std::vector<double> e = cell_edges(c);
    std::vector<double> next(c.size());
    double delta = 0.0;
    for (size_t j = 0; j < c.size(); ++j) {
        const double lo = e[j];
        const double hi = e[j + 1];
        const double mass = model.cdf(hi) - model.cdf(lo);
        next[j] = mass < kEmptyCellMass ? c[j] : model.first_moment_integral(lo, hi) / mass;
        delta = std::max(delta, std::fabs(c[j] - next[j]));
    }
    c = std::move(next);
    return delta;
}

template <class Model>
std::vector<double> lloyd_max_levels(const Model& model, double alpha, uint32_t bits) {
    std::vector<double> c = initial_centroids(alpha, size_t{1} << bits);
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        if (lloyd_max_step(model, c) < kConvergence) {
            break;
        }
    }
    return c;
}

Codebook to_codebook(const std::vector<double>& c, uint32_t bits, size_t dim) {
    Codebook book;
    for (size_t k = 0; k + 1 < c.size(); ++k) {
        book.boundaries.push_back(static_cast<float>((c[k] + c[k + 1]) * 0.5));
    }
    for (const double level : c) {
        book.centroids.push_back(static_cast<float>(level));
    }
    // A codebook that is not finite would corrupt every code and score computed with it.
    const auto finite = [](float v) { return std::isfinite(v); };
    if (!std::all_of(book.centroids.begin(), book.centroids.end(), finite)) {
        fail("internal error: codebook for bits " + std::to_string(bits) + " and dim " +
             std::to_string(dim) + " is not finite");
    }
    return book;
}

// The middle boundary is zero but for the rounding noise in the sum of the two middle levels,
// about 1e-17, which only the integrating computation reproduces. That noise still decides the
// code of a coordinate that is exactly zero, so stored codes depend on it: for the index dims up
// to 4096 it is recorded at the end of this file. Empty for every other size.
std::optional<float> recorded_middle_boundary(uint32_t bits, size_t dim);

struct CodebookSlot {
    std::mutex mutex;
    std::optional<Codebook> value;
};

}  // namespace

Codebook integrated_codebook(uint32_t bits, size_t dim) {
    check_codebook_arguments(bits, dim);
    const double alpha = (static_cast<double>(dim) - 1.0) * 0.5;
    return to_codebook(lloyd_max_levels(CoordinateModel(alpha), alpha, bits), bits, dim);
}

Codebook codebook(uint32_t bits, size_t dim) {
    check_codebook_arguments(bits, dim);
    const std::optional<float> middle = recorded_middle_boundary(bits, dim);
    if (!middle) {
        return integrated_codebook(bits, dim);
    }
    const double alpha = (static_cast<double>(dim) - 1.0) * 0.5;
    Codebook book = to_codebook(lloyd_max_levels(ClosedFormModel(alpha), alpha, bits), bits, dim);
    book.boundaries[book.boundaries.size() / 2] = *middle;
    return book;
}

const Codebook& cached_codebook(uint32_t bits, size_t dim) {
    check_codebook_arguments(bits, dim);
    // Never destroyed, so that a late caller during process exit still finds it.
    static std::mutex* const slots_mutex = new std::mutex;
    static auto* const slots =
        new std::map<std::pair<uint32_t, size_t>, std::unique_ptr<CodebookSlot>>;
    CodebookSlot* slot = nullptr;
    {
        std::lock_guard<std::mutex> lock(*slots_mutex);
        std::unique_ptr<CodebookSlot>& entry = (*slots)[{bits, dim}];
        if (!entry) {
            entry = std::make_unique<CodebookSlot>();
        }
        slot = entry.get();
    }
    // Building under the slot's own lock lets other sizes proceed meanwhile; a build that throws
    // leaves the slot empty for the next caller.
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (!slot->value) {
        slot->value.emplace(codebook(bits, dim));
    }
    return *slot->value;
}

namespace {

constexpr size_t kRecordedDims = 512;  // 8, 16, ..., 4096

// The middle boundaries of integrated_codebook(bits, dim) in units of 2^-64 (every one is an
// exact multiple), row bits - 2, column dim / 8 - 1; the tests check them against it.
constexpr int16_t kMiddleBoundaryUnits[3][kRecordedDims] = {
    {
        -256, -128, -256,  -256, 0,    640,   704,  320,  512,  -64,  -640, 256,   448,   -640,
        -192, -64,  320,   -640, 384,  -384,  576,  0,    -64,  576,  192,  128,   384,   256,
        -544, 448,  -128,  288,  0,    192,   -448, 32,   -512, 96,   224,  480,   -448,  256,
        -384, -288, -320,  128,  -128, 896,   0,    -416, -640, -800, 256,  736,   352,   96,
        576,  -224, -32,   -288, 160,  128,   -224, 192,  32,   192,  -288, 32,    -288,  96,
        -96,  576,  -96,   544,  480,  352,   -224, -448, 384,  -672, 32,   -448,  -704,  256,
        -96,  64,   -768,  -128, -384, 480,   -992, -288, -96,  416,  -192, -288,  128,   64,
        -192, -256, -32,   -128, 448,  32,    -32,  -240, -304, 144,  -576, -176,  448,   64,
        352,  -192, -256,  -480, -736, 480,   -336, -640, 0,    -480, 256,  32,    -640,  -48,
        -784, -400, 192,   -256, -240, -96,   448,  416,  848,  496,  -240, 400,   -144,  336,
        272,  64,   96,    96,   384,  -272,  32,   576,  400,  -768, -336, -320,  -656,  336,
        0,    -32,  272,   96,   -384, 0,     64,   0,    944,  256,  96,   256,   -48,   48,
        -96,  64,   288,   -432, 0,    -1584, -528, 160,  352,  304,  176,  32,    288,   608,
        -16,  -368, 496,   112,  -768, 528,   144,  -336, 240,  -80,  0,    -432,  -176,  -1968,
        336,  -256, -1744, 80,   -32,  192,   528,  -144, -176, -288, 768,  352,   -1056, -176,
        -304, -16,  -176,  384,  448,  128,   -240, 192,  416,  -496, 192,  384,   -112,  48,
        272,  560,  640,   384,  176,  -464,  -560, 112,  -80,  384,  448,  704,   -80,   224,
        176,  16,   288,   176,  464,  208,   144,  -352, -624, 368,  -592, 384,   -48,   448,
        -496, 384,  480,   -112, -432, 272,   32,   -16,  144,  -448, 288,  352,   560,   -240,
        112,  64,   -48,   480,  -608, 80,    -624, -432, 608,  64,   -288, -480,  416,   -528,
        -16,  -272, 256,   -256, -352, 592,   656,  96,   -192, -192, 112,  -16,   128,   384,
        80,   -112, 448,   -160, 112,  -112,  352,  -272, -928, 128,  -192, -320,  -64,   0,
        0,    256,  -432,  32,   -240, -384,  144,  -368, -288, 80,   800,  96,    -688,  0,
        -656, 32,   -320,  320,  464,  240,   208,  656,  128,  -416, 224,  144,   160,   -192,
        -256, 560,  -48,   288,  720,  160,   288,  160,  368,  128,  288,  128,   -416,  -512,
        0,    -176, -16,   656,  0,    -672,  832,  -384, 16,   64,   -272, -512,  -304,  400,
        -272, 304,  -368,  -80,  832,  -336,  -176, 736,  32,   192,  -48,  128,   368,   -96,
        -256, 352,  -320,  224,  80,   16,    -512, 704,  400,  -32,  -208, 496,   -32,   304,
        -208, -592, -624,  -272, 192,  352,   496,  64,   704,  0,    272,  -224,  176,   -288,
        -624, 208,  -96,   -368, 64,   496,   -288, -432, 352,  96,   -32,  -96,   0,     160,
        216,  -80,  608,   -216, -328, 528,   336,  -80,  -856, -312, -224, 360,   -584,  -2112,
        -168, -128, 368,   -232, -80,  0,     -368, -232, -288, -136, 128,  -1016, 368,   688,
        240,  0,    352,   -240, 488,  200,   -296, -144, 128,  -416, -232, -392,  -88,   -72,
        240,  -64,  408,   392,  168,  512,   368,  152,  400,  -160, -432, -368,  240,   200,
        -592, -360, -800,  208,  8,    56,    320,  360,  480,  -168, -528, -120,  -328,  104,
        -80,  24,   -656,  416,  360,  -48,   -288, -256, -56,  -392, -144, -344,  -256,  128,
        -40,  -296, -960,  -120, -432, 480,   160,  -48,
    },
    {
        0,     -384,  384,   -640,  -1920, -2624, -1600, -64,   -1760, -384,  192,   -128,  -2272,
        -1408, 544,   -576,  -480,  448,   -224,  32,    -512,  -64,   -96,   128,   -672,  -256,
        -1600, -3392, 416,   -736,  496,   -1328, -16,   144,   -768,  880,   528,   -16,   -464,
        -336,  -272,  16,    320,   -112,  304,   480,   640,   112,   -1104, -192,  256,   624,
        -912,  -1024, -64,   -1600, -528,  160,   672,   704,   -512,  704,   -1488, 192,   288,
        -288,  -1536, 1200,  -432,  -80,   688,   464,   -528,  768,   -2848, -192,  -512,  448,
        0,     -688,  240,   288,   -1456, -1552, 224,   -288,  -3968, 512,   -336,  176,   -2320,
        192,   -432,  -976,  368,   -128,  416,   -32,   -1568, -960,  -2208, -144,  -384,  -1456,
        -880,  -832,  256,   -240,  240,   -2672, 256,   -1632, -1440, -96,   -1936, 128,   -848,
        -1280, -256,  -2144, 560,   -1680, -40,   672,   -2328, -288,  -568,  264,   -1888, -840,
        -464,  536,   -144,  -8,    -296,  -64,   -1832, -2728, -304,  600,   1032,  -48,   -400,
        -1144, -200,  -600,  -488,  216,   -1008, 320,   208,   416,   664,   160,   -48,   -1208,
        -1128, 280,   88,    40,    -352,  -40,   -1016, -1312, -2304, -1888, -1088, -2928, -1168,
        400,   -208,  360,   -688,  -528,  -680,  40,    -128,  216,   -136,  -968,  -400,  -408,
        -16,   96,    -1208, 720,   -3640, 304,   304,   -1568, 360,   -592,  -80,   -1024, -176,
        688,   -2360, 112,   -1264, 264,   -1056, -488,  -248,  -152,  -344,  128,   -528,  -352,
        656,   800,   -664,  -80,   312,   -1552, 144,   -64,   696,   -1960, -1384, 152,   -360,
        -264,  -72,   -16,   856,   -1744, 280,   -1976, -360,  -1848, -688,  -432,  -976,  -32,
        400,   -112,  -312,  -2624, -960,  -496,  280,   272,   -248,  -1800, -376,  456,   -1768,
        712,   -1328, -280,  -1504, 272,   408,   216,   -3280, -2320, 184,   -344,  608,   -280,
        480,   -672,  624,   304,   176,   -952,  -16,   -2512, -472,  808,   -136,  -2416, -416,
        -240,  -1088, -1256, -2248, -1392, -312,  -592,  488,   -1912, -16,   0,     -1832, -728,
        -256,  384,   176,   304,   -352,  -1992, -48,   -1952, -576,  -168,  -1000, 528,   608,
        -1264, 504,   -240,  -2416, -1304, -160,  152,   -920,  960,   -1768, -240,  -312,  400,
        1200,  -1104, 1128,  -776,  -1856, -2224, -344,  -320,  -408,  432,   -1176, -528,  -712,
        -1744, -24,   -136,  -120,  -704,  -640,  -2200, -112,  -416,  480,   -416,  -368,  240,
        88,    -184,  536,   40,    416,   456,   -2440, -1232, -1376, -360,  -856,  -112,  -440,
        104,   -48,   -152,  -432,  -352,  -448,  -200,  280,   384,   -1272, 216,   -1064, -464,
        -184,  -584,  -552,  288,   -320,  592,   424,   848,   208,   -576,  832,   -3672, -304,
        -2128, -1568, -1696, -832,  320,   1040,  -2048, -48,   -2008, -88,   -80,   -1576, 480,
        80,    -2008, -576,  -1264, 224,   -464,  -152,  -4408, 528,   672,   0,     -328,  -288,
        -176,  32,    -216,  -456,  -736,  832,   432,   288,   360,   -1808, -192,  40,    -160,
        -1472, 464,   -1816, 272,   -104,  632,   504,   -520,  488,   -2264, -328,  -80,   112,
        -1848, 0,     440,   456,   -344,  -664,  80,    -200,  328,   -1456, -1608, -1288, 280,
        -2184, -256,  200,   -136,  -1552, 368,   -496,  224,   -2368, -1616, -328,  8,     -80,
        -144,  640,   -1544, -880,  592,   -1352, 56,    248,   -2360, -56,   552,   216,   168,
        -88,   -2048, -184,  240,   -24,   -328,  696,   -1040, 72,    232,   -152,  -2168, -1792,
        -832,  112,   -488,  -1624, 104,   -632,  376,   336,   -1640, 400,   -488,  -1924, -596,
        336,   -152,  -512,  612,   -204,  -304,  -72,   -576,  32,    64,    256,   596,   408,
        -36,   -660,  904,   496,   -1032,
    },
    {
        0,     -640,  -832,  -1312, 576,   -544,  -864,  -544,  -624,  1136,  -256,  1120,  -752,
        320,   -656,  -32,   -1872, 576,   1504,  -480,  592,   3792,  -2304, -1728, 160,   -4320,
        -368,  1328,  -976,  -2048, -2912, 240,   -4224, 344,   -1336, -1640, -400,  -424,  352,
        136,   -2360, -2904, 168,   -840,  -88,   -1520, 264,   -1344, -4752, -4240, 376,   -504,
        -8,    -1432, -1736, -3800, -2064, -448,  -216,  -880,  776,   -2152, -456,  -3632, -2224,
        -1216, 552,   480,   -2504, -1152, 184,   -1896, -440,  232,   344,   -2272, -2256, -208,
        -1464, -232,  -2520, 384,   -2336, -2592, 416,   -288,  584,   -1280, 280,   -2248, -1944,
        536,   -1488, -2752, -72,   -2016, -480,  -1656, -64,   -2528, 280,   -40,   72,    -3200,
        24,    -648,  -3832, -2096, 8,     864,   -1080, -3296, 1120,  -800,  1040,  -872,  -664,
        -1808, -3536, -1320, 160,   136,   88,    -4072, -1344, -1984, -2296, -232,  -1048, -8,
        -1528, -240,  -1568, -80,   -1908, -84,   368,   -2464, -12,   -1120, -2908, 204,   -1988,
        112,   -764,  8,     -1188, 352,   -64,   -100,  108,   -420,  -4192, -2940, -1544, -2316,
        -4672, -736,  364,   -64,   -3624, -120,  112,   -1912, -1240, 712,   -2044, -56,   -1640,
        -2180, -1616, 212,   -1636, -1736, -3996, -2592, -1804, 440,   852,   -1836, -2916, -2420,
        -2852, -320,  -1392, 532,   408,   -2884, -1880, -1780, -1976, -3272, -216,  -1708, -1604,
        -1564, -424,  156,   -1684, 476,   372,   -768,  -80,   -112,  292,   -2084, -1592, -780,
        -848,  -4,    260,   -1620, -1128, 656,   916,   -464,  -2368, -1512, -1196, -624,  -208,
        -1296, -1772, 696,   160,   408,   808,   -184,  -52,   -364,  -3612, -1800, 124,   -252,
        -1684, -892,  -4616, 400,   -152,  -1176, -1248, -496,  -412,  -192,  828,   -1576, -2076,
        -780,  180,   104,   -704,  -3864, -2840, -3924, 1744,  -4100, -812,  416,   -2268, 684,
        -2664, 348,   -2612, -300,  -44,   -128,  412,   -1308, -920,  -104,  -2020, -2456, -3688,
        524,   500,   -4928, 224,   -2224, 164,   300,   -1748, -1532, -4308, -1012, -128,  -128,
        -2504, -1632, -932,  -448,  -2436, -436,  884,   268,   -1032, -84,   704,   172,   -544,
        -4572, -2520, 64,    -124,  -3104, 668,   916,   524,   -1040, -460,  -3048, -1656, 156,
        -444,  -524,  -576,  -2420, -1680, -568,  -1836, -68,   820,   48,    512,   -704,  -236,
        -96,   4,     -3548, 148,   1312,  -3688, -460,  -496,  -2564, -2544, -3036, 488,   -1532,
        -3952, -2792, -272,  -200,  -2716, -404,  -240,  576,   -3772, -1712, -2076, -2784, -1068,
        -1236, -4008, -1172, -2708, -2796, 144,   -1828, -580,  -3576, -748,  -196,  -1004, -1508,
        468,   -1760, 40,    -424,  -1200, 840,   -1492, 88,    -80,   -1984, -1452, -2432, -4680,
        -72,   -3376, -3108, -880,  -1872, -3676, 644,   -716,  -1916, 56,    -1720, 752,   84,
        -680,  -1976, -1240, -492,  -232,  -336,  484,   -1644, -1328, -676,  -372,  -3392, 352,
        -440,  -972,  -168,  -1808, -752,  -128,  4,     -140,  -2256, -972,  556,   304,   492,
        -844,  -3564, 1180,  -1776, -260,  -2876, 1260,  -1688, -60,   -1640, 100,   -56,   -468,
        -1204, -112,  -1964, -1596, -1340, -596,  -1568, -948,  -60,   -468,  -1932, -3064, -1940,
        -316,  -2820, -496,  272,   -824,  120,   -1364, -804,  416,   396,   180,   -2752, 816,
        -52,   -152,  -1568, 16,    -468,  -840,  -2340, -264,  -1204, -2288, -1956, -2272, -2540,
        476,   40,    -1764, -2476, -344,  -244,  224,   -1656, -4832, 508,   8,     -1576, 888,
        -1728, -1080, 232,   -972,  -528,  12,    8,     0,     -1192, -1628, 12,    -72,   -2084,
        -1028, 1008,  964,   -208,  320,   112,   20,    -2040, -1348, 112,   604,   -3132, 816,
        188,   -2712, 1384,  -96,   536,
    },
};

std::optional<float> recorded_middle_boundary(uint32_t bits, size_t dim) {
    if (dim % 8 != 0 || dim / 8 - 1 >= kRecordedDims) {
        return std::nullopt;
    }
    return std::ldexp(static_cast<float>(kMiddleBoundaryUnits[bits - 2][dim / 8 - 1]), -64);
}

}  // namespace

}  // namespace quilane
