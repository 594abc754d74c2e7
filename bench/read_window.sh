#!/usr/bin/env bash
# How fast a Source reads with windows of several sizes, from the disk and not
# from the page cache: each size is read once through the page cache after
# the file's cached pages were dropped (POSIX_FADV_DONTNEED on that file only),
# and once with O_DIRECT (no readahead at all, the window alone). A benchmark,
# not a test.
#
#   bench/read_window.sh FILE_OR_DEVICE [MIB]     (default: the first 1024 MiB)
set -euo pipefail
source=$1
mib=${2:-1024}

drop() { /usr/bin/python3 -c 'import os,sys; fd=os.open(sys.argv[1], os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED); os.close(fd)' "$source"; }

rate() {  # dd flags... -> MiB/s
  local out
  out=$(dd if="$source" of=/dev/null "$@" 2>&1 | tail -1)
  echo "$out" | awk '{ for (i = 1; i <= NF; i++) if ($i == "s,") { print $(i - 1); exit } }' |
    xargs -I{} echo "$mib / {}" | bc -l | xargs printf '%7.0f'
}

printf '%-8s %14s %14s\n' window 'cached MiB/s' 'direct MiB/s'
for kib in 64 256 1024 4096; do
  count=$((mib * 1024 / kib))
  drop
  buffered=$(rate bs=${kib}K count=$count)
  drop
  direct=$(rate bs=${kib}K count=$count iflag=direct)
  printf '%-8s %14s %14s\n' "${kib}K" "$buffered" "$direct"
done
