#!/usr/bin/env bash
# Rescue time before and after the whole-file check and the reassembly, on
# corpus cases where the plain carve already gives every database whole: there
# the check is the only new work. Both programs run in the same session, best
# of five runs each, in CPU time (the machine may be shared). A benchmark,
# not a test.
#
#   bench/qq_validation.sh BEFORE_CLI [AFTER_CLI]
#
# BEFORE_CLI is a tarnwick-cli built from a commit before the reassembly
# (e.g. `git worktree add /tmp/before main && cmake ... --target tarnwick-cli`).
set -euo pipefail
cd "$(dirname "$0")/.."
before=${1:?usage: bench/qq_validation.sh BEFORE_CLI [AFTER_CLI]}
after=${2:-build/tarnwick-cli}
work=${TMPDIR:-/tmp}/tarnwick-bench-qq
cases=(ntfs-formatted ntfs-deleted fat32-deleted fat32-frag-deleted-media)
mkdir -p "$work"
args=()
for c in "${cases[@]}"; do args+=(--case "$c"); done
[ -f "$work/cases/${cases[0]}/image.img" ] ||
  /usr/bin/python3 tests/corpus/build_corpus.py "$work/cases" "${args[@]}" >/dev/null

best() {  # least CPU time (user + system) of five rescues, in seconds
  local cli=$1 image=$2 b=999 t
  for _ in 1 2 3 4 5; do
    rm -rf "$work/out" && mkdir -p "$work/out"
    /usr/bin/time -o "$work/time" -f '%U %S' "$cli" rescue "$image" --out "$work/out" >/dev/null 2>&1
    t=$(awk '{print $1 + $2}' "$work/time")
    b=$(echo "if ($t < $b) $t else $b" | bc)
  done
  echo "$b"
}

printf '%-28s %9s %9s %7s\n' case before after change
for c in "${cases[@]}"; do
  image=$work/cases/$c/image.img
  cat "$image" >/dev/null
  tb=$(best "$before" "$image")
  ta=$(best "$after" "$image")
  printf '%-28s %8.3fs %8.3fs %6.1f%%\n' "$c" "$tb" "$ta" "$(echo "($ta - $tb) * 100 / $tb" | bc -l)"
done
