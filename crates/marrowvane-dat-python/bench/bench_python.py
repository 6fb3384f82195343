#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times the Python bindings against the C++ calls they wrap, in one run.

The C++ figures come from marrowvane_dat_python_bench_baseline, which also writes the
archives, so both sides read the same files from a warm page cache. Every figure is
the best of several rounds. Reported as Python / C++ ratios:

  get_file, 64 KiB files      limit 1.3   (C++: DatDatabase::get_file per call)
  get_file, 1 MiB files       limit 1.1
  listing 100,000 entries     limit 3.0   (C++: one allocated record per entry, built
                                           and freed; a contiguous copy is shown too)

--check exits with status 1 when a ratio is over its limit; --quick runs small sizes
once, to see that the benchmark itself works.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable

import marrowvane_dat


def best_ns(rounds: int, calls: int, body: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter_ns()
        body()
        best = min(best, (time.perf_counter_ns() - start) / calls)
    return best


def baseline(tool: str, *args: object) -> dict[str, float]:
    out = subprocess.run([tool, *map(str, args)], check=True, capture_output=True, text=True)
    return {name: float(value) for name, value in (line.split() for line in out.stdout.splitlines())}


def time_get_file(path: Path, rounds: int) -> float:
    with marrowvane_dat.open(path) as db:
        ids = [e.id for e in db]
        get = db.get_file

        def read_all() -> None:
            for i in ids:
                get(i)

        read_all()
        return best_ns(rounds, len(ids), read_all)


def time_threads(path: Path, rounds: int, threads: int) -> float:
    """Wall time per file when `threads` threads each read every file."""
    with marrowvane_dat.open(path) as db:
        ids = [e.id for e in db]

        def read_all() -> None:
            for i in ids:
                db.get_file(i)

        def run() -> None:
            workers = [threading.Thread(target=read_all) for _ in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()

        return best_ns(rounds, len(ids) * threads, run)


def time_listing(path: Path, rounds: int) -> dict[str, float]:
    with marrowvane_dat.open(path) as db:
        def entries() -> None:
            listed = db.entries()
            del listed

        def iterate() -> None:
            for _ in db:
                pass

        entries()
        return {
            "entries": best_ns(rounds, 1, entries),
            "iterate": best_ns(rounds, 1, iterate),
        }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", required=True, help="marrowvane_dat_python_bench_baseline")
    parser.add_argument("--quick", action="store_true", help="small sizes, one round")
    parser.add_argument("--check", action="store_true", help="fail when a ratio is over its limit")
    args = parser.parse_args()

    rounds = 1 if args.quick else 25
    scale = 16 if args.quick else 1
    failures: list[str] = []

    def report(label: str, python_ns: float, cpp_ns: float, limit: float | None) -> None:
        ratio = python_ns / cpp_ns
        verdict = ""
        if limit is not None:
            verdict = f"  (limit {limit:.1f})"
            if ratio > limit:
                verdict += "  OVER"
                failures.append(label)
        print(f"{label:38} python {python_ns / 1000:10.2f} us   c++ {cpp_ns / 1000:10.2f} us"
              f"   ratio {ratio:5.2f}{verdict}")

    with tempfile.TemporaryDirectory() as tmp:
        for label, count, size, limit in (("get_file 64 KiB", 64, 64 << 10, 1.3),
                                          ("get_file 1 MiB", 16, 1 << 20, 1.1)):
            path = Path(tmp) / f"files-{size}.dat"
            baseline(args.baseline, "write-files", path, count, size // scale)
            cpp = baseline(args.baseline, "time-get", path, rounds)["get_file"]
            report(label, time_get_file(path, rounds), cpp, limit)

        path = Path(tmp) / "files-threads.dat"
        baseline(args.baseline, "write-files", path, 64, (64 << 10) // scale)
        one = time_threads(path, rounds, 1)
        four = time_threads(path, rounds, 4)
        print(f"{'get_file 64 KiB, 4 threads vs 1':38} speed-up {one / four:5.2f}"
              f" on {os.cpu_count()} cores")

        count = 100_000 // scale
        path = Path(tmp) / "listing.dat"
        baseline(args.baseline, "write-listing", path, count)
        cpp_list = baseline(args.baseline, "time-list", path, rounds)
        python_list = time_listing(path, rounds)
        name = f"listing {count:,} entries"
        report(f"{name}: entries()", python_list["entries"], cpp_list["list_allocated"], 3.0)
        report(f"{name}: for e in db", python_list["iterate"], cpp_list["list_allocated"], 3.0)
        report(f"{name}: entries() vs contiguous", python_list["entries"],
               cpp_list["list_contiguous"], None)

    if args.check and failures:
        print("over the limit: " + ", ".join(failures), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
