"""Uniform-disk magnification: witt_mao_magnification, multi_witt_mao_magnification.

Truth comes from two places: exact special values (1 + 2/π at u = ρ = 1,
√5 at u = 0, the point source), compared with ==, and the mean of the point-lens magnification
over the disk, integrated independently with mpmath at 30 digits in polar
coordinates around the lens, where A(d)·d = (d² + 2)/√(d² + 4) is smooth.
"""

import math

import mpmath as mp
import pytest

import lumora
from reference import relative_error, uniform_disk as disk_mean

NAN = math.nan
INF = math.inf


def one(u, rho):
    """witt_mao_magnification at separation u (Einstein radii): re = 1, rstar = rho."""
    return lumora.witt_mao_magnification([u / rho], 1.0, rho)[0]


class TestWittMaoMagnification:
    @pytest.mark.parametrize(
        "l, re, rstar, expected",
        [
            # ρ = u = 1: (2·(0 + π/2) + 2)/π = 1 + 2/π, the edge-on-lens form in doubles
            (1.0, 1.0, 1.0, 1.6366197723675813),
            # u = 0: √(ρ² + 4)/ρ = √5 for ρ = 1
            (0.0, 1.0, 1.0, 2.23606797749979),
            # ρ ≤ 0: point source at u = l·ρ = 2, 3/(2√2)
            (-2.0, 1.0, -1.0, 1.0606601717798212),
            # rstar = 0: ρ = 0, u = 0, the point source on the lens
            (5.0, 1.0, 0.0, INF),
            (0.0, 2.0, 0.0, INF),
        ],
        ids=["edge-rho1", "centre-rho1", "point-source-negative-rho", "rstar0", "rstar0-l0"],
    )
    def test_exact_values(self, l, re, rstar, expected):
        assert lumora.witt_mao_magnification([l], re, rstar) == [expected]

    @pytest.mark.parametrize(
        "u, rho, expected, tolerance",
        [
            (0.5, 0.1, 2.19371741, 5e-9),  # worked value, 9 digits
            (2.0, 1.0, 1.07664804, 5e-9),  # worked value, 9 digits
            (1e4, 1.0, (1e8 + 2) / (1e4 * math.sqrt(1e8 + 4)), 2e-9),  # far: the point source
        ],
        ids=["u0.5-rho0.1", "u2-rho1", "far"],
    )
    def test_worked_values(self, u, rho, expected, tolerance):
        assert relative_error(one(u, rho), expected) < tolerance

    # Edge window 0.001·ρ around u = ρ.  Each case picks l so that
    # u = l·ρ − ρ is exactly ± the width (general branch), and the next double
    # of l towards 1 (inside the window: the value at u = ρ).  For the small
    # source the window is 1e-8 wide: a fixed 1e-5 floor used to cover the
    # whole disk and return the limb value everywhere.
    @pytest.mark.parametrize(
        "l, rstar",
        [
            (0.999, 2.50244140625),  # 0.001·ρ = 0.00250244140625
            (0.999, 1.0011717677116394e-05),  # ρ = 2^-30·10750
        ],
        ids=["rho2.5", "rho1e-5"],
    )
    def test_window_edge(self, l, rstar):
        width = 0.001 * rstar
        assert abs(l * rstar - rstar) == width  # the case is what it claims
        at_edge, just_inside, centre = lumora.witt_mao_magnification([l, math.nextafter(l, 1.0), 1.0], 1.0, rstar)
        assert just_inside == centre
        assert at_edge != centre
        assert relative_error(at_edge, disk_mean(l * rstar, rstar)) < 1e-9

    # The value at u = ρ against the disk mean: the earlier asin form of it
    # cancelled for small sources (1.3e-1 at ρ = 1e-8, 8.4e-6 at 1e-6,
    # 4.1e-10 at 1e-4, 1.5e-12 at 1e-3); now within 2.3e-16 for every ρ.
    @pytest.mark.parametrize("rho", [1e-8, 3.3e-8, 1e-6, 1e-4, 1e-3, 0.1, 100.0, 1e3])
    def test_value_at_u_equal_rho(self, rho):
        assert relative_error(lumora.witt_mao_magnification([1.0], 1.0, rho)[0], disk_mean(rho, rho)) < 5e-16

    def test_whole_window_returns_the_value_at_u_equal_rho(self):
        rho = 0.5
        ls = [1.0 + f * 0.001 for f in (-0.999, -0.5, 0.0, 0.5, 0.999)]
        values = lumora.witt_mao_magnification(ls, 1.0, rho)
        assert values == [values[2]] * len(ls)

    # Independent truth, away from the window (≥ 10 widths) and with u/ρ < 1000.
    # Measured worst 4.9e-12 (benchmarks/accuracy_witt_mao.py).
    @pytest.mark.parametrize("rho", [1e-6, 1e-4, 1e-2, 0.1, 0.5, 1.0, 2.0, 10.0])
    @pytest.mark.parametrize("u_over_rho", [0.0, 0.01, 0.3, 0.9, 1.1, 3.0, 30.0, 300.0, 999.0])
    def test_against_disk_mean(self, u_over_rho, rho):
        u = u_over_rho * rho
        assert relative_error(one(u, rho), disk_mean(u, rho)) < 1e-9

    # Far from the source (u > 1000ρ) the disk mean's expansion is used; the
    # closed form had cancelled to 7.9e-5 at 1e6ρ, 0.59 at 1e8ρ and gave
    # negative magnifications beyond.  Truth at 50 digits.
    @pytest.mark.parametrize("rho", [1e-8, 1e-3, 1.0, 1e3])
    @pytest.mark.parametrize("u_over_rho", [1000.5, 1e4, 1e6, 1e8, 1e12])
    def test_far_from_the_source(self, u_over_rho, rho):
        value = one(u_over_rho * rho, rho)
        assert value >= 1.0
        assert relative_error(value, disk_mean((u_over_rho * rho / rho) * rho, rho, dps=50)) < 1e-13

    # The switches: the limb window at |u − ρ| = 0.001ρ is tested above; at
    # u = 1000ρ the closed form (measured up to 5.5e-11 there) meets the
    # expansion (4.7e-14).
    @pytest.mark.parametrize("rho", [1e-6, 0.01, 10.0])
    def test_far_switch_is_continuous(self, rho):
        l = 1000.0
        while not l * rho > 1000 * rho:
            l = math.nextafter(l, INF)
        general, far = lumora.witt_mao_magnification([math.nextafter(l, 0.0), l], 1.0, rho)
        assert relative_error(general, far) < 1e-10
        assert relative_error(far, disk_mean(l * rho, rho, dps=50)) < 1e-13

    # Measured worst cases just outside the window (1 to 10 widths): 4.6e-10,
    # for small sources too: the fixed 1e-5 window floor used to cover the
    # limb of sources below ρ = 0.01 (10-20% off at ρ = 1e-4) and the whole
    # of a source of ρ = 3.3e-10 (the limb value everywhere).
    @pytest.mark.parametrize(
        "u, rho, tolerance",
        [
            (0.1 + 0.0001 * 1.001, 0.1, 2e-9),
            (1.0 - 0.001 * 1.5, 1.0, 2e-9),
            (0.01 + 1.5e-5, 0.01, 2e-9),
            (1e-4 + 1e-6, 1e-4, 2e-9),
            (1e-4 - 3e-7, 1e-4, 2e-9),
            (1e-3 + 3e-6, 1e-3, 2e-9),
            (0.0, 3.3e-10, 1e-11),
            (0.5 * 3.3e-10, 3.3e-10, 1e-11),
            (2 * 3.3e-10, 3.3e-10, 1e-11),
            (100 * 3.3e-10, 3.3e-10, 1e-11),
        ],
        ids=["outside-window-rho0.1", "outside-window-rho1", "outside-window-rho0.01", "limb-rho1e-4-out",
             "limb-rho1e-4-in", "limb-rho1e-3", "tiny-centre", "tiny-inside", "tiny-outside", "tiny-100"],
    )
    def test_measured_accuracy_limits(self, u, rho, tolerance):
        assert relative_error(one(u, rho), disk_mean((u / rho) * rho, rho)) < tolerance

    @pytest.mark.parametrize(
        "l, re, rstar, expected",
        [
            ([NAN, 2.0], 1.0, 1.0, [NAN, 1.0766480356554105]),
            ([2.0, 3.0], NAN, 1.0, [NAN, NAN]),
            ([2.0], 1.0, NAN, [NAN]),
            ([INF], 1.0, 1.0, [NAN]),
            ([], 1.0, 1.0, []),
        ],
        ids=["nan-l", "nan-re", "nan-rstar", "infinite-l", "empty"],
    )
    def test_nan_and_empty(self, l, re, rstar, expected):
        got = lumora.witt_mao_magnification(l, re, rstar)
        assert len(got) == len(expected)
        assert all(relative_error(g, e) < 1e-15 for g, e in zip(got, expected))


class TestMultiWittMaoMagnification:
    def test_pairs_re_outer_rstar_inner(self):
        l = [0.5, 3.0]
        res, rstars = [1.0, 2.0], [0.1, 0.2, 0.3]
        got = lumora.multi_witt_mao_magnification(l, res, rstars)
        assert got == [lumora.witt_mao_magnification(l, re, rstar) for re in res for rstar in rstars]
        assert got[1] != got[3]  # (1.0, 0.2) and (2.0, 0.1) are different pairs

    @pytest.mark.parametrize(
        "l, res, rstars, expected",
        [
            ([0.5], [], [0.1, 0.2], []),
            ([0.5], [1.0], [], []),
            ([], [1.0, 2.0], [0.1, 0.2, 0.3], [[]] * 6),
        ],
        ids=["empty-re", "empty-rstar", "empty-l"],
    )
    def test_empty(self, l, res, rstars, expected):
        assert lumora.multi_witt_mao_magnification(l, res, rstars) == expected
