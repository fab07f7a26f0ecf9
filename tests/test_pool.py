"""The worker pool as Python sees it: its size from the environment, when it
starts, result order, nested maps, fork, and a pool that cannot be created.

Everything that depends on the pool's creation runs in a fresh interpreter
(`python -c`), since the pool is created once per process."""

import array
import json
import os
import random
import subprocess
import sys
import textwrap

import pytest

import lumora

MODULE_DIR = os.path.dirname(os.path.abspath(lumora.__file__))
EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")
# sysconf(_SC_NPROCESSORS_ONLN), the pool's default size.
DEFAULT = max(os.sysconf("SC_NPROCESSORS_ONLN"), 1)
# A RAYON_RS_NUM_CPUS value that no other case can produce (not 2, 3, 4 or the default).
FALLBACK = DEFAULT + 5

# Lines shared by the scripts: thread count of this process, and bytes of a result list.
PRELUDE = """\
import array, json, os, sys, time
def threads():
    return len(os.listdir("/proc/self/task"))
def raw(values):
    return array.array("d", values).tobytes()
"""


def run_python(script, variables=None, args=(), timeout=60, quiet=True):
    """Runs `script` in a fresh interpreter that imports lumora from this test's
    build; returns its standard output.  Only `variables` size the pool.  A
    `quiet` script must write nothing to standard error."""
    env = {key: value for key, value in os.environ.items() if key not in POOL_VARIABLES}
    env["PYTHONPATH"] = MODULE_DIR
    env.update(variables or {})
    process = subprocess.run([sys.executable, "-W", "error", "-c", PRELUDE + textwrap.dedent(script), *args],
                             env=env, capture_output=True, text=True, timeout=timeout)
    assert process.returncode == 0, process.stderr
    assert not quiet or process.stderr == ""
    return process.stdout


def new_threads(variables):
    script = """\
        import lumora
        before = threads()
        lumora.witt_mao_magnification([0.5, 1.5, 2.5], 1.0, 0.1)
        print(threads() - before)
    """
    return int(run_python(script, variables))


# (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, workers expected); None leaves a variable unset.
ENVIRONMENT = [
    pytest.param("3", None, 3, id="three"),
    pytest.param("+4", str(FALLBACK), 4, id="plus-four-first-wins"),
    pytest.param("03", None, 3, id="leading-zero"),
    pytest.param("0", str(FALLBACK), DEFAULT, id="zero-default-second-unread"),
    pytest.param("abc", str(FALLBACK), FALLBACK, id="letters-fall-through"),
    pytest.param("-2", str(FALLBACK), FALLBACK, id="minus-fall-through"),
    pytest.param("+", str(FALLBACK), FALLBACK, id="lone-plus-fall-through"),
    pytest.param("", str(FALLBACK), FALLBACK, id="empty-fall-through"),
    pytest.param("4 ", str(FALLBACK), FALLBACK, id="trailing-blank-fall-through"),
    pytest.param(" 4", str(FALLBACK), FALLBACK, id="leading-blank-fall-through"),
    pytest.param("18446744073709551616", str(FALLBACK), FALLBACK, id="2^64-fall-through"),
    pytest.param(None, str(FALLBACK), FALLBACK, id="second-only"),
    pytest.param("abc", "0", DEFAULT, id="second-zero-default"),
    pytest.param("abc", "4 ", DEFAULT, id="second-not-a-count-default"),
    pytest.param(None, None, DEFAULT, id="both-unset-default"),
]


class TestPoolSize:
    @pytest.mark.parametrize(("first", "second", "expected"), ENVIRONMENT)
    def test_workers_started_by_the_first_parallel_call(self, first, second, expected):
        variables = {name: value for name, value in zip(POOL_VARIABLES, (first, second)) if value is not None}
        assert new_threads(variables) == expected

    def test_environment_changed_after_creation_is_ignored(self):
        script = """\
            import lumora
            before = threads()
            lumora.witt_mao_magnification([0.5, 1.5], 1.0, 0.1)
            first = threads() - before
            os.environ["RAYON_NUM_THREADS"] = "5"
            os.environ["RAYON_RS_NUM_CPUS"] = "5"
            lumora.witt_mao_magnification([0.5, 1.5, 2.5], 1.0, 0.1)
            lumora.multi_witt_mao_magnification([0.5, 1.5], [1.0, 2.0], [0.1, 0.2])
            print(first, threads() - before)
        """
        assert run_python(script, {"RAYON_NUM_THREADS": "3"}).split() == ["3", "3"]


class TestWhenWorkersRun:
    def test_sequential_functions_start_no_thread(self):
        script = """\
            before = threads()
            import lumora
            lumora.integrated_witt_mao_magnification([0.5, 1.5], 1.0, 0.1)
            lumora.integrated_flux_map_witt_mao_magnification([0.5, 1.5], 1.0, 0.1, [0.0, 1.0], [1.0, 0.5])
            lumora.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0)
            lumora.integrated_heyrovsky_magnification([0.5, 1.5], 1.0, 0.1)
            lumora.integrated_flux_map_heyrovsky_magnification([0.5, 1.5], 1.0, 0.1, [0.0, 1.0], [1.0, 0.5])
            lumora.discrete_flux_map_heyrovsky_magnification([0.5, 1.5], 1.0, 0.1, [0.3, 0.6], [1.0, 0.5])
            print(before, threads())
        """
        assert run_python(script).split() == ["1", "1"]

    def test_empty_and_one_element_calls_wake_no_worker(self):
        # A worker that has gone to sleep (state S, its voluntary context
        # switch count steady) only runs again if a job is handed to the pool;
        # running and going back to sleep raises that count.
        script = """\
            import lumora
            results = [lumora.witt_mao_magnification([], 1.0, 0.1)]
            workers = [tid for tid in os.listdir("/proc/self/task") if tid != str(os.getpid())]
            results.append(len(workers))
            def snapshot():
                states = {}
                for tid in workers:
                    with open(f"/proc/self/task/{tid}/status") as status:
                        fields = dict(line.split(":", 1) for line in status)
                    states[tid] = (fields["State"].split()[0], int(fields["voluntary_ctxt_switches"]))
                return states
            def asleep():
                previous = None
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline:
                    states = snapshot()
                    if states == previous and all(state == "S" for state, _ in states.values()):
                        return states
                    previous = states
                    time.sleep(0.05)
                raise SystemExit("the workers never went to sleep")
            settled = asleep()
            for _ in range(200):
                results.append(lumora.witt_mao_magnification([], 1.0, 0.1))
                results.append(lumora.witt_mao_magnification([1.5], 1.0, 0.1))
            results.append(asleep() == settled)
            lumora.witt_mao_magnification([i / 250 for i in range(1000)], 1.0, 0.1)
            results.append(asleep() == settled)
            print(json.dumps(results))
        """
        results = json.loads(run_python(script, {"RAYON_NUM_THREADS": "3"}))
        one = lumora.witt_mao_magnification([1.5], 1.0, 0.1)
        assert results[:2] == [[], 3]
        assert results[2:-2] == [[], one] * 200
        assert results[-2:] == [True, False]  # no worker woke for [] or [x]; one did for 1000 items


def separations(count):
    """`count` separations in source radii: the source edge on the lens (1.0),
    the lens at the centre (0.0, -0.0), NaN and infinity (NaN results),
    then pseudo-random values across the disk and beyond."""
    special = [0.75, 1.0, 0.0, float("nan"), 2.5, -0.0, float("inf")]
    generator = random.Random(20240611)
    return (special + [generator.uniform(0.0, 4.0) for _ in range(count)])[:count]


LENGTHS = [0, 1, 2, 7, 1000, 100_000]
RE, RSTAR = 1.3, 0.17


@pytest.fixture(scope="module")
def sequential_reference(tmp_path_factory):
    """Input and reference of the longest length; each reference value comes
    from a one-element call, which runs on the calling thread."""
    values = separations(LENGTHS[-1])
    reference = [lumora.witt_mao_magnification([value], RE, RSTAR)[0] for value in values]
    path = tmp_path_factory.mktemp("pool") / "reference.bin"
    path.write_bytes(array.array("d", values + reference).tobytes())
    return path


class TestParallelMap:
    @pytest.mark.parametrize("threads", [1, 2, 3, 8, 64])
    def test_results_equal_the_sequential_evaluation_bit_for_bit(self, threads, sequential_reference):
        # Per length: None if every double has the reference's bits, else the
        # first index that differs (or "length").
        script = f"""\
            import lumora
            with open(sys.argv[1], "rb") as file:
                data = array.array("d", file.read())
            values, reference = data[:{LENGTHS[-1]}].tolist(), data[{LENGTHS[-1]}:]
            before = threads()
            verdict = {{}}
            for n in {LENGTHS}:
                result = lumora.witt_mao_magnification(values[:n], {RE}, {RSTAR})
                differs = [i for i in range(n) if raw(result[i:i + 1]) != reference[i:i + 1].tobytes()]
                verdict[n] = "length" if len(result) != n else differs[0] if differs else None
            verdict["workers"] = threads() - before
            print(json.dumps(verdict))
        """
        verdict = run_python(script, {"RAYON_NUM_THREADS": str(threads)}, [str(sequential_reference)])
        expected = {"workers": threads} | {str(n): None for n in LENGTHS}
        assert json.loads(verdict) == expected

    # (values of re, values of rstar, number of separations)
    PAIRS = [
        pytest.param([0.5, 1.0, 2.0, 7.5], [0.01, 0.3, 1.7], 1000, id="4x3x1000"),
        pytest.param([1.3], [0.17], 1, id="1x1x1"),
        pytest.param([1.0, 2.0], [0.1, 0.2, 0.3, 0.4, 0.5], 0, id="2x5x0"),
        pytest.param([1.0, 2.0, 3.0], [], 10, id="3x0x10"),
    ]

    @pytest.mark.parametrize(("re", "rstar", "count"), PAIRS)
    def test_pairs_equal_the_per_pair_calls(self, re, rstar, count):
        l = separations(count)
        result = lumora.multi_witt_mao_magnification(l, re, rstar)
        expected = [lumora.witt_mao_magnification(l, einstein, star) for einstein in re for star in rstar]
        assert len(result) == len(expected)
        assert [array.array("d", row).tobytes() for row in result] == [array.array("d", row).tobytes() for row in expected]


class TestProcessLifecycle:
    def test_fork_children_compute_after_the_parent_pool_exists(self):
        # Each child gets 20 s; a hang is killed and reported, not waited for.
        script = """\
            import multiprocessing, warnings
            import lumora
            warnings.filterwarnings("ignore", r"This process .*is multi-threaded", DeprecationWarning)
            l = [i / 250 for i in range(1000)]
            def compute():
                return raw(lumora.witt_mao_magnification(l, 1.3, 0.17)) + raw(
                    sum(lumora.multi_witt_mao_magnification(l, [1.0, 2.0], [0.1, 0.2, 0.3]), []))
            expected = compute()  # the parent's pool now exists
            verdict = {}
            pid = os.fork()
            if pid == 0:
                os._exit(0 if compute() == expected else 3)
            deadline = time.monotonic() + 20
            while (finished := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            if finished[0] == 0:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            verdict["os.fork"] = os.waitstatus_to_exitcode(finished[1]) if finished[0] else "hang"
            context = multiprocessing.get_context("fork")
            reader, writer = context.Pipe(duplex=False)
            child = context.Process(target=lambda: writer.send_bytes(compute()))
            child.start()
            verdict["multiprocessing"] = reader.recv_bytes() == expected if reader.poll(20) else "hang"
            child.join(20 if verdict["multiprocessing"] != "hang" else 0)
            if child.is_alive():
                child.kill()
                child.join()
            verdict["parent"] = compute() == expected
            print(json.dumps(verdict))
        """
        verdict = json.loads(run_python(script, {"RAYON_NUM_THREADS": "3"}))
        assert verdict == {"os.fork": 0, "multiprocessing": True, "parent": True}

    @pytest.mark.address_space
    def test_failed_creation_is_final(self):
        # 2000 workers of 2 MiB stacks do not fit in 64 MiB more address space.
        script = """\
            import resource
            import lumora
            with open("/proc/self/status") as status:
                size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 2**20, hard))
            calls = [lambda: lumora.witt_mao_magnification([0.5, 1.5], 1.0, 0.1),
                     lambda: lumora.witt_mao_magnification([], 1.0, 0.1),
                     lambda: lumora.multi_witt_mao_magnification([0.5, 1.5], [1.0], [0.1])]
            failures = []
            for call in calls:
                try:
                    call()
                    failures.append(None)
                except BaseException as error:
                    failures.append([type(error).__module__, type(error).__name__,
                                     isinstance(error, Exception), len(error.args), str(error)])
                # Room for a pool and a new size now: neither may be used.
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
                os.environ["RAYON_NUM_THREADS"] = "2"
            deadline = time.monotonic() + 10
            while threads() != 1 and time.monotonic() < deadline:
                time.sleep(0.01)
            print(json.dumps([threads(), failures]))
        """
        # Each failure also writes the module's short report to standard error.
        workers, failures = json.loads(run_python(script, {"RAYON_NUM_THREADS": "2000"}, quiet=False))
        assert workers == 1  # the workers that did start were stopped
        for failure in failures:
            assert failure is not None
            assert failure[:4] == ["pyo3_runtime", "PanicException", False, 1]
            assert failure[4].startswith("The global thread pool has not been initialized.")


@pytest.fixture(scope="module")
def survey():
    """examples/survey.py, a small survey (one event through the centre of its
    source, for the limb-darkened branch), and its magnifications here."""
    sys.path.insert(0, EXAMPLES)  # kept: the workers import the example by name
    import survey

    events = survey.draw_events(24)
    events[0, 1] = 0.0
    times = survey.np.linspace(events[0, 0] - 1.0, events[0, 0] + 1.0, 50)
    return survey, events, times, survey.chunk_magnification(events, times)


class TestOtherProcesses:
    """A survey computed in other processes (the process pool's start
    methods, a Dask LocalCluster of two worker processes) comes back in
    event order with the bits of this process."""

    @pytest.mark.parametrize("method", ["spawn", "forkserver"])
    def test_process_pool(self, survey, method):
        module, events, times, local = survey
        result, _ = module.run_pool(method, 2, events, times, 5)
        assert module.same_bits(result, local)

    def test_dask_local_cluster(self, survey):
        pytest.importorskip("distributed")
        module, events, times, local = survey
        result, _ = module.run_dask(None, 2, events, times, 5, show_progress=False)
        assert module.same_bits(result, local)
