"""Finite-source magnification by a point-mass gravitational lens.

Units: `l` is the lens-source separation in source radii (the lens is over
the limb at l = 1); `re` and `rstar` are the Einstein and source radii in
one common unit, so rho = rstar/re is the source radius in Einstein radii
and u = l*rho the separation in Einstein radii; `r` and `bl` are radii on
the stellar disk in source radii (0 at the centre, 1 at the limb).  Results
are magnifications (1 is no magnification); NaN and infinities pass through
as values.
"""

from typing import Protocol, SupportsFloat, SupportsIndex, overload, type_check_only

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

# A float argument: float, int, bool, or anything with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex

@type_check_only
class _FloatSequence(Protocol):
    """What a sequence argument must be: indexable by position and by slice
    (list, tuple, range, array.array, bytes, a 1-D NumPy array, ...), with
    items that convert to float.  str, dict, set, generators and scalars are
    refused at run time with TypeError."""

    @overload
    def __getitem__(self, index: int, /) -> _Float: ...
    @overload
    def __getitem__(self, index: slice, /) -> object: ...

def witt_mao_magnification(l: _FloatSequence, re: _Float, rstar: _Float) -> list[float]:
    """Magnification of a uniformly bright disk at each separation in `l`.

    Closed form of Witt & Mao (1994) with Carlson's elliptic integrals; runs
    on the process-wide worker pool, bit-identical for any thread count.
    Within 0.001*rho Einstein radii of the limb (u = rho) the limb value is
    returned; beyond u = 1000*rho the point lens plus its disk-mean
    correction.  rstar <= 0 gives the point lens at u = l*rstar/re (so
    +inf for every finite l when rstar = 0).
    Never raises for numerical reasons: a failure is a NaN element.
    Raises TypeError for arguments that do not convert, MemoryError.
    Accuracy: <= 4.6e-10 relative outside the limb window, 4.0e-3 inside it,
    4.7e-14 past u = 1000*rho (docs/accuracy.md).
    """

def integrated_witt_mao_magnification(l: _FloatSequence, re: _Float, rstar: _Float) -> list[float]:
    """Magnification of a linearly limb-darkened source, I = 0.4 + 0.6*mu.

    The profile is integrated as a stack of uniform disks (Witt & Mao 1994)
    with tanh-sinh quadrature (Takahasi & Mori 1974), one separation after
    another on the calling thread.  A separation whose kernel calls fail, or
    a NaN l, re or rstar, gives NaN.  Raises TypeError, MemoryError.
    Accuracy: <= 3.5e-12 relative outside the source (l >= 1.01) and
    rounding at its centre; over the disk the stack loses up to 2.1e-3,
    worst at l = 1 +- 0.001 (1.9e-4 at rho = 10): there
    integrated_heyrovsky_magnification is the accurate choice.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _FloatSequence, re: _Float, rstar: _Float, bl: _FloatSequence, bf: _FloatSequence
) -> list[float]:
    """Magnification of a tabulated radial profile, as thin uniform annuli.

    The brightness is bf[i] at radius bl[i] (ascending, in source radii),
    linear in between and dark outside the table; each annulus is the
    difference of two uniform disks (Witt & Mao 1994), integrated with
    tanh-sinh quadrature between neighbouring table radii (and r = l) and
    divided by the profile's exact flux, so the scale of `bf` does not
    matter (a table without positive flux, such as an empty or dark one,
    gives NaN).  Raises TypeError, MemoryError; PanicException (a
    BaseException) if `bl` and `bf` differ in length.  Accuracy, measured
    against the same profile's exact mean (rho = 0.1, l from 0 to 10; laws,
    steps, partial tables, 1000 radii): <= 2.3e-3 over the source (l <= 1),
    2.4e-8 for 1 < l < 1.5, 2.1e-9 from l = 1.5 on, set by the annuli's
    width 2e-4 (a band narrower than that, with the lens on it, is 83% off);
    the ring version is the better choice over the source.
    """

def multi_witt_mao_magnification(
    l: _FloatSequence, re: _FloatSequence, rstar: _FloatSequence
) -> list[list[float]]:
    """Uniform-disk magnifications for every pair (re[i], rstar[j]).

    Row i*len(rstar) + j holds witt_mao_magnification(l, re[i], rstar[j]);
    re is the outer loop, rstar the inner.  Runs on the worker pool,
    bit-identical for any thread count.  Raises TypeError, MemoryError.
    Accuracy: as witt_mao_magnification.
    """

def heyrovsky_magnification(l: _Float, r: _Float, re: _Float, rstar: _Float) -> float:
    """Mean magnification of the thin ring of radius `r` (source radii).

    The star's centre is `l` source radii from the lens; closed form of
    Heyrovsky (2003) with Carlson's elliptic integrals.  At l = 0 the point
    lens at distance r; the ring through the lens (r = l) is +inf, and within
    1e-5*min(1, l) of it a first-order expansion is used.  Raises
    RuntimeError when an elliptic integral fails (a NaN argument, l*r < 0),
    TypeError.  Accuracy, with b = 1e-5*min(1, l) and l from 0 to 1:
    <= 2.6e-12 relative farther than 20*b from the ring through the lens,
    4.1e-7 from 1 to 20 b (the closed form near m = 1), 4.1e-11 within b.
    """

def integrated_heyrovsky_magnification(l: _FloatSequence, re: _Float, rstar: _Float) -> list[float]:
    """Magnification of a linearly limb-darkened source, I = 0.4 + 0.6*mu.

    The brightness-weighted ring magnifications (Heyrovsky 2003) integrated
    over the radius with tanh-sinh quadrature (Takahasi & Mori 1974), split
    at r = l while the lens is over the disk; one separation after another
    on the calling thread.  A separation whose kernel calls fail, or a NaN
    l, re or rstar, gives NaN.  Raises TypeError, MemoryError.
    Accuracy: <= 1.3e-11 relative everywhere, the lens at the centre included.
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _FloatSequence, re: _Float, rstar: _Float, bl: _FloatSequence, bf: _FloatSequence
) -> list[float]:
    """Magnification of a tabulated radial profile, as brightness-weighted rings.

    The brightness is bf[i] at radius bl[i] (ascending, in source radii),
    linear in between and dark outside the table; ring magnifications
    (Heyrovsky 2003) are integrated with tanh-sinh quadrature between
    neighbouring table radii (and r = l) and divided by the profile's exact
    flux, so the scale of `bf` does not matter (a table without positive
    flux, such as an empty or dark one, gives NaN).  Raises TypeError,
    MemoryError; PanicException (a BaseException) if `bl` and `bf` differ in
    length.  Accuracy, measured against the same profile's exact mean
    (rho = 0.1, l from 0 to 10; laws, steps, partial tables, a band 1e-4
    wide, 1000 radii): <= 1e-10 (1.1e-9 with the lens on the edge of the
    band 1e-4 wide), 2e-14 outside the source; ~1e-11 for a uniform table.
    The table's own interpolation of a law is a separate error (README).
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _FloatSequence, re: _Float, rstar: _Float, bl: _FloatSequence, bf: _FloatSequence
) -> list[float]:
    """The weighted sum of ring magnifications, sum_i bf[i]*A_ring(l, bl[i]).

    Rings of radius bl[i] (source radii) with weights bf[i] used as given:
    not normalised, so weights that add up to 1 give a magnification.
    Raises RuntimeError when an elliptic integral fails, TypeError,
    MemoryError; PanicException (a BaseException) if `bl` and `bf` differ
    in length.  Accuracy: that of the rings (heyrovsky_magnification); as a
    profile integral, only as good as the weights.
    """
