#!/usr/bin/python3
"""Judges what tarnwick-cli says of compound files against olefile.

    olefile_agrees.py JSON [--schema SCHEMA] [--cli CLI]

JSON is the output of `inspect --json` ({"files": [...]}) or a rescue report
({"rescued": [...]}). With --schema it must validate against the documented
shape (docs/report.schema.json). Every file whose verdict is "whole" must open
in olefile, and its tree (paths, storage or stream, stream sizes), its contact
and group numbers and its message store size must be what olefile reads.
With --cli, `inspect --json` is run on each file of a report as well and must
say what the report says (of a damaged file: what it holds, not why the
rescue calls it damaged).

Prints "ok N" (N files compared with olefile) or the faults, one a line.
"""
import argparse
import json
import os
import subprocess
import sys

import olefile


def file_path(entry):
    """The file's exact bytes: the hex form when the path is not UTF-8."""
    if "file_bytes_hex" in entry:
        return os.fsdecode(bytes.fromhex(entry["file_bytes_hex"]))
    return entry["file"]


def olefile_view(path):
    ole = olefile.OleFileIO(path)
    tree = {}
    for parts in ole.listdir(streams=True, storages=True):
        kind = ole.get_type(parts)
        tree["/".join(parts)] = ("stream", ole.get_size(parts)) if kind == olefile.STGTY_STREAM \
            else ("storage", 0)

    def numbered(top):
        found = [p.split("/")[1] for p, (k, _) in tree.items()
                 if k == "storage" and p.count("/") == 1 and p.split("/")[0].lower() == top.lower()
                 and p.split("/")[1].isdigit()]
        return sorted(found, key=lambda n: (len(n), n))

    store = sum(size for p, (k, size) in tree.items()
                if k == "stream" and p.split("/")[-1].lower() == "data.msj")
    ole.close()
    return tree, numbered("C2CMsg"), numbered("GroupMsg"), store


def judge(entry):
    faults = []
    path = file_path(entry)
    if entry.get("verdict") != "whole":
        return faults, False
    try:
        tree, contacts, groups, store = olefile_view(path)
    except Exception as e:  # olefile refuses what it cannot read
        return [f"{entry['file']}: whole by the check, but olefile fails: {e}"], False
    said = {e["path"]: (e["type"], e["size"] if e["type"] == "stream" else 0)
            for e in entry["tree"] if e["type"] != "root"}
    if said != tree:
        only_said = sorted(set(said.items()) - set(tree.items()))
        only_ole = sorted(set(tree.items()) - set(said.items()))
        faults.append(f"{entry['file']}: tree differs; only tarnwick: {only_said[:5]}, "
                      f"only olefile: {only_ole[:5]}")
    if entry["contacts"]["numbers"] != contacts or entry["contacts"]["count"] != len(contacts):
        faults.append(f"{entry['file']}: contacts {entry['contacts']} but olefile {contacts}")
    if entry["groups"]["numbers"] != groups or entry["groups"]["count"] != len(groups):
        faults.append(f"{entry['file']}: groups {entry['groups']} but olefile {groups}")
    if entry["message_store_bytes"] != store:
        faults.append(f"{entry['file']}: message store {entry['message_store_bytes']} "
                      f"but olefile {store}")
    return faults, True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("json")
    ap.add_argument("--schema")
    ap.add_argument("--cli")
    a = ap.parse_args()
    with open(a.json, "rb") as f:
        data = json.loads(f.read().decode("utf-8"))  # strict: the text must be UTF-8
    faults = []
    if a.schema:
        import jsonschema
        with open(a.schema) as f:
            schema = json.load(f)
        if "rescued" in data:
            validator = jsonschema.Draft202012Validator(schema)
        else:
            validator = jsonschema.Draft202012Validator(
                {"$defs": schema["$defs"], "$ref": "#/$defs/inspect_output"})
        faults += [f"shape: {e.message} at {list(e.absolute_path)}"
                   for e in validator.iter_errors(data)]
    entries = data.get("files", data.get("rescued", []))
    compared = 0
    for entry in entries:
        if "error" in entry:
            continue
        f, done = judge(entry)
        faults += f
        compared += done
        if a.cli and "rescued" in data:
            r = subprocess.run([a.cli, "inspect", "--json", file_path(entry)], capture_output=True)
            if r.returncode != 0:
                faults.append(f"{entry['file']}: inspect failed: {r.stderr!r}")
                continue
            alone = json.loads(r.stdout)["files"][0]
            keys = ("verdict", "problem", "tree", "contacts", "groups",
                    "message_store_bytes", "intact_streams", "broken_streams")
            if entry.get("verdict") == "damaged":
                # The rescue knows more than the file's structure shows (zeros
                # for unreadable sectors, a guess, plain data among encrypted):
                # the file alone must agree on what it holds, not on the verdict.
                keys = ("tree", "contacts", "groups", "message_store_bytes")
            for key in keys:
                if alone.get(key) != entry.get(key):
                    faults.append(f"{entry['file']}: inspect says {key} {alone.get(key)!r}, "
                                  f"the report {entry.get(key)!r}")
    for fault in faults:
        print(fault)
    if faults:
        sys.exit(1)
    print(f"ok {compared}")


if __name__ == "__main__":
    main()
