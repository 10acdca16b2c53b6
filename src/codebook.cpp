#include "codebook.hpp"

#include <algorithm>
#include <boost/math/distributions/beta.hpp>
#include <map>
#include <memory>
#include <mutex>
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

double first_moment_integral(const CoordinateModel& model, double lo, double hi) {
    if (model.rough_at_ends()) {
        return model.first_moment_closed_form(lo, hi);
    }
    const auto g = [&model](double x) { return model.first_moment(x); };
    const double mid = (lo + hi) * 0.5;
    const double g_lo = g(lo);
    const double g_hi = g(hi);
    const double g_mid = g(mid);
    const double whole = (4.0 * g_mid + g_lo + g_hi) * ((hi - lo) / 6.0);
    return adaptive_simpson_rec(g, lo, hi, g_lo, g_hi, g_mid, whole, kSimpsonTolerance,
                                kSimpsonDepth);
}

// One Lloyd-Max step: every cell's conditional mean under the edges of the current centroids.
// Returns the largest move.
double lloyd_max_step(const CoordinateModel& model, std::vector<double>& c) {
    const std::vector<double> e = cell_edges(c);
    std::vector<double> next(c.size());
    double delta = 0.0;
    for (size_t j = 0; j < c.size(); ++j) {
        const double lo = e[j];
        const double hi = e[j + 1];
        const double mass = model.cdf(hi) - model.cdf(lo);
        next[j] = mass < kEmptyCellMass ? c[j] : first_moment_integral(model, lo, hi) / mass;
        delta = std::max(delta, std::fabs(c[j] - next[j]));
    }
    c = std::move(next);
    return delta;
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

struct CodebookSlot {
    std::mutex mutex;
    std::optional<Codebook> value;
};

}  // namespace

Codebook codebook(uint32_t bits, size_t dim) {
    check_codebook_arguments(bits, dim);
    const double alpha = (static_cast<double>(dim) - 1.0) * 0.5;
    const CoordinateModel model(alpha);
    std::vector<double> c = initial_centroids(alpha, size_t{1} << bits);
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        if (lloyd_max_step(model, c) < kConvergence) {
            break;
        }
    }
    return to_codebook(c, bits, dim);
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

}  // namespace quilane
