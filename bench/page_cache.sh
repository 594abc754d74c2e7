#!/usr/bin/env bash
# How much of the page cache a search of a block device takes: a sparse file
# larger than half the memory is attached as a loop device (direct I/O, so
# that the file's own pages are not cached too), its cached pages are dropped,
# and `tarnwick-cli scan` reads it whole while /proc/meminfo's Buffers (the
# page cache of block devices) is sampled. Needs root and loop devices; a
# benchmark, not a test.
#
#   bench/page_cache.sh [BUILD_DIR] [OTHER_CLI]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
work=${TMPDIR:-/tmp}/tarnwick-bench/page-cache
mkdir -p "$work"
mem_kib=$(awk '/MemTotal/ { print $2 }' /proc/meminfo)
gib=$((mem_kib / 1048576 * 3 / 4 + 1))  # three quarters of the memory
image=$work/sparse.img
rm -f "$image" && truncate -s "${gib}G" "$image"
dev=$(losetup --direct-io=on -f --show "$image")
trap 'losetup -d "$dev"; rm -f "$image"' EXIT

buffers() { awk '/^Buffers/ { print int($2 / 1024) }' /proc/meminfo; }

scan() {  # cli name
  blockdev --flushbufs "$dev"
  local before peak=0 now pid
  before=$(buffers)
  "$1" scan "$dev" >/dev/null 2>&1 &
  pid=$!
  local t0 t1
  t0=$(date +%s.%N)
  while kill -0 "$pid" 2>/dev/null; do
    now=$(buffers)
    ((now > peak)) && peak=$now
    sleep 0.5
  done
  wait "$pid" || true
  t1=$(date +%s.%N)
  printf '%-6s %d GiB device: page cache grew by up to %6d MiB, %6.1f s\n' "$2" "$gib" \
    $((peak - before)) "$(echo "$t1 - $t0" | bc)"
}

scan "$build/tarnwick-cli" this
[ -n "$other" ] && scan "$other" other
true
