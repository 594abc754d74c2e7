#!/usr/bin/env bash
# A 2 GiB dense image (random bytes throughout, as compressed files leave a
# disk) holding one database of about 150 MB in four pieces with log text
# between them, so that the plain carve fails and the reassembly runs; 4 KiB
# clusters. Reports cat of the image and the rescue, wall and CPU time and
# peak memory, and whether the database came back byte for byte; with a
# second tarnwick-cli the same for it, for a before/after. A benchmark, not
# a test.
#
#   bench/qq_reassembly.sh [BUILD_DIR] [OTHER_CLI] [SCALE]
#
# SCALE is the layout writer's --scale (4300: about 150 MB; 2400: about 85 MB).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
scale=${3:-4300}
work=${TMPDIR:-/tmp}/tarnwick-bench/qq-reassembly-$scale
mkdir -p "$work"
image=$work/image.img
db=$work/original.db

if [ ! -f "$image" ]; then
  /usr/bin/python3 tests/corpus/ole_writer.py "$db" --seed 5 --scale "$scale"
  /usr/bin/python3 - "$db" "$image.tmp" <<'EOF'
import os, sys
db = open(sys.argv[1], "rb").read()
size, cluster, at = 2 << 30, 4096, 512 << 20
text = b"".join(b"2026-12-10 12:%02d:%02d INFO sync ok, queue empty\r\n" % (i // 60 % 60, i % 60)
                for i in range(20000))
with open(sys.argv[2], "wb") as f:
    for _ in range(size // (64 << 20)):
        f.write(os.urandom(64 << 20))
    clusters = (len(db) + cluster - 1) // cluster
    cuts = [clusters * k // 4 for k in range(1, 4)]
    f.seek(at)
    prev = 0
    for k, cut in enumerate(cuts + [clusters]):
        f.write(db[prev * cluster:cut * cluster])
        if k < 3:
            f.write(text[:64 * cluster * (k + 1)])  # 256, 512, 768 KiB of log
        prev = cut
EOF
  mv "$image.tmp" "$image"
fi

measure() {  # cli -> one line of figures
  local cli=$1 log=$work/time.log
  rm -rf "$work/out" && mkdir -p "$work/out"
  /usr/bin/time -v "$cli" rescue "$image" --out "$work/out" --cluster 4K >/dev/null 2>"$log" || true
  local back=no
  for f in "$work"/out/*.DB; do
    [ -f "$f" ] && cmp -s "$f" "$db" && back=yes
  done
  [ -d "$work/out/damaged" ] && [ "$back" = no ] && back="damaged/"
  awk -F': ' -v back="$back" '/Maximum resident set size/ { kib = $2 }
       /User time|System time/ { cpu += $2 }
       /Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = t[n] + 60 * t[n - 1] }
       END { printf "%8.1f s wall %7.1f s CPU %8.1f MiB peak, database back: %s", s, cpu, kib / 1024, back }' "$log"
}

cat "$image" >/dev/null
t0=$(date +%s.%N); cat "$image" >/dev/null; t1=$(date +%s.%N)
printf 'database %d bytes, image %d MiB\n' "$(stat -c %s "$db")" $(($(stat -c %s "$image") / 1048576))
printf 'cat      %8.1f s wall\n' "$(echo "$t1 - $t0" | bc)"
printf 'this     %s\n' "$(measure "$build/tarnwick-cli")"
[ -n "$other" ] && printf 'other    %s\n' "$(measure "$other")"
echo "(image in $work; remove it with: rm -r $work)"
