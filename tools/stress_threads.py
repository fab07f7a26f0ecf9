#!/usr/bin/env python3
"""Calls every lumora function from many Python threads at once and checks
every result's bits against a run on one thread:

    RAYON_NUM_THREADS=3 python3.14t tools/stress_threads.py --threads 8 --seconds 30

The cases are those of tools/digest.py (all eight functions, every branch,
the raising calls included).  A first pass on the main thread records each
case's hash; then each thread walks the cases in its own seeded order,
again and again until the time is up, and compares.  Exit status 1 on any
difference, on a thread that raises outside the cases, or on a thread
still running 60 s after the end (a hang); a crash ends the process.  On a
free-threaded interpreter it also fails if importing lumora turned the
interpreter lock on (the module declares that it does not need it).
"""

import argparse
import os
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import digest  # noqa: E402  (the cases and their hashes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=20.0)
    options = parser.parse_args()

    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    free_threaded = "t" in getattr(sys, "abiflags", "")
    if free_threaded and gil:
        print("stress: importing lumora enabled the interpreter lock")
        return 1
    cases = list(digest.cases())
    # Standard error goes to a file: the raising cases print panic reports.
    reports = tempfile.TemporaryFile()
    saved = os.dup(2)
    os.dup2(reports.fileno(), 2)
    try:
        expected = [digest.case_digest(f, args, False, False) for _, f, args in cases]
        failures = []
        counts = [0] * options.threads
        deadline = time.monotonic() + options.seconds
        start = threading.Barrier(options.threads)

        def work(index):
            order = list(range(len(cases)))
            random.Random(index).shuffle(order)
            try:
                start.wait()
                while time.monotonic() < deadline:
                    for i in order:
                        name, function, args = cases[i]
                        got = digest.case_digest(function, args, False, False)
                        if got != expected[i]:
                            failures.append(f"thread {index}: {name}: {got[:16]} != {expected[i][:16]}")
                            return
                    counts[index] += 1
            except BaseException as error:  # anything outside the cases' own calls
                failures.append(f"thread {index}: {type(error).__name__}: {error}")

        threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(options.threads)]
        began = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(max(0.0, deadline + 60.0 - time.monotonic()))
        elapsed = time.monotonic() - began
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    hung = sum(thread.is_alive() for thread in threads)
    print(f"stress: {options.threads} threads x {len(cases)} cases, pool threads "
          f"{os.environ.get('RAYON_NUM_THREADS', 'default')}, interpreter lock "
          f"{'on' if gil else 'off'}: {sum(counts)} passes in {elapsed:.1f} s "
          f"(per thread {min(counts)} to {max(counts)})")
    for failure in failures[:20]:
        print("stress:", failure)
    if hung:
        print(f"stress: {hung} threads still running 60 s after the end")
        sys.stdout.flush()
        os._exit(1)
    return 1 if failures or min(counts) == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
