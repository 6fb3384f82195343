#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the bench preset, runs the benchmark suite with repetitions and prints the table
# of ratios: each measurement against the baselines it ran beside in the same process
# (median of the repetitions), with the targets the team aims for.
#
#   scripts/bench-table.sh [--from FILE.json] [extra benchmark arguments...]
#
# Environment: BENCH_REPETITIONS (default 7), BENCH_MIN_TIME (seconds per repetition,
# default 0.1), BENCH_JSON (where the raw results go, default build/bench/bench.json).
# With --from, nothing is built or run: the table is made from an earlier JSON file.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

json="${BENCH_JSON:-$root/build/bench/bench.json}"
if [[ ${1:-} == --from ]]; then
  json="$2"
  shift 2
else
  cmake --preset bench >&2
  cmake --build --preset bench >&2
  mkdir -p "$(dirname "$json")"
  # Random interleaving spreads every benchmark's repetitions over the whole run, so a
  # measurement and its baseline see the same share of whatever else the machine does.
  "$root/build/bench/crates/marrowvane-dat/bench/marrowvane_dat_bench" \
    --benchmark_repetitions="${BENCH_REPETITIONS:-7}" \
    --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_min_time="${BENCH_MIN_TIME:-0.1}" \
    --benchmark_out="$json" --benchmark_out_format=json "$@" >&2
fi

python3 - "$json" <<'PY'
import json
import re
import sys

with open(sys.argv[1]) as f:
    report = json.load(f)

runs = {}
noise = {}
for b in report["benchmarks"]:
    if b.get("run_type") == "aggregate":
        if b["aggregate_name"] == "median":
            runs[b["run_name"]] = b
        elif b["aggregate_name"] == "cv":
            noise[b["run_name"]] = b
    else:
        runs.setdefault(b["run_name"], b)

# (measurement pattern, baseline pattern, smallest acceptable ratio, how it reads)
TARGETS = [
    (r"^lrs/text/.*/decompress_lrs_to$", r"/reference$", 5.0, ">= 5x"),
    (r"^lrs/asset/.*/decompress_lrs_to$", r"/reference$", 3.0, ">= 3x"),
    (r"^lrs/text/.*/decompress_lrs_to$", r"/lz4_decompress_safe$", 0.6, ">= 0.6 (stretch)"),
    (r"^get_file/pread/contiguous/64KiB/", r"/pread_stream$", 0.65, ">= 0.65"),
    (r"^get_file/mapped/contiguous/64KiB/", r"/memcpy$", 0.7, ">= 0.7"),
    (r"^get_file/pread/scattered/", r"/read_per_block$", 0.9, ">= 0.9"),
    (r"^threads/pread/.*threads:2$", r"threads:1$", 1.8, ">= 1.8"),
    (r"^open/pread/100000$", r"^open/baseline/", 0.5, ">= 0.5 (time <= 2x; stretch 0.83)"),
    (r"^open/[a-z]+/1000000$", r"^open/[a-z]+/1000$", 1 / 1.5, ">= 0.67 (per entry within 1.5x)"),
]
MEMORY_TARGET = (40.0, "<= 40 B (stretch 28)")
# (measurement pattern, counter, largest acceptable value, how it reads): targets on the
# measurement alone, whatever its baseline did.
ABSOLUTE_TARGETS = [
    (r"^open_slow/tiny_blocks/", "cpu_per_byte", 100e-9, "<= 100 ns CPU per archive byte"),
]


def target_for(name, base):
    for pattern, base_pattern, least, text in TARGETS:
        if re.search(pattern, name) and re.search(base_pattern, base):
            return least, text
    return None, ""


def absolute_verdict(name, run):
    for pattern, counter, most, text in ABSOLUTE_TARGETS:
        if re.search(pattern, name) and counter in run:
            return text + (" ok" if run[counter] <= most else " ABOVE")
    return ""


def time_of(run):
    return run["real_time" if "/real_time" in run["run_name"] else "cpu_time"]


def rate_key(a, b):
    """The rate both runs report (work per second); None when they share none."""
    for key in ("bytes_per_second", "items_per_second"):
        if key in a and key in b:
            return key
    return None


def shown(run):
    """Throughput for runs timed on the wall clock (threads), time per entry for
    directory walks, else time per operation."""
    if "/real_time" in run["run_name"] and "bytes_per_second" in run:
        return f"{run['bytes_per_second'] / 2**30:.2f} GiB/s"
    if "cpu_per_byte" in run:
        return f"{run['cpu_per_byte'] * 1e9:.3f} ns/byte"
    if "items_per_second" in run:
        return f"{1e9 / run['items_per_second']:.1f} ns/entry"
    return f"{time_of(run):.4g} {run['time_unit']}"


def short(name, base):
    """The baseline's name without the parts it shares with the measurement's."""
    mine = name.split("/")
    parts = [p for i, p in enumerate(base.split("/"))
             if not (i < len(mine) and mine[i] == p) and p != "baseline"]
    return "/".join(parts)


def order(name):
    run = runs[name]
    return (run.get("family_index", 0), run.get("per_family_instance_index", 0))


def spread(name):
    cv = noise.get(name)
    if not cv:
        return 0.0
    return time_of({**cv, "run_name": name})


rows = {}
memory = []
for name in sorted(runs, key=order):
    run = runs[name]
    label = run.get("label", "")
    if not label.startswith("vs "):
        continue
    for base in label[3:].split(", "):
        if base not in runs:
            print(f"warning: {name}: no result for its baseline {base}", file=sys.stderr)
            continue
        other = runs[base]
        key = rate_key(run, other)
        ratio = run[key] / other[key] if key else time_of(other) / time_of(run)
        least, text = target_for(name, base)
        verdict = "" if least is None else (" ok" if ratio >= least else " BELOW")
        text += absolute_verdict(name, run)
        faults = ""
        if "faults" in run and "faults" in other:
            faults = f"{run['faults']:.0f} / {other['faults']:.0f}"
        rows.setdefault(name.split("/")[0], []).append(
            (name, base, shown(run), shown(other), ratio,
             max(spread(name), spread(base)), faults, text + verdict))
        if ("bytes_per_entry" in run and "bytes_per_entry" in other
                and not name.startswith("open/baseline/") and base.startswith("open/baseline/")):
            memory.append((name, base, run["bytes_per_entry"], other["bytes_per_entry"]))

context = report["context"]
print(f"{context['date']}  {context['host_name']}  {context['num_cpus']} CPUs"
      f"  load average {', '.join(f'{x:.1f}' for x in context.get('load_avg', []))}")
print()
print("Ratio: the measurement's speed over its baseline's (median of the repetitions);")
print("above 1 the library is faster. Spread: the larger coefficient of variation of the two.")
print("Page faults: per operation, measurement / baseline, where counted.")

TITLES = {
    "lrs": "LRS decoding (into a kept buffer unless the name says decompress_lrs)",
    "get_file": "Retrieval of one file by id",
    "threads": "One database read by two threads against one (throughput)",
    "open": "Opening: header and whole directory (against open/*/1000: speed per entry;"
            " cold_heap: the heap given back before each open, as in a fresh process)",
    "open_slow": "Opening archives crafted to be slow to open (a directory over 5-byte blocks"
                 " in scattered chains; CPU time per archive byte, against reading the file once)",
    "font": "Font record parsing",
}
for section in ("lrs", "get_file", "threads", "open", "open_slow", "font"):
    if section not in rows:
        continue
    print()
    print(f"### {TITLES[section]}")
    print()
    print("| measurement | baseline | measured | baseline's | ratio | spread | page faults | target |")
    print("|---|---|---|---|---:|---:|---|---|")
    for name, base, mine, theirs, ratio, cv, faults, text in rows[section]:
        print(f"| {name} | {short(name, base)} | {mine} | {theirs} | {ratio:.2f} | {cv * 100:.0f}% "
              f"| {faults} | {text} |")

# Two threads only scale as far as the machine has a free core for the second; the
# CPU time per read shows whether they slow each other down whatever the machine does.
efficiency = []
for name in sorted(runs, key=order):
    if name.startswith("threads/") and name.endswith("threads:2"):
        single = name[: -len("threads:2")] + "threads:1"
        if single in runs:
            efficiency.append((name, runs[single]["cpu_time"] / runs[name]["cpu_time"]))
if efficiency:
    print()
    print("CPU time per read, one thread over two (1.00: the threads do not slow each other):")
    print()
    for name, value in efficiency:
        print(f"- {name.split('/real_time')[0]}: {value:.2f}")

if memory:
    least, text = MEMORY_TARGET
    print()
    print("### Memory kept per directory entry (heap bytes in use after opening)")
    print()
    print("| measurement | baseline | bytes/entry | baseline's | ratio (lower is smaller) | target |")
    print("|---|---|---:|---:|---:|---|")
    for name, base, mine, theirs in memory:
        verdict = " ok" if mine <= least else " BELOW"
        print(f"| {name} | {short(name, base)} | {mine:.1f} | {theirs:.1f} | {mine / theirs:.2f} | {text}{verdict} |")
PY
