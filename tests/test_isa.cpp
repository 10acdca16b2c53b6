// The choice of instruction set that every dispatching kernel shares.
#include <gtest/gtest.h>

#include <cstdlib>

#include "isa.hpp"

namespace quilane {
namespace {

TEST(Isa, NamesRoundTripAndUnknownNamesAreRefused) {
    for (const Isa isa : kAllIsas) {
        EXPECT_EQ(parse_isa(isa_name(isa)), isa);
    }
    EXPECT_EQ(parse_isa("AVX512"), std::nullopt);
    EXPECT_EQ(parse_isa("sse"), std::nullopt);
    EXPECT_EQ(parse_isa(""), std::nullopt);
}

TEST(Isa, ScalarAlwaysRunsAndTheBestIsSupported) {
    EXPECT_TRUE(isa_supported(Isa::Scalar));
    EXPECT_TRUE(isa_supported(best_isa()));
    // A wider set implies the narrower ones on every processor this engine knows.
    if (isa_supported(Isa::Avx512)) {
        EXPECT_TRUE(isa_supported(Isa::Avx2));
    }
}

TEST(Isa, ActiveIsTheForcedOneOrTheBest) {
    const char* forced = std::getenv("QUILANE_ISA");
    const Isa expected = forced != nullptr && *forced != '\0' ? *parse_isa(forced) : best_isa();
    EXPECT_EQ(active_isa(), expected);
}

}  // namespace
}  // namespace quilane
