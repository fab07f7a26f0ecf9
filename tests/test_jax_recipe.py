"""The JAX recipe (examples/jax_recipe.py, shown verbatim in docs/lumora_ld.md):
its values are lumora_ld's bits, and jax.grad through it, eager, under jit
and under vmap, gives the gradient assembled on the host from one
magnification_and_gradient call.  Skipped where JAX is not installed."""

import importlib.util
import os
import re

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

    _spec = importlib.util.spec_from_file_location("jax_recipe", RECIPE)
    recipe = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(recipe)  # also turns on jax_enable_x64

# (law, coefficients): no coefficient, one, two.
LAWS = [("uniform", ()), ("linear", (0.55,)), ("quadratic", (0.45, 0.25))]
LAW_IDS = [law for law, _ in LAWS]
# A crossing (u0 < rho), sampled densely across the disk and out to the wings.
TIMES = np.concatenate([np.linspace(-0.5, 0.5, 301), np.linspace(-30.0, 30.0, 300)])
THETA = np.array([0.0, 0.004, 20.0, 0.01, 0.55, 1.0, 0.3])


def light_curve(law, coefficients):
    """Noisy fluxes around the truth and a parameter vector off it."""
    u = np.hypot(THETA[1], TIMES / THETA[2])
    flux = THETA[5] * lumora_ld.magnification(u, THETA[3], law, coefficients) + THETA[6]
    sigma = 0.01 * np.sqrt(flux)
    flux = flux + sigma * np.random.default_rng(3).standard_normal(len(TIMES))
    off = np.concatenate([THETA[:4] * [1.0, 1.03, 0.98, 1.02] + [2e-3, 0, 0, 0], THETA[4:]])
    return flux, sigma, off


def chi_square(magnification, theta, coefficients, flux, sigma):
    u = jnp.hypot(theta[1], (TIMES - theta[0]) / theta[2])
    return jnp.sum(((theta[5] * magnification(u, theta[3], coefficients) + theta[6] - flux) / sigma) ** 2)


def host_gradient(law, theta, coefficients, flux, sigma):
    """d chi-square/d(t0, u0, tE, rho, Fs, Fb, coefficients), chain rule in NumPy,
    and the sum of the terms' magnitudes before cancelling (the scale of
    rounding)."""
    t0, u0, te, rho, _, fs, fb = theta
    tau = (TIMES - t0) / te
    u = np.hypot(u0, tau)
    a, a_u, a_rho, a_c = lumora_ld.magnification_and_gradient(u, rho, law, coefficients)
    weight = 2.0 * (fs * a + fb - flux) / sigma**2
    columns = [fs * a_u * -tau / (te * u), fs * a_u * u0 / u, fs * a_u * -tau * tau / (te * u), fs * a_rho,
               a, np.ones_like(a), *(fs * d for d in a_c)]
    size = 2.0 * (np.abs(fs * a) + np.abs(fb) + np.abs(flux)) / sigma**2  # weight before cancelling
    return np.array([np.sum(weight * c) for c in columns]), np.array([np.sum(np.abs(size * c)) for c in columns])


def assert_gradient(got, expected, message):
    gradient, scale = expected
    assert np.all(np.abs(got - gradient) <= 1e-12 * scale), f"{message}: {got} against {gradient}"


@pytest.mark.skipif(jax is None, reason="JAX is not installed")
@pytest.mark.parametrize("law, coefficients", LAWS, ids=LAW_IDS)
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
        flux, sigma, theta = light_curve(law, coefficients)
        c = jnp.asarray(coefficients, jnp.float64)
        f = recipe.ld_magnification(law)
        expected = host_gradient(law, theta, coefficients, flux, sigma)
        grad = jax.grad(lambda p, c: chi_square(f, p, c, flux, sigma), argnums=(0, 1))
        for name, g in [("eager", grad), ("jit", jax.jit(grad))]:
            d_theta, d_c = g(jnp.asarray(theta), c)
            got = np.concatenate([np.delete(np.asarray(d_theta), 4), np.asarray(d_c)])
            assert_gradient(got, expected, name)

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
        # Per parameter vector (different coefficients: one host call each).
        flux, sigma, theta = light_curve(law, coefficients)
        batch = np.stack([theta, THETA])
        cs = np.stack([np.asarray(coefficients, float), 0.9 * np.asarray(coefficients, float)])
        grad = jax.jit(jax.vmap(jax.grad(lambda p, c: chi_square(f, p, c, flux, sigma), argnums=(0, 1))))
        d_theta, d_c = grad(jnp.asarray(batch), jnp.asarray(cs))
        for k in range(2):
            expected = host_gradient(law, batch[k], tuple(cs[k]), flux, sigma)
            got = np.concatenate([np.delete(np.asarray(d_theta[k]), 4), np.asarray(d_c[k])])
            assert_gradient(got, expected, f"member {k}")
