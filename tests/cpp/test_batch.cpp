// The batch kernels against the scalar kernels, bit for bit: every variant
// this CPU runs, on a seeded random set that reaches every branch of the
// uniform-disk and ring kernels, the special values and the thresholds
// with their neighbours.  Bits are compared, so a NaN payload or
// the sign of a zero counts.  LUMORA_BATCH_SAMPLES sets the number of random
// inputs per set (default 30000; the long run uses 1000000).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "models/batch.hpp"
#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "test_support.hpp"

namespace {

using lumora::batch::Variant;

using test_support::inf;
using test_support::nan;
using test_support::same_bits;
constexpr double tiny = std::numeric_limits<double>::denorm_min();

// Values that take a special path somewhere: NaN, ±∞, ±0, a subnormal,
// extremes of the exponent range, negatives.
const std::vector<double> special = {nan, -nan, inf, -inf, 0.0, -0.0, tiny, 1e-300, 1e-8,
                                     0.5, 1.0, 2.0, 1e8, 1e300, -1e-3, -1.0, -1e300};

std::size_t samples() {
    const char* text = std::getenv("LUMORA_BATCH_SAMPLES");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 30000;
}

// One test instance per variant (the scalar loop included: the only one in a
// build without the vector variants); a variant this CPU or build lacks
// is skipped with a message.
class Batch : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!lumora::batch::supported(GetParam())) {
            GTEST_SKIP() << lumora::batch::name(GetParam()) << " is not available on this CPU or in this build";
        }
    }
};

// log-uniform in [10^lo, 10^hi]
double log_uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::pow(10.0, std::uniform_real_distribution<double>(lo, hi)(rng));
}

struct DiskInputs {
    std::vector<double> u;
    std::vector<double> rho;
};

// Separations u and radii ρ: the general branch over ρ ∈ [1e-7, 30] (m from
// 0 to near 1, the Taylor and AGM ranges of K and E), the limb window
// |u − ρ| < 0.001ρ and its edges, the far-field switch u = 1000ρ with its
// neighbours, u = 0, the point source ρ <= 0, and every pair of special
// values.
DiskInputs disk_inputs(std::size_t n) {
    std::mt19937_64 rng(20240917);
    DiskInputs in;
    const auto add = [&](double u, double rho) {
        in.u.push_back(u);
        in.rho.push_back(rho);
    };
    for (const double u : special) {
        for (const double rho : special) {
            add(u, rho);
        }
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    while (in.u.size() < n) {
        const double rho = log_uniform(rng, -7, 1.5);
        switch (rng() % 6) {
            case 0:  // anywhere up to the far field
                add(rho * log_uniform(rng, -4, 3.2), rho);
                break;
            case 1:  // near the limb: the window, its edges, m near 0.9 and 1
                add(rho * (1 + (rng() % 2 ? 1 : -1) * log_uniform(rng, -6, 0)), rho);
                break;
            case 2: {  // the window edge and the far-field switch, exactly and one ulp off
                const double edge = rng() % 2 ? rho + 0.001 * rho : 1000 * rho;
                const double step = (rng() % 3) - 1.0;
                add(step == 0 ? edge : std::nextafter(edge, step * inf), rho);
                break;
            }
            case 3:  // u = ρ, u = 0, uniform separations
                add(rng() % 2 ? rho : (rng() % 2 ? 0.0 : 3 * unit(rng)), rho);
                break;
            case 4:  // point source and negative separations
                add((rng() % 2 ? -1 : 1) * log_uniform(rng, -3, 2), rng() % 2 ? -rho : 0.0);
                break;
            default:  // a special value in one argument
                if (rng() % 2) {
                    add(special[rng() % special.size()], rho);
                } else {
                    add(rho * log_uniform(rng, -2, 2), special[rng() % special.size()]);
                }
        }
    }
    return in;
}

TEST_P(Batch, DiskMatchesTheScalarKernelBitForBit) {
    const DiskInputs in = disk_inputs(samples());
    const std::size_t n = in.u.size();
    std::vector<double> want(n);
    for (std::size_t i = 0; i < n; ++i) {
        want[i] = lumora::witt_mao_magnification_scaled(in.u[i], in.rho[i]);
    }
    const Variant variant = GetParam();
    std::vector<double> got(n, -1.0);
    lumora::batch::disk_magnification_lanes(variant, in.u.data(), in.rho.data(), got.data(), n);
    // Short calls at odd offsets: the partial vectors and block ends.
    for (std::size_t first = 0, length = 1; first + length <= n && length < 1100; first += length, length += 37) {
        lumora::batch::disk_magnification_lanes(variant, in.u.data() + first, in.rho.data() + first,
                                                     got.data() + first, length);
    }
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!same_bits(got[i], want[i])) {
            if (mismatches++ < 5) {
                ADD_FAILURE() << "u = " << in.u[i] << ", rho = " << in.rho[i] << ": got " << got[i]
                              << ", scalar " << want[i];
            }
        }
    }
    EXPECT_EQ(mismatches, 0u) << "of " << n << " inputs";
}

// Ring radii r for lens distances l from 0 to 1e3 and Einstein radii in
// source radii from 0 to 30: the general branch, the near-ring band
// |r − l| < 1e-5·min(1, l) with its edges and r = l, l = 0 (either sign),
// negative and special values, and failures (NaN, l·r < 0, m > 1).
TEST_P(Batch, RingMatchesTheScalarKernelBitForBit) {
    std::mt19937_64 rng(20240918);
    const std::vector<double> ls = {0.0, -0.0, 1e-12, 1e-7, 1e-3, 0.3, 0.999, 1.0, 2.5, 1e3, -0.5, nan, inf};
    const std::vector<std::pair<double, double>> radii = {{1, 1}, {0.1, 1}, {3, 0.5}, {30, 1}, {0, 1}, {1, 0}};
    const std::size_t per_case = samples() / (ls.size() * radii.size()) + 1;
    std::size_t total = 0;
    const Variant variant = GetParam();
    std::size_t mismatches = 0;
    for (const double l : ls) {
        for (const auto& [re, rstar] : radii) {
            std::vector<double> r(special.begin(), special.end());
            const double band = 1e-5 * std::min(1.0, l);
            while (r.size() < per_case) {
                switch (rng() % 4) {
                    case 0:
                        r.push_back(3 * std::uniform_real_distribution<double>(0.0, 1.0)(rng));
                        break;
                    case 1:  // around the band edge, both sides, and r = l
                        r.push_back(l + (rng() % 2 ? 1 : -1) * band * log_uniform(rng, -1, 1));
                        break;
                    case 2:
                        r.push_back(rng() % 8 == 0 ? l : l * (1 + (rng() % 2 ? 1 : -1) * log_uniform(rng, -7, 0)));
                        break;
                    default:
                        r.push_back(log_uniform(rng, -6, 3));
                }
            }
            const std::size_t n = r.size();
            std::vector<double> got(n, -1.0);
            std::unique_ptr<bool[]> failed(new bool[n]);
            std::fill(failed.get(), failed.get() + n, true);  // every flag must be written
            lumora::batch::ring_magnification_lanes(variant, l, r.data(), re, rstar, got.data(), failed.get(), n);
            for (std::size_t i = 0; i < n; ++i) {
                const lumora::EllipticResult want = lumora::heyrovsky_magnification(l, r[i], re, rstar);
                const bool ok = want ? same_bits(got[i], *want) && !failed[i] : std::isnan(got[i]) && failed[i];
                if (!ok && mismatches++ < 5) {
                    ADD_FAILURE() << "l = " << l << ", r = " << r[i] << ", re = " << re << ", rstar = " << rstar
                                  << ": got " << got[i] << (failed[i] ? " (failed)" : "") << ", scalar "
                                  << (want ? *want : nan);
                }
            }
            total += n;
        }
    }
    EXPECT_EQ(mismatches, 0u) << "of " << total << " inputs";
}

// LUMORA_KERNELS: a variant by its exact name where this build and CPU
// have it; "auto", unset, empty, unknown or a missing variant give the
// fastest available (avx2, else scalar); "avx512" names no variant.
TEST(BatchVariant, ChosenFromTheEnvironment) {
    using lumora::batch::supported;
    using lumora::batch::variant_from_env;
    const Variant fastest = supported(Variant::avx2) ? Variant::avx2 : Variant::scalar;
    const auto or_fastest = [&](Variant v) { return supported(v) ? v : fastest; };
    struct Case {
        const char* text;
        Variant expected;
    };
    const Case cases[] = {
        {nullptr, fastest},
        {"", fastest},
        {"auto", fastest},
        {"scalar", Variant::scalar},
        {"avx2", or_fastest(Variant::avx2)},
        {"avx512", fastest},
        {"AVX2", fastest},
        {" scalar", fastest},
        {"scalar ", fastest},
        {"sse2", fastest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "(unset)" : c.text);
        EXPECT_EQ(variant_from_env(c.text), c.expected);
    }
    EXPECT_TRUE(supported(lumora::batch::chosen_variant()));
}

INSTANTIATE_TEST_SUITE_P(Variants, Batch, testing::Values(Variant::avx2, Variant::scalar),
                         [](const testing::TestParamInfo<Variant>& info) { return lumora::batch::name(info.param); });

}  // namespace
