#!/usr/bin/env bash
# What the search and the carving phase cost, on the 2 GiB corpus image
# ("large"), on a copy of it with its holes written out as zeros (a sparse
# image's holes are not read, so only the dense copy costs what a disk of
# that size costs), and on the image of bench/media_carvers.sh (three large
# clips and ten large pictures): for each, the time of cat, of the search (`scan`) and of
# the whole rescue, wall clock and CPU, as ratios to cat; then, from an strace
# of the rescue, the reads, bytes and non-contiguous reads of each phase; then,
# when perf is there, the functions where the rescue spends its time. Both
# images are page-cached first, as cat then reads them from memory. A
# benchmark, not a test.
#
#   bench/carving_phase.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
cli=$(realpath "$build/tarnwick-cli")
work=${TMPDIR:-/tmp}/tarnwick-bench
mkdir -p "$work"
large=$work/large/image.img
media=$work/media/image.img
[ -f "$large" ] || /usr/bin/python3 tests/corpus/build_corpus.py "$work" --case large >/dev/null
[ -f "$media" ] || bench/media_carvers.sh "$build" >/dev/null
dense=$work/dense/image.img
if [ ! -f "$dense" ]; then
  mkdir -p "$work/dense" && cp --sparse=never "$large" "$dense"
fi

# The best of `runs` runs: "wall cpu" in seconds.
best() {
  local i out w c bw=999999 bc=0
  for ((i = 0; i < runs; i++)); do
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -o "$work/time.txt" -f '%e %U %S' "$@" >/dev/null 2>&1 || true
    out=$(tail -1 "$work/time.txt")
    w=$(echo "$out" | awk '{ print $1 }')
    c=$(echo "$out" | awk '{ print $2 + $3 }')
    if (($(echo "$w < $bw" | bc))); then bw=$w; bc=$c; fi
  done
  echo "$bw $bc"
}

measure() {
  local name=$1 image=$2
  cat "$image" >/dev/null
  read -r cw cc < <(best cat "$image")
  read -r sw sc < <(best "$cli" scan "$image")
  read -r rw rc < <(best "$cli" rescue "$image" --out "$work/out")
  echo "== $name: $(($(stat -c %s "$image") / 1048576)) MiB, best of $runs"
  printf '%-8s %8s %8s %10s %10s\n' '' 'wall s' 'CPU s' 'wall/cat' 'CPU/cat'
  for row in "cat $cw $cc" "search $sw $sc" "rescue $rw $rc"; do
    set -- $row
    printf '%-8s %8.2f %8.2f %10.2f %10.2f\n' "$1" "$2" "$3" \
      "$(echo "$2 / $cw" | bc -l)" "$(echo "$3 / $cc" | bc -l)"
  done
  if command -v strace >/dev/null; then
    rm -rf "$work/out" && mkdir -p "$work/out"
    strace -e trace=openat,pread64,write -e signal=none -o "$work/reads.strace" \
      "$cli" rescue "$image" --out "$work/out" >/dev/null 2>&1
    fd=$(grep -m1 "\"$image\"" "$work/reads.strace" | sed 's/.*= //')
    bench/read_pattern.py "$work/reads.strace" "$fd"
    rm -f "$work/reads.strace"
  fi
  if command -v perf >/dev/null && perf record -q -o "$work/perf.data" true 2>/dev/null; then
    rm -rf "$work/out" && mkdir -p "$work/out"
    perf record -q -o "$work/perf.data" "$cli" rescue "$image" --out "$work/out" >/dev/null 2>&1
    echo "where the rescue's CPU goes (perf, self time):"
    perf report -i "$work/perf.data" --no-children --stdio --percent-limit 2 2>/dev/null |
      grep -v '^#' | grep -v '^$' | awk '{ $2 = ""; $3 = ""; print }' | head -12
    rm -f "$work/perf.data"
  fi
  echo
}

measure "2 GiB FAT32 corpus image (large, sparse)" "$large"
measure "the same image with its holes written out (dense)" "$dense"
measure "clips and pictures" "$media"
