"""Shared test configuration: the hypothesis profiles and the marker for
tests that cannot run under AddressSanitizer."""

import os

import pytest

# Property tests (test_properties.py): derandomized, so every run draws the
# same examples and a failure reproduces; no example database is kept.
# "ci" runs with make test (under a minute on two cores), "fuzz" with
# make fuzz (10^5 examples per function).  LUMORA_HYPOTHESIS_PROFILE
# chooses.  Without hypothesis only test_properties.py is skipped.
try:
    from hypothesis import HealthCheck, settings
except ImportError:
    settings = None
if settings is not None:
    _common = dict(derandomize=True, database=None, deadline=None, print_blob=True,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    settings.register_profile("ci", max_examples=300, **_common)
    settings.register_profile("fuzz", max_examples=100_000, **_common)
    settings.load_profile(os.environ.get("LUMORA_HYPOTHESIS_PROFILE", "ci"))


def _address_sanitizer_loaded():
    """True when the ASan runtime is mapped into this interpreter (make
    sanitize preloads it); its children inherit the preload."""
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line or "libclang_rt.asan" in line for line in maps)
    except OSError:
        return False


UNDER_ADDRESS_SANITIZER = _address_sanitizer_loaded()


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "address_space: needs an address-space limit or a huge reservation to fail softly; "
        "skipped under AddressSanitizer, whose allocator aborts instead")


def pytest_collection_modifyitems(config, items):
    if not UNDER_ADDRESS_SANITIZER:
        return
    skip = pytest.mark.skip(reason="AddressSanitizer aborts on an address-space limit or a huge "
                                   "reservation instead of failing the allocation")
    for item in items:
        if "address_space" in item.keywords:
            item.add_marker(skip)
