#!/usr/bin/python3
"""Writes OLE2 compound files laid out as a long-lived program leaves them.

`gsf createole` writes every stream in one run and puts the FAT and the
directory at the end. A database that grew for years looks different: its
FAT sectors lie wherever the file had grown to when they were needed, the
directory and the mini FAT sit in the middle, stream chains jump back and
forth, and freed sectors keep what was written there before. This writer lays
files out that way, seeded so that the same arguments give the same bytes.

    write_compound(streams, seed=1, sector_size=512) -> bytes

streams maps a path ("C2CMsg/12345/Data.msj") to its bytes; the folders of a
path become storages. Streams under 4096 bytes go to the mini stream. A file
over about 7 MiB (512-byte sectors) needs more FAT sectors than the header
lists, and gets a DIFAT chain.

Run as a program it writes a sample and checks it with olefile.
"""
import random
import struct
import sys

FREE = 0xFFFFFFFF
END = 0xFFFFFFFE
FATSECT = 0xFFFFFFFD
DIFSECT = 0xFFFFFFFC
NOSTREAM = 0xFFFFFFFF
MINI_CUTOFF = 4096
MINI = 64


def _sort_key(name):
    return (len(name), name.upper())


class _Node:
    def __init__(self, name, kind):
        self.name = name
        self.kind = kind  # 1 storage, 2 stream, 5 root
        self.children = {}
        self.data = b""
        self.id = None
        self.left = self.right = self.child = NOSTREAM
        self.start = END
        self.size = 0


def _tree(streams):
    root = _Node("Root Entry", 5)
    for path, data in streams.items():
        parts = path.split("/")
        node = root
        for p in parts[:-1]:
            node = node.children.setdefault(p, _Node(p, 1))
        leaf = node.children.setdefault(parts[-1], _Node(parts[-1], 2))
        leaf.data = bytes(data)
        leaf.size = len(data)
    return root


def _number(root):
    order = []

    def visit(n):
        n.id = len(order)
        order.append(n)
        for c in sorted(n.children.values(), key=lambda x: _sort_key(x.name)):
            visit(c)

    visit(root)
    return order


def _link_siblings(node):
    """A balanced binary tree over the children (all black is a valid red-black tree)."""
    kids = sorted(node.children.values(), key=lambda x: _sort_key(x.name))

    def build(lo, hi):
        if lo >= hi:
            return NOSTREAM
        mid = (lo + hi) // 2
        kids[mid].left = build(lo, mid)
        kids[mid].right = build(mid + 1, hi)
        return kids[mid].id

    node.child = build(0, len(kids))
    for k in kids:
        _link_siblings(k)


def _runs(count, rng):
    """Splits sector indexes 0..count-1 into runs of 1 to 6 sectors."""
    out, i = [], 0
    while i < count:
        n = min(count - i, rng.randint(1, 6))
        out.append(list(range(i, i + n)))
        i += n
    return out


def write_compound(streams, seed=1, sector_size=512, spare=0.08):
    rng = random.Random(seed)
    ss = sector_size
    per_fat = ss // 4
    root = _tree(streams)
    nodes = _number(root)
    _link_siblings(root)

    # The mini stream: small streams in 64-byte sectors, their chains
    # interleaved with each other as a growing file would leave them.
    small = [n for n in nodes if n.kind == 2 and 0 < n.size < MINI_CUTOFF]
    mini_units = []
    for n in small:
        for r in _runs((n.size + MINI - 1) // MINI, rng):
            mini_units.append((n, r))
    rng.shuffle(mini_units)
    mini_pos = {}
    slot = 0
    for n, r in mini_units:
        for k in r:
            mini_pos[(n.id, k)] = slot
            slot += 1
    mini_fat = [FREE] * slot
    mini_data = bytearray(slot * MINI)
    for n in small:
        cnt = (n.size + MINI - 1) // MINI
        n.start = mini_pos[(n.id, 0)]
        for k in range(cnt):
            p = mini_pos[(n.id, k)]
            mini_fat[p] = mini_pos[(n.id, k + 1)] if k + 1 < cnt else END
            chunk = n.data[k * MINI:(k + 1) * MINI]
            mini_data[p * MINI:p * MINI + len(chunk)] = chunk
            # the tail of a mini sector keeps what was there before
            if len(chunk) < MINI:
                mini_data[p * MINI + len(chunk):(p + 1) * MINI] = rng.randbytes(MINI - len(chunk))
    mini_fat += [FREE] * ((-len(mini_fat)) % per_fat)

    # What the sectors hold, chain by chain.
    chains = {}
    big = [n for n in nodes if n.kind == 2 and n.size >= MINI_CUTOFF]
    for n in big:
        chains[("s", n.id)] = [n.data[i:i + ss] for i in range(0, n.size, ss)]
    if mini_data:
        chains[("mini",)] = [bytes(mini_data[i:i + ss]) for i in range(0, len(mini_data), ss)]
    if slot:
        raw = b"".join(struct.pack("<I", v) for v in mini_fat)
        chains[("minifat",)] = [raw[i:i + ss] for i in range(0, len(raw), ss)]
    dir_sectors = (len(nodes) * 128 + ss - 1) // ss
    chains[("dir",)] = [None] * dir_sectors
    data_sectors = sum(len(c) for c in chains.values())
    spare_count = int(data_sectors * spare) + rng.randint(0, 3)

    fat_n, difat_n = 1, 0
    while True:
        total = data_sectors + spare_count + fat_n + difat_n
        need_fat = (total + per_fat - 1) // per_fat
        need_difat = max(0, (need_fat - 109 + per_fat - 2) // (per_fat - 1))
        if need_fat == fat_n and need_difat == difat_n:
            break
        fat_n, difat_n = need_fat, need_difat
    total = data_sectors + spare_count + fat_n + difat_n

    # Lay the runs of every chain, the FAT and DIFAT sectors and the spare
    # sectors out in a shuffled order: chains jump back and forth.
    units = []
    for key, c in chains.items():
        for r in _runs(len(c), rng):
            units.append((key, r))
    units += [(("fat",), [k]) for k in range(fat_n)]
    units += [(("difat",), [k]) for k in range(difat_n)]
    units += [(("spare",), [k]) for k in range(spare_count)]
    rng.shuffle(units)
    where = {}
    pos = 0
    for key, r in units:
        for k in r:
            where.setdefault(key, {})[k] = pos
            pos += 1
    # FAT and DIFAT sectors were added as the file grew: their places rise.
    for key in (("fat",), ("difat",)):
        if key in where:
            places = sorted(where[key].values())
            where[key] = dict(enumerate(places))

    fat = [FREE] * (fat_n * per_fat)
    sectors = [None] * total
    for key, c in chains.items():
        for k in range(len(c)):
            p = where[key][k]
            fat[p] = where[key][k + 1] if k + 1 < len(c) else END
    for k in range(fat_n):
        fat[where[("fat",)][k]] = FATSECT
    for k in range(difat_n):
        fat[where[("difat",)][k]] = DIFSECT

    for n in big:
        n.start = where[("s", n.id)][0]
    if mini_data:
        root.start = where[("mini",)][0]
        root.size = len(mini_data)
    else:
        root.start, root.size = END, 0

    # Directory entries.
    raw_dir = bytearray()
    for n in nodes:
        e = bytearray(128)
        name = n.name.encode("utf-16-le")[:62]
        e[0:len(name)] = name
        struct.pack_into("<H", e, 64, len(name) + 2)
        e[66] = n.kind
        e[67] = 1  # black
        struct.pack_into("<III", e, 68, n.left, n.right, n.child)
        struct.pack_into("<I", e, 116, n.start if n.kind != 1 else 0)
        struct.pack_into("<Q", e, 120, n.size if n.kind != 1 else 0)
        raw_dir += e
    while len(raw_dir) % ss:
        free = bytearray(128)
        struct.pack_into("<III", free, 68, NOSTREAM, NOSTREAM, NOSTREAM)
        raw_dir += free
    chains[("dir",)] = [bytes(raw_dir[i:i + ss]) for i in range(0, len(raw_dir), ss)]

    for key, c in chains.items():
        for k, data in enumerate(c):
            sectors[where[key][k]] = data.ljust(ss, b"\0")
    raw_fat = b"".join(struct.pack("<I", v) for v in fat)
    for k in range(fat_n):
        sectors[where[("fat",)][k]] = raw_fat[k * ss:(k + 1) * ss]
    fat_places = [where[("fat",)][k] for k in range(fat_n)]
    rest = fat_places[109:]
    for k in range(difat_n):
        part = rest[k * (per_fat - 1):(k + 1) * (per_fat - 1)]
        part += [FREE] * (per_fat - 1 - len(part))
        nxt = where[("difat",)][k + 1] if k + 1 < difat_n else END
        sectors[where[("difat",)][k]] = b"".join(struct.pack("<I", v) for v in part + [nxt])
    for k in range(spare_count):
        # a freed sector keeps what it held: mostly old (encrypted) records,
        # now and then zeros or text
        kind = rng.randrange(10)
        if kind == 0:
            old = (b"old record %d " % rng.randrange(10**6)) * (ss // 16)
        elif kind == 1:
            old = bytes(ss)
        else:
            old = rng.randbytes(ss)
        sectors[where[("spare",)][k]] = old[:ss].ljust(ss, b"\0")

    header = bytearray(ss)
    header[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHHH", header, 24, 0x3E, 3 if ss == 512 else 4, 0xFFFE,
                     9 if ss == 512 else 12, 6)
    struct.pack_into("<I", header, 40, 0)
    struct.pack_into("<I", header, 44, fat_n)
    struct.pack_into("<I", header, 48, where[("dir",)][0])
    struct.pack_into("<I", header, 56, MINI_CUTOFF)
    if slot:
        struct.pack_into("<II", header, 60, where[("minifat",)][0], len(chains[("minifat",)]))
    else:
        struct.pack_into("<II", header, 60, END, 0)
    struct.pack_into("<II", header, 68, where[("difat",)][0] if difat_n else END, difat_n)
    for i in range(109):
        v = fat_places[i] if i < fat_n else FREE
        struct.pack_into("<I", header, 76 + 4 * i, v)
    # the file ends with its last used sector
    last = max(i for i, v in enumerate(fat) if v != FREE)
    return bytes(header) + b"".join(sectors[:last + 1])


def qq_streams(rng, size_scale=1):
    """Streams named as a QQ message store: encrypted-looking data."""
    s = {
        "Matrix.dat": rng.randbytes(rng.randint(800, 3000)),
        "seqbase.dat": rng.randbytes(rng.randint(100, 600)),
        "Info.dat": rng.randbytes(rng.randint(5000, 12000) * size_scale),
    }
    for k in range(rng.randint(1, 4)):
        peer = rng.randint(10000, 999999999)
        s["C2CMsg/%d/Data.msj" % peer] = rng.randbytes(rng.randint(4096, 40000) * size_scale)
        s["C2CMsg/%d/Index.msj" % peer] = rng.randbytes(rng.randint(64, 3000))
    return s


def plain_streams(rng):
    """A compound file of another program: no QQ names."""
    return {
        "WordDocument": rng.randbytes(rng.randint(5000, 20000)),
        "\x05SummaryInformation": rng.randbytes(rng.randint(200, 900)),
        "ObjectPool/_1234/Contents": rng.randbytes(rng.randint(100, 8000)),
    }


def _main():
    import argparse
    import io
    import olefile
    ap = argparse.ArgumentParser(description="write a compound file laid out as a long-lived program does")
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sector-size", type=int, default=512, choices=(512, 4096))
    ap.add_argument("--scale", type=int, default=1, help="multiplies the large streams' sizes")
    ap.add_argument("--plain", action="store_true", help="no QQ names")
    ap.add_argument("--list", action="store_true", help="print each stream's path and size")
    a = ap.parse_args()
    rng = random.Random(a.seed)
    streams = plain_streams(rng) if a.plain else qq_streams(rng, a.scale)
    data = write_compound(streams, seed=a.seed, sector_size=a.sector_size)
    ole = olefile.OleFileIO(io.BytesIO(data), raise_defects=olefile.DEFECT_INCORRECT)
    for path, content in streams.items():
        if ole.openstream(path).read() != content:
            sys.exit("olefile reads %s differently" % path)
    with open(a.out, "wb") as f:
        f.write(data)
    if a.list:
        for path in sorted(streams):
            print("%s\t%d" % (path, len(streams[path])))


if __name__ == "__main__":
    _main()
