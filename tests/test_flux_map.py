"""Flux-map magnification: discrete_flux_map_heyrovsky_magnification,
integrated_flux_map_witt_mao_magnification and
integrated_flux_map_heyrovsky_magnification (l, re, rstar, bl, bf).

Truth: the uniform-disk magnification (witt_mao_magnification, itself checked
against an independent disk mean in test_witt_mao.py) for tables that describe
a uniform source, the ring magnification for the discrete sum, for a partial
table an independent scipy integral of uniform disks, and for tables of the
kinds users pass (steps, narrow bands, tables that stop before the limb, 17
and 1000 radii) mpmath values of the same piecewise-linear profile over the
disk (flux_map_references.py, from tools/gen_flux_map_references.py).
Tolerances of the integrated functions are the measured errors with a margin.
"""

import math
import os
import re as regex
import sys

import pytest
from scipy.integrate import quad

import flux_map_references
import lumora
from reference import limb_darkened, relative_error

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import limb_darkening_laws  # noqa: E402  (the recipe the README recommends)

NAN = math.nan
UNIFORM = ([0.0, 1.0], [1.0, 1.0])
INTEGRATED = [lumora.integrated_flux_map_witt_mao_magnification, lumora.integrated_flux_map_heyrovsky_magnification]
INTEGRATED_IDS = ["witt_mao", "heyrovsky"]
ALL = [lumora.discrete_flux_map_heyrovsky_magnification] + INTEGRATED
ALL_IDS = ["discrete"] + INTEGRATED_IDS


def cone_mean(l, rho, edge):
    """Mean magnification of the profile 1 − r/edge (0 beyond edge), by scipy.

    The profile is a stack of uniform disks of radius R ≤ edge with weight
    1/edge; each disk's magnified flux is integrated in polar coordinates
    around the lens, where A(d)·d = (d² + 2)/√(d² + 4) is smooth.
    """
    u = l * rho

    def disk_flux(radius):
        def angle(d):
            if u == 0:
                return 2 * math.pi if d < radius else 0.0
            c = (d * d + u * u - radius * radius) / (2 * d * u)
            return 2 * math.pi if c <= -1 else (0.0 if c >= 1 else 2 * math.acos(c))

        points = sorted({0.0, abs(u - radius), u + radius})
        return sum(quad(lambda d: (d * d + 2) / math.sqrt(d * d + 4) * angle(d), a, b, epsabs=0, epsrel=1e-10)[0]
                   for a, b in zip(points, points[1:]) if b > a)

    points = sorted({0.0, edge} | ({l} if 0 < l < edge else set()))
    flux = sum(quad(lambda r: disk_flux(rho * r) / edge, a, b, epsabs=0, epsrel=1e-9)[0]
               for a, b in zip(points, points[1:]))
    return flux / (math.pi * rho * rho * edge * edge / 3)


class TestTableCheck:
    @pytest.mark.parametrize("function", ALL, ids=ALL_IDS)
    @pytest.mark.parametrize("l", [[], [0.5]], ids=["empty-l", "one-l"])
    def test_length_mismatch_panics(self, function, l):
        with pytest.raises(BaseException) as caught:
            function(l, 1.0, 1.0, [0.0, 0.5, 1.0], [1.0, 1.0])
        assert type(caught.value).__name__ == "PanicException"
        assert type(caught.value).__module__ == "pyo3_runtime"
        assert str(caught.value) == "assertion `left == right` failed\n  left: 3\n right: 2"

    @pytest.mark.parametrize("function", ALL, ids=ALL_IDS)
    def test_empty_l(self, function):
        assert function([], 1.0, 1.0, *UNIFORM) == []


class TestDiscreteFluxMapHeyrovskyMagnification:
    def test_weighted_sum_of_rings(self):
        l, bl, bf = [0.5, 2.0], [0.2, 0.7, 0.4], [1.0, 0.5, 3.0]
        got = lumora.discrete_flux_map_heyrovsky_magnification(l, 1.5, 1.0, bl, bf)
        for x, value in zip(l, got):
            rings = [lumora.heyrovsky_magnification(x, r, 1.5, 1.0) for r in bl]
            assert relative_error(value, sum(a * w for a, w in zip(rings, bf))) < 1e-15

    @pytest.mark.parametrize(
        "bl, bf, expected",
        [
            ([], [], [0.0, 0.0]),
            ([0.3], [2.5], [2.5 * lumora.heyrovsky_magnification(x, 0.3, 1.0, 1.0) for x in (0.5, 2.0)]),
        ],
        ids=["empty-table", "one-ring"],
    )
    def test_small_tables(self, bl, bf, expected):
        assert lumora.discrete_flux_map_heyrovsky_magnification([0.5, 2.0], 1.0, 1.0, bl, bf) == expected

    def test_scaling_the_weights_scales_the_result(self):
        bl, bf = [0.1, 0.6, 0.9], [1.0, 0.8, 0.3]
        base = lumora.discrete_flux_map_heyrovsky_magnification([0.5, 1.5], 1.0, 1.0, bl, bf)
        twice = lumora.discrete_flux_map_heyrovsky_magnification([0.5, 1.5], 1.0, 1.0, bl, [2 * w for w in bf])
        assert twice == [2 * v for v in base]

    @pytest.mark.parametrize(
        "l, bl",
        [([0.5, NAN], [0.2, 0.6]), ([0.5], [0.2, NAN]), ([-0.5], [0.2])],
        ids=["nan-separation", "nan-radius", "negative-separation"],
    )
    def test_first_ring_error_raises(self, l, bl):
        with pytest.raises(RuntimeError, match=regex.escape("ellipk: Arguments cannot be NAN.")):
            lumora.discrete_flux_map_heyrovsky_magnification(l, 1.0, 1.0, bl, [1.0] * len(bl))


class TestIntegratedFluxMaps:
    # A uniform table reproduces the uniform-disk magnification.  The ring
    # version is limited by the ring kernel near the lens (measured ≤ 1.3e-11,
    # l = 0 included).  The disk-difference version is limited by its annuli
    # of half-width 1e-4, each the difference of two nearly equal disks:
    # measured inside the source ≤ 2.4e-3 for every ρ (8.2e-2 at ρ = 0.001
    # when the limb window had a 1e-5 floor); outside 3.8e-8 at l = 1.01,
    # 2.6e-9 at l = 1.1, ≤ 1.9e-10 from l = 1.5 on.
    @pytest.mark.parametrize(
        "l, rho, witt_mao_tolerance, heyrovsky_tolerance",
        [
            (0.0, 1.0, 1e-4, 1e-10),
            (0.0, 0.001, 1e-4, 1e-10),
            (0.25, 1.0, 1e-4, 1e-10),
            (0.5, 1.0, 1e-3, 1e-10),
            (0.5, 0.01, 2e-3, 1e-10),
            (0.9, 0.1, 1e-3, 1e-10),
            (0.99, 1.0, 5e-3, 1e-10),
            (0.5, 0.001, 5e-3, 1e-10),
            (1.0, 0.1, 5e-3, 1e-10),
            (1.01, 0.1, 1e-7, 1e-10),
            (1.1, 1.0, 1e-8, 1e-13),
            (1.5, 0.01, 1e-9, 1e-13),
            (3.0, 1.0, 1e-10, 1e-13),
            (10.0, 0.001, 1e-10, 1e-13),
        ],
        ids=lambda v: f"{v:g}",
    )
    def test_uniform_table_gives_the_uniform_disk(self, l, rho, witt_mao_tolerance, heyrovsky_tolerance):
        truth = lumora.witt_mao_magnification([l], 1.0, rho)[0]
        witt_mao = lumora.integrated_flux_map_witt_mao_magnification([l], 1.0, rho, *UNIFORM)[0]
        heyrovsky = lumora.integrated_flux_map_heyrovsky_magnification([l], 1.0, rho, *UNIFORM)[0]
        assert relative_error(witt_mao, truth) < witt_mao_tolerance
        assert relative_error(heyrovsky, truth) < heyrovsky_tolerance

    @pytest.mark.parametrize("function", INTEGRATED, ids=INTEGRATED_IDS)
    def test_one_entry_table_is_a_uniform_source(self, function):
        l = [0.3, 2.0]
        assert function(l, 1.0, 0.5, [0.7], [4.0]) == function(l, 1.0, 0.5, [0.0, 1.0], [4.0, 4.0])

    @pytest.mark.parametrize("function", INTEGRATED, ids=INTEGRATED_IDS)
    def test_scaling_the_table_changes_nothing(self, function):
        bl, bf = [0.0, 0.4, 1.0], [1.0, 0.9, 0.4]
        base = function([0.5, 2.0], 1.0, 0.3, bl, bf)
        scaled = function([0.5, 2.0], 1.0, 0.3, bl, [7.0 * v for v in bf])
        assert all(relative_error(s, b) < 1e-14 for s, b in zip(scaled, base))

    # Table (0, 0.5) → (1, 0): brightness 1 − 2r inside r = 0.5, dark beyond,
    # against the scipy disk stack (itself good to ~1e-10).  The rings are
    # within 1.2e-12; the thin annuli within their own error: 4.5e-4 at
    # l = 0.25, 2.4e-9 at l = 1, 2.8e-10 at l = 2.
    @pytest.mark.parametrize(
        "l, witt_mao_tolerance, heyrovsky_tolerance",
        [(0.25, 1e-3, 1e-9), (1.0, 1e-8, 1e-9), (2.0, 1e-9, 1e-9)],
        ids=["l0.25", "l1", "l2"],
    )
    def test_partial_table_leaves_the_rest_dark(self, l, witt_mao_tolerance, heyrovsky_tolerance):
        truth = cone_mean(l, 1.0, 0.5)
        witt_mao = lumora.integrated_flux_map_witt_mao_magnification([l], 1.0, 1.0, [0.0, 0.5], [1.0, 0.0])[0]
        heyrovsky = lumora.integrated_flux_map_heyrovsky_magnification([l], 1.0, 1.0, [0.0, 0.5], [1.0, 0.0])[0]
        assert relative_error(witt_mao, truth) < witt_mao_tolerance
        assert relative_error(heyrovsky, truth) < heyrovsky_tolerance

    # Each table at every l of the reference grid (0 to 10, the table radii,
    # l = 1), rho = 0.1; measured in benchmarks/accuracy_flux_map.py.  The
    # rings: ≤ 1e-11 (law, lens over the source), ≤ 2e-14 outside; with the
    # lens on the edge of the band 1e-4 wide, 7% of the band lies where the
    # ring kernel's near-lens expansion takes over: 1.1e-9.  The thin
    # annuli: ≤ 2.3e-3 over the source, except that an annulus 2e-4 wide
    # cannot resolve the band 1e-4 wide with the lens on it (83% off); up to
    # 2.4e-8 for 1 < l < 1.5 and 2.1e-9 from l = 1.5 on (their width: the
    # annulus mean differs from the ring's by ~(1e-4)²·M''/6M).
    EDGES = {("band-1e-4", 0.7): (2e-9, 1.0)}

    @pytest.mark.parametrize("name", list(flux_map_references.TABLES))
    def test_tables_against_the_reference(self, name):
        bl, bf = flux_map_references.TABLES[name]
        ls, rho = flux_map_references.LS, flux_map_references.RHO
        rings = lumora.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, bl, bf)
        annuli = lumora.integrated_flux_map_witt_mao_magnification(ls, 1.0, rho, bl, bf)
        for l, truth, ring, annulus in zip(ls, flux_map_references.REFERENCE[name], rings, annuli):
            rings_tolerance = 1e-10
            annuli_tolerance = 3e-3 if l <= 1 else (5e-8 if l < 1.5 else 3e-9)
            rings_tolerance, annuli_tolerance = self.EDGES.get((name, l), (rings_tolerance, annuli_tolerance))
            assert relative_error(ring, truth) < rings_tolerance, (l, ring, truth)
            assert relative_error(annulus, truth) < annuli_tolerance, (l, annulus, truth)

    # Collinear neighbours merge into one piece: a uniform table of 1000
    # radii is the uniform table (0, 1), bit for bit.
    @pytest.mark.parametrize("function", INTEGRATED, ids=INTEGRATED_IDS)
    def test_collinear_radii_change_nothing(self, function):
        l = [0.0, 0.3, 1.0, 2.5]
        radii = [i / 999 for i in range(1000)]
        assert function(l, 1.0, 0.1, radii, [2.0] * 1000) == function(l, 1.0, 0.1, [0.0, 1.0], [2.0, 2.0])

    # Without positive flux there is no source to magnify.
    @pytest.mark.parametrize("function", INTEGRATED, ids=INTEGRATED_IDS)
    @pytest.mark.parametrize("bl, bf", [([], []), ([0.0, 1.0], [0.0, 0.0]), ([0.0, 1.0], [-1.0, -0.5]),
                                        ([0.3, 0.3], [1.0, 1.0])],
                             ids=["empty", "dark", "negative", "zero-width"])
    def test_no_flux_gives_nan(self, function, bl, bf):
        got = function([0.5, 2.0], 1.0, 1.0, bl, bf)
        assert len(got) == 2 and all(math.isnan(v) for v in got)


class TestLimbDarkeningRecipe:
    """examples/limb_darkening_laws.py: a law given in the flux-normalised
    convention Gamma, tabulated at 100 radii equally spaced in theta
    (r = sin theta) and integrated as rings, against the same law in the
    convention u from the independent reference; the example measures such
    tables of four laws at 4.1e-5 at worst, this one at 8.7e-6 (rho = 0.01)."""

    @pytest.mark.parametrize("l", [0.0, 0.5, 0.9, 0.99, 1.0, 1.01, 1.1, 2.0])
    def test_table_of_100_radii_uniform_in_theta(self, l):
        law = limb_darkening_laws.linear_gamma(limb_darkening_laws.gamma_from_u(0.6))
        bl, bf = limb_darkening_laws.flux_map_table(law, 100, "theta")
        value = lumora.integrated_flux_map_heyrovsky_magnification([l], 1.0, 0.01, bl, bf)[0]
        assert relative_error(value, limb_darkened(l * 0.01, 0.01, a=0.4, b=0.6)) < 2e-5
