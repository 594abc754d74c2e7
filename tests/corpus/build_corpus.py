#!/usr/bin/python3
"""Builds disk images that hold lost QQ chat databases, made with the real tools.

Every case is a small story told with mkfs.vfat/mtools or mkfs.ntfs/ntfs-3g:
files are written (databases made by `gsf createole`, neighbours made by
ImageMagick, zip, 7z, gcab and qpdf), then lost by deleting them or by
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
    out = os.path.join(work, f"pic.{fmt}")
    cmd = [CONVERT, "-seed", str(rng.randint(1, 2**31 - 1)), "-size", f"{width}x{height}",
           "plasma:fractal", "-seed", str(rng.randint(1, 2**31 - 1)),
           "-attenuate", "0.6", "+noise", "Gaussian", "-strip"]
    if fmt == "jpg":
        cmd += ["-quality", str(quality)]
    else:
        cmd += ["-define", "png:exclude-chunks=date,time"]
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

        The volumes here stand for disks formatted on Windows, whose FAT the
        free-space map checks for exactly that value; fsck.fat accepts both.
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


class NtfsVolume:
    """An NTFS volume in an image file, written through an ntfs-3g FUSE mount."""

    def __init__(self, image, size, work):
        self.image, self.size, self.work = image, size, work
        self.name = "NTFS"
        self.mountpoint = None

    def format(self):
        if not os.path.exists(self.image):
            with open(self.image, "wb") as f:
                f.truncate(self.size)
        run(["mkfs.ntfs", "-F", "-f", "-q", "-T", "-L", "TARNCORPUS", self.image])

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

    def write(self, src, name):
        dst = os.path.join(self.mountpoint, name)
        shutil.copyfile(src, dst)
        with open(dst, "rb+") as f:
            os.fsync(f.fileno())

    def delete(self, name):
        os.remove(os.path.join(self.mountpoint, name))

    def free_bytes(self):
        return None


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
    cmd = ["fls", "-r", "-p"] + (["-d"] if deleted_only else []) + [image]
    entries = []
    for line in run(cmd).splitlines():
        m = FLS_LINE.match(line)
        if m:
            entries.append({"type": m.group(2), "deleted": bool(m.group(3)),
                            "inode": m.group(4), "name": m.group(5)})
    return entries


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


def qq(name, size, expect="always"):
    return Item(name, ("qq", size), "qq", "ole", expect)


def compound(name, size, variant):
    return Item(name, ("compound", size, variant), "compound", "ole")


def picture(name, fmt, width, height, quality=90):
    return Item(name, ("picture", fmt, width, height, quality), "other", fmt)


def archive(name, fmt, size):
    return Item(name, ("archive", fmt, size), "other", fmt)


def pdf(name, size):
    return Item(name, ("pdf", size), "other", "pdf")


def blob(name, size):
    return Item(name, ("blob", size), "other", "bin")


def zeros(name, size):
    """A file of zeros, kept sparse on the host (the large case's spacer)."""
    return Item(name, ("zeros", size), "other", "bin")


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
         ("write", qq("Msg2.0.db", 100 * KIB, "later")),
         ("write", qq("Msg3.0.db", 60 * KIB, "later")),
         ("write", compound("Thumbs.db", 30 * KIB, "neither"))],
        lose=["Msg2.0.db", "Msg3.0.db", "Thumbs.db", "photo.jpg", "bundle.zip", "snap.jpg"]))
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
    return c


def make_bytes(item, rng, work, case_name):
    recipe = item.make
    what = recipe[0]
    if what == "blob":
        return rng.randbytes(recipe[1])
    if what == "picture":
        return image_file(rng, work, recipe[1], recipe[2], recipe[3], recipe[4])
    if what == "archive":
        return archive_file(rng, work, recipe[1], recipe[2])
    if what == "pdf":
        return pdf_file(rng, work, recipe[1])
    if what in ("qq", "compound"):
        for attempt in range(8):
            tree = qq_tree(rng, recipe[1]) if what == "qq" else plain_tree(rng, recipe[1], recipe[2])
            data = make_compound(rng, work, tree, f"{case_name}-{attempt}")
            if not inner_signature_hits(data):
                item.tree = tree
                return data
        raise BuildError(f"{item.name}: every attempt had a file signature at a sector start")
    raise ValueError(what)


def make_volume(case, image, work):
    if case.fs == "NTFS":
        return NtfsVolume(image, case.size_mib * MIB, work)
    return FatVolume(image, int(case.fs[3:]), case.size_mib * MIB, case.cluster_sectors)


def fill_volume(volume, name, work):
    """Writes a zero file over every free cluster left, so the next-free hint ends at the last cluster."""
    free = volume.free_bytes()
    if not free:
        raise BuildError("no free space to fill")
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.truncate(free)
    volume.write(path, name)
    os.remove(path)
    if volume.free_bytes():
        raise BuildError(f"{name} did not fill the volume")


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
    return entry


def record_before_loss(case, image, written):
    layout = layout_of(image, case.fs)
    by_name = {e["name"].lstrip("/"): e for e in fls_entries(image) if not e["deleted"]}
    files = []
    for name, (item, path) in written.items():
        if name not in by_name:
            raise BuildError(f"{case.name}: fls does not list {name}")
        files.append(describe_file(case, image, layout, item, path, by_name[name]["inode"]))
    return layout, files


def apply_loss(case, volume):
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
    live = {e["inode"]: e for e in fls_entries(image) if not e["deleted"]}
    live_names = {e["name"].lstrip("/") for e in live.values()}
    deleted = {e["inode"] for e in fls_entries(image, deleted_only=True)}
    unit, allocated = allocated_units(image)
    per_unit = layout["cluster_bytes"] // SECTOR if unit == "Cluster" else 1

    def sector_allocated(s):
        return (s // per_unit) in allocated

    for f in files:
        lost = case.loss == "formatted" or f["name"] in case.lose
        if case.loss == "formatted":
            if f["name"] in live_names:
                raise BuildError(f"{f['name']} still listed after the format")
            f["state_after_loss"] = "formatted"
        elif lost:
            if f["inode"] in live and live[f["inode"]]["name"].lstrip("/") == f["name"]:
                raise BuildError(f"{f['name']} is still allocated after the loss")
            if f["inode"] not in deleted:
                raise BuildError(f"fls -d does not list {f['name']} ({f['inode']}) as deleted")
            f["state_after_loss"] = "deleted"
        else:
            if f["name"] not in live_names:
                raise BuildError(f"{f['name']} should have stayed allocated")
            f["state_after_loss"] = "allocated"
        f["intact_after_loss"] = hash_runs(image, f["fragments"], f["size"]) == f["sha256"]
        f["sectors_free_after_loss"] = not any(
            sector_allocated(s) for a, b in f["fragments"] for s in range(a, b + 1))
        f["gaps"] = []
        pairs = list(zip(f["fragments"], f["fragments"][1:]))
        # A fragment that lies before its predecessor cannot be followed by reading onwards.
        f["fragments_ascending"] = all(a1 < b0 for (_, a1), (b0, _) in pairs)
        for (a0, a1), (b0, b1) in pairs if f["fragments_ascending"] else []:
            gap = [a1 + 1, b0 - 1]
            gap_allocated = all(sector_allocated(s) for s in range(gap[0], gap[1] + 1))
            f["gaps"].append({"sectors": gap, "occupied_by": owners_of(files, *gap),
                              "allocated_after_loss": gap_allocated})
    by_name = {f["name"]: f for f in files}
    for f in files:
        if f["kind"] != "qq":
            f["expected"] = None
            continue
        f["expected"] = expectation_of(f, by_name)


def expectation_of(f, by_name):
    """What a rescue can give back: always, free-only (needs --free-only), later, or never."""
    if not f["intact_after_loss"] or f["state_after_loss"] == "allocated":
        return "never"
    if not f["fragmented"]:
        return "always"
    if not f["fragments_ascending"]:
        return "never"
    if all(g["allocated_after_loss"] for g in f["gaps"]):
        return "free-only"
    # Around deleted ZIP and JPEG files the carvers of those formats must claim them first.
    claimable = {"zip", "jpg"}

    def claimed_later(gap):
        owners = [by_name[o] for o in gap["occupied_by"]]
        return bool(owners) and all(o["format"] in claimable and o["state_after_loss"] == "deleted"
                                    for o in owners)

    if all(g["allocated_after_loss"] or claimed_later(g) for g in f["gaps"]):
        return "later"
    return "never"


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
        volume = make_volume(case, image, work)
        volume.format()
        written = {}
        run_steps(case, volume, rng, work, originals, written)
        layout, files = record_before_loss(case, image, written)
        how = apply_loss(case, volume)
        verify_after_loss(case, image, layout, files)
    finally:
        shutil.rmtree(work, ignore_errors=True)
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
        "files": files,
    }
    with open(os.path.join(case_dir, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1, ensure_ascii=False)
        f.write("\n")
    # The manifest stays for inspection even when the image missed what the case meant.
    for f in files:
        declared = next(i for _, i in case.steps if isinstance(i, Item) and i.name == f["name"]).expect
        if f["kind"] == "qq" and declared != f["expected"]:
            raise BuildError(f"{case.name}/{f['name']}: meant to be '{declared}', "
                             f"the image makes it '{f['expected']}'")
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


if __name__ == "__main__":
    sys.exit(main())
