"""Annulus magnification: heyrovsky_magnification(l, r, re, rstar).

Truth: the ring mean of the point-lens magnification,
(1/2π)∫₀^{2π} (d² + 2C²)/(d·√(d² + 4C²)) dφ with d² = l² + r² − 2lr·cos φ and
C = re/rstar, integrated by mpmath at 30 digits, worked values to 8 digits,
and the point-lens and no-lens limits.
"""

import math
import re as regex

import mpmath as mp
import pytest

import lumora
from reference import relative_error

NAN = math.nan
INF = math.inf


def ring_mean(l, r, re, rstar):
    """Mean point-lens magnification over the ring, 30 digits (split at φ = 0, π)."""
    with mp.workdps(30):
        c = mp.mpf(re) / mp.mpf(rstar)
        l, r = mp.mpf(l), mp.mpf(r)

        def a(phi):
            d2 = l * l + r * r - 2 * l * r * mp.cos(phi)
            return (d2 + 2 * c * c) / (mp.sqrt(d2) * mp.sqrt(d2 + 4 * c * c))

        return float(mp.quad(a, [0, mp.pi]) / mp.pi)


def point_lens(d, c):
    return (d * d + 2 * c * c) / (d * math.sqrt(d * d + 4 * c * c))


class TestHeyrovskyMagnification:
    @pytest.mark.parametrize(
        "l, r, re, rstar, expected, tolerance",
        [
            (0.5, 0.3, 1.0, 1.0, 2.4257108, 5e-8),  # worked value, 8 digits
            (2.0, 0.7, 1.5, 1.0, 1.2061657, 5e-8),  # worked value, 8 digits
            (0.5, 0.5 + 0.99999e-5, 1.0, 1.0, 8.4360, 2e-5),  # worked value, 5 digits
            (0.5, 0.5 - 1.00001e-5, 1.0, 1.0, 8.4360, 2e-5),  # worked value, 5 digits
            (0.5, 0.3, 1.0, 1.0, ring_mean(0.5, 0.3, 1.0, 1.0), 1e-14),
            (2.0, 0.7, 1.5, 1.0, ring_mean(2.0, 0.7, 1.5, 1.0), 1e-14),
            (0.9, 0.95, 0.1, 1.0, ring_mean(0.9, 0.95, 0.1, 1.0), 1e-12),
            (3.0, 1.0, 30.0, 1.0, ring_mean(3.0, 1.0, 30.0, 1.0), 1e-13),
            # 1e-4 from the lens the closed form has lost digits to m → 1
            # (measured 4.3e-10; 7e-7 right at the switch for C = 0.1)
            (0.5, 0.5 + 1e-4, 1.0, 1.0, ring_mean(0.5, 0.5 + 1e-4, 1.0, 1.0), 2e-9),
            # l = 0: every point of the ring at distance r, the point lens,
            # also for rings that the near-ring band used to take (+inf there)
            (0.0, 0.4, 2.0, 1.0, point_lens(0.4, 2.0), 1e-15),
            (0.0, 5e-6, 1.0, 1.0, point_lens(5e-6, 1.0), 1e-15),
            (-0.0, 1e-9, 1.0, 1.0, point_lens(1e-9, 1.0), 1e-15),
            # a lens near the centre: the band shrinks with l (measured ≤ 7e-12;
            # the fixed 1e-5 band gave 106% at l = 1e-6)
            (1e-6, 5e-6, 1.0, 1.0, ring_mean(1e-6, 5e-6, 1.0, 1.0), 1e-13),
            (1e-9, 1e-9 * (1 + 5e-6), 1.0, 1.0, ring_mean(1e-9, 1e-9 * (1 + 5e-6), 1.0, 1.0), 3e-11),
            (1e-12, 1e-12 * (1 - 3e-6), 1.0, 1.0, ring_mean(1e-12, 1e-12 * (1 - 3e-6), 1.0, 1.0), 3e-11),
            (1e-12, 0.5, 1.0, 1.0, ring_mean(1e-12, 0.5, 1.0, 1.0), 1e-15),
            # no lens: the ring is not magnified
            (0.7, 0.2, 0.0, 1.0, 1.0, 1e-15),
        ],
        ids=["worked-1", "worked-2", "worked-near-1", "worked-near-2", "truth-1", "truth-2", "truth-small-C", "truth-large-C",
             "truth-near-lens", "l0-point-lens", "l0-small-ring", "l-0-tiny-ring", "l1e-6-r5e-6",
             "l1e-9-near-ring", "l1e-12-near-ring", "l1e-12-outer-ring", "re0-unlensed"],
    )
    def test_values(self, l, r, re, rstar, expected, tolerance):
        assert relative_error(lumora.heyrovsky_magnification(l, r, re, rstar), expected) < tolerance

    # The near-ring expansion takes over below |r − l| = 1e-5·min(1, l); at
    # the switch both forms agree to about 2e-6: the expansion matches the
    # ring mean to 3e-11, the general form to what m → 1 leaves of it
    # (measured up to 7.3e-7).
    @pytest.mark.parametrize("l", [0.5, 1e-3, 1e-7, 1e-12])
    @pytest.mark.parametrize("side", [1.0, -1.0], ids=["outside", "inside"])
    def test_branch_switch(self, side, l):
        band = 1e-5 * min(1.0, l)
        r_near, r_general = l + side * 0.99999 * band, l + side * 1.00001 * band
        near = lumora.heyrovsky_magnification(l, r_near, 1.0, 1.0)
        general = lumora.heyrovsky_magnification(l, r_general, 1.0, 1.0)
        assert relative_error(near, general) < 2.5e-6
        assert relative_error(near, ring_mean(l, r_near, 1.0, 1.0)) < 1e-10
        assert relative_error(general, ring_mean(l, r_general, 1.0, 1.0)) < 1e-6

    @pytest.mark.parametrize("l, r", [(0.3, 0.5), (2.0, 0.7), (0.1, 1.0)], ids=["inside", "outside", "limb"])
    def test_general_branch_is_symmetric(self, l, r):
        assert relative_error(lumora.heyrovsky_magnification(l, r, 1.3, 1.0),
                              lumora.heyrovsky_magnification(r, l, 1.3, 1.0)) < 1e-15

    @pytest.mark.parametrize("l", [0.0, 1e-9, 0.5, 1.0, 3.0])
    def test_ring_through_the_lens_is_infinite(self, l):
        assert lumora.heyrovsky_magnification(l, l, 1.0, 1.0) == INF

    @pytest.mark.parametrize("factor", [1e-3, 7.0, 1e6])
    def test_depends_on_re_and_rstar_only_through_their_ratio(self, factor):
        base = lumora.heyrovsky_magnification(0.8, 0.6, 1.5, 1.0)
        assert relative_error(lumora.heyrovsky_magnification(0.8, 0.6, 1.5 * factor, factor), base) < 1e-15
        assert relative_error(lumora.heyrovsky_magnification(0.8 * 2, 0.6 * 2, 1.5, 1.0), base) > 1e-3

    @pytest.mark.parametrize(
        "l, r, re, rstar",
        [(NAN, 0.3, 1.0, 1.0), (0.5, NAN, 1.0, 1.0), (-0.5, 0.3, 1.0, 1.0), (0.5, 0.3, NAN, 1.0)],
        ids=["nan-l", "nan-r", "negative-l", "nan-re"],
    )
    def test_elliptic_failure_raises(self, l, r, re, rstar):
        with pytest.raises(RuntimeError, match=regex.escape("ellipk: Arguments cannot be NAN.")):
            lumora.heyrovsky_magnification(l, r, re, rstar)

    def test_nan_re_in_near_ring_branch_is_a_value(self):
        assert math.isnan(lumora.heyrovsky_magnification(0.5, 0.5 + 1e-6, NAN, 1.0))
