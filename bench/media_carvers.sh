#!/usr/bin/env bash
# Times the rescue of a FAT32 image that holds three large clips (an M2TS
# transport stream, an MPEG-1 program stream and a WMV) and ten large
# pictures (JPEG and PNG), next to the search alone and to reading the image
# with cat. The difference between the rescue and the search is what following
# the clips and pictures costs. A benchmark, not a test. The image stays in
# /tmp for bench/carving_phase.sh.
#
#   bench/media_carvers.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${TMPDIR:-/tmp}/tarnwick-bench/media
mkdir -p "$work"
image=$work/image.img

make_clips() {
  local src="-f lavfi -i testsrc2=size=640x480:rate=25:duration=20 -f lavfi -i anoisesrc=duration=20:sample_rate=44100"
  local ff="ffmpeg -v quiet -nostdin -y"
  $ff $src -c:v mpeg2video -b:v 8M -c:a mp2 -f mpegts -mpegts_m2ts_mode 1 -muxrate 10000000 \
    -muxdelay 0 "$work/base.m2ts"
  $ff -stream_loop 14 -i "$work/base.m2ts" -c copy -f mpegts -mpegts_m2ts_mode 1 \
    -muxrate 10000000 -muxdelay 0 "$work/clip.m2ts"
  # A recorder that starts its clock with the recording: first arrival time 0.
  printf '\0\0\0\0' | dd of="$work/clip.m2ts" conv=notrunc status=none
  $ff $src -c:v mpeg1video -b:v 8M -c:a mp2 -f mpeg -muxdelay 0 -preload 0 "$work/base.mpg"
  $ff -stream_loop 14 -i "$work/base.mpg" -c copy -f mpeg -muxdelay 0 -preload 0 "$work/clip.mpg"
  $ff $src -c:v wmv2 -b:v 8M -c:a wmav2 "$work/base.wmv"
  $ff -stream_loop 14 -i "$work/base.wmv" -c copy "$work/clip.wmv"
  rm -f "$work"/base.*
  for k in 1 2 3 4 5 6; do
    convert -size 3000x2000 -seed $k plasma: -quality 92 "$work/photo$k.jpg"
  done
  for k in 1 2 3 4; do
    convert -size 1600x1200 -seed $k plasma: "$work/scan$k.png"
  done
}

if [ ! -f "$image" ]; then
  make_clips
  rm -f "$image"
  mkfs.vfat -F 32 -s 8 -C "$image" $((1024 * 1024)) >/dev/null
  mcopy -i "$image" "$work/clip.m2ts" "$work/photo1.jpg" "$work/clip.mpg" "$work/photo2.jpg" \
    "$work/scan1.png" "$work/scan2.png" "$work/clip.wmv" "$work"/photo[3-6].jpg \
    "$work"/scan[34].png ::/
  rm -f "$work"/clip.* "$work"/photo*.jpg "$work"/scan*.png
fi
rm -rf "$work/out" && mkdir -p "$work/out"

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }

cat "$image" >/dev/null   # every run reads from the same cache state
size=$(stat -c %s "$image")
mib=$((size / 1048576))
t_cat=$(seconds cat "$image")
t_scan=$(seconds "$build/tarnwick-cli" scan "$image")
t_rescue=$(seconds "$build/tarnwick-cli" rescue "$image" --out "$work/out")
printf 'image    %d MiB, clips of 365, 198 and 244 MiB, ten pictures\n' "$mib"
printf 'cat      %6.2f s  %7.0f MiB/s\n' "$t_cat" "$(echo "$mib / $t_cat" | bc -l)"
printf 'scan     %6.2f s  %7.0f MiB/s\n' "$t_scan" "$(echo "$mib / $t_scan" | bc -l)"
printf 'rescue   %6.2f s  %7.0f MiB/s\n' "$t_rescue" "$(echo "$mib / $t_rescue" | bc -l)"
