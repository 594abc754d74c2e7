#!/usr/bin/env bash
# What reading NTFS records costs, and what the step costs where there are
# none. A benchmark, not a test; needs root and ntfs-3g for the FUSE mount.
#
#   bench/ntfs_records.sh [BUILD_DIR] [OTHER_CLI] [FILES]
#
# 1. A sparse 64 GiB NTFS image holding FILES small files (default 40000) in
#    folders of 1000, a fifth of them deleted: `files --json` and the whole
#    rescue (with OTHER_CLI too), wall, CPU and peak memory, and the MFT's size.
# 2. A 2 GiB image of random data with no file system, and a freshly made
#    256 MiB NTFS volume (an MFT with only the volume's own records): the
#    whole rescue with this build and with OTHER_CLI (a build without the
#    step), best of five runs each, user + system CPU.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
count=${3:-40000}
work=${TMPDIR:-/tmp}/tarnwick-bench/ntfs
mkdir -p "$work"
cli=$build/tarnwick-cli

big=$work/ntfs64g-$count.img
if [ ! -f "$big" ]; then
  rm -f "$big.part"
  truncate -s 64G "$big.part"
  mkfs.ntfs -q -F -f "$big.part" >/dev/null 2>&1
  mnt=$(mktemp -d "$work/mnt.XXXX")
  ntfs-3g "$big.part" "$mnt"
  python3 - "$mnt" "$count" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    d = os.path.join(root, "dir%03d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.txt" % i), "wb") as f:
        f.write(b"x" * (1500 + i % 3000))
for i in range(0, count, 5):
    os.remove(os.path.join(root, "dir%03d" % (i // 1000), "file%05d.txt" % i))
PY
  umount "$mnt"
  rmdir "$mnt"
  mv "$big.part" "$big"
fi

measure() {  # wall seconds, CPU seconds, peak KiB of one run
  /usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null | tail -1 |
    awk '{printf "%6.2f s wall  %6.2f s CPU  %7.1f MiB peak", $1, $2 + $3, $4 / 1024}'
}

istat "$big" 0 >"$work/mft.istat"
mft=$(awk '/^Type: \$DATA/ {print $NF; exit}' "$work/mft.istat")
listed=$("$cli" files "$big" --json | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["files"]))')
printf 'files of a 64 GiB NTFS with %d files (%s records listed, $MFT %s)\n' "$count" "$listed" "$mft"
printf '  files --json   %s\n' "$(measure "$cli" files "$big" --json)"
rm -rf "$work/out" && mkdir -p "$work/out"
printf '  rescue         %s\n' "$(measure "$cli" rescue "$big" --out "$work/out")"
if [ -n "$other" ]; then
  rm -rf "$work/out" && mkdir -p "$work/out"
  printf '  without the step %s\n' "$(measure "$other" rescue "$big" --out "$work/out")"
fi

best() {  # the least CPU of five runs of a rescue
  local b=""
  for _ in 1 2 3 4 5; do
    rm -rf "$work/out" && mkdir -p "$work/out"
    c=$(/usr/bin/time -f '%U %S' "$@" --out "$work/out" 2>&1 >/dev/null | tail -1 |
        awk '{print $1 + $2}')
    if [ -z "$b" ] || [ "$(echo "$c < $b" | bc)" = 1 ]; then b=$c; fi
  done
  echo "$b"
}

random=$work/random-2g.img
[ -f "$random" ] || head -c $((2 << 30)) /dev/urandom >"$random"
fresh=$work/fresh-256m.img
if [ ! -f "$fresh" ]; then
  # Random data under it, so that the search reads every sector.
  head -c $((256 << 20)) /dev/urandom >"$fresh" && mkfs.ntfs -q -F -f "$fresh" >/dev/null 2>&1
fi
for image in "$random" "$fresh"; do
  cat "$image" >/dev/null
  mine=$(best "$cli" rescue "$image")
  printf 'rescue %-18s %6.2f s CPU' "$(basename "$image")" "$mine"
  if [ -n "$other" ]; then
    theirs=$(best "$other" rescue "$image")
    printf '  without the step %6.2f s CPU' "$theirs"
    if [ "$(echo "$theirs > 0" | bc)" = 1 ]; then
      printf '  (%+.1f%%)' "$(echo "($mine - $theirs) * 100 / $theirs" | bc -l)"
    fi
  fi
  printf '\n'
done
