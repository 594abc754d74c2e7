#!/usr/bin/python3
"""Builds disk images that hold lost QQ chat databases, made with the real tools.

Every case is a small story told with mkfs.vfat/mtools or mkfs.ntfs/ntfs-3g:
files are written (databases made by `gsf createole`, neighbours made by
ImageMagick, zip, 7z, gcab, qpdf and ffmpeg), then lost by deleting them or by
formatting the volume again. The Sleuth Kit is asked where every file lay
before the loss, and the bytes at those sectors are compared with the file.

    build_corpus.py OUTDIR [--case NAME ...] [--seed N] [--list]

Each case ends up as OUTDIR/<case>/image.img, OUTDIR/<case>/originals/<name>
and OUTDIR/<case>/manifest.json.
"""

import argparse
import contextlib
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ole_writer  # noqa: E402
from dataclasses import dataclass, field
from typing import Callable

SECTOR = 512
MIB = 1024 * 1024
KIB = 1024
# Every file a case makes gets this modification time, so that archives and
# compound files come out the same for the same seed.
FIXED_MTIME = 1_600_000_000
OLE_SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
QQ_NAMES = ("Matrix.dat", "seqbase.dat")
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"

TOOL_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH=str(FIXED_MTIME),
                LC_ALL="C", TZ="UTC")


class BuildError(Exception):
    """The scenario on the image is not what the case meant to make."""


def run(cmd, cwd=None, stdin=None):
    """Runs one tool; returns its stdout. A failing tool stops the build."""
    try:
        result = subprocess.run(cmd, cwd=cwd, env=TOOL_ENV, check=True, input=stdin,
                                capture_output=True)
    except subprocess.CalledProcessError as err:
        sys.stderr.write(f"failed: {' '.join(map(str, cmd))}\n{err.stderr.decode(errors='replace')}")
        raise
    return result.stdout.decode(errors="replace")


def sha256_of(data):
    return hashlib.sha256(data).hexdigest()


def sectors_for(size):
    return (size + SECTOR - 1) // SECTOR


# ---------------------------------------------------------------------------
# File contents
# ---------------------------------------------------------------------------

WORDS = ("ok", "hello", "tomorrow", "meeting", "photo", "lunch", "where", "are", "you",
         "haha", "see", "later", "thanks", "the", "file", "is", "ready", "call", "me",
         "你好", "明天", "见", "谢谢", "好的", "吃饭", "了吗", "哈哈", "发", "图片")
NAMES = ("Alice", "Bob", "小明", "Wei", "Lin", "张伟", "Jun", "Mei")


def chat_text(rng, size):
    """Chat-log-like UTF-8 text of exactly `size` bytes."""
    lines = []
    total = 0
    while total < size:
        stamp = f"2019-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d} " \
                f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}"
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 14)))
        line = f"{stamp} {rng.choice(NAMES)}: {words}\r\n".encode()
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


def mixed_bytes(rng, size, text_share):
    """Random (incompressible) bytes with a share of chat text spliced in."""
    text_len = int(size * text_share)
    return rng.randbytes(size - text_len) + chat_text(rng, text_len)


def split_sizes(rng, total, weights):
    scale = sum(weights)
    return [max(1, int(total * w / scale)) for w in weights]


def qq_tree(rng, total):
    """Directory tree of a QQ-like message database of about `total` bytes."""
    small = total < 64 * KIB
    buddies = 1 if small else rng.randint(2, 5)
    groups = 1 if small else rng.randint(1, 3)
    weights = [3.0, 0.3, 0.2] + [rng.uniform(0.5, 2.0) for _ in range(buddies + groups)]
    sizes = split_sizes(rng, total, weights)
    matrix, seqbase, info = sizes[:3]
    tree = {
        "Matrix.dat": rng.randbytes(matrix),
        "seqbase.dat": rng.randbytes(min(seqbase, 64 * KIB)),
        "Info": {"Info.dat": mixed_bytes(rng, info, 0.5)},
    }
    c2c = {}
    for size in sizes[3:3 + buddies]:
        index = max(16, size // 20) // 8 * 8
        c2c[str(rng.randint(10_000_000, 999_999_999))] = {
            "Data.msj": mixed_bytes(rng, size, 0.3),
            "Index.msj": rng.randbytes(index),
        }
    tree["C2CMsg"] = c2c
    group = {}
    for size in sizes[3 + buddies:]:
        group[str(rng.randint(100_000, 99_999_999))] = {
            "Data.msj": mixed_bytes(rng, size, 0.3),
            "Index.msj": rng.randbytes(max(16, size // 20) // 8 * 8),
        }
    tree["GroupMsg"] = group
    tree["SysMsg"] = {"Data.msj": mixed_bytes(rng, min(2 * KIB + rng.randint(0, 4096), total // 8 + 64), 0.6)}
    return tree


def plain_tree(rng, total, variant):
    """A compound file that is no QQ database: the names the carver asks for are incomplete."""
    sizes = split_sizes(rng, total, [2.0, 1.0, 1.0])
    if variant == "matrix-only":
        return {"Matrix.dat": rng.randbytes(sizes[0]),
                "Settings": {"Config.dat": mixed_bytes(rng, sizes[1], 0.5)},
                "Cache.dat": rng.randbytes(sizes[2])}
    if variant == "lowercase":
        # "matrix.dat" does not count: names are compared case by case.
        return {"matrix.dat": rng.randbytes(sizes[0]),
                "seqbase.dat": rng.randbytes(sizes[1]),
                "Notes": {"Text": chat_text(rng, sizes[2])}}
    if variant == "neither":
        return {"WordDocument": mixed_bytes(rng, sizes[0], 0.6),
                "1Table": rng.randbytes(sizes[1]),
                "ObjectPool": {"_1234": {"Contents": rng.randbytes(sizes[2])}}}
    raise ValueError(variant)


def write_tree(root, tree):
    for name, value in tree.items():
        path = os.path.join(root, name)
        if isinstance(value, dict):
            os.mkdir(path)
            write_tree(path, value)
        else:
            with open(path, "wb") as out:
                out.write(value)
    for name in tree:
        os.utime(os.path.join(root, name), (FIXED_MTIME, FIXED_MTIME))


def tree_paths(tree, prefix=()):
    """The entries of a tree as olefile lists them (storages included)."""
    paths = []
    for name, value in tree.items():
        paths.append(list(prefix + (name,)))
        if isinstance(value, dict):
            paths.extend(tree_paths(value, prefix + (name,)))
    return sorted(paths)


# Leading bytes that the scan recognises as the start of a file. A database whose
# own sectors began with one of them would be cut by another format's carver, so
# such a database is made again from the next random stream.
SECTOR_START_SIGNATURES = (
    b"\xff\xd8\xff", b"GIF89a", OLE_SIGNATURE, b"RIFF", b"\x89PNG", b"ID3",
    b"II*\x00", b"MM\x00*", b"IIRO", b"MMOR", b"IIU\x00", b"MM\x00U", b"FOVb",
    b"FUJIFILMCCD-RAW ", b"Rar!\x1a\x07\x00", b"PK\x03\x04", b"MSCF",
    b"7z\xbc\xaf\x27\x1c", b"%PDF-", b"FILE", b"INDX", b"\x00\x00\x01\xba",
)


def inner_signature_hits(data):
    """Offsets of 512-byte boundaries inside `data` (the start excluded) that look like a file start."""
    hits = []
    for off in range(SECTOR, len(data), SECTOR):
        head = data[off:off + 16]
        if any(head.startswith(sig) for sig in SECTOR_START_SIGNATURES):
            hits.append(off)
        elif head[:2] == b"BM" and head[6:10] == b"\0\0\0\0":
            hits.append(off)
        elif start_code(data[off:off + SECTOR].ljust(SECTOR, b"\0")) not in (0,) + MID_STREAM_CODES:
            # E.g. the zero-padded end of a stream of Chinese chat text, whose
            # UTF-8 lead bytes E5 at 32-byte steps pass for deleted FAT directory
            # entries: the scan would mark that cluster as metadata.
            hits.append(off)
    return hits


def make_compound(rng, work, tree, attempt_of):
    """Runs gsf createole over `tree`; returns the compound file's bytes."""
    src = tempfile.mkdtemp(prefix="ole-", dir=work)
    write_tree(src, tree)
    out = os.path.join(work, f"ole-{attempt_of}.bin")
    run(["gsf", "createole", out] + list(tree.keys()), cwd=src)
    with open(out, "rb") as f:
        data = f.read()
    shutil.rmtree(src)
    os.remove(out)
    return data


def image_file(rng, work, fmt, width, height, quality=90):
    out = os.path.join(work, f"pic.{'tif' if fmt == 'tiff' else fmt}")
    cmd = [CONVERT, "-seed", str(rng.randint(1, 2**31 - 1)), "-size", f"{width}x{height}",
           "plasma:fractal", "-seed", str(rng.randint(1, 2**31 - 1)),
           "-attenuate", "0.6", "+noise", "Gaussian", "-strip"]
    if fmt == "jpg":
        cmd += ["-quality", str(quality)]
    elif fmt == "png":
        cmd += ["-define", "png:exclude-chunks=date,time"]
    elif fmt in ("bmp", "tiff"):
        # Uncompressed 8-bit RGB, as a scanner or Paint would save it.
        cmd += ["-depth", "8", "-type", "TrueColor", "-compress", "None"]
    else:
        raise ValueError(fmt)
    run(cmd + [out])
    with open(out, "rb") as f:
        data = f.read()
    os.remove(out)
    return data


def member_files(rng, work, count, size):
    folder = tempfile.mkdtemp(prefix="members-", dir=work)
    names = []
    for i in range(count):
        name = f"{rng.choice(('notes', 'scan', 'log', 'data', 'list'))}{i}." \
               f"{rng.choice(('txt', 'bin', 'csv'))}"
        body = chat_text(rng, size // 2) + rng.randbytes(size - size // 2)
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(body)
        os.utime(path, (FIXED_MTIME, FIXED_MTIME))
        names.append(name)
    return folder, names


def archive_file(rng, work, fmt, size):
    folder, names = member_files(rng, work, rng.randint(2, 5), max(256, size // 3))
    out = os.path.join(work, f"archive.{fmt}")
    if fmt == "zip":
        run(["zip", "-X", "-q", "-9", out] + names, cwd=folder)
    elif fmt == "7z":
        run(["7z", "a", "-bd", "-bso0", "-mx=5", "-mtc=off", "-mta=off", out] + names, cwd=folder)
    elif fmt == "cab":
        run(["gcab", "-c", "-z", out] + names, cwd=folder)
    else:
        raise ValueError(fmt)
    with open(out, "rb") as f:
        data = f.read()
    shutil.rmtree(folder)
    os.remove(out)
    return data


def pdf_file(rng, work, size):
    """A one-page PDF with a picture-sized binary stream, written out by qpdf."""
    text = chat_text(rng, 400).decode(errors="ignore").encode("ascii", "ignore")
    text = text.replace(b"(", b"").replace(b")", b"").replace(b"\\", b"").replace(b"\r\n", b" ")
    content = b"BT /F1 10 Tf 40 800 Td (" + text[:300] + b") Tj ET"
    blob = rng.randbytes(max(1024, size))
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> /PieceInfo << /Blob 6 0 R >> >>",
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Length %d >>\nstream\n" % len(blob) + blob + b"\nendstream",
    ]
    raw = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(raw))
        raw += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(raw)
    raw += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for off in offsets:
        raw += b"%010d 00000 n \n" % off
    raw += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    src = os.path.join(work, "in.pdf")
    out = os.path.join(work, "out.pdf")
    with open(src, "wb") as f:
        f.write(raw)
    run(["qpdf", "--deterministic-id", "--compress-streams=n", src, out])
    with open(out, "rb") as f:
        data = f.read()
    os.remove(src)
    os.remove(out)
    return data


def ooxml_file(rng, work, size):
    """A word-processing package as an office suite zips it: "[Content_Types].xml" first."""
    folder = tempfile.mkdtemp(prefix="ooxml-", dir=work)
    text = chat_text(rng, max(512, size // 3)).decode(errors="ignore")
    text = text.replace("&", "").replace("<", "").replace(">", "")
    paragraphs = "".join(f"<w:p><w:r><w:t>{line}</w:t></w:r></w:p>" for line in text.splitlines())
    parts = {
        "[Content_Types].xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/><Default Extension="png" ContentType="image/png"/>'
            '<Override PartName="/word/document.xml" ContentType="application/'
            'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>',
        "_rels/.rels":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
            'relationships/officeDocument" Target="word/document.xml"/></Relationships>',
        "word/document.xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
            f'<w:body>{paragraphs}</w:body></w:document>',
    }
    names = list(parts)
    for name, body in parts.items():
        os.makedirs(os.path.join(folder, os.path.dirname(name)), exist_ok=True)
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(body)
    # A picture pasted into the document: most of the package's size.
    os.makedirs(os.path.join(folder, "word", "media"))
    width = max(64, int((size / 3) ** 0.5))
    with open(os.path.join(folder, "word", "media", "image1.png"), "wb") as f:
        f.write(image_file(rng, work, "png", width, width * 3 // 4))
    names.append("word/media/image1.png")
    for root, _, files in os.walk(folder):
        for name in files:
            os.utime(os.path.join(root, name), (FIXED_MTIME, FIXED_MTIME))
    out = os.path.join(work, "package.docx")
    # -D: no directory entries, -nw: "[Content_Types].xml" is a name, not a pattern.
    run(["zip", "-X", "-q", "-9", "-D", "-nw", out] + names, cwd=folder)
    with open(out, "rb") as f:
        data = f.read()
    shutil.rmtree(folder)
    os.remove(out)
    return data


# How ffmpeg is asked for each kind of clip: video codec, audio codec, muxer and
# muxer options. Every clip is a noisy test picture and/or pink noise, so its
# bytes change with the seed and look like a real recording's to a classifier.
MEDIA = {
    "avi": (["-c:v", "mpeg4", "-b:v", "400k"], ["-c:a", "pcm_s16le", "-ar", "22050", "-ac", "1"],
            ["-f", "avi"]),
    "wav": (None, ["-c:a", "pcm_s16le", "-ar", "22050", "-ac", "2"], ["-f", "wav"]),
    "mp4": (["-c:v", "mpeg4", "-b:v", "400k"], ["-c:a", "aac", "-b:a", "64k"],
            ["-f", "mp4", "-brand", "mp42"]),
    "3gp": (["-c:v", "mpeg4", "-b:v", "200k", "-s", "176x144"],
            ["-c:a", "aac", "-b:a", "32k", "-ar", "16000", "-ac", "1"], ["-f", "3gp"]),
    "mov": (["-c:v", "mpeg4", "-b:v", "400k"], ["-c:a", "aac", "-b:a", "64k"], ["-f", "mov"]),
    "wmv": (["-c:v", "wmv2", "-b:v", "400k"], ["-c:a", "wmav2", "-b:a", "64k"], ["-f", "asf"]),
    "wma": (None, ["-c:a", "wmav2", "-b:a", "128k"], ["-f", "asf"]),
    # The first pack's clock reference is 0 only with the muxer's own preload at 0
    # (ffmpeg's -muxpreload 0 leaves the muxer's default of 0.5 s in place).
    "mpg": (["-c:v", "mpeg1video", "-b:v", "500k"], ["-c:a", "mp2", "-b:a", "128k"],
            ["-f", "mpeg", "-muxdelay", "0", "-preload", "0"]),
    # 192-byte packets with a constant mux rate, so the arrival time stamps
    # rise by the same step from packet to packet.
    "m2ts": (["-c:v", "mpeg2video", "-b:v", "500k"], ["-c:a", "mp2", "-b:a", "128k"],
             ["-f", "mpegts", "-mpegts_m2ts_mode", "1", "-muxrate", "1500000", "-muxdelay", "0"]),
    # MP3 (ffmpeg's muxer writes an ID3v2 tag first), a voice message with no
    # tag (mono, variable rate), a DVD-style MPEG-2 program stream, a plain
    # 188-byte transport stream, and an M2TS as a camcorder names it, its
    # arrival times left as ffmpeg made them (the first is not 0).
    "mp3": (None, ["-c:a", "libmp3lame", "-b:a", "128k"], ["-f", "mp3"]),
    "mp3-voice": (None, ["-c:a", "libmp3lame", "-q:a", "6", "-ac", "1"],
                  ["-f", "mp3", "-id3v2_version", "0"]),
    "vob": (["-c:v", "mpeg2video", "-b:v", "500k"], ["-c:a", "mp2", "-b:a", "128k"], ["-f", "vob"]),
    "ts": (["-c:v", "mpeg2video", "-b:v", "500k"], ["-c:a", "mp2", "-b:a", "128k"],
           ["-f", "mpegts"]),
    "mts": (["-c:v", "mpeg2video", "-b:v", "500k"], ["-c:a", "mp2", "-b:a", "128k"],
            ["-f", "mpegts", "-mpegts_m2ts_mode", "1", "-muxrate", "1500000"]),
}


def media_file(rng, work, fmt, seconds):
    """A short clip made by ffmpeg in the given container."""
    video, audio, muxer = MEDIA[fmt]
    picture_seed = rng.randint(1, 2**31 - 1)
    noise_seed = rng.randint(1, 2**31 - 1)
    inputs, codecs = [], []
    if video:
        inputs += ["-f", "lavfi", "-i", f"testsrc2=size=320x240:rate=25:duration={seconds},"
                   f"noise=alls=30:allf=t:all_seed={picture_seed}"]
        codecs += video
    if audio:
        inputs += ["-f", "lavfi", "-i", f"anoisesrc=duration={seconds}:color=pink:amplitude=0.3:"
                   f"sample_rate=44100:seed={noise_seed}"]
        codecs += audio
    out = os.path.join(work, f"clip.{fmt}")
    run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1"] + inputs +
        codecs + ["-threads", "1", "-map_metadata", "-1", "-fflags", "+bitexact",
                  "-flags", "+bitexact"] + muxer + [out])
    with open(out, "rb") as f:
        data = bytearray(f.read())
    os.remove(out)
    if fmt == "m2ts":
        # The first packet's 4-byte prefix (copy bits and arrival time stamp) is
        # set to 0, as a recorder that starts its clock with the recording does;
        # a stream start is recognised only by a first prefix of 0.
        data[0:4] = b"\0\0\0\0"
    return bytes(data)



# No tool here writes these formats: they are put together from their
# published layouts, with random bytes where pictures or packed data would be.

def _le32(v):
    return struct.pack("<I", v)


def _riff(form, chunks):
    body = form
    for cid, data in chunks:
        body += cid + _le32(len(data)) + data + (b"\0" if len(data) % 2 else b"")
    return b"RIFF" + _le32(len(body)) + body


def drawing_file(rng, work, fmt, size):
    """A camera raw file, a RIFF drawing, cursor or CD track, a RAR 4 archive, or a
    ZIP-packaged drawing (the last made by zip)."""
    if fmt == "x3f":
        # Header, image data, then the section directory and, as the file's last
        # four bytes, the directory's offset.
        head = b"FOVb" + _le32(0x00020002) + rng.randbytes(248)
        data = rng.randbytes(size // 4 * 4)
        count = rng.randint(2, 6)
        directory = b"SECd" + _le32(0x00020000) + _le32(count)
        for k in range(count):
            directory += _le32(256 + k * 64) + _le32(64) + rng.choice((b"PROP", b"IMAG", b"IMA2"))
        body = head + data
        return body + directory + _le32(len(body))
    if fmt == "raf":
        # Header with the offsets and lengths of the preview and the sensor data.
        preview = rng.randbytes(size // 5)
        cfa = rng.randbytes(size - len(preview))
        head = bytearray(b"FUJIFILMCCD-RAW 0201FF383501" + b"X-T9".ljust(32, b"\0"))
        head += b"\0" * (160 - len(head))
        struct.pack_into(">IIIIII", head, 84, 160, len(preview), 0, 0, 160 + len(preview), len(cfa))
        return bytes(head) + preview + cfa
    if fmt == "ani":
        frames = b"fram"
        for _ in range(rng.randint(2, 5)):
            frames += b"icon" + _le32(size // 4) + rng.randbytes(size // 4)
        return _riff(b"ACON", [(b"anih", struct.pack("<9I", 36, 2, 32, 32, 0, 0, 0, 10, 1)),
                               (b"LIST", frames)])
    if fmt == "cdxa":
        return _riff(b"CDXA", [(b"fmt ", rng.randbytes(16)), (b"data", rng.randbytes(size))])
    if fmt == "cdr":
        return _riff(b"CDR9", [(b"vrsn", struct.pack("<H", 900)), (b"DISP", rng.randbytes(size // 3)),
                               (b"LIST", b"doc " + rng.randbytes(size - size // 3))])
    if fmt == "rar":
        def block(kind, flags, rest, added=b""):
            size_ = 7 + len(rest)
            head = bytes([kind]) + struct.pack("<HH", flags, size_) + rest
            return struct.pack("<H", zlib.crc32(head) & 0xFFFF) + head + added
        out = b"Rar!\x1a\x07\x00" + block(0x73, 0, b"\0" * 6)
        for i in range(rng.randint(2, 4)):
            packed = rng.randbytes(size // 3)
            name = f"part{i}.dat".encode()
            rest = struct.pack("<IIBIIBBHI", len(packed), len(packed), 2, zlib.crc32(packed),
                               0x5A000000, 29, 0x33, len(name), 0x20) + name
            out += block(0x74, 0x8000, rest, packed)
        return out + block(0x7B, 0x4000, b"")
    if fmt == "zipcdr":
        folder = tempfile.mkdtemp(prefix="drawing-", dir=work)
        os.makedirs(os.path.join(folder, "content"))
        members = ["content/riffData.cdr", "content/data/page1.bin", "META-INF/metadata.xml"]
        os.makedirs(os.path.join(folder, "content", "data"))
        os.makedirs(os.path.join(folder, "META-INF"))
        for m, data in zip(members, [drawing_file(rng, work, "cdr", size // 2),
                                     rng.randbytes(size // 2), b"<metadata/>" * 20]):
            path = os.path.join(folder, m)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (FIXED_MTIME, FIXED_MTIME))
        out = os.path.join(work, "drawing.cdr")
        run(["zip", "-X", "-q", "-0", out] + members, cwd=folder)
        with open(out, "rb") as f:
            data = f.read()
        shutil.rmtree(folder)
        os.remove(out)
        return data
    raise ValueError(fmt)

# ---------------------------------------------------------------------------
# File starts as the scan's classification sees them
# ---------------------------------------------------------------------------

ASF_HEADER_GUID = bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")
ASF_FILE_PROPERTIES_GUID = bytes.fromhex("a1dcab8c47a9cf118ee400c00c205365")
# Codes that describe the middle of a stream: the scan does not keep them.
MID_STREAM_CODES = (29, 30, 32, 34, 35)
# The code each format's first sector must have for its carver to be called.
START_CODES = {"jpg": (1, 2), "bmp": (4,), "ole": (5,), "avi": (7,), "png": (9,), "wav": (10,),
               "wmv": (13, 20), "wma": (13, 20), "tiff": (14,), "zip": (16,), "cab": (17,),
               "7z": (18,), "mp4": (19,), "ooxml": (21,), "pdf": (22,), "3gp": (23,),
               "mov": (24,), "mpg": (31,), "m2ts": (33,), "x3f": (25,), "raf": (26,),
               "rar": (15,), "ani": (11,), "cdxa": (12,), "cdr": (27,), "zipcdr": (28,),
               "mp3": (8, 39), "vob": (36,), "ts": (37,), "mts": (38,)}
# Starts the scan keeps inside a stream of these formats that do no harm: a
# later piece of the same stream (a frame run, a pack with its system header,
# a packet with a table), which carved first is claimed to the stream's end
# while the stream's own carve walks up to it and stops there; and a run of
# the audio frames a program stream carries, which the MP3 carver refuses
# (the stream's next pack or unit cuts into its last frame).
STREAM_CONTINUATIONS = {"mp3": (39,), "vob": (36, 39), "ts": (37,), "mts": (38,),
                        "mpg": (36, 39), "m2ts": (38,)}


def pack_scr(s, mpeg1):
    """Clock reference of a program-stream pack header, or None when a marker bit is clear."""
    w = int.from_bytes(s[4:12], "big") >> (24 if mpeg1 else 26)
    if not (w & 1 and w >> 16 & 1 and w >> 32 & 1):
        return None
    top = 0x1E00000000 if mpeg1 else 0xE00000000
    return ((w & 0xFFFE) >> 1) | ((w & 0xFFFE0000) >> 2) | ((w & top) >> 3)


def deleted_entry_shape(entry):
    """A deleted entry keeps everything but its first byte: the fields must still be an entry's."""
    if entry[1:] == b"\xe5" * 31:
        return True
    attr = entry[11]
    if attr == 0x0F:
        return entry[12] == 0 and entry[26:28] == b"\0\0"
    if attr & 0xC0 or entry[12] & ~0x18 or entry[13] > 199:
        return False
    for off in (14, 22):
        t = struct.unpack_from("<H", entry, off)[0]
        if t >> 11 > 23 or t >> 5 & 63 > 59 or t & 31 > 29:
            return False
    for off in (16, 18, 24):
        d = struct.unpack_from("<H", entry, off)[0]
        if d and (not 1 <= (d >> 5 & 15) <= 12 or not d & 31):
            return False
    high, low, size = struct.unpack_from("<HHI", entry, 20)[0], struct.unpack_from("<H", entry, 26)[0], \
        struct.unpack_from("<I", entry, 28)[0]
    cluster = high << 16 | low
    if high > 0x0FFF or cluster == 1 or (size and not cluster) or (attr & 0x10 and size):
        return False
    return not any(b < 0x20 or b == 0xFF or b in b'\\/:*?"<>|' for b in entry[1:11])


def fat_directory_score(s, tentative):
    score = 0
    for e in range(0, len(s) - 31, 32):
        entry = s[e:e + 32]
        if entry[0] == 0:
            if any(s[k] for k in range(e, len(s), 32)):
                return tentative
            break
        if entry[0] == 0xE5:
            if not deleted_entry_shape(entry):
                return tentative
            score += 1
            continue
        attr = entry[11]
        if attr & 0xF0 > 0x30 or (attr & 0x10 and struct.unpack_from("<I", entry, 28)[0]):
            return tentative
        if attr == 0x0F:
            continue
        if entry[0] <= 0x20:
            return tentative
        date = struct.unpack_from("<H", entry, 24)[0]
        if date >> 9 < 5 or not 1 <= (date >> 5 & 15) <= 12 or not date & 31:
            return tentative
        score += 2
        if any(b < 0x20 or b == 0xFF or b in b'\\/:*?"<>|' for b in entry[1:11]):
            return tentative
    return 100 if score >= 2 else tentative


# MP3 tags and frames, MPEG system headers and transport-stream tables, as
# the scan's tests for stream starts read them.

MP3_BIT_RATES = (
    (32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448),
    (32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384),
    (32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320),
    (32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256),
    (8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160))


def mpeg_audio_frame(s, at):
    """(version, layer, sampling rate, length) of the MPEG audio frame header at `at`, or None."""
    if at + 4 > len(s):
        return None
    h = int.from_bytes(s[at:at + 4], "big")
    version_bits, layer_bits = h >> 19 & 3, h >> 17 & 3
    rate_index, sample_index, padding = h >> 12 & 15, h >> 10 & 3, h >> 9 & 1
    if h >> 21 != 0x7FF or version_bits == 1 or layer_bits == 0 or rate_index in (0, 15) \
            or sample_index == 3 or h & 3 == 2:
        return None
    version = {3: 1, 2: 2, 0: 25}[version_bits]
    layer = 4 - layer_bits
    rate = (44100, 48000, 32000)[sample_index] // {1: 1, 2: 2, 25: 4}[version]
    table = layer - 1 if version == 1 else 3 if layer == 1 else 4
    bits = MP3_BIT_RATES[table][rate_index - 1] * 1000
    if layer == 1:
        length = (12 * bits // rate + padding) * 4
    else:
        length = (72 if layer == 3 and version != 1 else 144) * bits // rate + padding
    return (version, layer, rate, length) if length > 4 else None


def id3v2_plausible(s):
    version, flags = s[3], s[5]
    undefined = {2: 0x3F, 3: 0x1F, 4: 0x0F}.get(version)
    return undefined is not None and s[4] != 0xFF and not flags & undefined \
        and not (s[6] | s[7] | s[8] | s[9]) & 0x80


def bare_mp3_start(s):
    """Frames from byte 0: a summary frame, or every header the sector holds following the first."""
    first = mpeg_audio_frame(s, 0)
    if first is None:
        return False
    version, layer = first[0], first[1]
    if layer == 3:
        side = (17 if s[3] >> 6 == 3 else 32) if version == 1 else (9 if s[3] >> 6 == 3 else 17)
        if s[4 + side:8 + side] in (b"Xing", b"Info") or s[36:40] == b"VBRI":
            return True
    at, frames = first[3], 1
    while at + 4 <= len(s):
        f = mpeg_audio_frame(s, at)
        if f is None or f[:3] != first[:3]:
            return False
        frames, at = frames + 1, at + f[3]
    return frames >= 2


def system_header_at(s, at):
    return s[at:at + 4] == b"\0\0\1\xbb" and int.from_bytes(s[at + 4:at + 6], "big") >= 6 \
        and s[at + 6] & 0x80 and s[at + 8] & 1 and s[at + 10] & 0x20


def starts_table(s, at):
    """A PAT, PMT or SDT section starting in the transport packet at `at`."""
    pid = int.from_bytes(s[at + 1:at + 3], "big") & 0x1FFF
    if s[at + 1] & 0xC0 != 0x40 or s[at + 3] & 0x30 != 0x10 or s[at + 4] != 0:
        return False
    table, head = s[at + 5], int.from_bytes(s[at + 6:at + 8], "big")
    if head & 0xC000 != 0x8000 and not (table == 0x42 and head & 0xC000 == 0xC000):
        return False
    if not 9 <= head & 0xFFF <= 1021:
        return False
    if pid == 0:
        return table == 0
    if pid == 0x11:
        return table == 0x42
    return table == 2 and 0x10 <= pid != 0x1FFF


def start_code(s):
    """The code the scan gives a 512-byte sector: what it is the start of, 0 for nothing."""
    if s[:3] == b"\xff\xd8\xff":
        return 1 if s[3] & 0xFE == 0xE0 else 2
    if s[:6] in (b"GIF89a", b"GIF87a"):
        return 3
    if s[:2] == b"BM":
        return 4 if s[6:10] == b"\0\0\0\0" else 0
    if s[:8] == OLE_SIGNATURE:
        return 5
    if s[4:19] == b"Standard Jet DB":
        return 6
    if s[:4] == b"RIFF":
        sub = s[8:12]
        codes = {b"AVI ": 7, b"CDXA": 12, b"WAVE": 10, b"ACON": 11}
        if sub in codes:
            return codes[sub]
        return 27 if sub[:3].upper() == b"CDR" else 0
    if s[:11] == ASF_HEADER_GUID[:11]:
        return 13 if s[30:41] == ASF_FILE_PROPERTIES_GUID[:11] else 20
    if s[:2] == b"\0\0" and s[4:8] == b"ftyp":
        return 23 if s[8:11] == b"3gp" else 19 if s[8:11] == b"mp4" else 24
    tentative = 0
    if s[:4] == b"\0\0\1\xba":
        if s[4] & 0xC0 == 0x40:
            scr = pack_scr(s, mpeg1=False)
            if scr is not None and system_header_at(s, 14 + (s[13] & 7)):
                tentative = 36
            elif scr is not None and scr < 320000:
                tentative = 29 if scr == 0 else 30
        elif s[4] & 0xE0 == 0x20:
            scr = pack_scr(s, mpeg1=True)
            if scr not in (0, None) and system_header_at(s, 12):
                tentative = 36
            else:
                tentative = 31 if scr == 0 else 32
    if s[4] == s[196] == s[388] == 0x47:
        w0, w1, w2 = (int.from_bytes(s[k:k + 4], "big") for k in (0, 192, 384))
        if 1 <= (w1 - w0) & 0x3FFFFFFF <= 3200000 and 1 <= (w2 - w1) & 0x3FFFFFFF <= 3200000:
            return 33 if w0 == 0 else 38 if starts_table(s, 4) else 34
    if s[0] == s[188] == s[376] == 0x47 and 0x47 not in (s[1], s[189], s[377]):
        return 37 if starts_table(s, 0) else 35
    if s[:4] == b"\x89PNG":
        return 9
    if s[:3] == b"ID3" and id3v2_plausible(s):
        return 8
    if bare_mp3_start(s):
        return 39
    if s[:4] in (b"II*\0", b"MM\0*", b"IIRO", b"MMOR", b"IIU\0", b"MM\0U"):
        return 14
    if s[:4] == b"FOVb":
        return 25
    if s[:16] == b"FUJIFILMCCD-RAW ":
        return 26
    if s[:7] == b"Rar!\x1a\x07\0":
        return 15
    if s[:4] == b"PK\3\4":
        if s[30:49] == b"[Content_Types].xml":
            return 21
        return 28 if s[30:50] == b"content/riffData.cdr" else 16
    if s[:4] == b"MSCF" and s[24:26] == b"\3\1":
        return 17
    if s[:7] == b"7z\xbc\xaf\x27\x1c\0" and zlib.crc32(s[12:32]) == int.from_bytes(s[8:12], "little"):
        return 18
    if s[:5] == b"%PDF-":
        return 22
    if s[:4] == b"FILE":
        usa, count, first = (struct.unpack_from("<H", s, k)[0] for k in (4, 6, 20))
        used, alloc = struct.unpack_from("<II", s, 24)
        if 40 <= usa <= 96 and 1 <= count <= 96 and 48 <= first <= 96 and used <= alloc \
                and alloc and alloc % 512 == 0:
            if usa + count > first:
                return tentative
            kind, length = struct.unpack_from("<II", s, first)
            if kind == 0xFFFFFFFF or (16 <= kind <= 512 and 8 <= length <= 4096):
                return 100
            return tentative
    if s[:4] == b"INDX":
        usa, count = struct.unpack_from("<HH", s, 4)
        a, b = struct.unpack_from("<II", s, 28)
        if 40 <= usa <= 96 and 1 <= count <= 96 and a <= b and b and (b + 24) % 512 == 0:
            return 100
    return fat_directory_score(s, tentative)


def inner_starts(data):
    """Offsets of 512-byte boundaries inside `data` (the start excluded) that the scan would keep
    as a file start: the scan would carve there before it reaches the file's own start."""
    hits = []
    for off in range(SECTOR, len(data), SECTOR):
        s = data[off:off + SECTOR].ljust(SECTOR, b"\0")
        code = start_code(s)
        # A 7z start of another version, and the three-byte TIFF prefixes, count too.
        if (code and code not in MID_STREAM_CODES) or s[:7] == b"7z\xbc\xaf\x27\x1c\0" \
                or s[:3] == b"MM\0":
            hits.append((off, code))
    return hits


# ---------------------------------------------------------------------------
# Compound files as the database carver sees them
# ---------------------------------------------------------------------------

def compound_view(data):
    """Follows header, DIFAT, FAT and directory the way the database carver does.

    Returns the sector shift, whether the FAT sector numbers rise, the length the
    FAT implies ((last used index + 2) x 512) and the carver's name count."""
    view = {"sector_shift": None, "header_fat_rising": None, "difat_rising": None,
            "fat_sectors": 0, "difat_sectors": 0, "implied_bytes": None,
            "bytes_match_fat": None, "qq_name_count": 0, "qq": False}
    if len(data) < 512 or data[:8] != OLE_SIGNATURE:
        return view
    view["sector_shift"] = struct.unpack_from("<H", data, 30)[0]
    if struct.unpack_from("<I", data, 28)[0] != 0x0009FFFE:
        return view

    def sector(n):
        return data[(n + 1) * 512:(n + 2) * 512]

    fat_sectors = []
    rising = True
    for i in range(109):
        f = struct.unpack_from("<I", data, 76 + 4 * i)[0]
        if f == 0xFFFFFFFF:
            break
        if fat_sectors and f <= fat_sectors[-1]:
            rising = False
        fat_sectors.append(f)
    view["header_fat_rising"] = rising
    chain = []
    d = struct.unpack_from("<I", data, 68)[0]
    while d not in (0xFFFFFFFE, 0xFFFFFFFF) and len(chain) < 4096:
        chain.append(d)
        words = struct.unpack("<128I", sector(d))
        fat_sectors += [t for t in words[:127] if t != 0xFFFFFFFF]
        d = words[127]
    view["difat_rising"] = all(a < b for a, b in zip(chain, chain[1:]))
    view["difat_sectors"] = len(chain)
    view["fat_sectors"] = len(fat_sectors)
    fat = []
    for f in fat_sectors:
        fat += struct.unpack("<128I", sector(f))
    used = [i for i, v in enumerate(fat) if v != 0xFFFFFFFF]
    if used:
        view["implied_bytes"] = (used[-1] + 2) * 512
        view["bytes_match_fat"] = view["implied_bytes"] == len(data)

    directory = bytearray()
    s = struct.unpack_from("<I", data, 48)[0]
    while s != 0xFFFFFFFE and s < len(fat) and len(directory) < 20 * MIB:
        directory += sector(s)
        s = fat[s]
    count = 0
    for off in range(0, len(directory) - 127, 128):
        n = struct.unpack_from("<H", directory, off + 64)[0]
        if n < 4 or n > 64:
            break
        name = directory[off:off + n - 2].decode("utf-16-le", errors="replace")
        if name in QQ_NAMES:
            count += 1
            if count == 2:
                break
    view["qq_name_count"] = count
    view["qq"] = count >= 2
    return view


def check_with_olefile(path, tree):
    import olefile  # only the system Python has it
    with olefile.OleFileIO(path) as ole:
        listed = sorted(ole.listdir(streams=True, storages=True))
        sector_size = ole.sectorsize
    wanted = tree_paths(tree)
    if listed != wanted:
        raise BuildError(f"{path}: olefile lists {listed}, expected {wanted}")
    return sector_size


# ---------------------------------------------------------------------------
# Volumes
# ---------------------------------------------------------------------------

class FatVolume:
    """A FAT12/16/32 volume in an image file, written through mtools."""

    def __init__(self, image, bits, size, cluster_sectors):
        self.image, self.bits, self.size, self.cluster_sectors = image, bits, size, cluster_sectors
        self.name = f"FAT{bits}"

    def format(self):
        if not os.path.exists(self.image):
            with open(self.image, "wb") as f:
                f.truncate(self.size)
        run(["mkfs.vfat", "-F", str(self.bits), "-S", "512", "-s", str(self.cluster_sectors),
             "--invariant", "-n", "TARNCORPUS", self.image])
        if self.bits == 32:
            self.mark_entry_one_as_windows_does()

    def mark_entry_one_as_windows_does(self):
        """Windows' format leaves FAT entry 1 at FFFFFFFF, mkfs.vfat at 0FFFFFFF.

        The volumes here stand for disks formatted on Windows; fsck.fat and the
        free-space map accept both.
        """
        with open(self.image, "r+b") as f:
            boot = f.read(512)
            reserved = int.from_bytes(boot[14:16], "little")
            fats = boot[16]
            fat_sectors = int.from_bytes(boot[36:40], "little")
            for k in range(fats):
                f.seek((reserved + k * fat_sectors) * SECTOR + 4)
                f.write(b"\xff\xff\xff\xff")

    @contextlib.contextmanager
    def session(self):
        yield self

    def write(self, src, name):
        run(["mcopy", "-i", self.image, "-m", "-o", src, "::" + name])

    def delete(self, name):
        run(["mdel", "-i", self.image, "::" + name])

    def free_bytes(self):
        stat = fsstat(self.image)
        return int(stat["Free Sector Count (FS Info)"]) * SECTOR if "Free Sector Count (FS Info)" in stat \
            else None


class MountedVolume:
    """A volume written through a FUSE mount of its image (self.mountpoint)."""

    def write(self, src, name):
        dst = os.path.join(self.mountpoint, name)
        shutil.copyfile(src, dst)
        with open(dst, "rb+") as f:
            os.fsync(f.fileno())

    def delete(self, name):
        os.remove(os.path.join(self.mountpoint, name))

    def free_bytes(self):
        if not self.mountpoint:
            return None
        st = os.statvfs(self.mountpoint)
        return st.f_bavail * st.f_frsize


class NtfsVolume(MountedVolume):
    """An NTFS volume in an image file, written through an ntfs-3g FUSE mount."""

    def __init__(self, image, size, work, cluster_bytes=None):
        self.image, self.size, self.work = image, size, work
        self.cluster_bytes = cluster_bytes
        self.name = "NTFS"
        self.mountpoint = None

    def format(self):
        if not os.path.exists(self.image):
            with open(self.image, "wb") as f:
                f.truncate(self.size)
        cluster = ["-c", str(self.cluster_bytes)] if self.cluster_bytes else []
        run(["mkfs.ntfs", "-F", "-f", "-q", "-T"] + cluster + ["-L", "TARNCORPUS", self.image])

    @contextlib.contextmanager
    def session(self):
        mnt = tempfile.mkdtemp(prefix="ntfs-mnt-", dir=self.work)
        proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach", self.image, mnt],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.path.ismount(mnt):
            if proc.poll() is not None:
                raise BuildError(f"ntfs-3g could not mount {self.image}: "
                                 f"{proc.stderr.read().decode(errors='replace')}")
            if time.monotonic() > deadline:
                proc.kill()
                raise BuildError("ntfs-3g mount did not appear")
            time.sleep(0.05)
        self.mountpoint = mnt
        try:
            yield self
        finally:
            os.sync()
            subprocess.run(["umount", mnt], check=True)
            # The image is complete only once the ntfs-3g process itself has ended.
            proc.wait(timeout=120)
            self.mountpoint = None
            os.rmdir(mnt)



# ---------------------------------------------------------------------------
# The Sleuth Kit as the judge of where things are
# ---------------------------------------------------------------------------

FLS_LINE = re.compile(r"^[+ ]*(\S)/(\S)\s+(\*\s+)?([0-9][0-9-]*)(?:\(realloc\))?:\t(.*)$")


def fsstat(image):
    out = run(["fsstat", image])
    info = {}
    for line in out.splitlines():
        key, sep, value = line.strip().lstrip("*").strip().partition(":")
        if sep and key not in info:
            info[key.strip()] = value.strip()
    return info


def fls_entries(image, deleted_only=False):
    if os.path.getsize(image) > 1024 * MIB:
        return fls_walk(image, deleted_only)
    cmd = ["fls", "-r", "-p"] + (["-d"] if deleted_only else []) + [image]
    entries = []
    for line in run(cmd).splitlines():
        m = FLS_LINE.match(line)
        if m:
            entries.append({"type": m.group(2), "deleted": bool(m.group(3)),
                            "inode": m.group(4), "name": m.group(5)})
    return entries


def fls_walk(image, deleted_only, inode=None, prefix=""):
    """fls -r without the orphan search, which reads every cluster of a large FAT
    volume (half a minute for 4 GiB): each real folder is listed on its own."""
    entries = []
    for line in run(["fls", "-p", image] + ([inode] if inode else [])).splitlines():
        m = FLS_LINE.match(line)
        if not m:
            continue
        entry = {"type": m.group(2), "deleted": bool(m.group(3)), "inode": m.group(4),
                 "name": prefix + m.group(5)}
        if entry["deleted"] or not deleted_only:
            entries.append(entry)
        if m.group(2) == "d" and not entry["deleted"] and m.group(5) not in (".", ".."):
            entries += fls_walk(image, deleted_only, entry["inode"], entry["name"] + "/")
    return entries


def record_gives_layout(image, layout, f):
    """True when the deleted file's MFT record still lists the sectors it was written to."""
    per = layout["cluster_bytes"] // SECTOR
    listed = [s for a, n in istat_runs(image, f["inode"])
              for s in range(a * per, (a + n) * per)][:sectors_for(f["size"])]
    return listed == [s for a, b in f["fragments"] for s in range(a, b + 1)][:sectors_for(f["size"])]


def unallocated_records(image):
    """The record numbers (as text) that ils calls unallocated."""
    return {line.split("|")[0] for line in run(["ils", "-A", image]).splitlines()
            if line[:1].isdigit()}


def istat_runs(image, inode):
    """The (address, length) runs that istat -r prints for the file's data."""
    out = run(["istat", "-r", image, inode])
    runs = []
    in_data = ":" not in inode or "-128-" in inode
    for line in out.splitlines():
        if line.startswith("Type:"):
            in_data = "$DATA" in line
        m = re.match(r"\s*Starting address: (\d+), length: (\d+)", line)
        if m and in_data:
            runs.append((int(m.group(1)), int(m.group(2))))
    return runs


def allocated_units(image):
    """The units (sectors on FAT, clusters on NTFS) that blkls calls allocated."""
    out = run(["blkls", "-a", "-l", image])
    unit = "Sector"
    units = set()
    for line in out.splitlines():
        if line.startswith("blkls|"):
            unit = line.split("|")[-1]
        m = re.match(r"^(\d+)\|a$", line)
        if m:
            units.add(int(m.group(1)))
    return unit, units


def merge_runs(runs):
    merged = []
    for first, last in sorted(runs):
        if merged and first <= merged[-1][1] + 1:
            merged[-1][1] = max(merged[-1][1], last)
        else:
            merged.append([first, last])
    return merged


def layout_of(image, fs_name):
    stat = fsstat(image)
    layout = {"sector_size": int(stat.get("Sector Size", SECTOR))}
    if fs_name == "NTFS":
        layout["cluster_bytes"] = int(stat["Cluster Size"])
    else:
        layout["cluster_bytes"] = int(stat["Cluster Size"])
        layout["data_area_start"] = int(stat["Data Area"].split("-")[0])
        layout["cluster_area_start"] = int(stat.get("Cluster Area", stat["Data Area"]).split("-")[0])
    if layout["sector_size"] != SECTOR:
        raise BuildError(f"sector size {layout['sector_size']} not handled")
    return layout


def image_fragments(image, fs_name, inode, size, layout):
    """Image sector runs [[first, last], ...] holding the file's bytes, in file order.

    On FAT The Sleuth Kit counts in sectors from the volume start (the image
    starts with the volume, so they are image sectors); on NTFS in clusters."""
    if fs_name == "exFAT":
        try:
            return located_run(image, layout, inode)
        except BuildError:  # not in one piece: looked up cluster by cluster
            return located_runs(image, layout, inode)
    per_unit = layout["cluster_bytes"] // SECTOR if fs_name == "NTFS" else 1
    need = sectors_for(size)
    runs = []
    for address, length in istat_runs(image, inode):
        if need <= 0:
            break
        count = min(length * per_unit, need)
        first = address * per_unit
        if runs and runs[-1][1] + 1 == first:
            runs[-1][1] = first + count - 1
        else:
            runs.append([first, first + count - 1])
        need -= count
    if need > 0:
        raise BuildError(f"istat lists too few units for inode {inode}")
    if fs_name != "NTFS":
        start = layout["cluster_area_start"]
        spc = layout["cluster_bytes"] // SECTOR
        for first, _ in runs:
            if first < start or (first - start) % spc:
                raise BuildError(f"run at sector {first} does not begin a cluster")
    return runs


def hash_runs(image, runs, size):
    """sha256 of the first `size` bytes that the sector runs hold, read from the image."""
    digest = hashlib.sha256()
    left = size
    with open(image, "rb") as f:
        for first, last in runs:
            f.seek(first * SECTOR)
            run_left = min(left, (last - first + 1) * SECTOR)
            while run_left > 0:
                chunk = f.read(min(run_left, 4 * MIB))
                if not chunk:
                    return None
                digest.update(chunk)
                run_left -= len(chunk)
                left -= len(chunk)
    return digest.hexdigest() if left == 0 else None


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(4 * MIB):
            digest.update(chunk)
    return digest.hexdigest()


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------

@dataclass
class Item:
    """One file a case writes. `make` returns its bytes; `kind` what the case intends."""
    name: str
    make: Callable
    kind: str = "other"          # qq, compound, other
    fmt: str = "bin"
    expect: str | None = None    # for qq: always, free-only, later
    tree: dict | None = None
    needs: list | None = None    # for qq expected later: the formats whose carvers it waits for
    note: str | None = None      # carried into the manifest as it stands
    data: bytes | None = None    # the bytes, once made
    clean_inside: bool = False   # made again while a sector inside it looks like a file start
    # For qq: what holds its pieces together when no file system record does.
    # "own-structure": its FAT, DIFAT and directory sectors place every piece,
    # in any order and at any distance; "interleaved": its clusters alternate
    # with another database's that look the same (back whole or in damaged/).
    placement: str | None = None
    pending: str | None = None   # why the engine cannot give it back as expected yet


@dataclass
class Case:
    name: str
    description: str
    fs: str                       # FAT16, FAT32, NTFS
    size_mib: int
    cluster_sectors: int
    loss: str                     # deleted, formatted
    steps: list                   # ("write", Item) ("delete", name) ("fill", name)
    lose: list = field(default_factory=list)   # names deleted by the loss
    rescue_options: list = field(default_factory=list)
    on_request: bool = False
    after_loss: list = field(default_factory=list)  # ("overwrite", ...) steps, see overwrite_after_loss
    # Formatted with other file systems: [(fs, cluster sectors), ...], in order.
    reformat: list = field(default_factory=list)
    also_rescue_with: list = field(default_factory=list)  # further option lists to rescue with
    # Put at sector `at` of a whole disk afterwards, whose one partition starts
    # at `start` and is formatted (fs, cluster sectors): (at, start, fs, cluster).
    repartition: tuple | None = None
    zero_records: list = field(default_factory=list)  # NTFS: names whose MFT records are zeroed after the loss
    verify: Callable | None = None  # (image, layout, files) -> None, raises BuildError when the image is off


def qq(name, size, expect="always", needs=None, note=None):
    return Item(name, ("qq", size), "qq", "ole", expect, needs=needs, note=note)


def compound(name, size, variant):
    return Item(name, ("compound", size, variant), "compound", "ole")


def picture(name, fmt, width, height, quality=90):
    return Item(name, ("picture", fmt, width, height, quality), "other", fmt)


def archive(name, fmt, size):
    return Item(name, ("archive", fmt, size), "other", fmt)


def pdf(name, size):
    return Item(name, ("pdf", size), "other", "pdf")


def ooxml(name, size):
    return Item(name, ("ooxml", size), "other", "ooxml")


def media(name, fmt, seconds, note=None):
    return Item(name, ("media", fmt, seconds), "other", fmt, note=note)


def drawing(name, fmt, size):
    note = "made by zip around a drawing put together by hand" if fmt == "zipcdr" \
        else "put together by hand from the format's layout"
    return Item(name, ("drawing", fmt, size), "other", fmt, note=note)


def blob(name, size):
    return Item(name, ("blob", size), "other", "bin")


def zeros(name, size):
    """A file of zeros, kept sparse on the host (the large case's spacer)."""
    return Item(name, ("zeros", size), "other", "bin")


def around_deleted(pairs, cluster_sectors, wrap=False):
    """Steps that leave each compound file in two fragments with one deleted neighbour between.

    Placeholders are written in front of and behind every neighbour, sized so
    that each compound file fills the second half of the hole before its
    neighbour and the first half of the hole after it: the files, written in
    order once the placeholders are gone, fill the holes exactly. The last one
    ends in the free space behind the last neighbour. With `wrap` (FAT32) the
    volume is filled up first, so that the next-free hint starts again at the
    front. Returns the steps and the names the loss deletes (everything).
    """
    cluster = cluster_sectors * SECTOR
    steps, holes = [], []
    if wrap:
        # The FAT32 root directory is a chain of clusters that grows as entries
        # are added; grown in the middle of the chain it would take a cluster
        # next to a neighbour. Empty files with long names (no data clusters)
        # grow it to its final size first; their slots are free again at once.
        reserve = [Item(f"~reserved-slot-{i:02d}.tmp", ("blob", 0)) for i in range(4 * len(pairs))]
        steps += [("write", r) for r in reserve] + [("delete", r.name) for r in reserve]
    previous = None
    for i, (db, neighbour) in enumerate(pairs):
        neighbour.clean_inside = True
        parts = ([(previous, "tail")] if previous else []) + [(db, "head")]
        # A long name takes three directory slots, which the database's name can
        # take over once the placeholder is deleted: on FAT32 the root directory
        # then need not grow into a hole.
        hole = Item(f"~placeholder-{i:02d}.tmp", ("gap", parts, cluster))
        steps += [("write", hole), ("write", neighbour)]
        holes.append(hole.name)
        previous = db
    if wrap:
        steps.append(("fill", "FILLER.BIN"))
        holes.append("FILLER.BIN")
    steps += [("delete", h) for h in holes]
    steps += [("write", db) for db, _ in pairs]
    return steps, [db.name for db, _ in pairs] + [n.name for _, n in pairs]


def cases():
    c = []
    c.append(Case(
        "fat16-deleted", "QQ databases in one piece on FAT16 (2 KiB clusters), deleted with mdel",
        "FAT16", 24, 4, "deleted",
        [("write", picture("IMG_0001.jpg", "jpg", 640, 480)),
         ("write", qq("Msg2.0.db", 2 * MIB)),
         ("write", archive("notes.zip", "zip", 120 * KIB)),
         ("write", qq("Msg3.0.db", 6 * KIB)),
         ("write", compound("Registry.db", 96 * KIB, "matrix-only")),
         ("write", picture("chart.png", "png", 300, 200)),
         ("write", pdf("report.pdf", 60 * KIB))],
        lose=["Msg2.0.db", "Msg3.0.db", "Registry.db", "IMG_0001.jpg"]))
    c.append(Case(
        "fat32-deleted", "a 12 MiB database (with DIFAT sectors) and a small one on FAT32, deleted",
        "FAT32", 40, 1, "deleted",
        [("write", archive("photos.7z", "7z", 300 * KIB)),
         ("write", qq("Msg2.0.db", 12 * MIB)),
         ("write", picture("holiday.jpg", "jpg", 800, 600)),
         ("write", compound("Thumbs.db", 200 * KIB, "neither")),
         ("write", archive("setup.cab", "cab", 150 * KIB)),
         ("write", qq("Backup.db", 600 * KIB))],
        lose=["Msg2.0.db", "Thumbs.db", "Backup.db"]))
    c.append(Case(
        "ntfs-deleted", "QQ databases in one piece on NTFS, removed in the ntfs-3g mount",
        "NTFS", 64, 8, "deleted",
        [("write", picture("photo.jpg", "jpg", 640, 480)),
         ("write", qq("Msg2.0.db", 5 * MIB)),
         ("write", compound("Info.db", 80 * KIB, "lowercase")),
         ("write", archive("docs.zip", "zip", 200 * KIB)),
         ("write", picture("chart.png", "png", 320, 240)),
         ("write", qq("Msg3.0.db", 40 * KIB))],
        lose=["Msg2.0.db", "Msg3.0.db", "Info.db"]))
    c.append(Case(
        "fat32-formatted", "FAT32 volume formatted again with mkfs.vfat over its old contents",
        "FAT32", 40, 1, "formatted",
        [("write", picture("DSC0042.jpg", "jpg", 640, 480)),
         ("write", qq("Msg2.0.db", 3 * MIB)),
         ("write", compound("Thumbs.db", 120 * KIB, "neither")),
         ("write", pdf("invoice.pdf", 80 * KIB)),
         ("write", archive("backup.7z", "7z", 200 * KIB))]))
    c.append(Case(
        "ntfs-formatted", "NTFS volume quick-formatted again (mkfs.ntfs -f) over a 24 MiB database",
        "NTFS", 64, 8, "formatted",
        [("write", qq("Msg2.0.db", 24 * MIB)),
         ("write", archive("work.zip", "zip", 300 * KIB)),
         ("write", picture("scan.png", "png", 400, 300)),
         ("write", compound("Registry.db", 150 * KIB, "matrix-only")),
         ("write", archive("drivers.cab", "cab", 100 * KIB))]))
    # FAT32: mtools allocates from the FSInfo next-free hint, which only moves
    # forward. The volume is filled to the last cluster once, so the hint wraps
    # round and the databases fill the holes left by deleted placeholders.
    c.append(Case(
        "fat32-frag-allocated",
        "several deleted databases on FAT32, two of them fragmented around files that are still allocated",
        "FAT32", 40, 1, "deleted",
        [("write", picture("cover.jpg", "jpg", 320, 240)),
         ("write", qq("Msg2.0.db", 1 * MIB)),
         ("write", blob("~tmp1.tmp", 200 * KIB)),
         ("write", archive("keep.zip", "zip", 120 * KIB)),
         ("write", blob("~tmp2.tmp", 300 * KIB)),
         ("write", picture("keep.png", "png", 300, 200)),
         ("write", blob("~tmp3.tmp", 150 * KIB)),
         ("write", pdf("keep.pdf", 90 * KIB)),
         ("write", blob("~tmp4.tmp", 250 * KIB)),
         ("write", archive("keep.cab", "cab", 80 * KIB)),
         ("fill", "FILLER.BIN"),
         ("delete", "~tmp1.tmp"), ("delete", "~tmp2.tmp"), ("delete", "~tmp3.tmp"),
         ("delete", "~tmp4.tmp"), ("delete", "FILLER.BIN"),
         ("write", qq("Friends.db", 600 * KIB, "free-only")),
         ("write", qq("Group.db", 1200 * KIB, "free-only")),
         ("write", compound("Settings.db", 64 * KIB, "matrix-only"))],
        lose=["Msg2.0.db", "Friends.db", "Group.db", "Settings.db"],
        rescue_options=["--free-only"]))
    # FAT16: mtools takes the first free cluster, so holes fill up in order.
    c.append(Case(
        "fat16-frag-allocated",
        "a deleted database and a plain compound file fragmented around allocated files on FAT16",
        "FAT16", 16, 2, "deleted",
        [("write", blob("~a.tmp", 100 * KIB)),
         ("write", picture("keep1.jpg", "jpg", 400, 300)),
         ("write", blob("~b.tmp", 64 * KIB)),
         ("write", archive("keep2.7z", "7z", 90 * KIB)),
         ("write", blob("~c.tmp", 40 * KIB)),
         ("write", pdf("keep3.pdf", 50 * KIB)),
         ("delete", "~a.tmp"), ("delete", "~b.tmp"), ("delete", "~c.tmp"),
         ("write", qq("Msg2.0.db", 170 * KIB, "free-only")),
         ("write", compound("Other.db", 40 * KIB, "neither"))],
        lose=["Msg2.0.db", "Other.db"],
        rescue_options=["--free-only"]))
    c.append(Case(
        "fat16-frag-deleted",
        "databases fragmented around ZIP and JPEG files that were deleted as well (FAT16)",
        "FAT16", 16, 2, "deleted",
        [("write", picture("keep.png", "png", 200, 150)),
         ("write", blob("~a.tmp", 80 * KIB)),
         ("write", picture("photo.jpg", "jpg", 500, 400)),
         ("write", blob("~b.tmp", 60 * KIB)),
         ("write", archive("bundle.zip", "zip", 100 * KIB)),
         ("write", blob("~c.tmp", 30 * KIB)),
         ("write", picture("snap.jpg", "jpg", 300, 200)),
         ("delete", "~a.tmp"), ("delete", "~b.tmp"), ("delete", "~c.tmp"),
         ("write", qq("Msg2.0.db", 100 * KIB, "later", ["jpg"])),
         ("write", qq("Msg3.0.db", 60 * KIB, "later", ["jpg", "zip"])),
         ("write", compound("Thumbs.db", 30 * KIB, "neither"))],
        lose=["Msg2.0.db", "Msg3.0.db", "Thumbs.db", "photo.jpg", "bundle.zip", "snap.jpg"]))
    # Each database lies around one deleted file of one format, so that each
    # carver, once it claims its files, turns exactly its databases into must-pass.
    steps, lose = around_deleted([
        (qq("Msg_jpg.db", 150 * KIB, "later", ["jpg"]), picture("photo.jpg", "jpg", 640, 480)),
        (qq("Msg_bmp.db", 120 * KIB, "later", ["bmp"]), picture("scan.bmp", "bmp", 320, 200)),
        (qq("Msg_png.db", 200 * KIB, "later", ["png"]), picture("chart.png", "png", 300, 220)),
        (qq("Msg_tif.db", 90 * KIB, "later", ["tiff"]), picture("fax.tif", "tiff", 280, 200)),
        (compound("Thumbs.db", 60 * KIB, "neither"), picture("snap.jpg", "jpg", 400, 300)),
    ], cluster_sectors=2)
    c.append(Case(
        "fat16-frag-deleted-pictures",
        "databases fragmented around deleted JPEG, BMP, PNG and TIFF pictures, one format each (FAT16)",
        "FAT16", 16, 2, "deleted", steps, lose=lose))
    steps, lose = around_deleted([
        (qq("Msg_pdf.db", 120 * KIB, "later", ["pdf"]), pdf("invoice.pdf", 90 * KIB)),
        (qq("Msg_zip.db", 160 * KIB, "later", ["zip"]), archive("photos.zip", "zip", 150 * KIB)),
        (qq("Msg_docx.db", 100 * KIB, "later", ["ooxml"]), ooxml("report.docx", 120 * KIB)),
        (qq("Msg_cab.db", 140 * KIB, "later", ["cab"]), archive("driver.cab", "cab", 110 * KIB)),
        (qq("Msg_7z.db", 110 * KIB, "later", ["7z"],
            note="7z here writes format version 0.4, which the scan takes for a 7z start"),
         archive("backup.7z", "7z", 130 * KIB)),
    ], cluster_sectors=4)
    c.append(Case(
        "fat16-frag-deleted-archives",
        "databases fragmented around a deleted PDF, ZIP, OOXML, CAB and 7z file, one each (FAT16)",
        "FAT16", 16, 4, "deleted", steps, lose=lose))
    steps, lose = around_deleted([
        (qq("Msg_avi.db", 150 * KIB, "later", ["avi"]), media("clip.avi", "avi", 2)),
        (qq("Msg_wav.db", 100 * KIB, "later", ["wav"]), media("voice.wav", "wav", 3)),
        (qq("Msg_mp4.db", 180 * KIB, "later", ["mp4"]), media("video.mp4", "mp4", 3)),
        (qq("Msg_3gp.db", 90 * KIB, "later", ["3gp"]), media("phone.3gp", "3gp", 4)),
        (qq("Msg_mov.db", 130 * KIB, "later", ["mov"]), media("camera.mov", "mov", 3)),
        (qq("Msg_wmv.db", 110 * KIB, "later", ["wmv"]), media("movie.wmv", "wmv", 3)),
        (qq("Msg_wma.db", 70 * KIB, "later", ["wma"]), media("song.wma", "wma", 5)),
        (qq("Msg_mpg.db", 160 * KIB, "later", ["mpg"]), media("dvd.mpg", "mpg", 3)),
        (qq("Msg_m2ts.db", 120 * KIB, "later", ["m2ts"]),
         media("cam.m2ts", "m2ts", 3, note="first 4-byte packet prefix set to 0 after ffmpeg "
                                           "(arrival time stamp of the first packet)")),
    ], cluster_sectors=1, wrap=True)
    c.append(Case(
        "fat32-frag-deleted-media",
        "databases fragmented around deleted AVI, WAV, MP4, 3GP, MOV, WMV, WMA, MPEG and M2TS clips (FAT32)",
        "FAT32", 40, 1, "deleted", steps, lose=lose))
    steps, lose = around_deleted([
        (qq("Msg_x3f.db", 120 * KIB, "later", ["x3f"]), drawing("DSC0001.X3F", "x3f", 150 * KIB)),
        (qq("Msg_raf.db", 100 * KIB, "later", ["raf"]), drawing("DSCF0002.RAF", "raf", 130 * KIB)),
        (qq("Msg_rar.db", 90 * KIB, "later", ["rar"]), drawing("backup.rar", "rar", 110 * KIB)),
        (qq("Msg_ani.db", 80 * KIB, "later", ["ani"]), drawing("busy.ani", "ani", 60 * KIB)),
        (qq("Msg_cdxa.db", 110 * KIB, "later", ["cdxa"]), drawing("track01.dat", "cdxa", 140 * KIB)),
        (qq("Msg_cdr.db", 100 * KIB, "later", ["cdr"]), drawing("logo.cdr", "cdr", 90 * KIB)),
        (qq("Msg_zipcdr.db", 130 * KIB, "later", ["zipcdr"]),
         drawing("poster.cdr", "zipcdr", 120 * KIB)),
    ], cluster_sectors=4)
    c.append(Case(
        "fat16-frag-deleted-raw-and-drawings",
        "databases fragmented around deleted X3F and RAF raw files, a RAR archive, an animated "
        "cursor, a CD-XA track and RIFF and ZIP CorelDRAW drawings (FAT16)",
        "FAT16", 16, 4, "deleted", steps, lose=lose))
    c.append(Case(
        "large", "a 2 GiB FAT32 image (sparse) with a few deleted databases, for the benchmark",
        "FAT32", 2048, 8, "deleted",
        [("write", qq("Msg2.0.db", 40 * MIB)),
         ("write", archive("old.zip", "zip", 2 * MIB)),
         ("write", zeros("ZEROS.BIN", 1200 * MIB)),
         ("write", qq("Backup.db", 8 * MIB)),
         ("write", compound("Thumbs.db", 1 * MIB, "neither")),
         ("write", qq("Msg3.0.db", 1 * MIB)),
         ("write", picture("photo.jpg", "jpg", 1600, 1200))],
        lose=["Msg2.0.db", "ZEROS.BIN", "Backup.db", "Thumbs.db", "Msg3.0.db"],
        on_request=True))
    c += still_cases()
    c.extend(stream_cases())
    c += reassembly_cases()
    c += gap_cases()
    c += reformat_cases()
    c += long_lived_cases()
    c.append(large_pieces_case())
    return c


# ---------------------------------------------------------------------------
# Pictures, archives and documents as today's tools write them, and a FAT32
# volume left as mkfs.vfat made it and then unmounted uncleanly

START_CODES["gif"] = (3,)
FAT_AS_MKFS_WRITES_IT = {"fat32-vfat-dirty-frag-allocated"}


def still(name, fmt, variant, size=0):
    return Item(name, ("still", variant, size), "other", fmt)


def still_cases():
    c = []
    steps, lose = around_deleted([
        (qq("Msg_pngmeta.db", 120 * KIB, "later", ["png"]), still("chart.png", "png", "png-meta")),
        (qq("Msg_apng.db", 100 * KIB, "later", ["png"]), still("smile.png", "png", "apng")),
        (qq("Msg_gif.db", 110 * KIB, "later", ["gif"]), still("wave.gif", "gif", "gif-animated")),
        (qq("Msg_gif87.db", 90 * KIB, "later", ["gif"]), still("logo.gif", "gif", "gif87-interlaced")),
        (qq("Msg_7zplain.db", 130 * KIB, "later", ["7z"]),
         still("backup.7z", "7z", "7z-plain-header", 120 * KIB)),
        (qq("Msg_pdfupd.db", 100 * KIB, "later", ["pdf"]),
         still("signed.pdf", "pdf", "pdf-stream-update", 80 * KIB)),
    ], cluster_sectors=4)
    c.append(Case(
        "fat16-frag-deleted-still",
        "databases fragmented around a deleted PNG with its metadata chunks, an APNG, an animated "
        "GIF, an interlaced GIF87a, a 7z with a plain header and a PDF whose update starts with "
        "an object (FAT16)",
        "FAT16", 16, 4, "deleted", steps, lose=lose))
    c.append(Case(
        "fat32-vfat-dirty-frag-allocated",
        "databases fragmented around allocated files on a FAT32 volume as mkfs.vfat formats it, "
        "left dirty (FAT entry 1 07FFFFFF)",
        "FAT32", 40, 1, "deleted",
        [("write", blob("~tmp1.tmp", 150 * KIB)),
         ("write", still("keep.gif", "gif", "gif-animated")),
         ("write", blob("~tmp2.tmp", 200 * KIB)),
         ("write", still("keep.7z", "7z", "7z-plain-header", 100 * KIB)),
         ("write", blob("~tmp3.tmp", 120 * KIB)),
         ("fill", "FILLER.BIN"),
         ("delete", "~tmp1.tmp"), ("delete", "~tmp2.tmp"), ("delete", "~tmp3.tmp"),
         ("delete", "FILLER.BIN"),
         ("write", qq("Msg2.0.db", 300 * KIB, "free-only")),
         ("write", qq("Group.db", 180 * KIB, "free-only"))],
        lose=["Msg2.0.db", "Group.db"],
        rescue_options=["--free-only"]))
    return c


class FatAsMkfsWritesIt(FatVolume):
    """FAT entry 1 as mkfs.vfat leaves it (0FFFFFFF), then with the clean-shutdown bit clear."""

    def format(self):
        if not os.path.exists(self.image):
            with open(self.image, "wb") as f:
                f.truncate(self.size)
        run(["mkfs.vfat", "-F", str(self.bits), "-S", "512", "-s", str(self.cluster_sectors),
             "--invariant", "-n", "TARNCORPUS", self.image])
        with open(self.image, "r+b") as f:
            boot = f.read(512)
            reserved, fats = int.from_bytes(boot[14:16], "little"), boot[16]
            fat_sectors = int.from_bytes(boot[36:40], "little")
            for k in range(fats):
                f.seek((reserved + k * fat_sectors) * SECTOR + 4)
                if f.read(4) != b"\xff\xff\xff\x0f":
                    raise BuildError("mkfs.vfat wrote another FAT entry 1")
                f.seek(-4, os.SEEK_CUR)
                f.write(b"\xff\xff\xff\x07")


def still_file(rng, work, variant, size):
    seed = str(rng.randint(1, 2**31 - 1))
    out = os.path.join(work, "still.bin")
    if variant == "png-meta":
        # ImageMagick's usual chunks (bKGD, pHYs, a comment in tEXt) without its
        # time stamps, so that the same seed gives the same file.
        run([CONVERT, "-seed", seed, "-size", "260x200", "plasma:fractal", "-set", "comment",
             "saved for the chat", "-density", "96", "-units", "PixelsPerInch",
             "-define", "png:exclude-chunks=date,time", "PNG:" + out])
    elif variant == "apng":
        run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1",
             "-f", "lavfi", "-i", f"testsrc2=size=96x72:rate=5:duration=2,"
             f"noise=alls=20:allf=t:all_seed={seed}", "-plays", "0", "-fflags", "+bitexact",
             "-f", "apng", out])
    elif variant == "gif-animated":
        frames = []
        for colours in ("red-blue", "green-yellow", "blue-white", "black-orange"):
            frames += ["-seed", str(rng.randint(1, 2**31 - 1)), f"plasma:{colours}"]
        run([CONVERT, "-delay", "10", "-size", "120x90"] + frames +
            ["-loop", "0", "-set", "comment", "an emoticon", "GIF:" + out])
    elif variant == "gif87-interlaced":
        run([CONVERT, "-seed", seed, "-size", "240x160", "plasma:fractal", "-interlace", "GIF",
             "GIF87:" + out])
    elif variant == "7z-plain-header":
        folder, names = member_files(rng, work, rng.randint(2, 4), max(256, size // 3))
        run(["7z", "a", "-bd", "-bso0", "-mx=9", "-mhc=off", "-mtc=off", "-mta=off", out] + names,
            cwd=folder)
        shutil.rmtree(folder)
    elif variant == "pdf-stream-update":
        return pdf_with_stream_update(rng, work, size)
    else:
        raise ValueError(variant)
    with open(out, "rb") as f:
        data = f.read()
    os.remove(out)
    return data


def pdf_with_stream_update(rng, work, size):
    """qpdf's document with a cross-reference stream, and an incremental update appended by hand
    (no tool here writes one): a new object and the update's cross-reference stream."""
    src = os.path.join(work, "base.pdf")
    out = os.path.join(work, "streams.pdf")
    with open(src, "wb") as f:
        f.write(pdf_file(rng, work, size))
    run(["qpdf", "--deterministic-id", "--object-streams=generate", src, out])
    with open(out, "rb") as f:
        base = f.read()
    os.remove(src)
    os.remove(out)
    prev = int(re.findall(rb"startxref\s+(\d+)", base)[-1])
    count = int(re.findall(rb"/Size (\d+)", base)[-1])
    root = re.findall(rb"/Root (\d+ \d+ R)", base)[-1]
    info = b"%d 0 obj\n<< /Title (Chat export, second edition) >>\nendobj\n" % count
    info_at, xref_at = len(base), len(base) + len(info)
    entries = b"".join(b"\x01" + at.to_bytes(4, "big") + b"\x00" for at in (info_at, xref_at))
    xref = (b"%d 0 obj\n<< /Type /XRef /Size %d /Index [%d 2] /W [1 4 1] /Root %s /Info %d 0 R "
            b"/Prev %d /Length %d >>\nstream\n" % (count + 1, count + 2, count, root, count, prev,
                                                    len(entries))
            + entries + b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % xref_at)
    data = base + info + xref
    check = os.path.join(work, "check.pdf")
    with open(check, "wb") as f:
        f.write(data)
    run(["qpdf", "--check", check])
    os.remove(check)
    return data


def stream_cases():
    """Databases around deleted MP3s, an MPEG-2 program stream and transport streams."""
    steps, lose = around_deleted([
        (qq("Msg_mp3.db", 90 * KIB, "later", ["mp3"]), media("song.mp3", "mp3", 4)),
        (qq("Msg_voice.db", 70 * KIB, "later", ["mp3"]),
         Item("voice.mp3", ("media", "mp3-voice", 6), "other", "mp3",
              note="mono, variable bit rate, no ID3 tag")),
        (qq("Msg_vob.db", 150 * KIB, "later", ["vob"]), media("VTS_01_1.VOB", "vob", 3)),
        (qq("Msg_ts.db", 120 * KIB, "later", ["ts"]), media("record.ts", "ts", 3)),
        (qq("Msg_mts.db", 110 * KIB, "later", ["mts"]),
         media("00001.MTS", "mts", 3, note="192-byte packets, first arrival time as ffmpeg wrote "
                                          "it (not 0)")),
    ], cluster_sectors=4)
    return [Case(
        "fat16-frag-deleted-streams",
        "databases fragmented around a deleted MP3 with an ID3 tag, an MP3 voice message "
        "without one, a DVD-style MPEG-2 program stream, a 188-byte transport stream and an "
        "M2TS whose clock does not start at 0 (FAT16)",
        "FAT16", 16, 4, "deleted", steps, lose=lose)]


def make_bytes(item, rng, work, case_name):
    """The item's bytes, made once (a gap placeholder may need a database's size before it is written)."""
    if item.data is None:
        item.data = new_bytes(item, rng, work, case_name)
    return item.data


def clusters_of(size, cluster_bytes):
    return (size + cluster_bytes - 1) // cluster_bytes


def new_bytes(item, rng, work, case_name):
    recipe = item.make
    what = recipe[0]
    if what == "blob":
        return rng.randbytes(recipe[1])
    if what == "gap":
        # Room for the halves of the named files: the first half (rounded down)
        # of a file's clusters as "head", the rest as "tail".
        _, parts, cluster_bytes = recipe
        clusters = 0
        for other, half in parts:
            n = clusters_of(len(make_bytes(other, rng, work, case_name)), cluster_bytes)
            clusters += n // 2 if half == "head" else n - n // 2
        return rng.randbytes(clusters * cluster_bytes)
    if what in ("qq", "compound"):
        for attempt in range(8):
            tree = qq_tree(rng, recipe[1]) if what == "qq" else plain_tree(rng, recipe[1], recipe[2])
            data = make_compound(rng, work, tree, f"{case_name}-{attempt}")
            if not inner_signature_hits(data):
                item.tree = tree
                return data
        raise BuildError(f"{item.name}: every attempt had a file signature at a sector start")
    if what == "text":
        return text_file(rng, recipe[1], recipe[2])
    if what in EXTRA_MAKERS:
        return EXTRA_MAKERS[what](item, rng, work, recipe)
    if what == "qqlong":
        streams = ole_writer.qq_streams(rng, recipe[1])
        item.tree = nested_tree(streams)
        return ole_writer.write_compound(streams, seed=rng.randrange(1 << 30))
    makers = {
        "picture": lambda: image_file(rng, work, recipe[1], recipe[2], recipe[3], recipe[4]),
        "archive": lambda: archive_file(rng, work, recipe[1], recipe[2]),
        "pdf": lambda: pdf_file(rng, work, recipe[1]),
        "ooxml": lambda: ooxml_file(rng, work, recipe[1]),
        "media": lambda: media_file(rng, work, recipe[1], recipe[2]),
        "still": lambda: still_file(rng, work, recipe[1], recipe[2]),
        "drawing": lambda: drawing_file(rng, work, recipe[1], recipe[2]),
    }
    # A sector inside a neighbour that the scan would take for a file start would
    # be carved before the neighbour itself and cut it: such a neighbour is made
    # again from new random input.
    for _ in range(8):
        data = makers[what]()
        if not item.clean_inside or not [
                hit for hit in inner_starts(data)
                if hit[1] not in STREAM_CONTINUATIONS.get(item.fmt, ())]:
            return data
    raise BuildError(f"{item.name}: every attempt had a file start inside it")


def make_volume(case, image, work):
    if case.fs == "exFAT":
        return ExFatVolume(image, case.size_mib * MIB, work, case.cluster_sectors)
    if case.fs == "NTFS":
        return NtfsVolume(image, case.size_mib * MIB, work,
                          case.cluster_sectors * SECTOR if case.cluster_sectors != 8 else None)
    if case.name in FAT_AS_MKFS_WRITES_IT:
        return FatAsMkfsWritesIt(image, int(case.fs[3:]), case.size_mib * MIB, case.cluster_sectors)
    return FatVolume(image, int(case.fs[3:]), case.size_mib * MIB, case.cluster_sectors)


def fill_volume(volume, name, work):
    """Writes a zero file over every free cluster left, so the next-free hint ends at the last cluster."""
    free = volume.free_bytes()
    if not free:
        raise BuildError("no free space to fill")
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.truncate(free)
    # Its directory entry may outlive the deletion: the same time stamp every build.
    os.utime(path, (FIXED_MTIME, FIXED_MTIME))
    volume.write(path, name)
    os.remove(path)
    if volume.free_bytes():
        raise BuildError(f"{name} did not fill the volume")


def fill_volume_random(volume, name, work, rng):
    """Writes random bytes over every free cluster: what earlier files leave in the clusters
    (and so in the slack behind the end of every file written after it is deleted)."""
    free = volume.free_bytes()
    if free is None:
        # FAT12 and FAT16 keep no free count: on the empty volume every cluster is free.
        stat = fsstat(volume.image)
        first, last = (int(v) for v in stat["Total Cluster Range"].split(" - "))
        free = (last - first + 1) * int(stat["Cluster Size"])
    if not free:
        raise BuildError("no free space to fill")
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(rng.randbytes(free))
    os.utime(path, (FIXED_MTIME, FIXED_MTIME))
    volume.write(path, name)
    os.remove(path)


def run_steps(case, volume, rng, work, originals, written):
    with volume.session():
        for step in case.steps:
            action, arg = step
            if action == "write":
                path = os.path.join(originals, arg.name)
                with open(path, "wb") as f:
                    if arg.make[0] == "zeros":
                        f.truncate(arg.make[1])
                    else:
                        f.write(make_bytes(arg, rng, work, case.name))
                os.utime(path, (FIXED_MTIME, FIXED_MTIME))
                volume.write(path, arg.name)
                written[arg.name] = (arg, path)
            elif action == "delete":
                volume.delete(arg)
                # Placeholders and fillers are gone before the loss: no original to keep.
                if arg in written:
                    written.pop(arg)
                    os.remove(os.path.join(originals, arg))
            elif action == "fill":
                fill_volume(volume, arg, work)
            elif action == "fill_random":
                fill_volume_random(volume, arg, work, rng)
            elif action == "hint_at":
                hint_at(volume, arg)
            elif action == "hint_front":
                # The next allocation starts from the first free cluster again.
                set_fat32_next_free(volume.image, 2)
            elif action == "interleave":
                write_interleaved(case, volume, arg, rng, work, originals, written)
            else:
                raise ValueError(action)


def describe_file(case, image, layout, item, path, inode):
    size = os.path.getsize(path)
    entry = {"name": item.name, "size": size, "sha256": sha256_of_file(path), "kind": item.kind,
             "format": item.fmt, "inode": inode}
    frags = image_fragments(image, case.fs, inode, size, layout)
    if hash_runs(image, frags, size) != entry["sha256"]:
        raise BuildError(f"{case.name}/{item.name}: bytes at {frags} differ from the file")
    entry["fragments"] = frags
    entry["fragmented"] = len(frags) > 1
    if item.note:
        entry["note"] = item.note
    if item.placement:
        entry["placement"] = item.placement
    if item.pending:
        entry["pending"] = item.pending
    if item.fmt in START_CODES and item.fmt != "ole":
        with open(path, "rb") as f:
            head = f.read(SECTOR).ljust(SECTOR, b"\0")
        entry["start_code"] = start_code(head)
        with open(path, "rb") as f:
            entry["inner_starts"] = [[off // SECTOR, code] for off, code in inner_starts(f.read())]
        if item.fmt == "7z":
            entry["format_version"] = f"{head[6]}.{head[7]}"
        if entry["start_code"] not in START_CODES[item.fmt]:
            raise BuildError(f"{item.name}: its first sector classifies as {entry['start_code']}, "
                             f"not as {START_CODES[item.fmt]}")
    if item.fmt == "ole":
        with open(path, "rb") as f:
            view = compound_view(f.read())
        view["olefile_sector_size"] = check_with_olefile(path, item.tree)
        if view["qq"] != (item.kind == "qq"):
            raise BuildError(f"{item.name}: carver name count {view['qq_name_count']} "
                             f"does not fit kind {item.kind}")
        entry["streams"] = ["/".join(p) for p in tree_paths(item.tree)]
        entry["has_matrix_dat"] = "Matrix.dat" in item.tree
        entry["has_seqbase_dat"] = "seqbase.dat" in item.tree
        entry["compound"] = view
        entry["streams_look_encrypted"] = streams_look_encrypted(item.data)
    return entry


def record_before_loss(case, image, written):
    if case.fs == "exFAT":
        return exfat_record(case, image, written)
    layout = layout_of(image, case.fs)
    by_name = {e["name"].lstrip("/"): e for e in fls_entries(image) if not e["deleted"]}
    files = []
    for name, (item, path) in written.items():
        if name not in by_name:
            raise BuildError(f"{case.name}: fls does not list {name}")
        files.append(describe_file(case, image, layout, item, path, by_name[name]["inode"]))
    return layout, files


def apply_loss(case, volume):
    if case.reformat:
        return format_over(case, volume)
    if case.loss == "formatted":
        volume.format()
        return ("mkfs.vfat run again with the same options (data area not zeroed)"
                if case.fs != "NTFS" else "mkfs.ntfs -f -q run again (quick format)")
    with volume.session():
        for name in case.lose:
            volume.delete(name)
    return ("mdel " if case.fs != "NTFS" else "rm in the ntfs-3g mount: ") + ", ".join(case.lose)


def owners_of(files, first, last):
    owners = []
    for f in files:
        if any(a <= last and b >= first for a, b in f["fragments"]):
            owners.append(f["name"])
    return owners


def verify_after_loss(case, image, layout, files):
    """Checks with TSK that the loss did what the case says, and marks what a rescue can expect."""
    if case.reformat and case.reformat[-1][0] == "exFAT":
        # The Sleuth Kit here loops on some exFAT volumes: a fresh one lists
        # nothing and allocates only its own tables.
        live, deleted, unit, allocated = {}, set(), "Sector", exfat_table_sectors(image)
    elif case.fs == "exFAT" and not case.reformat:
        live, deleted, unit, allocated = {}, set(), "Sector", exfat_allocated_sectors(image)
    else:
        # On NTFS a folder's index may still hold the name of a file whose record
        # is free: fls shows it as live, ils knows better.
        present = case.reformat[-1][0] if case.reformat else case.fs
        free = unallocated_records(image) if present == "NTFS" else set()
        live = {e["inode"]: e for e in fls_entries(image)
                if not e["deleted"] and e["inode"].split("-")[0] not in free}
        deleted = {e["inode"] for e in fls_entries(image, deleted_only=True)}
        unit, allocated = allocated_units(image)
    live_names = {e["name"].lstrip("/") for e in live.values()}
    # Clusters of the file system in place after the loss, which may be another.
    per_unit = (int(fsstat(image)["Cluster Size"]) if case.reformat else layout["cluster_bytes"]) \
        // SECTOR if unit == "Cluster" else 1

    def sector_allocated(s):
        return (s // per_unit) in allocated

    for f in files:
        lost = case.loss == "formatted" or f["name"] in case.lose
        if case.loss == "formatted":
            if f["name"] in live_names:
                raise BuildError(f"{f['name']} still listed after the format")
            f["state_after_loss"] = "formatted"
        elif lost and case.fs == "exFAT":
            # Only exfat-fuse's own word that it deleted the file: its clusters are checked free below.
            f["state_after_loss"] = "deleted"
        elif f["name"] in case.zero_records:
            # Its record is zeros now: nothing the file system keeps names it.
            f["state_after_loss"] = "deleted"
            f["record_zeroed"] = True
            f["record_gives_layout"] = False
        elif lost:
            if f["inode"] in live and live[f["inode"]]["name"].lstrip("/") == f["name"]:
                raise BuildError(f"{f['name']} is still allocated after the loss")
            if f["inode"] not in deleted and f["inode"].split("-")[0] not in free:
                raise BuildError(f"fls -d does not list {f['name']} ({f['inode']}) as deleted")
            f["state_after_loss"] = "deleted"
            if case.fs == "NTFS":
                f["record_gives_layout"] = record_gives_layout(image, layout, f)
        else:
            if f["name"] not in live_names:
                raise BuildError(f"{f['name']} should have stayed allocated")
            f["state_after_loss"] = "allocated"
        f["intact_after_loss"] = hash_runs(image, f["fragments"], f["size"]) == f["sha256"]
        if not f["intact_after_loss"] and f["format"] == "ole":
            f["streams_intact"] = surviving_streams(image, f)
        f["sectors_free_after_loss"] = not any(
            sector_allocated(s) for a, b in f["fragments"] for s in range(a, b + 1))
        f["gaps"] = []
        pairs = list(zip(f["fragments"], f["fragments"][1:]))
        # A fragment that lies before its predecessor cannot be followed by reading onwards.
        f["fragments_ascending"] = all(a1 < b0 for (_, a1), (b0, _) in pairs)
        # One step back, as an allocator that reaches the volume's end and goes
        # on at its front: the gap runs to the end and on from the cluster area.
        f["wraps"] = wraps_once(f["fragments"], layout) is not None
        for gap in gaps_of(f["fragments"], layout, image) if f["wraps"] or f["fragments_ascending"] else []:
            gap_allocated = all(sector_allocated(s) for s in range(gap[0], gap[1] + 1))
            f["gaps"].append({"sectors": gap, "occupied_by": owners_of(files, *gap),
                              "allocated_after_loss": gap_allocated})
    by_name = {f["name"]: f for f in files}
    for f in files:
        if f["kind"] != "qq":
            f["expected"] = None
            continue
        f["expected"], needs = expectation_of(f, by_name, layout)
        if f["expected"] == "later":
            f["needs"] = needs
            f["needs_free_only"] = any(g["allocated_after_loss"] for g in f["gaps"])


# Formats whose carvers claim a file's sectors (and the rest of its last cluster).
CLAIMED_FORMATS = set(START_CODES) - {"ole"}


def gap_claimed_by(gap, owners, layout):
    """True when every cluster of the gap holds part of one of the owners.

    A carver claims its file's sectors and the rest of the cluster the file ends
    in, so a gap is stepped over whole only when no cluster of it is free."""
    start, per = layout["cluster_area_start"], layout["cluster_bytes"] // SECTOR

    def cluster(sector):
        return (sector - start) // per

    covered = set()
    for o in owners:
        for first, last in o["fragments"]:
            covered.update(range(cluster(first), cluster(last) + 1))
    return all(c in covered for c in range(cluster(gap[0]), cluster(gap[1]) + 1))


def expectation_of(f, by_name, layout):
    """What a rescue can give back: always, free-only (needs --free-only), later, or never.

    For later, also the formats whose carvers must claim the deleted neighbours first."""
    if f["state_after_loss"] == "allocated":
        return "never", []
    if not f["intact_after_loss"]:
        return ("damaged" if f.get("streams_intact") else "never"), []
    if f.get("placement") == "interleaved":
        return "either", []
    if not f["fragmented"] or f.get("record_gives_layout") or f.get("placement") == "own-structure":
        return "always", []
    if not f["fragments_ascending"] and not f.get("wraps"):
        return "never", []
    if all(g["allocated_after_loss"] for g in f["gaps"]):
        return "free-only", []
    needs = set()
    for g in f["gaps"]:
        if g["allocated_after_loss"]:
            continue
        owners = [by_name[o] for o in g["occupied_by"]]
        if owners and all(o["format"] in SELF_EVIDENT_FORMATS for o in owners) \
                and f.get("streams_look_encrypted"):
            continue  # the database's reassembly steps over these itself
        if not owners or layout.get("cluster_area_start") is None:
            return "never", []
        if not all(o["format"] in CLAIMED_FORMATS and o["state_after_loss"] == "deleted"
                   and o["intact_after_loss"] for o in owners):
            return "never", []
        if not gap_claimed_by(g["sectors"], owners, layout):
            return "never", []
        needs.update(o["format"] for o in owners)
    if not needs:
        return ("free-only" if any(g["allocated_after_loss"] for g in f["gaps"]) else "always"), []
    return "later", sorted(needs)


def build_case(case, outdir, seed):
    started = time.monotonic()
    case_dir = os.path.join(outdir, case.name)
    if os.path.exists(case_dir):
        shutil.rmtree(case_dir)
    originals = os.path.join(case_dir, "originals")
    os.makedirs(originals)
    image = os.path.join(case_dir, "image.img")
    work = tempfile.mkdtemp(prefix=f"corpus-{case.name}-")
    try:
        rng = random.Random(f"{seed}:{case.name}")
        for _, step in case.steps:
            for item in step if isinstance(step, tuple) else (step,):
                if isinstance(item, Item):
                    item.data = None
        volume = make_volume(case, image, work)
        volume.format()
        written = {}
        run_steps(case, volume, rng, work, originals, written)
        layout, files = record_before_loss(case, image, written)
        how = apply_loss(case, volume)
        how += overwrite_after_loss(case, volume, image, layout, files, rng, work)
        how += zero_mft_records(case, image, files)
        verify_after_loss(case, image, layout, files)
        if case.verify:
            case.verify(image, layout, files)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if case.repartition:
        how += repartition(case, image, files)
    # Zero runs (a filler, never-written space) need not take room on the host.
    subprocess.run(["fallocate", "--dig-holes", image], check=False)
    manifest = {
        "case": case.name,
        "description": case.description,
        "seed": seed,
        "file_system": case.fs,
        "image": "image.img",
        "image_bytes": os.path.getsize(image),
        "sector_size": SECTOR,
        "cluster_bytes": layout["cluster_bytes"],
        "data_area_start": layout.get("data_area_start"),
        "cluster_area_start": layout.get("cluster_area_start"),
        "loss": {"kind": case.loss, "how": how},
        "rescue_options": case.rescue_options,
        "also_rescue_with": case.also_rescue_with,
        "files": files,
    }
    with open(os.path.join(case_dir, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1, ensure_ascii=False)
        f.write("\n")
    # The manifest stays for inspection even when the image missed what the case meant.
    items = {i.name: i for _, arg in case.steps for i in (arg if isinstance(arg, tuple) else (arg,))
             if isinstance(i, Item)}
    for f in files:
        declared = items[f["name"]].expect
        if f["kind"] == "qq" and declared != f["expected"]:
            raise BuildError(f"{case.name}/{f['name']}: meant to be '{declared}', "
                             f"the image makes it '{f['expected']}'")
        meant = items[f["name"]].needs
        if meant is not None and sorted(meant) != f.get("needs"):
            raise BuildError(f"{case.name}/{f['name']}: meant to wait for {sorted(meant)}, "
                             f"the image makes it wait for {f.get('needs')}")
    return manifest, time.monotonic() - started


def summary_line(manifest, seconds):
    qq_files = [f for f in manifest["files"] if f["kind"] == "qq"]
    parts = [f"{f['name']}({f['size'] // KIB} KiB,{'frag' if f['fragmented'] else 'whole'},"
             f"{f['expected']})" for f in qq_files]
    return (f"{manifest['case']:22} {manifest['file_system']:6} "
            f"{manifest['image_bytes'] // MIB:5} MiB  {seconds:5.1f} s  " + " ".join(parts))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Build disk images with lost QQ databases.")
    parser.add_argument("outdir", nargs="?")
    parser.add_argument("--case", action="append", dest="cases", metavar="NAME",
                        help="build only this case (repeatable); 'large' is built only when named")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--list", action="store_true",
                        help="print the case names, one a line, and exit")
    args = parser.parse_args(argv)
    known = {c.name: c for c in cases()}
    if args.list:
        for c in known.values():
            print(c.name)
        return 0
    if not args.outdir:
        parser.error("OUTDIR is required")
    if args.cases:
        unknown = [n for n in args.cases if n not in known]
        if unknown:
            parser.error(f"unknown case(s): {', '.join(unknown)}")
        chosen = [known[n] for n in args.cases]
    else:
        chosen = [c for c in known.values() if not c.on_request]
    os.makedirs(args.outdir, exist_ok=True)
    total = time.monotonic()
    for case in chosen:
        try:
            manifest, seconds = build_case(case, args.outdir, args.seed)
        except BuildError as err:
            print(f"build_corpus: {case.name}: {err}", file=sys.stderr)
            return 1
        print(summary_line(manifest, seconds))
    print(f"built {len(chosen)} case(s) in {time.monotonic() - total:.1f} s")
    return 0



# ---- Databases that reassemble themselves past files no carver claims ----
#
# Their neighbours are text and log files (ASCII, UTF-8 Chinese, UTF-16) and
# files of zeros: no carver follows them, and the database's reassembly must
# tell their clusters from its own. Some databases are laid out as a
# long-lived program leaves them (ole_writer.py): FAT, directory and mini FAT
# in the middle, chains that jump back and forth.

# Neighbour formats whose bytes the reassembly tells from a database's own.
SELF_EVIDENT_FORMATS = {"log", "txt", "utf16", "zero"}


def text_file(rng, variant, size):
    if variant == "log":
        lines, total = [], 0
        while total < size:
            line = (f"2021-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d} "
                    f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d} INFO sync "
                    f"{rng.randint(0, 99999)} ok\r\n").encode()
            lines.append(line)
            total += len(line)
        return b"".join(lines)[:size]
    if variant == "txt":
        return chat_text(rng, size)
    if variant == "utf16":
        return b"\xff\xfe" + chat_text(rng, size).decode("utf-8", "ignore").encode("utf-16-le")[:size - 2]
    if variant == "zero":
        return bytes(size)
    raise ValueError(variant)


def text(name, variant, size):
    return Item(name, ("text", variant, size), "other", variant)


def qq_long(name, scale, expect="always"):
    return Item(name, ("qqlong", scale), "qq", "ole", expect)


def nested_tree(streams):
    tree = {}
    for path, data in streams.items():
        node = tree
        parts = path.split("/")
        for p in parts[:-1]:
            node = node.setdefault(p, {})
        node[parts[-1]] = data
    return tree


def reassembly_cases():
    c = []
    steps, lose = around_deleted([
        (qq_long("Msg_log.db", 2), text("sync.log", "log", 40 * KIB)),
        (qq_long("Msg_txt.db", 1), text("notes.txt", "txt", 30 * KIB)),
        (qq_long("Msg_utf16.db", 2), text("readme.txt", "utf16", 24 * KIB)),
        (qq_long("Msg_zero.db", 1), text("empty.bin", "zero", 16 * KIB)),
    ], cluster_sectors=4)
    c.append(Case(
        "fat16-frag-deleted-text",
        "databases fragmented around deleted log, UTF-8 and UTF-16 text and zero files that no "
        "carver follows, laid out as a long-lived program writes them (FAT16)",
        "FAT16", 16, 4, "deleted", steps, lose=lose))
    steps, lose = around_deleted([
        (qq_long("Msg_log.db", 1), text("app.log", "log", 9 * KIB)),
        (qq_long("Msg_utf16.db", 1), text("list.txt", "utf16", 6 * KIB)),
        (qq_long("Msg_zero.db", 2), text("pad.bin", "zero", 3 * KIB)),
    ], cluster_sectors=1, wrap=True)
    c.append(Case(
        "fat32-frag-deleted-text",
        "long-lived databases fragmented around deleted log, UTF-16 text and zero files (FAT32, "
        "512-byte clusters)",
        "FAT32", 40, 1, "deleted", steps, lose=lose))
    # 32 KiB clusters on a volume whose free space once held random bytes: the
    # text files' last clusters, and the databases' own, end in them.
    steps, lose = around_deleted([
        (qq_long("Msg_log.db", 8), text("sync.log", "log", 40 * KIB)),
        (qq_long("Msg_txt.db", 6), text("notes.txt", "txt", 70 * KIB)),
        (qq_long("Msg_utf16.db", 8), text("readme.txt", "utf16", 36 * KIB)),
    ], cluster_sectors=64)
    c.append(Case(
        "fat12-32k-frag-deleted-slack",
        "long-lived databases fragmented around deleted text files on FAT12 with 32 KiB "
        "clusters, whose slack holds old random bytes",
        "FAT12", 24, 64, "deleted",
        [("fill_random", "OLD.BIN"), ("delete", "OLD.BIN")] + steps, lose=lose))
    return c


# ---- Databases in many pieces, on NTFS and formatted volumes, and overwritten ----
#
# A database lies in 2 to 30 pieces with one file of another kind between each
# two: text, logs, zeros, SQLite files (no carver follows them), a gzip stream
# (no carver follows it and it looks as random as the database's own data).
# Holes are made for every piece (placeholders written in front of each
# neighbour, the volume filled up behind them on FAT32 and NTFS, where the
# allocator would otherwise take the free space at the end), the placeholders
# are deleted and the databases fill the holes in order. Some databases are
# written over in part after the loss: they are expected in damaged/ with the
# streams that survive named as intact.

SELF_EVIDENT_FORMATS.add("sqlite")


def streams_look_encrypted(data):
    """True when nearly every whole 512-byte block of the file's streams looks random.

    Counted over the blocks after the header: 180 distinct byte values or more,
    as encrypted records show (text, zeros and tables far fewer)."""
    blocks = [data[off:off + SECTOR] for off in range(SECTOR, len(data) - SECTOR + 1, SECTOR)]
    randomish = sum(1 for b in blocks if len(set(b)) >= 180)
    return bool(blocks) and randomish >= 0.85 * len(blocks)


def sqlite_file(rng, size):
    """A SQLite database of chat-like rows, made by Python's sqlite3, about `size` bytes."""
    import sqlite3
    folder = tempfile.mkdtemp(prefix="sqlite-")
    path = os.path.join(folder, "db.sqlite")
    try:
        con = sqlite3.connect(path)
        con.execute("PRAGMA page_size=4096")
        con.execute("CREATE TABLE msg (id INTEGER PRIMARY KEY, at TEXT, body TEXT)")
        con.commit()
        while os.path.getsize(path) < size:
            con.executemany("INSERT INTO msg (at, body) VALUES (?, ?)",
                            [("2020-01-01", chat_text(rng, rng.randint(40, 300)).decode("utf-8", "ignore"))
                             for _ in range(10)])
            con.commit()
        con.close()
        with open(path, "rb") as f:
            return f.read()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def gzip_file(rng, size):
    """gzip -9 of text and random bytes: a stream no carver follows that looks random."""
    raw = chat_text(rng, size // 2) + rng.randbytes(size)
    return subprocess.run(["gzip", "-9", "-n", "-c"], input=raw, capture_output=True,
                          check=True).stdout[:size]


def sized_qq_streams(rng, size):
    """QQ-named streams of encrypted-looking data, about `size` bytes in all."""
    streams = {
        "Matrix.dat": rng.randbytes(rng.randint(800, 3000)),
        "seqbase.dat": rng.randbytes(rng.randint(100, 600)),
        "Info.dat": rng.randbytes(rng.randint(5000, 12000)),
    }
    left = max(8192, size - sum(len(v) for v in streams.values()))
    peers = max(1, min(6, left // 40000))
    for _ in range(peers):
        peer = rng.randint(10000, 999999999)
        streams[f"C2CMsg/{peer}/Data.msj"] = rng.randbytes(max(4096, left // peers - 2000))
        streams[f"C2CMsg/{peer}/Index.msj"] = rng.randbytes(rng.randint(64, 3000))
    return streams


def make_long_lived(item, rng, work, recipe):
    _, size, plain = recipe
    streams = ole_writer.plain_streams(rng) if plain else sized_qq_streams(rng, size)
    if plain:
        streams["ObjectPool/_5678/Contents"] = rng.randbytes(size)
    item.tree = nested_tree(streams)
    return ole_writer.write_compound(streams, seed=rng.randrange(1 << 30))


def piece_clusters(db, parts, cluster_bytes, halving=False):
    """How many clusters each of the database's `parts` pieces holds (the same every build)."""
    n = clusters_of(len(db.data), cluster_bytes)
    if n < parts:
        raise BuildError(f"{db.name}: {n} clusters cannot make {parts} pieces")
    cut = random.Random(f"{db.name}:{n}:{parts}")
    if halving:
        # ntfs-3g fills the largest hole first and then, from there on, one that
        # holds what is left: pieces that halve along the disk come in order.
        sizes = [max(1, n >> (k + 2)) for k in range(parts - 1)]
        return [n - sum(sizes)] + sizes
    bounds = [0] + sorted(cut.sample(range(1, n), parts - 1)) + [n]
    return [b - a for a, b in zip(bounds, bounds[1:])]


def make_piece_hole(item, rng, work, recipe):
    _, db, k, parts, cluster_bytes, halving = recipe
    make_bytes(db, rng, work, "piece")
    return rng.randbytes(piece_clusters(db, parts, cluster_bytes, halving)[k] * cluster_bytes)


def jpeg_with_trailer(item, rng, work, recipe):
    """A JPEG followed by a text trailer after its end marker, as some cameras and
    editors append: the JPEG carver stops at the marker, the trailer stays unclaimed."""
    _, width, height, trailer = recipe
    return image_file(rng, work, "jpg", width, height) + text_file(rng, "log", trailer)


EXTRA_MAKERS = {
    "jpgtrail": jpeg_with_trailer,
    "longlived": make_long_lived,
    "piece": make_piece_hole,
    "sqlite": lambda item, rng, work, recipe: sqlite_file(rng, recipe[1]),
    "gzip": lambda item, rng, work, recipe: gzip_file(rng, recipe[1]),
}


def qq_sized(name, size, expect="always", note=None):
    return Item(name, ("longlived", size, False), "qq", "ole", expect, note=note)


def compound_long(name, size):
    return Item(name, ("longlived", size, True), "compound", "ole")


def sqlite_db(name, size):
    return Item(name, ("sqlite", size), "other", "sqlite")


def gzipped(name, size):
    return Item(name, ("gzip", size), "other", "gz")


def neighbours(prefix, count, cluster_bytes, kinds=("log", "txt", "utf16", "zero", "sqlite")):
    """`count` files no carver follows, 1 to 3 clusters each (SQLite: whole 4 KiB pages)."""
    out = []
    for i in range(count):
        kind = kinds[i % len(kinds)]
        clusters = 1 + (i * 7) % 3
        size = clusters * cluster_bytes - (i * 37) % max(1, cluster_bytes // 2)
        if kind == "sqlite":
            out.append(sqlite_db(f"{prefix}{i:02d}.sqlite", max(size, 8 * KIB)))
        else:
            ext = {"log": "log", "txt": "txt", "utf16": "txt", "zero": "bin"}[kind]
            out.append(text(f"{prefix}{i:02d}.{ext}", kind, max(size, 1200)))
    return out


def in_pieces(plan, cluster_sectors, fill, halving=False):
    """Steps that leave each database of `plan` in pieces, one neighbour between each two.

    plan: [(database, [neighbour, ...])]; a database with n neighbours lies in
    n + 1 pieces. With `fill` (FAT32, NTFS) the volume is filled behind the
    neighbours until the databases are written, so the holes are the only free
    space. Returns the steps and the names the loss deletes."""
    cluster = cluster_sectors * SECTOR
    steps, holes = [], []
    if fill:
        # The FAT32 root directory grown to hold every name first (see around_deleted).
        names = sum(2 * len(around) + 2 for _, around in plan) + 4
        reserve = [Item(f"~reserved-slot-{i:03d}.tmp", ("blob", 0)) for i in range(names)]
        steps += [("write", r) for r in reserve] + [("delete", r.name) for r in reserve]
    for i, (db, around) in enumerate(plan):
        for k in range(len(around) + 1):
            hole = Item(f"~piece-{i:02d}-{k:02d}.tmp", ("piece", db, k, len(around) + 1, cluster, halving))
            steps.append(("write", hole))
            holes.append(hole.name)
            if k < len(around):
                steps.append(("write", around[k]))
    if fill:
        steps.append(("fill", "FILLER.BIN"))
    steps += [("delete", h) for h in holes]
    steps += [("write", db) for db, _ in plan]
    if fill:
        steps.append(("delete", "FILLER.BIN"))
    return steps, [db.name for db, _ in plan] + [n.name for _, around in plan for n in around]


def set_fat32_next_free(image, cluster):
    """Points the FSInfo next-free hint at `cluster`, as an allocation that ended there leaves it."""
    with open(image, "r+b") as f:
        boot = f.read(SECTOR)
        fsinfo = int.from_bytes(boot[48:50], "little")
        f.seek(fsinfo * SECTOR + 492)
        f.write(cluster.to_bytes(4, "little"))


def overwrite_after_loss(case, volume, image, layout, files, rng, work):
    """Writes new files over part of lost databases (FAT32: from the next-free hint on).

    Each step ("overwrite", database name, fraction, Item) makes the item's
    first cluster the one at that fraction of the database's sectors. Returns
    the words for the manifest's loss."""
    words = ""
    if case.after_loss:
        # The new files go into a new folder, so that their names do not take the
        # lost files' directory entries; its cluster lies behind every file.
        per = layout["cluster_bytes"] // SECTOR
        last = max(b for f in files for _, b in f["fragments"])
        set_fat32_next_free(image, (last - layout["cluster_area_start"]) // per + 2)
        run(["mmd", "-i", image, "::NEW"])
    for action, db_name, fraction, item in case.after_loss:
        if action != "overwrite" or case.fs != "FAT32":
            raise ValueError(action)
        f = next(x for x in files if x["name"] == db_name)
        sectors = [s for a, b in f["fragments"] for s in range(a, b + 1)]
        target = sectors[int(len(sectors) * fraction)]
        per = layout["cluster_bytes"] // SECTOR
        cluster = (target - layout["cluster_area_start"]) // per + 2
        set_fat32_next_free(image, cluster - 1)
        path = os.path.join(work, item.name)
        with open(path, "wb") as out:
            out.write(make_bytes(item, rng, work, case.name))
        os.utime(path, (FIXED_MTIME, FIXED_MTIME))
        with volume.session():
            volume.write(path, "NEW/" + item.name)
        words += f"; then {item.name} written over part of {db_name}"
    return words


def surviving_streams(image, f):
    """The streams of a compound file, as it now lies at its sectors, that read as before (olefile)."""
    import io
    import olefile
    now = bytearray()
    with open(image, "rb") as img:
        for first, last in f["fragments"]:
            img.seek(first * SECTOR)
            now += img.read(min(f["size"] - len(now), (last - first + 1) * SECTOR))
    original = os.path.join(os.path.dirname(image), "originals", f["name"])
    with open(original, "rb") as org_file:
        header = org_file.read(SECTOR)
    if now[:SECTOR] != header:
        # A header written over is rebuilt from the FAT and directory sectors
        # found: what survives is judged with the header as it was.
        now[:SECTOR] = header
    intact = []
    try:
        with olefile.OleFileIO(io.BytesIO(bytes(now))) as cur, olefile.OleFileIO(original) as org:
            for path in org.listdir(streams=True, storages=False):
                try:
                    same = cur.openstream(path).read() == org.openstream(path).read()
                except Exception:  # a chain broken by the new file
                    same = False
                if same:
                    intact.append("/".join(path))
    except Exception:  # the tables themselves are gone
        return []
    return sorted(intact)


def wraps_once(fragments, layout):
    """The index of the one fragment that lies before the one it follows, or None."""
    back = [k for k in range(1, len(fragments)) if fragments[k][0] < fragments[k - 1][1]]
    if len(back) != 1 or layout.get("cluster_area_start") is None:
        return None
    k = back[0]
    # Every piece after the step lies before the first piece.
    if any(b >= fragments[0][0] for _, b in fragments[k:]):
        return None
    if not all(a1 < b0 for (_, a1), (b0, _) in zip(fragments[k:], fragments[k + 1:])):
        return None
    return k


def gaps_of(fragments, layout, image):
    """The sector ranges between a file's fragments, in file order (FAT: a wrap
    runs to the cluster area's end and on from its start)."""
    k = wraps_once(fragments, layout)
    gaps = []
    for i, ((_, a1), (b0, _)) in enumerate(zip(fragments, fragments[1:])):
        if k is not None and i + 1 == k:
            last = int(fsstat(image)["Cluster Area"].split("-")[1])
            gaps += [[a1 + 1, last], [layout["cluster_area_start"], b0 - 1]]
        else:
            gaps.append([a1 + 1, b0 - 1])
    return [g for g in gaps if g[0] <= g[1]]


def hint_at(volume, name):
    """Points the FAT32 next-free hint just before the allocated file `name`."""
    layout = layout_of(volume.image, "FAT32")
    entry = next(e for e in fls_entries(volume.image) if not e["deleted"] and e["name"].lstrip("/") == name)
    first = istat_runs(volume.image, entry["inode"])[0][0]
    per = layout["cluster_bytes"] // SECTOR
    set_fat32_next_free(volume.image, (first - layout["cluster_area_start"]) // per + 2 - 1)


def trailed_case():
    """Databases around JPEGs whose carver stops before the file's end."""
    plan = []
    for i in range(3):
        db = Item(f"Msg_trail{i}.db", ("longlived", 150 * KIB + i * 40 * KIB, False), "qq", "ole",
                  "later", needs=["jpg"])
        jpeg = Item(f"photo{i}.jpg", ("jpgtrail", 320 + 40 * i, 240, 6 * KIB + i * 3 * KIB),
                    "other", "jpg", note="a text trailer follows the JPEG's end marker")
        jpeg.clean_inside = True
        plan.append((db, [jpeg]))
    steps, lose = in_pieces(plan, 4, fill=False)
    return Case(
        "fat16-frag-deleted-trailers",
        "databases fragmented around deleted JPEGs with text trailers after their end marker: "
        "the JPEG carver claims the picture, the reassembly steps over the trailer (FAT16, "
        "2 KiB clusters)",
        "FAT16", 16, 4, "deleted", steps, lose=lose)


def wrapped_case():
    """A database whose allocation reached the volume's end and went on at its front."""
    db = qq_sized("Msg_wrap.db", 300 * KIB, "free-only")
    front = Item("~front.tmp", ("piece", db, 1, 2, SECTOR, False))
    back = Item("~back.tmp", ("piece", db, 0, 2, SECTOR, False))
    steps = [("write", front), ("write", text("keep.log", "log", 20 * KIB)),
             ("write", back), ("write", text("keep2.txt", "txt", 12 * KIB)),
             ("fill", "FILLER.BIN"), ("hint_at", "~back.tmp"),
             ("delete", "~front.tmp"), ("delete", "~back.tmp"), ("write", db)]
    return Case(
        "fat32-wrapped-allocated",
        "a database written from the next-free hint to the volume's end and on at its front: "
        "its second piece lies before its first (FAT32, 512 B clusters, --free-only)",
        "FAT32", 40, 1, "deleted", steps, lose=["Msg_wrap.db"], rescue_options=["--free-only"])


def gap_cases():
    c = []
    plan = [
        (qq_sized("Msg_ntfs.db", 2600 * KIB), neighbours("m", 1, 64 * KIB)),
        (compound_long("Thumbs.db", 400 * KIB), []),
    ]
    steps, _ = in_pieces(plan, 128, fill=True, halving=True)
    c.append(Case(
        "ntfs-64k-formatted-pieces",
        "a database in 2 pieces around a log file and a plain compound file, the volume "
        "formatted again (NTFS, 64 KiB clusters)",
        "NTFS", 64, 128, "formatted", steps))
    plan = [
        (qq_sized("Msg_30.db", 900 * KIB), neighbours("a", 29, 2 * KIB)),
        (qq_sized("Msg_12.db", 400 * KIB), neighbours("b", 11, 2 * KIB)),
        (qq_sized("Msg_difat.db", 7600 * KIB), neighbours("d", 11, 2 * KIB)),
        (compound_long("Other.db", 60 * KIB), neighbours("c", 4, 2 * KIB)),
        (qq("Msg_gsf.db", 200 * KIB, "never",
            note="gsf layout with plain-text streams: its gap cannot be told from its own sectors"),
         [text("gap.log", "log", 20 * KIB)]),
        (qq_sized("Msg_gz.db", 300 * KIB, "never",
                  note="around a gzip stream, as random as its own data: a guess at best"),
         [gzipped("logs.gz", 24 * KIB)]),
    ]
    steps, _ = in_pieces(plan, 4, fill=False)
    c.append(Case(
        "fat16-formatted-pieces",
        "databases in 30 and 12 pieces, one past 7 MiB (DIFAT) in 12, and a plain compound file "
        "in 5 around text, log, zero and SQLite files, a gsf database around a log and one "
        "around a gzip file, the volume formatted again (FAT16, 2 KiB clusters)",
        "FAT16", 16, 4, "formatted", steps))
    plan = [
        (qq_sized("Msg_difat.db", 7600 * KIB), neighbours("d", 11, 512)),
        (qq_sized("Msg_over.db", 500 * KIB, "damaged"), neighbours("e", 2, 512)),
        (qq_sized("Msg_over2.db", 300 * KIB, "damaged"), []),
    ]
    steps, lose = in_pieces(plan, 1, fill=True)
    c.append(Case(
        "fat32-frag-deleted-overwritten",
        "a database past 7 MiB (DIFAT) in 12 pieces around text, zero and SQLite files, and two "
        "written over in part after the deletion by a log and a text file (FAT32, 512 B clusters)",
        "FAT32", 40, 1, "deleted", steps, lose=lose,
        after_loss=[("overwrite", "Msg_over.db", 0.55, text("new.log", "log", 6 * KIB)),
                    ("overwrite", "Msg_over2.db", 0.3, text("new2.txt", "txt", 3 * KIB))]))
    c.append(wrapped_case())
    c.append(trailed_case())
    c.append(recorded_pieces_case())
    return c


# ---- Volumes formatted over with another file system ----
#
# What a phone, a camera or a shop does to a disk: the databases were laid on
# one file system's clusters and deleted, and the volume was then formatted
# with another file system of another cluster size (or the same one), once or
# twice. The files lie whole on the old clusters; nothing on the disk but
# their own starts (and, now and then, an old backup boot sector) tells where
# those clusters were. exFAT volumes are written through exfat-fuse over a
# loop device; The Sleuth Kit does not read exFAT here, so where a file lies
# on one is found from its bytes (the files are written one after the other
# into an empty volume, each in one piece).

class ExFatVolume(MountedVolume):
    """An exFAT volume in an image file, written through exfat-fuse on a loop device."""

    def __init__(self, image, size, work, cluster_sectors):
        self.image, self.size, self.work, self.cluster_sectors = image, size, work, cluster_sectors
        self.name = "exFAT"
        self.mountpoint = None

    def format(self):
        if not os.path.exists(self.image):
            with open(self.image, "wb") as f:
                f.truncate(self.size)
        run(["mkfs.exfat", "-c", str(self.cluster_sectors * SECTOR), "-L", "TARNCORPUS", self.image])

    @contextlib.contextmanager
    def session(self):
        device = run(["losetup", "-f", "--show", self.image]).strip()
        mnt = tempfile.mkdtemp(prefix="exfat-mnt-", dir=self.work)
        try:
            # The daemon keeps any pipe it is given open: nothing to capture.
            subprocess.run(["mount.exfat-fuse", device, mnt], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.mountpoint = mnt
            try:
                yield self
            finally:
                os.sync()
                # A fuseblk unmount waits for the daemon to write everything back.
                subprocess.run(["umount", mnt], check=True)
                self.mountpoint = None
        finally:
            subprocess.run(["losetup", "-d", device], check=False)
            os.rmdir(mnt)


def exfat_heap(image):
    """(cluster heap offset, sectors per cluster) from an exFAT boot sector."""
    with open(image, "rb") as f:
        boot = f.read(SECTOR)
    if boot[3:11] != b"EXFAT   " or boot[108] != 9:
        raise BuildError("not an exFAT volume of 512-byte sectors")
    return struct.unpack_from("<I", boot, 88)[0], 1 << boot[109]


def exfat_table_sectors(image):
    """The sectors a fresh exFAT volume uses: everything before its heap and
    the heap's first clusters (bitmap, up-case table, root directory)."""
    heap, per = exfat_heap(image)
    return set(range(heap + 4 * per))


def exfat_allocated_sectors(image):
    """The sectors of the clusters that the volume's allocation bitmap marks used."""
    heap, per = exfat_heap(image)
    with open(image, "rb") as f:
        boot = f.read(SECTOR)
        count = struct.unpack_from("<I", boot, 92)[0]
        root = struct.unpack_from("<I", boot, 96)[0]
        f.seek((heap + (root - 2) * per) * SECTOR)
        entries = f.read(per * SECTOR)
        for off in range(0, len(entries), 32):
            if entries[off] == 0x81:  # the allocation bitmap's entry
                first, length = struct.unpack_from("<IQ", entries, off + 20)
                break
        else:
            raise BuildError("no allocation bitmap in the exFAT root directory")
        f.seek((heap + (first - 2) * per) * SECTOR)
        bitmap = f.read(length)
    used = set(range(heap))
    for c in range(count):
        if bitmap[c // 8] >> (c % 8) & 1:
            used.update(range(heap + c * per, heap + (c + 1) * per))
    return used


def located_run(image, layout, path):
    """[[first, last]]: where a file written in one piece lies, found by its bytes at cluster starts."""
    with open(path, "rb") as f:
        data = f.read()
    start, per = layout["cluster_area_start"], layout["cluster_bytes"] // SECTOR
    head = data[:SECTOR]
    with open(image, "rb") as f:
        sector = start
        while True:
            f.seek(sector * SECTOR)
            got = f.read(SECTOR)
            if not got:
                raise BuildError(f"{os.path.basename(path)} not found on the exFAT volume")
            if got[:len(head)] == head:
                run_ = [[sector, sector + sectors_for(len(data)) - 1]]
                if hash_runs(image, run_, len(data)) == sha256_of(data):
                    return run_
            sector += per


def exfat_record(case, image, written):
    heap, per = exfat_heap(image)
    layout = {"sector_size": SECTOR, "cluster_bytes": per * SECTOR,
              "data_area_start": heap, "cluster_area_start": heap}
    files = []
    for name, (item, path) in written.items():
        entry = describe_file(case, image, layout, item, path, path)
        entry["inode"] = None
        files.append(entry)
    return layout, files


def format_over(case, volume):
    words = []
    for fs, cluster_sectors in case.reformat:
        if fs == "exFAT":
            over = ExFatVolume(volume.image, case.size_mib * MIB, None, cluster_sectors)
            words.append(f"mkfs.exfat -c {cluster_sectors * SECTOR}")
        elif fs == "NTFS":
            over = NtfsVolume(volume.image, case.size_mib * MIB, None, cluster_sectors * SECTOR)
            words.append(f"mkfs.ntfs -f -c {cluster_sectors * SECTOR}")
        else:
            over = FatVolume(volume.image, int(fs[3:]), case.size_mib * MIB, cluster_sectors)
            words.append(f"mkfs.vfat -F {fs[3:]} -s {cluster_sectors}")
        over.format()
    return "formatted over: " + ", then ".join(words)


def repartition(case, image, files):
    """Makes the volume image a whole disk whose partition was made again elsewhere.

    The volume is moved to sector `at` of a disk one MiB longer; an MBR is
    written with one partition at `start`, which is formatted anew. The
    files' sector runs become the disk's."""
    at, start, fs, cluster_sectors = case.repartition
    with open(image, "rb") as f:
        volume = f.read()
    disk_sectors = at + len(volume) // SECTOR + 2048
    with open(image, "wb") as f:
        f.truncate(disk_sectors * SECTOR)
        f.seek(at * SECTOR)
        f.write(volume)
    size = disk_sectors - start - 2048
    run(["sfdisk", "--no-reread", "--no-tell-kernel", image],
        stdin=f"label: dos\nstart={start}, size={size}, type=6\n".encode())
    if not fs.startswith("FAT"):
        raise ValueError(fs)
    run(["mkfs.vfat", "-F", fs[3:], "-S", "512", "-s", str(cluster_sectors), "--offset", str(start),
         "--invariant", "-n", "TARNCORPUS", image, str(size * SECTOR // 1024)])
    for f in files:
        f["fragments"] = [[a + at, b + at] for a, b in f["fragments"]]
        for g in f.get("gaps", []):
            g["sectors"] = [g["sectors"][0] + at, g["sectors"][1] + at]
        if f["kind"] == "qq" and f["expected"] == "always" and \
                hash_runs(image, f["fragments"], f["size"]) != f["sha256"]:
            raise BuildError(f"{f['name']} was written over by the new partition")
    return (f"; the disk repartitioned: the volume at sector {at}, the new partition at "
            f"sector {start} formatted {fs} with {cluster_sectors} sectors per cluster")


def reformat_cases():
    c = []
    right = lambda fs, k: ["--reason", "formatted", "--fs", fs, "--cluster", k]  # noqa: E731
    c.append(Case(
        "ntfs-4k-as-fat16-16k",
        "databases deleted on NTFS (4 KiB clusters), the volume then formatted as FAT16 with "
        "16 KiB clusters",
        "NTFS", 64, 8, "formatted",
        [("write", qq("Msg1.db", 900 * KIB)), ("write", picture("cat.jpg", "jpg", 640, 480)),
         ("write", qq("Msg2.db", 400 * KIB)), ("write", qq("Msg3.db", 1500 * KIB)),
         ("write", archive("docs.zip", "zip", 100 * KIB)), ("write", qq("Msg4.db", 250 * KIB)),
         ("write", qq("Msg5.db", 2 * MIB))],
        reformat=[("FAT16", 32)],
        also_rescue_with=[right("NTFS", "4K"), right("exFAT", "32K")]))
    c.append(Case(
        "fat32-4k-as-exfat-32k",
        "databases deleted on FAT32 (4 KiB clusters; 260 MiB, sparse, as The Sleuth Kit takes a "
        "FAT32 of fewer than 65525 clusters for none), the volume then formatted as exFAT with "
        "32 KiB clusters",
        "FAT32", 260, 8, "formatted",
        [("write", zeros("setup.bin", 3 * MIB)),  # where exFAT puts its tables
         ("write", qq("Msg1.db", 700 * KIB)), ("write", pdf("bill.pdf", 50 * KIB)),
         ("write", qq("Msg2.db", 300 * KIB)), ("write", picture("map.png", "png", 300, 200)),
         ("write", qq("Msg3.db", 1200 * KIB)), ("write", qq("Msg4.db", 180 * KIB))],
        reformat=[("exFAT", 64)],
        also_rescue_with=[right("FAT32", "4K"), right("NTFS", "64K")]))
    c.append(Case(
        "fat16-2k-as-ntfs-4k",
        "databases deleted on FAT16 (2 KiB clusters), the volume then formatted as NTFS with "
        "4 KiB clusters",
        "FAT16", 32, 4, "formatted",
        [("write", qq("Msg1.db", 600 * KIB)), ("write", picture("dog.jpg", "jpg", 500, 400)),
                 ("write", qq("Msg2.db", 350 * KIB)), ("write", pdf("form.pdf", 40 * KIB)),
                 ("write", qq("Msg3.db", 120 * KIB)), ("write", picture("logo.png", "png", 200, 150)),
                 ("write", archive("mail.zip", "zip", 60 * KIB))],
        reformat=[("NTFS", 8)],
        also_rescue_with=[right("FAT", "2K"), right("FAT32", "32K")]))
    c.append(Case(
        "exfat-32k-as-fat16-2k",
        "databases deleted on exFAT (32 KiB clusters), the volume then formatted as FAT16 with "
        "2 KiB clusters",
        "exFAT", 32, 64, "formatted",
        [("write", qq("Msg1.db", 800 * KIB)), ("write", picture("sea.jpg", "jpg", 640, 400)),
         ("write", qq("Msg2.db", 200 * KIB)), ("write", qq("Msg3.db", 1100 * KIB)),
         ("write", qq("Msg4.db", 90 * KIB))],
        reformat=[("FAT16", 4)],
        also_rescue_with=[right("exFAT", "32K"), right("NTFS", "4K")]))
    c.append(Case(
        "fat16-4k-as-ntfs-4k",
        "databases deleted on FAT16 (4 KiB clusters), the volume then formatted as NTFS with the "
        "same cluster size, its clusters at another phase",
        "FAT16", 32, 8, "formatted",
        [("write", qq("Msg1.db", 500 * KIB)), ("write", archive("pics.7z", "7z", 80 * KIB)),
         ("write", qq("Msg2.db", 1300 * KIB)), ("write", qq("Msg3.db", 220 * KIB))],
        reformat=[("NTFS", 8)],
        also_rescue_with=[right("FAT", "4K"), right("FAT32", "16K")]))
    c.append(Case(
        "fat16-formatted-twice",
        "databases deleted on FAT16 (2 KiB clusters), the volume formatted as exFAT (64 KiB), "
        "then as FAT16 again (8 KiB)",
        "FAT16", 32, 4, "formatted",
        [("write", zeros("setup.bin", 3 * MIB)),  # where exFAT puts its tables
         ("write", qq("Msg1.db", 650 * KIB)), ("write", picture("sun.jpg", "jpg", 400, 300)),
         ("write", qq("Msg2.db", 280 * KIB)), ("write", qq("Msg3.db", 1000 * KIB)),
         ("write", picture("moon.jpg", "jpg", 300, 200)), ("write", pdf("list.pdf", 30 * KIB)),
         ("write", qq("Msg4.db", 150 * KIB)), ("write", archive("old.zip", "zip", 50 * KIB))],
        reformat=[("exFAT", 128), ("FAT16", 16)],
        also_rescue_with=[right("FAT", "2K"), right("exFAT", "64K")]))
    c.append(Case(
        "disk-repartitioned-odd",
        "a whole disk whose FAT16 partition (4 KiB clusters) at sector 2048 held deleted "
        "databases; it was made again 63 sectors earlier and formatted FAT16 with 2 KiB clusters",
        "FAT16", 32, 8, "deleted",
        [("write", qq("Msg1.db", 520 * KIB)), ("write", picture("boat.jpg", "jpg", 400, 300)),
         ("write", qq("Msg2.db", 260 * KIB)), ("write", pdf("menu.pdf", 30 * KIB)),
         ("write", qq("Msg3.db", 900 * KIB)), ("write", archive("a.zip", "zip", 40 * KIB)),
         ("write", qq("Msg4.db", 130 * KIB))],
        lose=["Msg1.db", "Msg2.db", "Msg3.db", "Msg4.db", "boat.jpg", "menu.pdf", "a.zip"],
        repartition=(2048, 1985, "FAT16", 4),
        also_rescue_with=[["--reason", "repartitioned"],
                          ["--reason", "repartitioned", "--fs", "NTFS", "--cluster", "32K"]]))
    return c


def recorded_pieces_case():
    """Deleted databases in many pieces, interleaved with one another and with text and
    SQLite files, whose MFT records survive the deletion: their runs give them back."""
    plan = [
        (qq_sized("Msg_rec_a.db", 1400 * KIB), neighbours("ra", 14, 4 * KIB)),
        (qq_sized("Msg_rec_b.db", 900 * KIB), neighbours("rb", 9, 4 * KIB)),
        (qq_sized("Msg_rec_c.db", 600 * KIB), neighbours("rc", 6, 4 * KIB)),
    ]
    steps, lose = in_pieces(plan, 8, fill=True)
    return Case(
        "ntfs-frag-deleted-recorded",
        "three databases in 15, 10 and 7 pieces around text, zero and SQLite files, deleted with "
        "their neighbours; their MFT records survive (NTFS, 4 KiB clusters)",
        "NTFS", 48, 8, "deleted", steps, lose=lose)


# ---- Databases a long-lived program leaves: big, scattered, beside each other ----
#
# Long-lived databases (ole_writer.py) of several MiB in 3 to 5 pieces between
# pictures, text and one another, on NTFS whose file records of the databases
# are zeroed after the deletion (nothing but the carve finds them); on FAT32
# and exFAT with 32 and 64 KiB clusters whose slack holds old random bytes;
# written over in part, or only at the header, after the loss; and two whose
# clusters alternate one by one.

def make_weighted_piece(item, rng, work, recipe):
    """A placeholder the size of one piece of a database cut by weights."""
    _, db, weights, k, cluster_bytes = recipe
    make_bytes(db, rng, work, "piece")
    n = clusters_of(len(db.data), cluster_bytes)
    sizes = [max(1, n * w // sum(weights)) for w in weights[:-1]]
    sizes.append(n - sum(sizes))
    if sizes[-1] < 1:
        raise BuildError(f"{db.name}: {n} clusters cannot take the weights {weights}")
    return rng.randbytes(sizes[k] * cluster_bytes)


EXTRA_MAKERS["weighted"] = make_weighted_piece


def weighted_pieces(layout, cluster_sectors):
    """Steps that lay databases in pieces of given weights on NTFS, one database at a time.

    layout: the volume's contents in disk order, each either a neighbour Item
    or (database, weights, k): the k-th hole of the database, by disk order.
    The volume is filled behind them; then each database's holes (and only
    those) are freed and it is written. ntfs-3g begins a file in the largest
    free hole and goes on from there in disk order, wrapping round at the end,
    so a database lies in order when its first hole is its largest, and with
    its first piece behind the others when a later hole is. Returns the steps
    and the names the loss deletes."""
    cluster = cluster_sectors * SECTOR
    steps, holes, dbs, others = [], {}, [], []
    for entry in layout:
        if isinstance(entry, Item):
            steps.append(("write", entry))
            others.append(entry.name)
            continue
        db, weights, k = entry
        hole = Item(f"~piece-{db.name}-{k}.tmp", ("weighted", db, weights, k, cluster))
        steps.append(("write", hole))
        if db not in dbs:
            dbs.append(db)
        holes.setdefault(db.name, []).append(hole.name)
    steps.append(("fill", "FILLER.BIN"))
    for db in dbs:
        steps += [("delete", h) for h in holes[db.name]]
        steps.append(("write", db))
    steps.append(("delete", "FILLER.BIN"))
    return steps, [db.name for db in dbs] + others


def mft_record_sectors(image, record):
    """The image sectors of NTFS file record `record`, by the $MFT's own runs."""
    with open(image, "rb") as f:
        boot = f.read(SECTOR)
    cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
    raw = boot[0x40]
    size = raw * cluster if raw < 0x80 else 1 << (256 - raw)
    offset = record * size
    for first, count in istat_runs(image, "0"):
        if offset < count * cluster:
            start = (first * cluster + offset) // SECTOR
            return range(start, start + size // SECTOR)
        offset -= count * cluster
    raise BuildError(f"record {record} lies beyond the $MFT")


def zero_mft_records(case, image, files):
    """Writes zeros over the MFT file records of the named files (the loss took them too)."""
    if not case.zero_records:
        return ""
    targets = []
    for f in files:
        if f["name"] in case.zero_records:
            sectors = mft_record_sectors(image, int(f["inode"].split("-")[0]))
            targets.append(sectors)
    with open(image, "r+b") as img:
        for sectors in targets:
            img.seek(sectors[0] * SECTOR)
            img.write(bytes(len(sectors) * SECTOR))
    return "; then the MFT records of " + ", ".join(case.zero_records) + " zeroed"


def write_interleaved(case, volume, pair, rng, work, originals, written):
    """Writes two databases whose clusters alternate one by one (FAT16: first fit).

    One-cluster placeholders are written in a row; every other one is deleted
    and the first database fills those holes, then the rest and the second."""
    first, second = pair
    cluster = case.cluster_sectors * SECTOR
    counts = [clusters_of(len(make_bytes(db, rng, work, case.name)), cluster) for db in pair]
    slots = []
    folder = os.path.join(work, "slots")
    os.makedirs(folder, exist_ok=True)
    for i in range(2 * max(counts)):
        # Short names: one directory slot each in the FAT16 root.
        path = os.path.join(folder, f"S{i:04d}.TMP")
        with open(path, "wb") as out:
            out.write(rng.randbytes(cluster))
        os.utime(path, (FIXED_MTIME, FIXED_MTIME))
        slots.append(path)
    run(["mcopy", "-i", volume.image, "-m", "-o"] + slots + ["::"])
    names = [os.path.basename(p) for p in slots]
    for k, db in enumerate(pair):
        run(["mdel", "-i", volume.image] + ["::" + n for n in names[k::2]])
        path = os.path.join(originals, db.name)
        with open(path, "wb") as out:
            out.write(db.data)
        os.utime(path, (FIXED_MTIME, FIXED_MTIME))
        volume.write(path, db.name)
        written[db.name] = (db, path)
    shutil.rmtree(folder)


def slack_keeps_old_bytes(image, layout, files):
    """Every text neighbour's last cluster ends in bytes that are neither zeros nor its own."""
    cluster = layout["cluster_bytes"]
    checked = 0
    for f in files:
        if f["format"] not in ("log", "txt", "utf16") or f["size"] % cluster == 0:
            continue
        # The sectors behind the file's last one, to its cluster's end.
        last = f["fragments"][-1][1]
        with open(image, "rb") as img:
            img.seek((last + 1) * SECTOR)
            slack = img.read((cluster - f["size"] % cluster) // SECTOR * SECTOR)
        if len(slack) < SECTOR or len(set(slack[-SECTOR:])) < 180:
            raise BuildError(f"{f['name']}: the slack of its last cluster holds no old random bytes")
        checked += 1
    if not checked:
        raise BuildError("no text file ends inside a cluster")


def located_runs(image, layout, path):
    """[[first, last]] where a file lies on the volume, cluster by cluster, found by its bytes.

    For exFAT, which The Sleuth Kit does not read here: each cluster of the file
    is looked up by its first 64 bytes among the volume's clusters; a file whose
    clusters are not all unique gives a BuildError."""
    with open(path, "rb") as f:
        data = f.read()
    start, cluster = layout["cluster_area_start"], layout["cluster_bytes"]
    per = cluster // SECTOR
    index = {}
    with open(image, "rb") as img:
        img.seek(start * SECTOR)
        c = 0
        while True:
            block = img.read(cluster)
            if not block:
                break
            index.setdefault(block[:64], []).append(c)
            c += 1
    runs = []
    for off in range(0, len(data), cluster):
        where = index.get(data[off:off + 64].ljust(64, b"\0")[:64] if len(data) - off >= 64 else None)
        if len(data) - off < 64:
            raise BuildError(f"{os.path.basename(path)}: its last cluster is too short to be found")
        if not where or len(where) != 1:
            raise BuildError(f"{os.path.basename(path)}: cluster at {off} found {len(where or [])} times")
        first = start + where[0] * per
        count = sectors_for(min(cluster, len(data) - off))
        if runs and runs[-1][1] + 1 == first:
            runs[-1][1] = first + count - 1
        else:
            runs.append([first, first + count - 1])
    if hash_runs(image, runs, len(data)) != sha256_of(data):
        raise BuildError(f"{os.path.basename(path)}: bytes at {runs} differ from the file")
    return runs


def pieces_spread_check(fewest, most, far):
    """A check that the databases lie in `fewest` to `most` pieces, at least one
    with its second piece `far` bytes or more behind its first and one with a
    piece before the piece it follows (ntfs-3g's allocator decides where; The
    Sleuth Kit says what came of it)."""
    def check(image, layout, files):
        qq_files = [f for f in files if f["kind"] == "qq"]
        if os.environ.get("CORPUS_SHOW_LAYOUT"):
            for f in sorted(files, key=lambda f: f["fragments"][0][0]):
                print(f["name"], f["fragments"], file=sys.stderr)
        for f in qq_files:
            if not fewest <= len(f["fragments"]) <= most:
                raise BuildError(f"{f['name']}: {len(f['fragments'])} pieces")
        if not any(fr[1][0] - fr[0][1] >= far // SECTOR for fr in (f["fragments"] for f in qq_files)):
            raise BuildError(f"no database has its second piece {far // MIB} MiB on")
        if all(f["fragments_ascending"] for f in qq_files):
            raise BuildError("every database came out in order")
    return check


def long_lived_cases():
    c = []
    # NTFS, 4 KiB clusters: three databases of 8 to 14 MiB, their records zeroed.
    a = qq_sized("Msg_far.db", 9 * MIB)
    b = qq_sized("Msg_four.db", 12 * MIB)
    d = qq_sized("Msg_back.db", 8 * MIB)
    for db in (a, b, d):
        db.placement = "own-structure"
    layout = [
        (b, [5, 3, 2, 2], 0), picture("cat.jpg", "jpg", 800, 600), (a, [6, 3, 2], 0),
        text("backup.log", "log", 32 * MIB), (a, [6, 3, 2], 1), (b, [5, 3, 2, 2], 1),
        text("notes.txt", "txt", 40 * KIB), (d, [2, 5, 3], 0), picture("map.png", "png", 400, 300),
        (b, [5, 3, 2, 2], 2), (a, [6, 3, 2], 2), text("chat.txt", "utf16", 30 * KIB), (d, [2, 5, 3], 1),
        picture("sea.jpg", "jpg", 640, 480), (b, [5, 3, 2, 2], 3), text("app.log", "log", 20 * KIB),
        (d, [2, 5, 3], 2),
    ]
    steps, lose = weighted_pieces(layout, 8)

    c.append(Case(
        "ntfs-mft-zeroed-pieces",
        "long-lived databases of 8 to 12 MiB in 3 and 4 pieces between pictures, text and each "
        "other, one with its second piece behind a 32 MiB log, one with its pieces out of order; "
        "deleted, then their MFT records zeroed (NTFS, 4 KiB clusters)",
        "NTFS", 96, 8, "deleted", steps, lose=lose, zero_records=[a.name, b.name, d.name],
        verify=pieces_spread_check(3, 5, 30 * MIB)))
    # FAT32 with 64 KiB clusters (4 GiB sparse: The Sleuth Kit wants 65525
    # clusters), text files whose last clusters end in old random bytes.
    steps, lose = around_deleted([
        (qq_sized("Msg_log.db", 1200 * KIB), text("sync.log", "log", 100 * KIB)),
        (qq_sized("Msg_txt.db", 900 * KIB), text("notes.txt", "txt", 150 * KIB)),
        (qq_sized("Msg_utf16.db", 1600 * KIB), text("readme.txt", "utf16", 90 * KIB)),
    ], cluster_sectors=128)
    at = next(i for i, st in enumerate(steps) if st[0] == "write" and st[1].name == "Msg_log.db")
    steps[at:at] = [("hint_front", None)]
    c.append(Case(
        "fat32-64k-slack",
        "long-lived databases fragmented around deleted text and log files on FAT32 with 64 KiB "
        "clusters (4 GiB sparse), whose last clusters end in old random bytes",
        "FAT32", 4100, 128, "deleted",
        [("write", blob("OLD.BIN", 8 * MIB)), ("delete", "OLD.BIN"), ("hint_front", None)] + steps,
        lose=lose, verify=slack_keeps_old_bytes))
    steps, lose = around_deleted([
        (qq_sized("Msg_over.db", 2 * MIB, "damaged"), text("sync.log", "log", 100 * KIB)),
        (qq_sized("Msg_over2.db", 1500 * KIB, "damaged"), text("notes.txt", "txt", 70 * KIB)),
    ], cluster_sectors=128)
    at = next(i for i, st in enumerate(steps) if st[0] == "write" and st[1].name == "Msg_over.db")
    steps[at:at] = [("hint_front", None)]
    c.append(Case(
        "fat32-64k-overwritten",
        "long-lived databases fragmented around text files on FAT32 with 64 KiB clusters, "
        "written over in part after the deletion by a new file in the freed clusters: damaged",
        "FAT32", 4100, 128, "deleted", steps, lose=lose,
        after_loss=[("overwrite", "Msg_over.db", 0.45, text("new.log", "log", 180 * KIB)),
                    ("overwrite", "Msg_over2.db", 0.2, text("new2.txt", "txt", 130 * KIB))]))
    steps, lose = around_deleted([
        (qq_sized("Msg_log.db", 700 * KIB), text("sync.log", "log", 50 * KIB)),
        (qq_sized("Msg_txt.db", 500 * KIB), text("notes.txt", "txt", 80 * KIB)),
        (qq_sized("Msg_utf16.db", 900 * KIB), text("readme.txt", "utf16", 45 * KIB)),
    ], cluster_sectors=64)
    c.append(Case(
        "exfat-32k-slack",
        "long-lived databases fragmented around deleted text and log files on exFAT with 32 KiB "
        "clusters, whose last clusters end in old random bytes",
        "exFAT", 48, 64, "deleted",
        [("fill_random", "OLD.BIN"), ("delete", "OLD.BIN")] + steps,
        lose=lose, verify=slack_keeps_old_bytes))
    head = qq_sized("Msg_head.db", 700 * KIB, "damaged",
                    note="its header sector written over by a new file; its FAT and directory intact")
    c.append(Case(
        "fat32-header-overwritten",
        "a deleted long-lived database whose first cluster, its header, a new small file takes "
        "after the loss; another intact beside it (FAT32, 512 B clusters)",
        "FAT32", 40, 1, "deleted",
        [("write", text("before.log", "log", 30 * KIB)), ("write", head),
         ("write", qq_sized("Msg_whole.db", 300 * KIB))],
        lose=["Msg_head.db", "Msg_whole.db"],
        after_loss=[("overwrite", "Msg_head.db", 0.0, text("tiny.txt", "txt", 400))]))
    first = qq_sized("Msg_even.db", 160 * KIB, "either")
    first.placement = "interleaved"
    second = qq_sized("Msg_odd.db", 130 * KIB, "either")
    second.placement = "interleaved"
    c.append(Case(
        "fat16-interleaved-encrypted",
        "two deleted long-lived databases whose clusters alternate one by one, both "
        "encrypted-looking (FAT16, 2 KiB clusters): whole or in damaged/",
        "FAT16", 16, 4, "deleted",
        [("write", text("first.log", "log", 10 * KIB)), ("interleave", (first, second))],
        lose=[first.name, second.name]))
    return c


def large_pieces_case():
    """Three databases of 60 to 150 MiB in 3 to 5 pieces on NTFS, records zeroed: for bench/.

    ntfs-3g puts the 100 MiB one in more pieces than its holes (10 with seed 1):
    it takes small free runs near the volume's start that the filler left."""
    big = qq_sized("Msg_150.db", 150 * MIB, note="written into four holes")
    mid = qq_sized("Msg_100.db", 100 * MIB, note="written into five holes")
    low = qq_sized("Msg_60.db", 60 * MIB, note="written into three holes")
    for db in (big, mid, low):
        db.placement = "own-structure"
    mid.pending = ("in damaged/: between two of its tables lie three of its pieces, one of them "
                   "(a few clusters near the volume's start) holding no table")
    b, m, lw = [5, 3, 2, 2], [5, 3, 2, 2, 1], [2, 5, 3]
    layout = [
        (big, b, 0), picture("p1.jpg", "jpg", 1600, 1200), (mid, m, 0), text("a.log", "log", 40 * MIB),
        (big, b, 1), (low, lw, 0), text("b.txt", "txt", 2 * MIB),
        (mid, m, 1), picture("p2.png", "png", 800, 600), (big, b, 2), (low, lw, 1),
        (mid, m, 2), text("c.txt", "utf16", 300 * KIB), (mid, m, 3), (big, b, 3),
        picture("p3.jpg", "jpg", 1200, 900), (low, lw, 2), (mid, m, 4), text("d.log", "log", 1 * MIB),
    ]
    steps, lose = weighted_pieces(layout, 8)
    return Case(
        "large-pieces",
        "three long-lived databases of 60 to 150 MiB in 4 to 10 pieces between pictures, text and "
        "each other, deleted and their MFT records zeroed (NTFS, 4 KiB clusters), for bench/",
        "NTFS", 440, 8, "deleted", steps, lose=lose, zero_records=[big.name, mid.name, low.name],
        verify=pieces_spread_check(3, 10, 30 * MIB), on_request=True)


if __name__ == "__main__":
    sys.exit(main())

