#!/usr/bin/python3
"""Judges a rescue of a corpus case against the files as they were before the loss.

    check_rescue.py CASE_DIR RESCUE_OUT_DIR [--report report.json] [--free-only]
                    [--carvers-ready FILE] [--strict]

CASE_DIR is one case made by build_corpus.py (its manifest.json is read);
RESCUE_OUT_DIR is the folder the rescue wrote into. Every QQ database of the
case that the rescue can be expected to give back must be there byte for byte
(same sha256), and every rescued file must be byte-equal to an original: a
.DB file to a QQ database, any other file to some original of the case. A
file that is neither is a wrong file presented as rescued.

What is expected comes from the manifest: "always" (one piece, intact),
"free-only" (fragmented around files the file system still allocates; expected
when the rescue ran with --free-only, so pass --free-only here too), "later"
(fragmented around deleted files that need carvers of other formats: shown,
never failing) and "never". A "later" database whose manifest names the formats
it needs ("needs") is expected like an "always" one (or a "free-only" one when
"needs_free_only" is set) once every one of them is listed in the carvers-ready
file: tests/corpus/carvers_ready.txt beside this script unless --carvers-ready
names another, one format a line. A "damaged" database (written over in part
after the loss) must be in the damaged/ sub-folder, every stream the manifest
names in "streams_intact" reading there as in the original (olefile); with
--report, the report must name no other stream intact, and all of them but
the small ones kept in the mini stream. An "either" database (its clusters
interleaved with another's that look the same) may come back byte for byte or
in damaged/; there, every stream the report calls intact must read as in the
original.

A database may carry "pending" (why the engine cannot yet give it back as
expected): when it does not come back so, it is shown as PENDING and does not
fail the run, unless --strict is given; when it does, it is shown as PENDING
MET. A .DB file presented as rescued that equals no QQ original, and a stream
of a damaged file that the report calls intact but that differs from the
original, fail the run whatever is pending.

With --report, the rescue's JSON report is checked as well: each rescued file
must be listed with its true size and sha256, and the sector runs it was
assembled from must be the sectors the original occupied.

Exit status: 0 when everything expected came back and nothing else was
written, 1 otherwise, 2 on bad usage.
"""

import argparse
import hashlib
import json
import os
import sys

DEFAULT_READY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "carvers_ready.txt")


def read_ready(path):
    """The format names whose carvers have landed: one a line, blank lines and # comments skipped."""
    with open(path, encoding="utf-8") as f:
        return {line.strip() for line in f if line.strip() and not line.lstrip().startswith("#")}


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(4 * 1024 * 1024):
            digest.update(chunk)
    return digest.hexdigest()


def merged(runs):
    out = []
    for first, last in sorted((int(a), int(b)) for a, b in runs):
        if out and first <= out[-1][1] + 1:
            out[-1][1] = max(out[-1][1], last)
        else:
            out.append([first, last])
    return out


def rescued_files(out_dir):
    files = {}
    for name in sorted(os.listdir(out_dir)):
        path = os.path.join(out_dir, name)
        if os.path.isfile(path):
            files[name] = {"size": os.path.getsize(path), "sha256": sha256_of_file(path)}
    return files


def carvers_landed(f, ready):
    needs = f.get("needs") or []
    return f.get("expected") == "later" and bool(needs) and set(needs) <= ready


def required(f, free_only, ready):
    expected = f["expected"]
    if carvers_landed(f, ready):
        return free_only or not f.get("needs_free_only")
    return expected == "always" or (expected == "free-only" and free_only)


def expectation_text(f, free_only, ready):
    expected = f["expected"]
    needs = ", ".join(f.get("needs") or [])
    if carvers_landed(f, ready):
        if f.get("needs_free_only") and not free_only:
            return f"free-only ({needs} ready; not run so)"
        return f"{'free-only' if f.get('needs_free_only') else 'always'} ({needs} ready)"
    if expected == "free-only" and not free_only:
        return "free-only (not run so)"
    if expected == "later":
        return f"expected: later (needs {needs})" if needs else "expected: later"
    return expected or "-"


def damaged_files(out_dir):
    """The files in the damaged/ sub-folder: name -> path."""
    folder = os.path.join(out_dir, "damaged")
    if not os.path.isdir(folder):
        return {}
    return {name: os.path.join(folder, name) for name in sorted(os.listdir(folder))}


def streams_read_as(path, original, streams):
    """True when every named stream reads from the file at `path` as from `original` (olefile)."""
    import olefile  # only the system Python has it
    try:
        with olefile.OleFileIO(path) as ole, olefile.OleFileIO(original) as org:
            return all(ole.openstream(s).read() == org.openstream(s).read() for s in streams)
    except Exception:  # not readable as a compound file, or a stream missing or cut
        return False


def streams_differing(path, original, streams):
    """The named streams that do not read from `path` as from `original` (olefile), sorted."""
    import olefile  # only the system Python has it
    if not streams:
        return []
    try:
        ole = olefile.OleFileIO(path)
    except Exception:  # not readable at all: nothing it names can be checked as right
        return sorted(streams)
    wrong = []
    with ole, olefile.OleFileIO(original) as org:
        for s in streams:
            try:
                same = ole.openstream(s).read() == org.openstream(s).read()
            except Exception:  # missing or cut in one of them
                same = False
            if not same:
                wrong.append(s)
    return sorted(wrong)


def judge_damaged(f, damaged, originals_dir):
    """The file in damaged/ that holds the database's surviving streams, or None."""
    original = os.path.join(originals_dir, f["name"])
    for name, path in damaged.items():
        if streams_read_as(path, original, f.get("streams_intact", [])):
            return name
    return None


def damaged_entries(report):
    """start sector -> the report's damaged entries that start there."""
    out = {}
    for entry in (report or {}).get("rescued", []):
        if entry.get("verdict") == "damaged":
            out.setdefault(entry.get("start_sector"), []).append(entry)
    return out


def judge_either(f, damaged, originals_dir, report):
    """The damaged/ file that stands for an "either" database, or None.

    With a report: one of its damaged entries starting where the database
    lay. Without: any file in damaged/ that reads as a compound file with the
    original's streams."""
    if report is not None:
        for entry in damaged_entries(report).get(f["fragments"][0][0], []):
            name = os.path.basename(str(entry.get("file", "")))
            if name in (damaged or {}):
                return name
        return None
    for name, path in (damaged or {}).items():
        if streams_read_as(path, os.path.join(originals_dir, f["name"]), []):
            return name
    return None


def outcome(f, hits, need, damaged, originals_dir, report):
    """(what is shown as expected, rescued file, byte-equal, result, fault or None) for one database."""
    frag = "yes" if f["fragmented"] else "no"
    if f["expected"] == "damaged" and damaged is not None and not hits:
        name = judge_damaged(f, damaged, originals_dir)
        return ("damaged", f"damaged/{name}" if name else "(none)", "no", "ok (damaged)" if name else "MISSING",
                None if name else "expected in damaged/ with its surviving streams, not found"), frag
    if f["expected"] == "either" and not hits:
        name = judge_either(f, damaged, originals_dir, report)
        return ("either", f"damaged/{name}" if name else "(none)", "no", "ok (damaged)" if name else "MISSING",
                None if name else "expected back byte-equal or in damaged/, neither found"), frag
    if hits:
        result, fault = "ok", None
    elif need:
        result, fault = "MISSING", "expected back byte-equal, not found"
    else:
        result, fault = "-", None
    return (None, ", ".join(hits) or "(none)", "yes" if hits else "no", result, fault), frag


def judge(manifest, rescued, free_only, ready=frozenset(), damaged=None, originals_dir=None,
          report=None, strict=False):
    """Rows of the table, the list of faults, and (pending, pending met) counts."""
    rows, faults = [], []
    pending = met = 0
    qq = [f for f in manifest["files"] if f["kind"] == "qq"]
    by_sha = {}
    for f in manifest["files"]:
        by_sha.setdefault(f["sha256"], []).append(f)
    matched = set()
    for f in qq:
        hits = [name for name, r in rescued.items() if r["sha256"] == f["sha256"]]
        matched.update(hits)
        need = required(f, free_only, ready) or f["expected"] == "either"
        (shown, got, equal, result, fault), frag = outcome(f, hits, need, damaged, originals_dir, report)
        why = f.get("pending")
        if why:
            # Waiting for the engine: only a run that asks for it fails on it.
            if fault is None and result != "-":
                result, met = "PENDING MET", met + 1
            elif fault is not None:
                pending += 1
                result = f"PENDING ({why})"
                if strict:
                    faults.append(f"{f['name']}: {fault} (pending: {why})")
        elif fault is not None:
            faults.append(f"{f['name']}: {fault}")
        rows.append([f["name"], str(f["size"]), frag, shown or expectation_text(f, free_only, ready),
                     got, equal, result])
    for name, r in rescued.items():
        if name in matched:
            continue
        owners = by_sha.get(r["sha256"], [])
        if name.upper().endswith(".DB"):
            # Never excused by a pending item: a wrong database shown as good is the worst outcome.
            what = f"equal to {owners[0]['kind']} file {owners[0]['name']}" if owners else "equal to no original"
            faults.append(f"{name}: {what}, presented as a rescued database")
            rows.append(["(none)", str(r["size"]), "-", "-", name, "no",
                         f"WRONG ({what})"])
        elif owners:
            rows.append([owners[0]["name"], str(r["size"]), "yes" if owners[0]["fragmented"] else "no",
                         "-", name, "yes", "ok"])
        else:
            faults.append(f"{name}: equal to no original of the case")
            rows.append(["(none)", str(r["size"]), "-", "-", name, "no", "WRONG"])
    return rows, faults, (pending, met)


def small_streams(path, cutoff=4096):
    """Paths of the streams kept in the mini stream of the compound file at `path`."""
    import olefile  # only the system Python has it
    with olefile.OleFileIO(path) as ole:
        return {"/".join(p) for p in ole.listdir(streams=True, storages=False)
                if ole.get_size(p) < cutoff}


def judge_report(report, manifest, rescued, originals_dir=None):
    """Faults in the rescue's report: files it names, their sizes, hashes and sector runs."""
    faults = []
    originals = {f["sha256"]: f for f in manifest["files"]}
    by_start = {f["fragments"][0][0]: f for f in manifest["files"] if f["kind"] == "qq"}
    listed = set()
    for entry in report.get("rescued", []):
        name = os.path.basename(str(entry.get("file", "")))
        if entry.get("verdict") == "damaged":
            # Written under damaged/: never presented as rescued.
            if os.path.basename(os.path.dirname(str(entry.get("file", "")))) != "damaged":
                faults.append(f"report's damaged {name} is not under damaged/")
            lost = by_start.get(entry.get("start_sector"))
            if lost is None:
                faults.append(f"report's damaged {name} starts where no QQ database lay")
            elif originals_dir:
                # A stream called intact must be the original's, whatever the case expects.
                uncertain = set(entry.get("uncertain_streams") or [])
                named = [s for s in entry.get("intact_streams") or [] if s not in uncertain]
                wrong = streams_differing(str(entry.get("file", "")),
                                          os.path.join(originals_dir, lost["name"]), named)
                if wrong:
                    faults.append(f"report's damaged {name} calls {wrong} intact, which differ "
                                  f"from {lost['name']}")
            elif lost.get("expected") == "damaged":
                # Never a broken stream named intact; every surviving stream
                # named, but for small ones (the mini stream is judged whole).
                named = set(entry.get("intact_streams") or [])
                kept = set(lost.get("streams_intact") or [])
                if named - kept:
                    faults.append(f"report's damaged {name} names {sorted(named - kept)} intact, "
                                  f"which {lost['name']} lost")
                small = small_streams(os.path.join(originals_dir, lost["name"])) if originals_dir else set()
                if kept - named - small:
                    faults.append(f"report's damaged {name} does not name {sorted(kept - named - small)} "
                                  f"intact")
            continue
        listed.add(name)
        actual = rescued.get(name)
        if actual is None:
            faults.append(f"report lists {name}, which is not in the output folder")
            continue
        if entry.get("bytes") != actual["size"]:
            faults.append(f"report gives {name} {entry.get('bytes')} bytes, the file has {actual['size']}")
        if str(entry.get("sha256", "")).lower() != actual["sha256"]:
            faults.append(f"report's sha256 of {name} is not the file's")
        original = originals.get(actual["sha256"])
        if original is not None:
            try:
                runs = merged(entry.get("sectors", []))
            except (TypeError, ValueError):
                runs = None
            if runs != merged(original["fragments"]):
                faults.append(f"report's sectors of {name} {runs} are not where "
                              f"{original['name']} lay {merged(original['fragments'])}")
    for name in rescued:
        if name not in listed:
            faults.append(f"{name} is in the output folder but not in the report")
    return faults


def print_table(rows):
    header = ["original", "size", "fragmented", "expected", "rescued file", "byte-equal", "result"]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(widths[i]) for i, cell in enumerate(row)).rstrip())


def main(argv=None):
    parser = argparse.ArgumentParser(description="Compare a rescue with a corpus case's originals.")
    parser.add_argument("case_dir")
    parser.add_argument("out_dir")
    parser.add_argument("--report", help="the rescue's JSON report (tarnwick-cli rescue --report)")
    parser.add_argument("--free-only", action="store_true",
                        help="the rescue ran with --free-only")
    parser.add_argument("--carvers-ready", default=DEFAULT_READY, metavar="FILE",
                        help="formats whose carvers have landed, one a line (default: %(default)s)")
    parser.add_argument("--strict", action="store_true",
                        help="fail pending databases too when they do not come back as expected")
    args = parser.parse_args(argv)
    try:
        ready = read_ready(args.carvers_ready)
    except OSError as err:
        print(f"check_rescue: cannot read the carvers-ready list: {err}", file=sys.stderr)
        return 2
    try:
        with open(os.path.join(args.case_dir, "manifest.json")) as f:
            manifest = json.load(f)
    except (OSError, ValueError) as err:
        print(f"check_rescue: cannot read the case's manifest: {err}", file=sys.stderr)
        return 2
    if not os.path.isdir(args.out_dir):
        print(f"check_rescue: no output folder {args.out_dir}", file=sys.stderr)
        return 1
    rescued = rescued_files(args.out_dir)
    report, report_faults = None, []
    if args.report:
        try:
            with open(args.report) as f:
                report = json.load(f)
        except (OSError, ValueError) as err:
            report_faults.append(f"cannot read the report: {err}")
        else:
            report_faults += judge_report(report, manifest, rescued, os.path.join(args.case_dir, "originals"))
    rows, faults, (pending, met) = judge(manifest, rescued, args.free_only, ready, damaged_files(args.out_dir),
                                         os.path.join(args.case_dir, "originals"), report, args.strict)
    faults += report_faults
    damaged_dir = os.path.join(args.out_dir, "damaged")
    damaged = len(os.listdir(damaged_dir)) if os.path.isdir(damaged_dir) else 0
    print(f"case {manifest['case']} ({manifest['file_system']}, {manifest['loss']['kind']})"
          f"{', --free-only' if args.free_only else ''}: {len(rescued)} file(s) rescued"
          f"{f', {damaged} in damaged/' if damaged else ''}")
    if ready:
        print(f"carvers ready: {', '.join(sorted(ready))}")
    print_table(rows)
    if pending or met:
        print(f"pending: {pending} not yet as expected, {met} met")
    for fault in faults:
        print(f"FAULT: {fault}")
    print("PASS" if not faults else f"FAIL ({len(faults)} fault(s))")
    return 0 if not faults else 1


if __name__ == "__main__":
    sys.exit(main())
