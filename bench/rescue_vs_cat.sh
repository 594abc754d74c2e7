#!/usr/bin/env bash
# Times `tarnwick-cli rescue` on the 2 GiB corpus image next to reading the
# same image with cat, in the same run. A benchmark, not a test.
#
#   bench/rescue_vs_cat.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${TMPDIR:-/tmp}/tarnwick-bench
mkdir -p "$work"
if [ ! -f "$work/large/image.img" ]; then
  /usr/bin/python3 tests/corpus/build_corpus.py "$work" --case large
fi
image=$work/large/image.img
rm -rf "$work/out" && mkdir -p "$work/out"

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }

cat "$image" >/dev/null   # both runs read from the same cache state
size=$(stat -c %s "$image")
t_cat=$(seconds cat "$image")
t_rescue=$(seconds "$build/tarnwick-cli" rescue "$image" --out "$work/out")
t_free=$(seconds "$build/tarnwick-cli" rescue "$image" --out "$work/out" --free-only)
mib=$((size / 1048576))
printf 'image            %d MiB\n' "$mib"
printf 'cat              %6.2f s  %7.0f MiB/s\n' "$t_cat" "$(echo "$mib / $t_cat" | bc -l)"
printf 'rescue           %6.2f s  %7.0f MiB/s\n' "$t_rescue" "$(echo "$mib / $t_rescue" | bc -l)"
printf 'rescue free-only %6.2f s\n' "$t_free"
ls "$work/out"
