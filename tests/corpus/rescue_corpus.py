#!/usr/bin/python3
"""Rescues every case of the corpus with tarnwick-cli and judges the result.

    rescue_corpus.py CLI WORKDIR [--case NAME ...] [--seed N]

Builds the cases into WORKDIR/cases (the default set unless --case is given),
runs `rescue` on each with the options its manifest names, and once more
without --free-only where it names that, and checks each rescue with
check_rescue.py. Every command of the CLI that reads the image (identify,
hexdump, freemap, scan, rescue) must leave the image as it was (its data extents
and where its holes lie).

A FAT case whose databases wait for other formats' carvers ("later", with
"needs") is rescued once more from a copy whose FAT marks those deleted
neighbours allocated again, with --free-only: that stands in for carvers that
claim exactly their files, and every such database must then come back.
"""
import argparse
import hashlib
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
PYTHON = "/usr/bin/python3"


def sha256(path):
    """A digest of the image's bytes and of where its holes lie.

    The big images are sparse (a 4 GiB FAT32 holds a few MiB): only the data
    extents are read, each with its offset, so a byte written into a hole
    changes the digest as surely as one written over data."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        fd, end, at = f.fileno(), os.fstat(f.fileno()).st_size, 0
        while at < end:
            try:
                start = os.lseek(fd, at, os.SEEK_DATA)
            except OSError:  # nothing but a hole to the end
                break
            stop = os.lseek(fd, start, os.SEEK_HOLE)
            h.update(f"{start}-{stop}:".encode())
            f.seek(start)
            left = stop - start
            while left > 0:
                block = f.read(min(left, 1 << 20))
                if not block:
                    break
                h.update(block)
                left -= len(block)
            at = stop
        h.update(f"end {end}".encode())
    return h.hexdigest()


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, env={"TARNWICK_LANG": "en", "PATH": "/usr/bin:/bin"})


def claimed_copy(case_dir, manifest, dest):
    """A copy of a FAT case whose FAT chains every deleted neighbour's clusters again.

    Returns the formats of the neighbours so marked."""
    dest.mkdir(parents=True)
    image = dest / "image.img"
    shutil.copyfile(case_dir / manifest["image"], image)
    (dest / "manifest.json").write_text(json.dumps(manifest))
    bits = 32 if manifest["file_system"] == "FAT32" else 16
    start, per = manifest["cluster_area_start"], manifest["cluster_bytes"] // 512
    marked = set()
    with open(image, "r+b") as f:
        boot = f.read(512)
        reserved, fats = struct.unpack_from("<H", boot, 14)[0], boot[16]
        fat_sectors = struct.unpack_from("<H", boot, 22)[0] or struct.unpack_from("<I", boot, 36)[0]
        for file in manifest["files"]:
            if file["format"] in ("ole", "bin") or file["state_after_loss"] != "deleted":
                continue
            clusters = []
            for first, last in file["fragments"]:
                clusters += range((first - start) // per + 2, (last - start) // per + 3)
            chain = clusters[1:] + [0x0FFFFFFF if bits == 32 else 0xFFFF]
            for k in range(fats):
                for cluster, following in zip(clusters, chain):
                    f.seek((reserved + k * fat_sectors) * 512 + cluster * bits // 8)
                    f.write(struct.pack("<I" if bits == 32 else "<H", following))
            marked.add(file["format"])
    return marked


def waits_for_carvers(manifest):
    return manifest["file_system"] in ("FAT16", "FAT32") and any(
        f["kind"] == "qq" and f["expected"] == "later" and f.get("needs") for f in manifest["files"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("cli")
    ap.add_argument("workdir")
    ap.add_argument("--case", action="append", default=[])
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    work = pathlib.Path(args.workdir)
    cases_dir = work / "cases"
    if cases_dir.exists():
        shutil.rmtree(cases_dir)
    build = [PYTHON, str(HERE / "build_corpus.py"), str(cases_dir), "--seed", str(args.seed)]
    for name in args.case:
        build += ["--case", name]
    subprocess.run(build, check=True)

    passed = failed = 0
    for manifest_path in sorted(cases_dir.glob("*/manifest.json")):
        case_dir = manifest_path.parent
        manifest = json.loads(manifest_path.read_text())
        image = case_dir / manifest["image"]
        before = sha256(image)
        options = list(manifest.get("rescue_options", []))
        runs = [options]
        if "--free-only" in options:
            runs.append([o for o in options if o != "--free-only"])
        # A volume formatted over is rescued again with what a user might say of it,
        # right or wrong: where the disk shows the grids, the word changes nothing.
        plain = len(runs)
        runs += manifest.get("also_rescue_with", [])
        for n, opts in enumerate(runs):
            label = f"{manifest['case']} {' '.join(opts) or '(whole scan)'}"
            kind = "-free" if "--free-only" in opts else "-all"
            out = work / "out" / (manifest["case"] + kind + (f"-{n}" if n >= plain else ""))
            if out.exists():
                shutil.rmtree(out)
            out.mkdir(parents=True)
            report = out.parent / (out.name + ".json")
            r = run([args.cli, "rescue", str(image), "--out", str(out), "--report", str(report)] + opts)
            problems = []
            if r.returncode != 0:
                problems.append(f"rescue exited {r.returncode}: {r.stderr.strip()[-300:]}")
            elif not r.stdout.strip().splitlines()[-1].startswith("Rescued file "):
                problems.append(f"last line of stdout is not the end message: {r.stdout!r}")
            check = [PYTHON, str(HERE / "check_rescue.py"), str(case_dir), str(out), "--report", str(report)]
            if "--free-only" in opts:
                check.append("--free-only")
            c = subprocess.run(check, capture_output=True, text=True)
            print(f"{label}:")
            print(c.stdout, end="")
            if c.returncode != 0:
                problems.append("check_rescue found faults")
            for p in problems:
                print(f"FAULT {label}: {p}")
            if problems:
                failed += 1
            else:
                passed += 1
        if waits_for_carvers(manifest):
            label = f"{manifest['case']} with its neighbours claimed"
            claimed = work / "claimed" / manifest["case"]
            if claimed.exists():
                shutil.rmtree(claimed)
            ready = claimed / "carvers_ready.txt"
            formats = claimed_copy(case_dir, manifest, claimed)
            ready.write_text("".join(f"{name}\n" for name in sorted(formats)))
            out = claimed / "out"
            out.mkdir()
            report = claimed / "report.json"
            r = run([args.cli, "rescue", str(claimed / "image.img"), "--out", str(out),
                     "--report", str(report), "--free-only"])
            c = subprocess.run([PYTHON, str(HERE / "check_rescue.py"), str(claimed), str(out),
                                "--report", str(report), "--free-only", "--carvers-ready", str(ready)],
                               capture_output=True, text=True)
            print(f"{label}:")
            print(c.stdout, end="")
            if r.returncode != 0 or c.returncode != 0:
                print(f"FAULT {label}: rescue exited {r.returncode}, check_rescue {c.returncode}")
                failed += 1
            else:
                passed += 1
        for cmd in (["identify", str(image)], ["hexdump", str(image), "0"], ["freemap", str(image)],
                    ["scan", str(image)]):
            run([args.cli] + cmd)
        if sha256(image) != before:
            print(f"FAULT {manifest['case']}: the image changed")
            failed += 1
    # What came back, against the originals stream by stream, over every rescue above.
    sys.path.insert(0, str(HERE))
    import stream_truth
    totals = stream_truth.tally_workdir(work, show=lambda line: None)
    print("counts: " + stream_truth.summary(totals))
    if totals.get("intact_wrong") or totals.get("wrong_whole"):
        print("FAULT: a stream called intact, or a database presented as whole, differs from the original")
        failed += 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
