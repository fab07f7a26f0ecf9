// libFuzzer target: the uniform-disk kernel witt_mao_magnification_scaled
// and the ring kernel heyrovsky_magnification on arbitrary bit patterns.
// The first byte chooses raw bit patterns or draws in the physical range.
// Every call returns, without undefined behaviour, and
//   the disk never fails: NaN only for a NaN or infinite input;
//   A >= 1 - 5e-10 for 0 <= u <= 1e15 and 1e-8 <= ρ <= 1e3 (a mean of
//     A(d) >= 1, within the closed form's accuracy near u = 1000ρ, where
//     it comes out below 1 by up to ~2e-10);
//   M(l, r) = M(r, l) in the ring's general branch (the mean over a ring of
//     radius r about a lens at l is the mean over a ring of radius l about
//     a lens at r: the closed form is symmetric), away from its near-ring
//     band and its l = 0 branch, and M >= 1 - 1e-11 there.
// The batch forms (vector code where the CPU has it) get eleven lanes
// around the drawn arguments, so that a short tail runs too: each lane must
// have the scalar kernel's bits, and for the ring its failure status.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "models/batch.hpp"
#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "fuzz_support.hpp"

using lumora::fuzz::close;
using lumora::fuzz::fail;

namespace {

// Draws in the physical range, where the properties have something to say
// (raw bit patterns are mostly far outside it): ρ from 1e-8 to 1e3, u/ρ
// from 1e-6 to 1e9 with the limb and u = 1000ρ nearby as often as not,
// l from 1e-12 to 1e6 and r in [0, 1].
void physical(lumora::fuzz::Doubles& input, double& u, double& rho, double& l, double& r, double& re) {
    rho = input.log_uniform(-8.0, 3.0);
    const double where = input.unit();
    const double offset = input.log_uniform(-17.0, 0.0) * (input.unit() < 0.5 ? -1.0 : 1.0);
    if (where < 0.25) {
        u = rho * (1 + offset);  // the limb, its window at 1 ± 0.001
    } else if (where < 0.5) {
        u = 1000 * rho * (1 + offset);  // the far-field switch
    } else {
        u = rho * input.log_uniform(-6.0, 9.0);
    }
    l = input.log_uniform(-12.0, 6.0);
    r = input.unit();
    re = input.log_uniform(-3.0, 3.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    lumora::fuzz::Doubles input(data + 1, size - 1);
    double u, rho, l, r, re;
    if (data[0] & 1) {
        physical(input, u, rho, l, r, re);
    } else {
        u = input.next(), rho = input.next(), l = input.next(), r = input.next(), re = input.next();
    }

    const double a = lumora::witt_mao_magnification_scaled(u, rho);
    const bool finite = std::isfinite(u) && std::isfinite(rho);
    if (finite && u >= 0.0 && u <= 1e15 && rho >= 1e-8 && rho <= 1e3) {
        if (!(a >= 1 - 5e-10)) fail("disk A >= 1", u, rho);
    }

    const auto m = lumora::heyrovsky_magnification(l, r, re, 1.0);
    const auto swapped = lumora::heyrovsky_magnification(r, l, re, 1.0);
    const bool general = l > 1e-100 && r > 1e-100 && l < 1e100 && r < 1e100 && re > 1e-3 && re < 1e3 &&
                         std::abs(r - l) >= 0.01 * std::fmax(l, r);
    if (general) {
        if (!m || !swapped) fail("ring fails in its general branch", l, r);
        if (!close(*m, *swapped, 1e-9)) fail("ring symmetric in l and r", *m, *swapped);
        if (!(*m >= 1 - 1e-11)) fail("ring M >= 1", l, r);
    }

    constexpr std::size_t lanes = 11;
    double us[lanes], rhos[lanes], rs[lanes], out[lanes];
    bool failed[lanes];
    for (std::size_t i = 0; i < lanes; ++i) {
        // Even lanes: scaled copies near the drawn values (the same branch
        // or its neighbour); odd lanes: scrambled bit patterns.
        const std::uint64_t scramble = 0x9E3779B97F4A7C15ull * (i + 1);
        const double step = static_cast<double>(i);
        us[i] = i % 2 ? std::bit_cast<double>(std::bit_cast<std::uint64_t>(u) ^ scramble) : u * (1 + 1e-4 * step);
        rhos[i] = i % 3 ? rho : std::bit_cast<double>(std::bit_cast<std::uint64_t>(rho) ^ (scramble >> 7));
        rs[i] = i % 2 ? std::bit_cast<double>(std::bit_cast<std::uint64_t>(r) ^ (scramble >> 3)) : r * (1 - 1e-6 * step);
    }
    lumora::disk_magnification_lanes(us, rhos, out, lanes);
    for (std::size_t i = 0; i < lanes; ++i) {
        const double scalar = lumora::witt_mao_magnification_scaled(us[i], rhos[i]);
        if (std::memcmp(&scalar, &out[i], sizeof scalar) != 0) fail("disk batch lane has the scalar bits", us[i], rhos[i]);
    }
    lumora::ring_magnification_lanes(l, rs, re, 1.0, out, failed, lanes);
    for (std::size_t i = 0; i < lanes; ++i) {
        const auto scalar = lumora::heyrovsky_magnification(l, rs[i], re, 1.0);
        if (scalar.has_value() == failed[i]) fail("ring batch lane has the scalar failure status", l, rs[i]);
        if (scalar && std::memcmp(&*scalar, &out[i], sizeof out[i]) != 0) fail("ring batch lane has the scalar bits", l, rs[i]);
    }
    return 0;
}
