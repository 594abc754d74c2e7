#!/usr/bin/python3
"""Builds an NTFS image through an ntfs-3g mount, as a user's disk comes to look:

    make_ntfs_volume.py IMAGE WORKDIR

Two QQ-like databases and a text file grown in turns (so they lie in many
interleaved pieces), one grown in 4 KiB steps beside a filler until its
record needs an attribute list, one whose clusters a live file takes after
its deletion, and a small file whose record a new file takes. The databases'
bytes go to WORKDIR/originals/NAME; WORKDIR/expect.json says which are
expected back and how.
"""
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "corpus"))
import ole_writer  # noqa: E402

FOLDER = "Users/Alice/AppData/Roaming/Tencent Files/20481234"


def database(seed, scale):
    rng = random.Random(seed)
    return ole_writer.write_compound(ole_writer.qq_streams(rng, scale), seed=seed)


def grow_in_turns(files, step):
    """Appends to each file in turn, one step each, flushing every write so that
    the allocator places each step on its own."""
    offsets = {path: 0 for path in files}
    while any(offsets[p] < len(files[p]) for p in files):
        for path, data in files.items():
            at = offsets[path]
            if at >= len(data):
                continue
            # Opened anew for every step: ntfs-3g keeps a file's next clusters
            # beside it while it stays open.
            with open(path, "ab") as h:
                h.write(data[at:at + step])
                h.flush()
                os.fsync(h.fileno())
            offsets[path] = at + step


class Mount:
    def __init__(self, image, work):
        self.image = image
        self.point = tempfile.mkdtemp(prefix="ntfs-mnt-", dir=work)

    def __enter__(self):
        self.proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach", self.image, self.point],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(200):
            if os.path.ismount(self.point):
                return self.point
            if self.proc.poll() is not None:
                sys.exit("ntfs-3g could not mount: " + self.proc.stderr.read().decode())
            time.sleep(0.05)
        sys.exit("the ntfs-3g mount did not appear")

    def __exit__(self, *exc):
        subprocess.run(["umount", self.point], check=True)
        self.proc.wait()
        os.rmdir(self.point)


def overwrite_fat_sector(image, path, original):
    """Writes text over the cluster of a deleted database that holds its last
    FAT sector, as a file whose own record is gone since would have: the
    database's record still lists the cluster, and its streams lose their chains."""
    listing = subprocess.run(["fls", "-r", "-d", "-p", image], capture_output=True, text=True,
                             check=True).stdout
    inode = next(line.split()[2].split("-")[0] for line in listing.splitlines()
                 if line.endswith("\t" + path))
    stat = subprocess.run(["istat", image, inode], capture_output=True, text=True,
                          check=True).stdout
    data = stat[stat.index("$DATA"):].splitlines()[1:]
    clusters = [int(w) for line in data for w in line.split() if w.isdigit()]
    fat = [n for n in struct.unpack_from("<109I", original, 76) if n != 0xFFFFFFFF]
    offset = (fat[-1] + 1) * 512
    with open(image, "r+b") as f:
        f.seek(clusters[offset // 4096] * 4096)
        f.write((b"a line of text written later " * 200)[:4096])
    return offset // 512 - 1


def main():
    image, work = sys.argv[1], sys.argv[2]
    originals = os.path.join(work, "originals")
    os.makedirs(originals, exist_ok=True)
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    subprocess.run(["mkfs.ntfs", "-F", "-f", "-q", "-c", "4096", image], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dbs = {
        "Msg2.0.db": database(11, 40),
        "Msg3.0.db": database(12, 25),
        "Big.db": database(13, 60),
        "Reused.db": database(14, 20),
    }
    for name, data in dbs.items():
        with open(os.path.join(originals, name), "wb") as f:
            f.write(data)
    with Mount(image, work) as mnt:
        folder = os.path.join(mnt, FOLDER)
        os.makedirs(folder)
        holes = os.path.join(mnt, "holes")
        os.makedirs(holes)
        with open(os.path.join(mnt, "small.txt"), "w") as f:
            f.write("a small note\n" * 20)
        # Holes between files that stay: 32 KiB ones for the two databases grown
        # in turns, single clusters for the one that needs an attribute list.
        made = []
        plan = [(32768, (len(dbs["Msg2.0.db"]) + len(dbs["Msg3.0.db"])) // 32768 + 8),
                (4096, len(dbs["Big.db"]) // 4096 + 8)]
        for size, count in plan:
            for i in range(count):
                hole = os.path.join(holes, f"hole-{size}-{i:04d}.tmp")
                with open(hole, "wb") as f:
                    f.write(os.urandom(size))
                made.append(hole)
                with open(os.path.join(holes, f"keep-{size}-{i:04d}.txt"), "wb") as f:
                    f.write((f"kept line {i} " * 400).encode()[:4096])
        st = os.statvfs(mnt)
        with open(os.path.join(mnt, "fill.bin"), "wb") as f:
            f.write(os.urandom(st.f_bavail * st.f_frsize - len(dbs["Reused.db"]) - (64 << 10)))
    with Mount(image, work) as mnt:
        folder = os.path.join(mnt, FOLDER)
        for hole in made:
            os.remove(os.path.join(mnt, "holes", os.path.basename(hole)))
        with open(os.path.join(folder, "Reused.db"), "wb") as f:
            f.write(dbs["Reused.db"])
        grow_in_turns({os.path.join(folder, "Msg2.0.db"): dbs["Msg2.0.db"],
                       os.path.join(folder, "Msg3.0.db"): dbs["Msg3.0.db"]}, 32768)
        with open(os.path.join(folder, "Big.db"), "wb") as f:
            f.write(dbs["Big.db"])
    with Mount(image, work) as mnt:
        folder = os.path.join(mnt, FOLDER)
        os.remove(os.path.join(mnt, "small.txt"))
        with open(os.path.join(mnt, "new.txt"), "w") as f:
            f.write("a new note\n")
        os.remove(os.path.join(folder, "Reused.db"))
        for name in ("Msg2.0.db", "Msg3.0.db", "Big.db"):
            os.remove(os.path.join(folder, name))
    fat_sector = overwrite_fat_sector(image, FOLDER + "/Reused.db", dbs["Reused.db"])
    expect = {"folder": FOLDER, "whole": ["Msg2.0.db", "Msg3.0.db", "Big.db"],
              "damaged": ["Reused.db"], "overwritten_fat_sector": fat_sector}
    with open(os.path.join(work, "expect.json"), "w") as f:
        json.dump(expect, f)


if __name__ == "__main__":
    main()
