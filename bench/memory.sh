#!/usr/bin/env bash
# Peak memory (maximum resident set, /usr/bin/time -v) of the whole rescue of
# a 64 GiB FAT32 image, of a 100,000-sector range of a 4 TiB image and of the
# whole 4 TiB image (its holes are passed over, not read), all
# sparse files in /tmp that take almost no disk. With a second build
# directory the same runs are made with its tarnwick-cli too, for a
# before/after. A benchmark, not a test.
#
#   bench/memory.sh [BUILD_DIR] [OTHER_CLI]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
work=${TMPDIR:-/tmp}/tarnwick-bench/memory
mkdir -p "$work"
big=$work/fat32-64g.img
huge=$work/sparse-4t.img

if [ ! -f "$big" ]; then
  truncate -s 64G "$big.tmp"
  mkfs.vfat -F 32 -s 64 "$big.tmp" >/dev/null
  mv "$big.tmp" "$big"
fi
[ -f "$huge" ] || truncate -s 4T "$huge"

peak() {  # cli args... -> "peak MiB, wall s, CPU s"
  local log=$work/time.log
  rm -rf "$work/out" && mkdir -p "$work/out"
  /usr/bin/time -v "$@" >/dev/null 2>"$log" || true
  awk -F': ' '/Maximum resident set size/ { kib = $2 }
              /User time|System time/ { cpu += $2 }
              /Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = t[n] + 60 * t[n - 1] }
              END { printf "%8.1f MiB %8.1f s wall %7.1f s CPU", kib / 1024, s, cpu }' "$log"
}

run_all() {
  local cli=$1 name=$2
  printf '%-8s 64 GiB FAT32, whole rescue          %s\n' "$name" \
    "$(peak "$cli" rescue "$big" --out "$work/out")"
  printf '%-8s 64 GiB FAT32, free space only       %s\n' "$name" \
    "$(peak "$cli" rescue "$big" --out "$work/out" --free-only)"
  printf '%-8s 4 TiB, sectors 0-99999 rescued      %s\n' "$name" \
    "$(peak "$cli" rescue "$huge" --out "$work/out" --range 0-99999)"
  printf '%-8s 4 TiB, whole rescue                 %s\n' "$name" \
    "$(peak "$cli" rescue "$huge" --out "$work/out")"
}

run_all "$build/tarnwick-cli" this
[ -n "$other" ] && run_all "$other" other
echo "(images in $work; remove them with: rm -r $work)"
