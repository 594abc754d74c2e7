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

A database the manifest marks pending is counted pending, or pending met
when it came back as expected (byte for byte; for "damaged" and "either" in
damaged/ too).

Prints one line per rescue and the totals; exit 1 when a stream is called
intact that differs from the original or a .DB presented as whole differs
from it, 0 otherwise.
"""
import json
import os
import pathlib
import re
import sys

# out/<case>-all, out/<case>-free, and out/<case>-all-<n> for a rescue with other options.
OUT_NAME = re.compile(r"^(?P<case>.+)-(?:all|free)(?:-\d+)?$")


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
                            "uncertain_wrong", "broken", "broken_right", "pending", "pending_met"], 0)
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
        got = stream_bytes(path) or {}
        # A file presented as whole vouches for every stream of it.
        intact = set(entry.get("intact_streams") or []) if damaged else set(got)
        uncertain = set(entry.get("uncertain_streams") or [])
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
    back = {f["name"] for f in qq if any(e.get("sha256") == f["sha256"] and e.get("verdict") != "damaged"
                                         for e in report.get("rescued", []))}
    for f in qq:
        if f.get("pending"):
            as_expected = f["name"] in back or (f["expected"] in ("damaged", "either") and f["name"] in seen)
            counts["pending_met" if as_expected else "pending"] += 1
    for k, v in counts.items():
        totals[k] = totals.get(k, 0) + v
    return counts


def summary(c):
    """The counts in words: databases, streams against the originals, pending items."""
    return (f"databases {c.get('back', 0)} back, {c.get('damaged', 0)} damaged, {c.get('silent', 0)} silent"
            f" ({c.get('wrong_whole', 0)} wrong whole); streams {c.get('intact', 0) + c.get('intact_wrong', 0)}"
            f" intact ({c.get('intact_wrong', 0)} differ), "
            f"{c.get('uncertain', 0) + c.get('uncertain_wrong', 0)} uncertain ({c.get('uncertain_wrong', 0)} differ), "
            f"{c.get('broken', 0) + c.get('broken_right', 0)} broken ({c.get('broken_right', 0)} equal to the "
            f"original); pending {c.get('pending', 0)}, pending met {c.get('pending_met', 0)}")


def tally_workdir(work, show=print):
    """Totals over every rescue in WORKDIR/out; `show` gets one line per rescue."""
    totals = {}
    out = work / "out"
    for out_dir in sorted(out.iterdir()) if out.is_dir() else []:
        m = OUT_NAME.match(out_dir.name)
        if not out_dir.is_dir() or not m:
            continue
        case_dir = work / "cases" / m.group("case")
        if not (case_dir / "manifest.json").exists():
            continue
        c = tally_rescue(case_dir, out_dir, out_dir.parent / (out_dir.name + ".json"), totals)
        show(f"{out_dir.name}: " + " ".join(f"{k}={v}" for k, v in c.items()))
    return totals


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    totals = tally_workdir(pathlib.Path(argv[1]))
    print("total: " + " ".join(f"{k}={v}" for k, v in totals.items()))
    print("total: " + summary(totals))
    return 1 if totals.get("intact_wrong") or totals.get("wrong_whole") else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
