// Model behaviour that only C++ sees: the thin-annulus construction and the
// general profile integral with an arbitrary profile and normaliser.  The
// exported functions, their failures and the table check are checked from
// Python (tests/test_*.py).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/radial_integral.hpp"
#include "models/witt_mao.hpp"
#include "test_support.hpp"

namespace {

using lumora::heyrovsky_magnification;
using test_support::relative_error;
using lumora::thin_annulus_magnification;
using lumora::witt_mao_magnification_scaled;

// A ring's mean magnification from the closed form of the annulus kernel.
double ring(double l, double r, double re, double rstar) {
    const lumora::EllipticResult a = heyrovsky_magnification(l, r, re, rstar);
    return a ? *a : std::numeric_limits<double>::quiet_NaN();
}

// The annulus of half-width 1e-4 is clipped at the centre, where it is the
// disk of radius r + 1e-4, and at the limb, where it ends at radius 1.
// Reference values: the uniform-disk kernel for the degenerate disk, and the
// ring closed form (Heyrovský 2003) at the annulus' middle radius, which the
// mean over a ring of width ≤ 2e-4 matches to O(width²).  Separation l in
// source radii, u = l·ρ.
TEST(ThinAnnulus, ClippingAtCentreAndLimb) {
    struct Case {
        double l, rho, r;
        double expected;
        double tolerance;
        const char* source;
    };
    const double rho = 0.5;
    const std::vector<Case> cases = {
        {0.5, rho, 0.0, witt_mao_magnification_scaled(0.25, rho * 0.0001), 1e-15, "disk of radius 1e-4"},
        {0.5, rho, 0.00005, witt_mao_magnification_scaled(0.25, rho * 0.00015), 1e-15, "disk of radius 1.5e-4"},
        {0.5, rho, 0.9, ring(0.5, 0.9, 1.0, rho), 1e-7, "ring at 0.9"},
        {0.5, rho, 1.0, ring(0.5, 0.99995, 1.0, rho), 1e-7, "ring at 0.99995: cut at the limb"},
        {2.0, rho, 0.99995, ring(2.0, 0.999925, 1.0, rho), 1e-7, "ring at 0.999925: cut at the limb"},
        {2.0, rho, 0.9998, ring(2.0, 0.9998, 1.0, rho), 1e-7, "ring at 0.9998: just inside"},
        {2.0, rho, 0.3, ring(2.0, 0.3, 1.0, rho), 1e-7, "ring at 0.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        EXPECT_LE(relative_error(thin_annulus_magnification(c.l * c.rho, c.rho, c.r), c.expected), c.tolerance);
    }
}

// The general profile integral reproduces a uniform disk (Witt & Mao 1994)
// for a constant profile with its own normaliser, inside the source (where
// the ring through the lens is split off) and outside it.  Inside, the rings
// within 1e-5 of the lens use the kernel's first-order expansion, which
// leaves about 2e-11; at l = 0 that expansion divides by l, so the nodes
// below r = 1e-5 count as 0 and about 1e-5 of the flux is lost.
TEST(ProfileIntegral, ConstantProfileGivesTheUniformDisk) {
    struct Case {
        double l;
        double tolerance;
    };
    const std::vector<Case> cases = {{0.0, 2e-5},  {0.25, 5e-11}, {0.5, 5e-11}, {0.99, 5e-11},
                                     {1.0, 1e-11}, {1.5, 1e-12},  {3.0, 1e-12}};
    for (const double scale : {1.0, 3.5}) {
        const auto constant = [scale](double) noexcept { return scale; };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.l);
            const std::vector<double> got =
                lumora::profile_integrated_heyrovsky_magnification({c.l}, constant, 1.0, 0.3, scale * lumora::pi);
            ASSERT_EQ(got.size(), 1u);
            EXPECT_LE(relative_error(got[0], witt_mao_magnification_scaled(c.l * 0.3, 0.3)), c.tolerance);
        }
    }
}

}  // namespace
