"""Magnifications of a whole survey: many events x many epochs, on Dask or a process pool.

N events with parameters drawn from realistic distributions (t0 uniform in
the season, u0 uniform in [0, 1], tE log-normal around 20 d, rho
log-uniform in [1e-3, 3e-2]) are evaluated at M epochs each: the
limb-darkened magnification (integrated_heyrovsky_magnification, linear
law u = 0.6) where the lens is within 10 source radii, the uniform disk
(witt_mao_magnification) elsewhere.  Events go out in chunks, one task per
chunk, and come back in event order; the result is compared bit for bit
with the same computation done in this one process.

  * Dask: a dask.distributed LocalCluster of 1 and then 2 worker processes
    (events per second for each), or any running scheduler given by
    address (--scheduler tcp://host:8786; every worker must be able to
    import lumora), with a progress bar.
  * One machine without Dask: concurrent.futures.ProcessPoolExecutor with
    the 'spawn' and 'forkserver' start methods.  lumora's functions are
    builtin functions and pickle by their qualified name, so they can be
    sent to the workers themselves; the results are plain floats.

Each worker process runs lumora's thread pool with one thread: the
processes are the parallelism (the limb-darkened functions run on the
calling thread anyway).

    python3 examples/survey.py [--events 2000] [--epochs 2000] [--repeat 3] [--quick]
    python3 examples/survey.py --scheduler tcp://host:8786
"""

import argparse
import array
import concurrent.futures
import math
import multiprocessing
import os
import pickle
import time
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import lumora

Array = npt.NDArray[np.float64]
SEASON = 200.0  # days
LIMB_DARKENED_WITHIN = 10.0  # source radii; beyond, the disk is within 1.3e-4 of it


def draw_events(count: int, seed: int = 2026) -> Array:
    """Rows (t0 [d], u0, tE [d], rho)."""
    rng = np.random.default_rng(seed)
    return np.column_stack([
        rng.uniform(0.0, SEASON, count),
        rng.uniform(0.0, 1.0, count),
        np.exp(rng.normal(np.log(20.0), 0.7, count)),
        np.exp(rng.uniform(np.log(1e-3), np.log(3e-2), count)),
    ])


def event_magnification(event: Sequence[float], times: Array) -> Array:
    t0, u0, te, rho = event
    l = np.hypot(u0, (times - t0) / te) / rho  # separations in source radii (re = 1, rstar = rho)
    a = np.asarray(lumora.witt_mao_magnification(l, 1.0, rho))
    near = l < LIMB_DARKENED_WITHIN
    if near.any():
        a[near] = lumora.integrated_heyrovsky_magnification(l[near], 1.0, rho)
    return a


def chunk_magnification(events: Array, times: Array) -> Array:
    """One task: the magnifications of a block of events, one row per event."""
    return np.array([event_magnification(event, times) for event in events.tolist()])


def one_thread_pool() -> None:
    """Run in each worker process before its first task: a one-thread lumora pool."""
    os.environ["RAYON_NUM_THREADS"] = "1"
    lumora.witt_mao_magnification([2.0], 1.0, 0.1)  # the pool is created here, and sized once


def chunks(events: Array, size: int) -> list[Array]:
    return [events[i:i + size] for i in range(0, len(events), size)]


def same_bits(a: Array, b: Array) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def run_dask(address: str | None, workers: int, events: Array, times: Array, size: int,
             show_progress: bool, repeat: int = 1) -> tuple[Array, float]:
    """All events on a Dask cluster; returns (magnifications, best seconds of `repeat` runs)."""
    from dask.distributed import Client, LocalCluster, progress

    cluster = None
    if address is None:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    else:
        client = Client(address)
    try:
        client.run(one_thread_pool)
        best = math.inf
        for _ in range(repeat):
            start = time.perf_counter()
            shared_times = client.scatter(times, broadcast=True)
            futures = [client.submit(chunk_magnification, block, shared_times, pure=False)
                       for block in chunks(events, size)]
            if show_progress:
                progress(futures)
            result = np.concatenate(client.gather(futures))  # gather keeps the order of `futures`
            best = min(best, time.perf_counter() - start)
        return result, best
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def run_pool(method: str, workers: int, events: Array, times: Array, size: int,
             repeat: int = 1) -> tuple[Array, float]:
    """All events on a ProcessPoolExecutor with the start method `method`;
    returns (magnifications, best seconds of `repeat` runs)."""
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=one_thread_pool) as pool:
        list(pool.map(worker_pid, range(4 * workers)))  # start the workers before timing
        blocks = chunks(events, size)
        elapsed = math.inf
        for _ in range(repeat):
            start = time.perf_counter()
            result = np.concatenate(list(pool.map(chunk_magnification, blocks, [times] * len(blocks))))
            elapsed = min(elapsed, time.perf_counter() - start)
        # lumora's own functions travel to the workers by name, and their results back.
        l = [0.5, 1.0, 2.0]
        remote = pool.submit(lumora.integrated_heyrovsky_magnification, l, 1.0, 0.01).result()
        assert array.array("d", remote) == array.array("d", lumora.integrated_heyrovsky_magnification(l, 1.0, 0.01))
    return result, elapsed


def worker_pid(_: int) -> int:
    return os.getpid()


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=2000, help="number of events N")
    parser.add_argument("--epochs", type=int, default=2000, help="epochs per event M (over a 200-day season)")
    parser.add_argument("--chunk", type=int, default=50, help="events per task")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--repeat", type=int, default=1, help="time each configuration this often, keep the best")
    parser.add_argument("--quick", action="store_true", help="few events and epochs, one worker count (a test run)")
    args = parser.parse_args(argv)
    if args.quick:
        args.events, args.epochs, args.chunk = 40, 200, 10

    assert pickle.loads(pickle.dumps(lumora.witt_mao_magnification)) is lumora.witt_mao_magnification
    events = draw_events(args.events)
    times = np.linspace(0.0, SEASON, args.epochs)
    serial = math.inf
    for _ in range(args.repeat):
        start = time.perf_counter()
        local = chunk_magnification(events, times)
        serial = min(serial, time.perf_counter() - start)
    print(f"{args.events} events x {args.epochs} epochs; in this process: {args.events / serial:.0f} events/s "
          f"({os.cpu_count()} cores, lumora's thread pool at its default size)")

    runs: list[tuple[str, int]] = []
    if args.scheduler:
        runs.append((f"Dask scheduler {args.scheduler}", 0))
    else:
        runs += [("Dask LocalCluster", n) for n in ((2,) if args.quick else (1, 2))]
    for label, workers in runs:
        result, seconds = run_dask(args.scheduler, workers, events, times, args.chunk, not args.quick, args.repeat)
        assert same_bits(result, local), f"{label}: results differ from the one-process computation"
        count = f", {workers} worker process{'es' if workers > 1 else ''}" if workers else ""
        print(f"{label}{count}: {args.events / seconds:.0f} events/s, bit-identical to one process")
    for method in ("spawn", "forkserver"):
        result, seconds = run_pool(method, 2, events, times, args.chunk, args.repeat)
        assert same_bits(result, local), f"{method} pool: results differ from the one-process computation"
        print(f"ProcessPoolExecutor ('{method}'), 2 processes: {args.events / seconds:.0f} events/s, bit-identical")


if __name__ == "__main__":
    main()
