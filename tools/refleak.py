"""Reference and memory-block leak check of every entry point, for a debug
interpreter (sys.gettotalrefcount exists only there).

    PYTHONPATH=build/py314d python3.14d tools/refleak.py [--calls N]

Every function (lumora's, and lumora_ld's where it is built) is called N
times (default 1000) on each success path and each error path: binding
errors, conversion errors with their note, failing
__float__/__index__/__len__/__getitem__, RuntimeError, PanicException and
MemoryError (a reservation no vector can hold, and allocation failures
injected at every allocation of a call with _testcapi.set_nomemory).  After
a warm-up, the total reference count and the number of allocated memory
blocks must come back to where they were: the delta per call is printed for
each path, and the script exits 1 if any path moves either count.
"""

import argparse
import array
import gc
import math
import os
import sys

import lumora

try:
    import lumora_ld
except ImportError:  # a build without the limb-darkening module
    lumora_ld = None

try:
    import _testcapi
except ImportError:  # the interpreter's test modules are not installed
    _testcapi = None

NAN = math.nan
ONE_SEP = ("l", "re", "rstar")
FLUX = ("l", "re", "rstar", "bl", "bf")
RING = ("l", "r", "re", "rstar")
PanicException = None  # filled in from a real panic below


class BrokenFloat:
    def __float__(self):
        raise ArithmeticError("no float")


class BrokenIndex:
    def __index__(self):
        raise OverflowError("no index")


class BrokenLen:
    """A sequence whose __len__ raises: the length is only a hint."""

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, i):
        if i < 2:
            return 0.5 + i
        raise IndexError(i)


class LyingLen:
    """Claims many more items than it yields."""

    def __len__(self):
        return 10**6

    def __getitem__(self, i):
        if i < 2:
            return 0.5 + i
        raise IndexError(i)


class BrokenItem:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise LookupError("item 1 is broken")
        return 0.5


class NoNotes(Exception):
    """An exception that refuses the conversion note."""

    def __setattr__(self, name, value):
        if name == "__notes__":
            raise AttributeError("no notes here")
        super().__setattr__(name, value)


class RaisesNoNotes:
    def __float__(self):
        raise NoNotes("bad element")


# One set of valid arguments per function, by position.
VALID = {
    "witt_mao_magnification": ([0.0, 0.5, 1.0, 2.0, 1e4], 1.0, 0.1),
    "integrated_witt_mao_magnification": ([0.5, 2.0], 1.0, 0.5),
    "integrated_heyrovsky_magnification": ([0.5, 2.0], 1.0, 0.5),
    "integrated_flux_map_witt_mao_magnification": ([0.5, 2.0], 1.0, 0.5, [0.0, 1.0], [1.0, 0.4]),
    "integrated_flux_map_heyrovsky_magnification": ([0.5, 2.0], 1.0, 0.5, [0.0, 1.0], [1.0, 0.4]),
    "discrete_flux_map_heyrovsky_magnification": ([0.5, 2.0], 1.0, 0.5, [0.2, 0.7], [0.5, 0.5]),
    "multi_witt_mao_magnification": ([0.5, 2.0], [1.0, 2.0], [0.1, 0.2]),
    "heyrovsky_magnification": (0.5, 0.3, 1.0, 1.0),
}
NAMES = {
    "heyrovsky_magnification": RING,
    "multi_witt_mao_magnification": ONE_SEP,
    "witt_mao_magnification": ONE_SEP,
    "integrated_witt_mao_magnification": ONE_SEP,
    "integrated_heyrovsky_magnification": ONE_SEP,
}
SEQUENCE_PARAMETERS = {"l", "bl", "bf"}


def parameters(name):
    return NAMES.get(name, FLUX)


def is_sequence(name, parameter):
    return parameter in SEQUENCE_PARAMETERS and name != "heyrovsky_magnification" or \
        name == "multi_witt_mao_magnification"


def replaced(name, parameter, value):
    args = list(VALID[name])
    args[parameters(name).index(parameter)] = value
    return tuple(args)


def paths():
    """(path name, function, args, kwargs, expected exception type or None)."""
    result = []
    for name, args in VALID.items():
        f = getattr(lumora, name)
        names = parameters(name)
        add = lambda path, a, k=None, error=None: result.append((f"{name}: {path}", f, a, k or {}, error))
        add("success, positional", args)
        add("success, keywords", (), dict(zip(names, args)))
        add("success, mixed", args[:1], dict(zip(names[1:], args[1:])))
        if name != "heyrovsky_magnification":
            sequences = [p for p in names if is_sequence(name, p)]
            for kind, convert in [("tuple", tuple), ("array", lambda v: array.array("d", v)),
                                  ("range", None), ("empty", lambda v: [])]:
                if kind == "range":
                    add("success, range", replaced(name, names[0], range(3)))
                    continue
                add(f"success, {kind}", tuple(convert(a) if p in sequences else a for p, a in zip(names, args)))
        add("success, int and bool floats", tuple(
            [1, True] if is_sequence(name, p) else True for p in names) if name != "heyrovsky_magnification"
            else (1, True, 2, 1))
        add("binding: too many positional", args + (1.0,), error=TypeError)
        add("binding: unexpected keyword", args, {"bogus": 1.0}, TypeError)
        add("binding: multiple values", args, {names[0]: args[0]}, TypeError)
        add("binding: missing", args[:1], error=TypeError)
        add("binding: non-str keyword", args[:-1], {"\udcff": 1.0}, TypeError)
        for p in names:
            if is_sequence(name, p):
                add(f"conversion: {p} is None", replaced(name, p, None), error=TypeError)
                add(f"conversion: {p} is a str", replaced(name, p, "abc"), error=TypeError)
                add(f"conversion: {p} has a str", replaced(name, p, [0.5, "x"]), error=TypeError)
                add(f"conversion: {p} has a failing __float__", replaced(name, p, [BrokenFloat()]),
                    error=ArithmeticError)
                add(f"conversion: {p} has a failing __index__", replaced(name, p, [BrokenIndex()]),
                    error=OverflowError)
                add(f"conversion: {p} refuses the note", replaced(name, p, [RaisesNoNotes()]), error=NoNotes)
                add(f"conversion: {p} failing __len__", replaced(name, p, BrokenLen()))
                add(f"conversion: {p} lying __len__", replaced(name, p, LyingLen()))
                add(f"conversion: {p} failing __getitem__", replaced(name, p, BrokenItem()), error=LookupError)
                add(f"conversion: {p} has 10**400", replaced(name, p, [10**400]), error=OverflowError)
                add(f"memory: {p} of 10**18 items", replaced(name, p, range(10**18)), error=MemoryError)
            else:
                add(f"conversion: {p} is a str", replaced(name, p, "abc"), error=TypeError)
                add(f"conversion: {p} failing __float__", replaced(name, p, BrokenFloat()), error=ArithmeticError)
                add(f"conversion: {p} failing __index__", replaced(name, p, BrokenIndex()), error=OverflowError)
    ring = lumora.heyrovsky_magnification
    result.append(("heyrovsky_magnification: RuntimeError", ring, (NAN, 0.5, 1.0, 1.0), {}, RuntimeError))
    discrete = lumora.discrete_flux_map_heyrovsky_magnification
    result.append(("discrete_flux_map_heyrovsky_magnification: RuntimeError", discrete,
                   ([NAN], 1.0, 1.0, [0.5], [1.0]), {}, RuntimeError))
    for name in ("integrated_flux_map_witt_mao_magnification", "integrated_flux_map_heyrovsky_magnification",
                 "discrete_flux_map_heyrovsky_magnification"):
        result.append((f"{name}: PanicException (tables of unequal length)", getattr(lumora, name),
                       ([0.5], 1.0, 1.0, [0.0, 1.0], [1.0]), {}, PanicException))
    result.append(("witt_mao_magnification: NaN results, no error", lumora.witt_mao_magnification,
                   ([NAN, math.inf, -1.0], NAN, 0.1), {}, None))
    if lumora_ld is not None:
        result += ld_paths()
    return result


def ld_paths():
    """lumora_ld's entry points: NumPy in and out, so a table of its own
    (shapes that do not broadcast are left out: NumPy raises that error, and
    its own caches move a block now and then on that path)."""
    import numpy as np

    u = np.linspace(0.0, 0.3, 300)  # more than a pool chunk: the workers run too
    tabulated = ([0.0, 0.5, 1.0], [0.4, 0.8, 1.0])
    cases = [
        ("success, scalars", (0.05, 0.1, "linear", (0.6,)), {}, None),
        ("success, arrays", (u, 0.1, "claret4", (0.5, 0.2, 0.3, -0.2)), {"rtol": 1e-6}, None),
        ("success, broadcast lists", ([[0.0], [0.1]], [0.1, 0.2]), {"workers": 1}, None),
        ("success, tabulated", (u, 0.1, tabulated), {}, None),
        ("binding: unexpected keyword", (0.1, 0.1), {"bogus": 1.0}, TypeError),
        ("binding: missing", (0.1,), {}, TypeError),
        ("conversion: u is a str", ("abc", 0.1), {}, TypeError),
        ("conversion: an item's failing __float__", ([BrokenFloat()], 0.1), {}, ArithmeticError),
        ("conversion: unknown law", (0.1, 0.1, "nope"), {}, ValueError),
        ("conversion: negative profile", (0.1, 0.1, "linear", (1.5,)), {}, ValueError),
        ("conversion: ragged tabulated", (0.1, 0.1, ([0.0, 1.0], [1.0])), {}, ValueError),
        ("conversion: rtol", (0.1, 0.1), {"rtol": 0.5}, ValueError),
        ("conversion: workers", (0.1, 0.1), {"workers": 0}, ValueError),
    ]
    result = []
    for function in (lumora_ld.magnification, lumora_ld.magnification_and_gradient):
        for path, args, kwargs, error in cases:
            result.append((f"lumora_ld.{function.__name__}: {path}", function, args, kwargs, error))
    out = np.zeros(300)
    result.append(("lumora_ld.magnification: success, out", lumora_ld.magnification, (u, 0.1), {"out": out}, None))
    result.append(("lumora_ld.magnification: out of another shape", lumora_ld.magnification, (u, 0.1),
                   {"out": np.zeros(3)}, ValueError))
    return result


def call(f, args, kwargs, error):
    try:
        f(*args, **kwargs)
    except BaseException as caught:
        if error is None or not isinstance(caught, error):
            raise
    else:
        if error is not None:
            raise AssertionError(f"{f.__name__} did not raise {error.__name__}")


def counts():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def rounds_of(run, calls, rounds):
    run()
    deltas = []
    for _ in range(rounds):
        before = counts()
        for _ in range(calls):
            run()
        after = counts()
        deltas.append((after[0] - before[0], after[1] - before[1]))
    return min(d[0] for d in deltas), min(d[1] for d in deltas)


def measure(run, calls, rounds=3):
    """The smallest change of (references, blocks) over `rounds` rounds of
    `calls` calls each, after a warm-up round, less that of a round of calls
    that do nothing (the measurement's own tuple)."""
    refs, blocks = rounds_of(run, calls, rounds)
    idle_refs, idle_blocks = rounds_of(lambda: None, calls, rounds)
    return refs - idle_refs, blocks - idle_blocks


def leaks(refs, blocks, calls, counted):
    """Above one per 100 calls: a round's own bookkeeping moves a block or
    two.  lumora_ld's paths go through NumPy, whose extension is not built
    for the debug interpreter: its Py_DECREF leaves the total reference count
    alone, so only their memory blocks are judged."""
    return (counted and refs > calls / 100) or blocks > calls / 100


def confirmed(run, calls, counted):
    """A path over the threshold once is measured twice more, on rounds three
    times as long: a leak repeats and grows with the calls, while the
    interpreter's own caches (freelists, NumPy's dimension cache) can move a
    dozen blocks in one round on a busy machine.  Returns the smallest of the
    three measurements, per call of the first."""
    smallest = None
    for _ in range(2):
        refs, blocks = measure(run, 3 * calls, rounds=5)
        refs, blocks = refs / 3, blocks / 3
        if not leaks(refs, blocks, calls, counted):
            return refs, blocks
        smallest = (refs, blocks)
    return smallest


def memory_error_sweep(f, args):
    """One pass that fails the 1st, 2nd, ... allocation of the call until a
    call succeeds; returns the number of calls made."""
    start = 1
    while True:
        _testcapi.set_nomemory(start, 0)
        try:
            f(*args)
        except MemoryError:
            pass
        else:
            return start
        finally:
            _testcapi.remove_mem_hooks()
        start += 1


def main():
    global PanicException
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000)
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleak: needs a debug interpreter (python3.14d)")
    # Panics write a short report to stderr each time: keep the output readable.
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved_stderr = os.dup(2)
    os.dup2(devnull, 2)
    try:
        lumora.integrated_flux_map_witt_mao_magnification([0.5], 1.0, 1.0, [0.0], [])
    except BaseException as panic:
        PanicException = type(panic)
    finally:
        os.dup2(saved_stderr, 2)

    total_calls = 0
    rows = []
    for path, f, args, kwargs, error in paths():
        if error is PanicException:
            os.dup2(devnull, 2)
        run = lambda: call(f, args, kwargs, error)  # noqa: E731
        counted = not path.startswith("lumora_ld.")
        try:
            refs, blocks = measure(run, options.calls)
            if leaks(refs, blocks, options.calls, counted):
                refs, blocks = confirmed(run, options.calls, counted)
                total_calls += 30 * options.calls
        except BaseException:
            os.dup2(saved_stderr, 2)
            print(f"refleak: path {path!r} failed", file=sys.stderr)
            raise
        finally:
            os.dup2(saved_stderr, 2)
        total_calls += 4 * options.calls
        rows.append((path, refs, blocks))
    if _testcapi is not None:
        for name, args in VALID.items():
            f = getattr(lumora, name)
            per_pass = memory_error_sweep(f, args)
            passes = max(1, options.calls // per_pass)
            refs, blocks = measure(lambda: [memory_error_sweep(f, args) for _ in range(passes)], 1)
            total_calls += 4 * passes * per_pass
            rows.append((f"{name}: MemoryError at each of {per_pass - 1} allocations (x{passes})",
                         refs / (passes * per_pass) * options.calls, blocks / (passes * per_pass) * options.calls))
    else:
        print("refleak: _testcapi is missing: the allocation-failure paths are not run")

    width = max(len(path) for path, _, _ in rows)
    print(f"{'path':<{width}}  refs/call  blocks/call")
    leaking = []
    for path, refs, blocks in rows:
        counted = not path.startswith("lumora_ld.")
        leak = leaks(refs, blocks, options.calls, counted)
        if leak:
            leaking.append(path)
        print(f"{path:<{width}}  {refs / options.calls:9.4f}  {blocks / options.calls:11.4f}"
              + ("  LEAK" if leak else "" if counted else "  (blocks only)"))
    # The leaking paths again at the end, where a truncated log still shows them.
    for path in leaking:
        print(f"refleak: LEAK in {path}")
    print(f"refleak: {len(rows)} paths, {total_calls} calls, {len(leaking)} leaking")
    sys.exit(1 if leaking else 0)


if __name__ == "__main__":
    main()
