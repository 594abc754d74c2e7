#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets with the real tools, small
# enough to keep in the repository: files under 64 KiB, volume images cut to
# their first 64 KiB (what identification reads), and a 120 KiB volume for the
# deep scan. Formats no free tool writes (X3F, RAF, CorelDRAW, RAR) get a
# minimal hand-made header. Run from anywhere; rewrites tests/fuzz/corpus/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
rm -rf "$out"
seed() { mkdir -p "$out/$1"; cp "$2" "$out/$1/$(basename "$2")"; }
cut64() { head -c 65536 "$1" >"$1.cut" && mv "$1.cut" "$1"; }

# Pictures.
convert -size 48x32 gradient:red-blue -quality 80 a.jpg
convert -size 48x32 plasma:fractal -seed 3 -interlace JPEG b.jpg
convert -size 40x30 gradient:green-white a.bmp
convert -size 40x30 gradient:yellow-black a.png
convert -size 24x16 gradient:white-black -compress none a.tif
for f in a.jpg b.jpg; do seed carve_jpeg $f; seed classify $f; done
seed carve_bmp a.bmp; seed carve_png a.png; seed carve_tiff a.tif
convert -size 16x12 -delay 10 xc:red xc:blue -loop 0 a.gif
seed carve_gif a.gif; seed classify a.gif
seed classify a.png; seed classify a.bmp

# Compound files: a QQ-like database and another one.
head -c 9000 /dev/urandom >Matrix.dat; head -c 3000 /dev/urandom >seqbase.dat
head -c 700 /dev/urandom >Info.dat
gsf createole qq.db Matrix.dat seqbase.dat Info.dat
gsf createole other.ole Info.dat
for f in qq.db other.ole; do seed carve_qq_database $f; seed compound $f; done
seed classify qq.db

# Archives and documents.
printf 'hello seed\n%.0s' {1..50} >text.txt
zip -q a.zip text.txt Info.dat
printf '<?xml version="1.0"?><Types/>' >'[Content_Types].xml'
zip -q -X a.docx '[Content_Types].xml' text.txt
7z a -bd -y a.7z text.txt >/dev/null
gcab -c a.cab text.txt
seed carve_zip a.zip; seed carve_ooxml a.docx; seed carve_7z a.7z; seed carve_cab a.cab
qpdf --empty --pages --empty -- a.pdf 2>/dev/null || printf '%%PDF-1.4\n1 0 obj<<>>endobj\ntrailer<</Root 1 0 R>>\n%%%%EOF\n' >a.pdf
seed carve_pdf a.pdf
for f in a.zip a.7z a.cab a.pdf; do seed classify $f; done

# Sound and video.
ff() { ffmpeg -loglevel error -y "$@"; }
ff -f lavfi -i "sine=frequency=440:duration=0.05" -ar 8000 a.wav
ff -f lavfi -i "testsrc=size=32x24:rate=5:duration=0.4" -c:v mjpeg a.avi
ff -f lavfi -i "testsrc=size=32x24:rate=5:duration=0.4" -c:v mpeg4 a.mp4
ff -f lavfi -i "testsrc=size=32x24:rate=5:duration=0.4" -c:v mpeg4 -f 3gp a.3gp
ff -f lavfi -i "testsrc=size=32x24:rate=5:duration=0.4" -c:v wmv2 a.wmv
ff -f lavfi -i "testsrc=size=32x24:rate=25:duration=0.2" -c:v mpeg1video -f vob a.mpg
ff -f lavfi -i "testsrc=size=32x24:rate=25:duration=0.2" -c:v mpeg2video -f mpegts a.ts
for f in a.wav a.avi; do seed carve_riff $f; done
seed carve_mp4 a.mp4; seed carve_mp4 a.3gp
seed carve_asf a.wmv; seed carve_asf_walk a.wmv
ff -f lavfi -i "sine=frequency=440:duration=0.3" -ar 8000 -c:a libmp3lame -b:a 16k a.mp3
seed carve_mpeg_ps a.mpg; seed carve_mpeg_ts a.ts; seed carve_mpeg_ts188 a.ts
seed carve_mp3 a.mp3; seed classify a.mp3
for f in a.wav a.mp4 a.wmv a.mpg a.ts; do cut64 $f; seed classify $f; done
for d in carve_mp4 carve_asf carve_asf_walk carve_mpeg_ps carve_mpeg_ts carve_riff; do
  for f in "$out/$d"/*; do cut64 "$f"; done
done

# Hand-made headers for what no free tool writes.
python3 - <<'PY'
import struct, zipfile, io
# X3F: "FOVb", version, then a directory pointer at the end.
body = b"FOVb" + struct.pack("<I", 0x00020002) + bytes(120)
x3f = body + b"SECd" + struct.pack("<II", 2, 0) + struct.pack("<I", len(body))
open("a.x3f", "wb").write(x3f)
# RAF: magic, camera, then the offset/length table.
raf = bytearray(b"FUJIFILMCCD-RAW 0201FF383501" + bytes(60))
raf += struct.pack(">IIIIII", 148, 200, 348, 100, 448, 64)
raf += bytes(600 - len(raf))
open("a.raf", "wb").write(bytes(raf))
# RIFF CorelDRAW: a RIFF form of type CDR with one chunk.
chunk = b"vrsn" + struct.pack("<I", 2) + b"\x58\x02"
open("a.cdr", "wb").write(b"RIFF" + struct.pack("<I", 4 + len(chunk)) + b"CDRA" + chunk)
# ZIP-packed CorelDRAW: a ZIP whose first entry is the drawing's content.
buf = io.BytesIO()
with zipfile.ZipFile(buf, "w") as z:
    z.writestr("content/riffData.cdr", b"RIFF" + bytes(60))
    z.writestr("META-INF/metadata.xml", b"<x/>")
open("a.zcdr", "wb").write(buf.getvalue())
PY
seed carve_x3f a.x3f; seed carve_raf a.raf; seed carve_riff_cdr a.cdr; seed carve_zip_drawing a.zcdr
printf 'Rar!\x1a\x07\x00\xcf\x90\x73\x00\x00\x0d\x00\x00\x00\x00\x00\x00\x00' >a.rar
seed carve_rar a.rar

# Volumes from the real formatters, cut to their first 64 KiB.
mkfs.vfat -C fat12.img 360 >/dev/null
truncate -s 20M fat16.img && mkfs.vfat -F 16 fat16.img >/dev/null
truncate -s 40M fat32.img && mkfs.vfat -F 32 fat32.img >/dev/null
truncate -s 4M ntfs.img && mkfs.ntfs -q -F -f ntfs.img >/dev/null 2>&1
truncate -s 4M exfat.img && mkfs.exfat exfat.img >/dev/null
truncate -s 1M hfs.img && hformat -l seed hfs.img >/dev/null
# The NTFS reader: a real MFT's first 32 records behind the byte that picks
# 4 KiB clusters and 1 KiB records, as the target lays volumes out.
mkdir -p mnt && ntfs-3g ntfs.img mnt && mkdir mnt/dir && echo note >mnt/dir/a.txt &&
  head -c 20000 /dev/urandom >mnt/dir/b.db && rm mnt/dir/b.db && umount mnt
{ printf '\x03'; icat ntfs.img 0 | head -c 32768; } >mft.bin
seed ntfs mft.bin
for f in fat12.img fat16.img fat32.img ntfs.img exfat.img hfs.img; do cut64 $f; seed identify $f; done

# The deep scan: a small FAT12 volume holding a database and a picture that
# were deleted, with the four-byte prefix that names no bad sector.
mkfs.vfat -C scan.img 120 >/dev/null
mcopy -i scan.img qq.db a.jpg ::
mdel -i scan.img ::qq.db ::a.jpg
{ printf '\xff\xff\xff\xff'; cat scan.img; } >deep.img
seed deep_scan deep.img
{ printf '\x30\x00\xff\xff'; cat scan.img; } >deep_bad.img
seed deep_scan deep_bad.img

# The file-system readers: small volumes with folders, long and Chinese
# names, a file grown in turns with another, and a deleted file and tree,
# cut after their last written byte (FAT32's at 64 KiB: its table alone is
# larger than the fuzzer's inputs). exFAT needs a loop device and FUSE.
fs_tree() {
  mmd -i "$1" ::/Dir ::/Dir/Sub ::/Gone
  for n in one two "a long file name.txt" "聊天记录.db"; do
    head -c 1500 /dev/urandom >f && mcopy -i "$1" f "::/Dir/$n"
  done
  mcopy -i "$1" f "::/Gone/inner file.bin"
  mcopy -i "$1" f ::/Dir/Sub/x.db
  mdel -i "$1" ::/Dir/two
  mdeltree -i "$1" ::/Gone
}
cut_written() { python3 -c "import sys; d=open(sys.argv[1],'rb').read(); open(sys.argv[1],'wb').write(d[:min(len(d.rstrip(b'\0')) + 511 & ~511, int(sys.argv[2]))])" "$1" "$2"; }
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
rm -f fat12.img fat16.img fat32.img
mkfs.vfat -C -F 12 -n S12 fat12.img 256 >/dev/null && fs_tree fat12.img
mkfs.vfat -C -F 16 -s 1 -n S16 fat16.img 4200 >/dev/null && fs_tree fat16.img
mkfs.vfat -C -F 32 -s 1 -n S32 fat32.img 34000 >/dev/null 2>&1 && fs_tree fat32.img
for f in fat12 fat16 fat32; do cut_written $f.img 65536; cp $f.img tree_$f.img; seed fat_volume tree_$f.img; done
if [ "$(id -u)" = 0 ] && command -v mount.exfat-fuse >/dev/null; then
  rm -f tree_exfat.img && truncate -s 1M tree_exfat.img && mkfs.exfat -c 512 -b 4096 tree_exfat.img >/dev/null
  mkdir -p mnt && dev=$(losetup -f --show tree_exfat.img) && mount.exfat-fuse "$dev" mnt
  mkdir -p mnt/Dir/Sub mnt/Gone
  for n in one two "a long file name.txt" "聊天记录.db"; do head -c 1500 /dev/urandom >"mnt/Dir/$n"; done
  for i in 1 2 3; do head -c 600 /dev/urandom >>mnt/Dir/Sub/x.db; head -c 600 /dev/urandom >>mnt/Dir/y.db; done
  head -c 900 /dev/urandom >"mnt/Gone/inner file.bin"
  sync; rm mnt/Dir/two; rm -r mnt/Gone
  umount mnt && losetup -d "$dev"
  cut_written tree_exfat.img 262144
  seed exfat_volume tree_exfat.img
fi
du -sh "$out"
