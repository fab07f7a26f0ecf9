"""The JAX recipe (examples/jax_recipe.py, shown verbatim in docs/lumora_ld.md):
its values are lumora_ld's bits, and jax.grad through it, eager, under jit
and under vmap, gives the gradient assembled on the host from one
magnification_and_gradient call.  Skipped where JAX is not installed."""

import os
import re
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECIPE = os.path.join(ROOT, "examples", "jax_recipe.py")
BEGIN, END = "# ---- the recipe (docs/lumora_ld.md shows this part verbatim) ----\n", "# ---- end of the recipe ----"


def test_the_documented_recipe_is_the_tested_one():
    with open(RECIPE) as f:
        source = f.read()
    recipe = source[source.index(BEGIN) + len(BEGIN):source.index(END)]
    with open(os.path.join(ROOT, "docs", "lumora_ld.md")) as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), flags=re.S)
    assert recipe in blocks


try:
    import jax
except ImportError:
    jax = None
else:
    import jax.numpy as jnp
    import lumora_ld

    sys.path.insert(0, os.path.dirname(RECIPE))
    import jax_recipe as recipe  # also turns on jax_enable_x64

# (law, coefficients): no coefficient, one, two.
LAWS = [("uniform", ()), ("linear", (0.55,)), ("quadratic", (0.45, 0.25))]
# A crossing (u0 < rho), sampled densely across the disk and out to the
# wings; theta = (t0, u0, tE, rho, Fs, Fb), the noisy fluxes around TRUTH.
TIMES = np.concatenate([np.linspace(-0.5, 0.5, 301), np.linspace(-30.0, 30.0, 300)])
TRUTH = np.array([0.0, 0.004, 20.0, 0.01, 1.0, 0.3])
THETA = TRUTH * [1.0, 1.03, 0.98, 1.02, 1.0, 1.0] + [2e-3, 0, 0, 0, 0, 0]


def light_curve(law, coefficients):
    flux = TRUTH[4] * lumora_ld.magnification(np.hypot(TRUTH[1], TIMES / TRUTH[2]), TRUTH[3], law, coefficients)
    sigma = 0.01 * np.sqrt(flux + TRUTH[5])
    return flux + TRUTH[5] + sigma * np.random.default_rng(3).standard_normal(len(TIMES)), sigma


def grad_chi_square(f, flux, sigma):
    return jax.grad(lambda p, c: recipe.chi_square(f, p, c, TIMES, flux, sigma), argnums=(0, 1))


def assert_host_gradient(law, theta, coefficients, got, flux, sigma, message):
    # Within 1e-12 of the sum of the terms' magnitudes: rounding in the sum.
    expected, scale = recipe.host_gradient(law, theta, coefficients, TIMES, flux, sigma)
    got = np.concatenate([np.asarray(g) for g in got])
    assert np.all(np.abs(got - expected) <= 1e-12 * scale), f"{message}: {got} against {expected}"


@pytest.mark.skipif(jax is None, reason="JAX is not installed")
@pytest.mark.parametrize("law, coefficients", LAWS, ids=[law for law, _ in LAWS])
class TestRecipe:
    def test_values_are_lumora_ld_bits_for_any_broadcast(self, law, coefficients):
        f = recipe.ld_magnification(law)
        u = np.array([0.0, 0.003, 0.01, 0.0100001, 0.5, 40.0])
        rho = np.array([[1e-3], [0.01], [2.0]])
        for args in [(u, 0.01), (0.004, rho), (u, rho)]:
            got = jax.jit(f)(*args, jnp.asarray(coefficients))
            assert got.dtype == np.float64
            np.testing.assert_array_equal(got, lumora_ld.magnification(*args, law, coefficients))

    def test_grad_of_a_chi_square_is_the_host_gradient(self, law, coefficients):
        flux, sigma = light_curve(law, coefficients)
        grad = grad_chi_square(recipe.ld_magnification(law), flux, sigma)
        for name, g in [("eager", grad), ("jit", jax.jit(grad))]:
            got = g(jnp.asarray(THETA), jnp.asarray(coefficients, jnp.float64))
            assert_host_gradient(law, THETA, coefficients, got, flux, sigma, name)

    def test_vmap_over_epochs_and_over_parameter_vectors(self, law, coefficients):
        f = recipe.ld_magnification(law)
        u = np.array([0.0, 0.003, 0.01, 0.5, 40.0])
        # Per epoch, one host call: the derivatives are the host's own arrays.
        d_u, d_rho, d_c = jax.vmap(jax.grad(f, argnums=(0, 1, 2)), in_axes=(0, None, None))(
            u, 0.01, jnp.asarray(coefficients, jnp.float64))
        _, a_u, a_rho, a_c = lumora_ld.magnification_and_gradient(u, 0.01, law, coefficients)
        np.testing.assert_array_equal(d_u, a_u)
        np.testing.assert_array_equal(d_rho, a_rho)
        np.testing.assert_array_equal(d_c, np.reshape(a_c.T, d_c.shape))
        # Per parameter vector, with different coefficients: one host call each.
        flux, sigma = light_curve(law, coefficients)
        thetas = np.stack([THETA, TRUTH])
        cs = np.stack([np.asarray(coefficients, float), 0.9 * np.asarray(coefficients, float)])
        d_theta, d_c = jax.jit(jax.vmap(grad_chi_square(f, flux, sigma)))(jnp.asarray(thetas), jnp.asarray(cs))
        for k in range(2):
            assert_host_gradient(law, thetas[k], tuple(cs[k]), (d_theta[k], d_c[k]), flux, sigma, f"member {k}")
