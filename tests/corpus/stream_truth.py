#!/usr/bin/python3
"""Counts what a corpus run gave for its QQ databases, against the originals.

    stream_truth.py WORKDIR

WORKDIR is the folder rescue_corpus.py ran in (its cases/ and out/). For every
rescue there (out/<case>-all, out/<case>-free with their .json reports) each
QQ database of the case is counted back (byte-equal in the folder), damaged
(a file in damaged/ that starts where it lay) or silent; and every stream of
every rescued database, as its report states it (intact, uncertain or
broken; a whole file's streams are all intact), is read with olefile and
compared with the original's: a stream called intact that differs is a lie.

Prints one line per rescue and the totals; exit 1 when a stream is called
intact that differs from the original, 0 otherwise.
"""
import json
import os
import pathlib
import sys


def stream_bytes(path):
    import olefile  # only the system Python has it
    out = {}
    try:
        with olefile.OleFileIO(path) as ole:
            for p in ole.listdir(streams=True, storages=False):
                try:
                    out["/".join(p)] = ole.openstream(p).read()
                except Exception:  # a stream olefile cannot follow reads as nothing
                    out["/".join(p)] = None
    except Exception:
        return None
    return out


def tally_rescue(case_dir, out_dir, report_path, totals):
    manifest = json.loads((case_dir / "manifest.json").read_text())
    report = json.loads(report_path.read_text()) if report_path.exists() else {"rescued": []}
    qq = [f for f in manifest["files"] if f["kind"] == "qq"]
    by_start = {f["fragments"][0][0]: f for f in qq}
    counts = dict.fromkeys(["back", "damaged", "silent", "wrong_whole", "intact", "intact_wrong", "uncertain",
                            "uncertain_wrong", "broken", "broken_right"], 0)
    seen = set()
    for entry in report.get("rescued", []):
        lost = by_start.get(entry.get("start_sector"))
        path = str(entry.get("file", ""))
        if lost is None or not path.upper().endswith(".DB") or not os.path.isfile(path):
            continue
        damaged = entry.get("verdict") == "damaged"
        if not damaged and entry.get("sha256") == lost["sha256"]:
            seen.add(lost["name"])
            counts["back"] += 1
        elif damaged and lost["name"] not in seen:
            seen.add(lost["name"])
            counts["damaged"] += 1
        elif not damaged:
            counts["wrong_whole"] += 1
        intact = set(entry.get("intact_streams") or [])
        uncertain = set(entry.get("uncertain_streams") or [])
        got = stream_bytes(path) or {}
        want = stream_bytes(case_dir / "originals" / lost["name"]) or {}
        for name, data in got.items():
            right = data is not None and want.get(name) == data
            if name in intact and name not in uncertain:
                state = "intact"
            elif name in uncertain:
                state = "uncertain"
            else:
                state = "broken"
            if state == "broken":
                counts["broken_right" if right else "broken"] += 1
            else:
                counts[state if right else state + "_wrong"] += 1
    counts["silent"] = len([f for f in qq if f["name"] not in seen])
    for k, v in counts.items():
        totals[k] = totals.get(k, 0) + v
    return counts


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    work = pathlib.Path(argv[1])
    totals = {}
    for out_dir in sorted((work / "out").iterdir()):
        if not out_dir.is_dir():
            continue
        case = out_dir.name.rsplit("-", 1)[0]
        case_dir = work / "cases" / case
        if not (case_dir / "manifest.json").exists():
            continue
        c = tally_rescue(case_dir, out_dir, out_dir.parent / (out_dir.name + ".json"), totals)
        print(f"{out_dir.name}: " + " ".join(f"{k}={v}" for k, v in c.items()))
    print("total: " + " ".join(f"{k}={v}" for k, v in totals.items()))
    return 1 if totals.get("intact_wrong") else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
