"""How failures reach Python: PanicException, RuntimeError, and what stays behind."""

import os
import subprocess
import sys

import pytest

import lumora

FLUX_MAP_FUNCTIONS = [
    "integrated_flux_map_witt_mao_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

# The table check compares len(bl) (left) with len(bf) (right).
MISMATCHES = [
    pytest.param([0.0, 0.5, 1.0], [1.0, 1.0], "assertion `left == right` failed\n  left: 3\n right: 2", id="3-2"),
    pytest.param([0.5], [1.0, 1.0], "assertion `left == right` failed\n  left: 1\n right: 2", id="1-2"),
    pytest.param([], [1.0] * 12, "assertion `left == right` failed\n  left: 0\n right: 12", id="0-12"),
]


def panic(name="integrated_flux_map_witt_mao_magnification"):
    """Provokes an internal failure and returns the raised exception."""
    with pytest.raises(BaseException) as info:
        getattr(lumora, name)([0.5], 1.0, 1.0, [0.0, 0.5, 1.0], [1.0, 1.0])
    return info.value


class TestPanicException:
    @pytest.mark.parametrize("l", [[0.5], []], ids=["one-separation", "no-separation"])
    @pytest.mark.parametrize(("bl", "bf", "message"), MISMATCHES)
    @pytest.mark.parametrize("name", FLUX_MAP_FUNCTIONS)
    def test_unequal_table_lengths(self, name, bl, bf, message, l):
        with pytest.raises(BaseException) as info:
            getattr(lumora, name)(l, 1.0, 1.0, bl, bf)
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (message,)
        assert str(info.value) == message

    def test_class_is_pyo3_runtime_panic_exception_deriving_from_base_exception(self):
        cls = type(panic())
        assert (cls.__module__, cls.__qualname__) == ("pyo3_runtime", "PanicException")
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)
        assert type(cls.__doc__) is str and cls.__doc__
        assert set(vars(cls)) <= {"__module__", "__doc__", "__dict__", "__weakref__"}

    def test_the_same_class_on_every_failure(self):
        assert len({id(type(panic(name))) for name in FLUX_MAP_FUNCTIONS * 2}) == 1

    def test_except_exception_does_not_catch_it(self):
        try:
            try:
                lumora.integrated_flux_map_heyrovsky_magnification([0.5], 1.0, 1.0, [0.0, 1.0], [1.0])
            except Exception:
                caught_by = "Exception"
        except BaseException as error:
            caught_by = type(error).__name__
        assert caught_by == "PanicException"


def nan_separation():
    return lumora.heyrovsky_magnification(float("nan"), 0.3, 1.0, 1.0)


# Calls whose elliptic integral fails; the failure is passed on as RuntimeError.
MODEL_ERRORS = [
    pytest.param(nan_separation, id="nan-separation"),
    pytest.param(lambda: lumora.discrete_flux_map_heyrovsky_magnification([0.5, float("nan")], 1.0, 1.0, [0.3], [1.0]),
                 id="discrete"),
]


class TestModelError:
    @pytest.mark.parametrize("call", MODEL_ERRORS)
    def test_runtime_error_with_the_elliptic_message(self, call, capfd):
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError
        assert info.value.args == ("ellipk: Arguments cannot be NAN.",)
        assert not hasattr(info.value, "__notes__")
        assert capfd.readouterr() == ("", "")


# (failing call, what it writes to stderr): only an internal failure writes, a report holding its message.
FAILING_CALLS = [
    pytest.param(lambda: lumora.witt_mao_magnification([0.5], 1.0), None, id="binding"),
    pytest.param(lambda: lumora.witt_mao_magnification([0.5, "x"], 1.0, 0.1), None, id="conversion"),
    pytest.param(nan_separation, None, id="model"),
    pytest.param(panic, "assertion `left == right` failed\n  left: 3\n right: 2", id="internal"),
]


class TestNoTrace:
    @pytest.mark.parametrize(("fail", "report"), FAILING_CALLS)
    def test_the_next_call_works_and_only_a_panic_writes(self, fail, report, capfd):
        calls = [
            lambda: lumora.witt_mao_magnification([0.5, 2.0], 1.0, 0.1),
            lambda: lumora.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0),
            lambda: lumora.integrated_flux_map_witt_mao_magnification([0.5], 1.0, 1.0, [0.0, 1.0], [1.0, 1.0]),
        ]
        before = [call() for call in calls]
        try:
            fail()
        except BaseException:  # every kind of failure, PanicException included
            pass
        assert [call() for call in calls] == before
        out, err = capfd.readouterr()
        assert out == ""
        assert err == "" if report is None else report in err


OUT_OF_MEMORY = [
    # 10^5 x 10^5 pairs: the list of pairs, on the calling thread, cannot be
    # held under a 2 GiB address-space limit.
    pytest.param("""
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, hard))
lumora.multi_witt_mao_magnification([1.0], range(10**5), range(10**5))
""", id="caller"),
    # 64 rows of 10^6 results (8 MB each), each allocated by the nested map
    # on a pool worker, in 24 MiB more address space than the process has
    # once the pool and the input list exist: after the input's 8 MB copy
    # on the calling thread, a worker's allocation fails within 2 rows
    # (u = 10^4 > 1000ρ: the cheap far-field branch).
    pytest.param("""
l = [1e5] * 10**6
lumora.witt_mao_magnification(l[:10], 1.0, 0.1)  # starts the pool
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + 24 * 2**20, hard))
lumora.multi_witt_mao_magnification(l, [1.0] * 8, [0.1] * 8)
""", id="worker"),
]


@pytest.mark.address_space
@pytest.mark.parametrize("body", OUT_OF_MEMORY)
def test_running_out_of_memory_is_a_memory_error(body):
    # A failed C++ allocation (std::bad_alloc), on the calling thread or on a
    # pool worker, must surface as MemoryError, not as a panic.
    script = "import resource, lumora\nsoft, hard = resource.getrlimit(resource.RLIMIT_AS)\ntry:" + \
        body.replace("\n", "\n    ") + "\nexcept MemoryError:\n    print('MemoryError')\n"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(lumora.__file__), RAYON_NUM_THREADS="2")
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "MemoryError", result.stderr


LIST_CALLS = [
    pytest.param(lambda l: lumora.witt_mao_magnification(l, 1.0, 0.1), id="witt_mao"),
    pytest.param(lambda l: lumora.multi_witt_mao_magnification(l, [1.0, 2.0], [0.1]), id="multi_witt_mao"),
    pytest.param(lambda l: lumora.integrated_witt_mao_magnification(l[:3], 1.0, 0.1), id="integrated_witt_mao"),
    pytest.param(lambda l: lumora.integrated_heyrovsky_magnification(l[:3], 1.0, 0.1), id="integrated_heyrovsky"),
    pytest.param(lambda l: lumora.integrated_flux_map_witt_mao_magnification(l[:3], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
                 id="integrated_flux_map_witt_mao"),
    pytest.param(lambda l: lumora.integrated_flux_map_heyrovsky_magnification(l[:3], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
                 id="integrated_flux_map_heyrovsky"),
    pytest.param(lambda l: lumora.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, [0.3], [1.0]),
                 id="discrete_flux_map_heyrovsky"),
]


@pytest.mark.parametrize("call", LIST_CALLS)
def test_every_failed_python_allocation_is_a_memory_error(call, capfd):
    # One allocation of the interpreter's fails at a time, at every point of
    # the call: converting l, building the result list and its floats.
    testcapi = pytest.importorskip("_testcapi")
    l = [0.5] * 300
    outcomes = set()
    for start in range(40):
        try:
            testcapi.set_nomemory(start, start + 1)
            try:
                call(l)
            finally:
                testcapi.remove_mem_hooks()
            outcomes.add("result")
        except MemoryError:
            outcomes.add("MemoryError")
    assert "MemoryError" in outcomes
    assert capfd.readouterr() == ("", "")  # no panic report


# Both modules keep process-wide state (lumora its caches, lumora_ld NumPy's
# API table): legacy (shared-GIL) sub-interpreters and, from 3.14, isolated
# ones get ImportError; the main interpreter still works afterwards.
@pytest.mark.skipif(sys.version_info < (3, 12), reason="sub-interpreters with their own GIL need 3.12")
@pytest.mark.parametrize("name, call", [
    ("lumora", "lumora.witt_mao_magnification([2.0], 1.0, 1.0)"),
    ("lumora_ld", "float(lumora_ld.magnification(0.5, 0.1))"),
])
def test_sub_interpreters_refuse_the_import(name, call):
    module = pytest.importorskip(name)
    script = f"""
import _testcapi, sys
assert _testcapi.run_in_subinterp("import {name}") == -1
if sys.version_info >= (3, 14):
    from concurrent import interpreters
    interp = interpreters.create()
    try:
        interp.exec("import {name}")
    except interpreters.ExecutionFailed as failure:
        print(failure.excinfo.type.__name__, failure.excinfo.msg)
    interp.close()
import {name}
print(repr({call}))
"""
    pytest.importorskip("_testcapi")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(module.__file__))
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert f"ImportError: module {name} does not support loading in subinterpreters" in result.stderr
    lines = result.stdout.splitlines()
    if sys.version_info >= (3, 14):
        assert lines[0] == f"ImportError module {name} does not support loading in subinterpreters"
    assert lines[-1] == repr(eval(call, {name: module}))
