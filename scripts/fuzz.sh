#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds one libFuzzer target (the fuzz preset: clang 16 with ASan and UBSan) and runs
# it for SECONDS over a corpus that persists in build/fuzz/corpus/TARGET, the seeds
# from make_seeds and the inputs kept in crates/marrowvane-dat/fuzz/corpus/TARGET.
# A crashing input lands in build/fuzz/artifacts/TARGET/. Needs clang-16 and
# libclang-rt-16-dev. Further arguments go to libFuzzer (e.g. -jobs=2).
#
#   scripts/fuzz.sh open 600
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

if (($# < 1)); then
  echo "usage: $0 open|decompress|font|structured [SECONDS] [libFuzzer options...]" >&2
  exit 2
fi
target="$1"
seconds="${2:-60}"
shift $(($# < 2 ? $# : 2))

# Configured once; the build re-runs configure itself when the CMake files change.
[[ -f build/fuzz/CMakeCache.txt ]] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "marrowvane_dat_fuzz_$target" marrowvane_dat_make_seeds

build="$root/build/fuzz"
fuzz_dir="$build/crates/marrowvane-dat/fuzz"
seeds="$fuzz_dir/seeds/$target"
"$fuzz_dir/marrowvane_dat_make_seeds" "$target" "$seeds"

# libFuzzer adds what it finds to the first directory only.
corpus="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
dirs=("$corpus" "$seeds")
kept="$root/crates/marrowvane-dat/fuzz/corpus/$target"
[[ -d "$kept" ]] && dirs+=("$kept")

export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$fuzz_dir/marrowvane_dat_fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=512 \
  -timeout=5 -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "${dirs[@]}"
