#!/usr/bin/python3
"""Checks the corpus builder and the rescue judge on two small FAT16 cases.

The builder must make the same image and manifest for the same seed, and the
judge must pass a faithful rescue and fail the ways a rescue goes wrong: a
database missing, a cut database, a plain compound file written as .DB, a
report that names the wrong sectors or leaves a file out; an "either"
database passes whole or in damaged/ with its intact streams true, a pending
one fails only with --strict, and a wrong whole file or a stream called
intact that differs fails whatever is pending.

    selftest.py            (skips itself when a tool is missing)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build_corpus.py")
CHECK = os.path.join(HERE, "check_rescue.py")
TOOLS = ("mkfs.vfat", "mcopy", "mdel", "gsf", "fls", "istat", "fsstat", "blkls", "zip", "7z",
         "qpdf", "convert")


def missing_tools():
    return [t for t in TOOLS if shutil.which(t) is None]


def build(outdir, case, seed=1):
    subprocess.run([sys.executable, BUILD, outdir, "--case", case, "--seed", str(seed)],
                   check=True, capture_output=True)
    with open(os.path.join(outdir, case, "manifest.json")) as f:
        return json.load(f)


def judge(case_dir, out_dir, *extra):
    # The judge's own rules are tested with no carver ready unless a test says otherwise.
    if "--carvers-ready" not in extra:
        extra = (*extra, "--carvers-ready", os.devnull)
    result = subprocess.run([sys.executable, CHECK, case_dir, out_dir, *extra],
                            capture_output=True, text=True)
    return result.returncode, result.stdout


@unittest.skipIf(missing_tools(), f"tools missing: {missing_tools()}")
class CorpusTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="corpus-selftest-")
        cls.allocated = build(cls.root, "fat16-frag-allocated")
        cls.deleted = build(cls.root, "fat16-frag-deleted")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def case_dir(self, name):
        return os.path.join(self.root, name)

    def rescue_of(self, manifest, names):
        """An output folder holding the named originals as a rescue would write them."""
        out = tempfile.mkdtemp(prefix="out-", dir=self.root)
        report = {"rescued": []}
        for i, name in enumerate(names):
            f = next(f for f in manifest["files"] if f["name"] == name)
            target = f"FILE_AAAAAAA{chr(ord('A') + i)}.DB"
            shutil.copyfile(os.path.join(self.case_dir(manifest["case"]), "originals", name),
                            os.path.join(out, target))
            report["rescued"].append({"file": os.path.join(out, target), "start_sector":
                                      f["fragments"][0][0], "bytes": f["size"],
                                      "sectors": f["fragments"], "sha256": f["sha256"]})
        report_path = out + ".json"
        with open(report_path, "w") as fh:
            json.dump(report, fh)
        return out, report_path

    def qq_names(self, manifest, expected):
        return [f["name"] for f in manifest["files"] if f["kind"] == "qq" and f["expected"] == expected]

    def test_same_seed_same_image_and_manifest(self):
        again = os.path.join(self.root, "again")
        manifest = build(again, "fat16-frag-allocated")
        self.assertEqual(manifest, self.allocated)
        with open(os.path.join(again, "fat16-frag-allocated", "image.img"), "rb") as a, \
                open(os.path.join(self.case_dir("fat16-frag-allocated"), "image.img"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        other = build(os.path.join(self.root, "seed2"), "fat16-frag-allocated", seed=2)
        self.assertNotEqual([f["sha256"] for f in other["files"]],
                            [f["sha256"] for f in self.allocated["files"]])

    def test_scenarios_are_what_the_cases_promise(self):
        frag = self.qq_names(self.allocated, "free-only")
        self.assertEqual(len(frag), 1)
        db = next(f for f in self.allocated["files"] if f["name"] == frag[0])
        self.assertTrue(db["fragmented"])
        self.assertEqual(db["state_after_loss"], "deleted")
        self.assertTrue(all(g["allocated_after_loss"] for g in db["gaps"]))
        plain = [f for f in self.allocated["files"] if f["kind"] == "compound"]
        self.assertTrue(plain and not plain[0]["compound"]["qq"])
        later = self.qq_names(self.deleted, "later")
        self.assertEqual(len(later), 2)
        for f in self.deleted["files"]:
            if f["kind"] == "qq":
                self.assertEqual(f["compound"]["sector_shift"], 9)
                self.assertTrue(f["compound"]["bytes_match_fat"])
                owners = [o for g in f["gaps"] for o in g["occupied_by"]]
                self.assertTrue(owners)
                self.assertTrue(all(o.endswith((".jpg", ".zip")) for o in owners))

    def test_faithful_rescue_passes(self):
        names = self.qq_names(self.allocated, "free-only")
        out, report = self.rescue_of(self.allocated, names)
        status, text = judge(self.case_dir("fat16-frag-allocated"), out, "--free-only",
                             "--report", report)
        self.assertEqual(status, 0, text)
        self.assertIn("PASS", text)

    def test_free_only_database_is_required_only_with_free_only(self):
        out, _ = self.rescue_of(self.allocated, [])
        self.assertEqual(judge(self.case_dir("fat16-frag-allocated"), out)[0], 0)
        status, text = judge(self.case_dir("fat16-frag-allocated"), out, "--free-only")
        self.assertEqual(status, 1)
        self.assertIn("MISSING", text)

    def test_later_databases_do_not_fail_when_missing(self):
        out, _ = self.rescue_of(self.deleted, [])
        status, text = judge(self.case_dir("fat16-frag-deleted"), out)
        self.assertEqual(status, 0, text)
        self.assertIn("expected: later", text)

    def test_later_databases_are_required_once_their_carvers_are_ready(self):
        needs = {f["name"]: f["needs"] for f in self.deleted["files"] if f["kind"] == "qq"}
        self.assertEqual(needs, {"Msg2.0.db": ["jpg"], "Msg3.0.db": ["jpg", "zip"]})
        ready = os.path.join(self.root, "ready.txt")
        case = self.case_dir("fat16-frag-deleted")
        nothing, _ = self.rescue_of(self.deleted, [])
        only_first, _ = self.rescue_of(self.deleted, ["Msg2.0.db"])
        with open(ready, "w") as f:
            f.write("jpg\n")
        status, text = judge(case, nothing, "--carvers-ready", ready)
        self.assertEqual(status, 1, text)
        self.assertIn("Msg2.0.db: expected back", text)
        self.assertNotIn("Msg3.0.db: expected back", text)
        self.assertEqual(judge(case, only_first, "--carvers-ready", ready)[0], 0)
        with open(ready, "w") as f:
            f.write("# landed\njpg\n\nzip\n")
        status, text = judge(case, only_first, "--carvers-ready", ready)
        self.assertEqual(status, 1, text)
        self.assertIn("Msg3.0.db: expected back", text)
        self.assertIn("always (jpg, zip ready)", text)

    def test_plain_compound_file_written_as_database_fails(self):
        plain = [f["name"] for f in self.allocated["files"] if f["kind"] == "compound"]
        out, _ = self.rescue_of(self.allocated, self.qq_names(self.allocated, "free-only") + plain)
        status, text = judge(self.case_dir("fat16-frag-allocated"), out, "--free-only")
        self.assertEqual(status, 1)
        self.assertIn("WRONG", text)

    def test_cut_database_fails(self):
        names = self.qq_names(self.allocated, "free-only")
        out, _ = self.rescue_of(self.allocated, names)
        target = os.path.join(out, sorted(os.listdir(out))[0])
        with open(target, "r+b") as f:
            f.truncate(os.path.getsize(target) - 512)
        status, text = judge(self.case_dir("fat16-frag-allocated"), out, "--free-only")
        self.assertEqual(status, 1)
        self.assertIn("MISSING", text)
        self.assertIn("WRONG", text)

    def test_report_with_wrong_sectors_or_missing_entry_fails(self):
        names = self.qq_names(self.allocated, "free-only")
        out, report_path = self.rescue_of(self.allocated, names)
        with open(report_path) as f:
            report = json.load(f)
        first, last = report["rescued"][0]["sectors"][0]
        # Reading straight on over the allocated neighbour is what a wrong assembly does.
        report["rescued"][0]["sectors"] = [[first, first + (report["rescued"][0]["bytes"] + 511) // 512 - 1]]
        with open(report_path, "w") as f:
            json.dump(report, f)
        status, text = judge(self.case_dir("fat16-frag-allocated"), out, "--free-only",
                             "--report", report_path)
        self.assertEqual(status, 1)
        self.assertIn("sectors", text)
        with open(report_path, "w") as f:
            json.dump({"rescued": []}, f)
        status, text = judge(self.case_dir("fat16-frag-allocated"), out, "--free-only",
                             "--report", report_path)
        self.assertEqual(status, 1)
        self.assertIn("not in the report", text)


    def variant(self, manifest, label, **changes):
        """A copy of the case (manifest and originals) whose QQ databases carry `changes`."""
        case_dir = os.path.join(self.root, f"{manifest['case']}-{label}")
        if os.path.exists(case_dir):
            shutil.rmtree(case_dir)
        os.makedirs(case_dir)
        os.symlink(os.path.join(self.case_dir(manifest["case"]), "originals"),
                   os.path.join(case_dir, "originals"))
        edited = json.loads(json.dumps(manifest))
        for f in edited["files"]:
            if f["kind"] == "qq":
                f.update(changes)
        with open(os.path.join(case_dir, "manifest.json"), "w") as fh:
            json.dump(edited, fh)
        return case_dir, edited

    def damaged_rescue(self, manifest, placed, intact):
        """A rescue with, in damaged/, the original `placed[lost]` at each lost database's
        start; the report calls the streams `intact` intact."""
        out = tempfile.mkdtemp(prefix="out-", dir=self.root)
        os.makedirs(os.path.join(out, "damaged"))
        report = {"rescued": []}
        for i, (lost, source) in enumerate(placed.items()):
            f = next(f for f in manifest["files"] if f["name"] == lost)
            target = os.path.join(out, "damaged", f"FILE_DAMAGED{i}.DB")
            shutil.copyfile(os.path.join(self.case_dir(manifest["case"]), "originals", source), target)
            report["rescued"].append({"file": target, "start_sector": f["fragments"][0][0],
                                      "verdict": "damaged", "intact_streams": intact,
                                      "uncertain_streams": [], "broken_streams": []})
        with open(out + ".json", "w") as fh:
            json.dump(report, fh)
        return out, out + ".json"

    def test_pending_database_shows_and_fails_only_when_strict(self):
        case, edited = self.variant(self.allocated, "pending", pending="the engine cannot yet")
        names = self.qq_names(edited, "free-only")
        out, report = self.rescue_of(edited, [])
        status, text = judge(case, out, "--free-only", "--report", report)
        self.assertEqual(status, 0, text)
        self.assertIn("PENDING (the engine cannot yet)", text)
        status, text = judge(case, out, "--free-only", "--report", report, "--strict")
        self.assertEqual(status, 1, text)
        self.assertIn("pending: the engine cannot yet", text)
        out, report = self.rescue_of(edited, names)
        status, text = judge(case, out, "--free-only", "--report", report, "--strict")
        self.assertEqual(status, 0, text)
        self.assertIn("PENDING MET", text)

    def test_wrong_whole_database_fails_even_when_pending(self):
        case, edited = self.variant(self.deleted, "pending-wrong", expected="always", pending="not yet")
        first, second = [f for f in edited["files"] if f["kind"] == "qq"]
        out, report = self.rescue_of(edited, [first["name"]])
        # The second database's bytes at its start are some other file's: cut by 512 bytes.
        cut = os.path.join(out, "FILE_CUT.DB")
        with open(os.path.join(case, "originals", second["name"]), "rb") as fh:
            data = fh.read()[:-512]
        with open(cut, "wb") as fh:
            fh.write(data)
        status, text = judge(case, out)
        self.assertEqual(status, 1, text)
        self.assertIn("WRONG (equal to no original)", text)
        self.assertIn("PENDING (not yet)", text)

    def test_either_database_whole_or_damaged_with_true_streams(self):
        case, edited = self.variant(self.deleted, "either", expected="either")
        first, second = [f["name"] for f in edited["files"] if f["kind"] == "qq"]
        whole, report = self.rescue_of(edited, [first, second])
        self.assertEqual(judge(case, whole, "--report", report)[0], 0)
        streams = ["Matrix.dat", "seqbase.dat"]
        right, report = self.damaged_rescue(edited, {first: first, second: second}, streams)
        status, text = judge(case, right, "--report", report)
        self.assertEqual(status, 0, text)
        self.assertIn("ok (damaged)", text)
        # Each database's place holds the other's bytes: the streams called intact lie.
        swapped, report = self.damaged_rescue(edited, {first: second, second: first}, streams)
        status, text = judge(case, swapped, "--report", report)
        self.assertEqual(status, 1, text)
        self.assertIn("calls ['Matrix.dat', 'seqbase.dat'] intact, which differ", text)
        nothing, report = self.rescue_of(edited, [first])
        status, text = judge(case, nothing, "--report", report)
        self.assertEqual(status, 1, text)
        self.assertIn(f"{second}: expected back byte-equal or in damaged/", text)

    def test_lying_intact_stream_fails_even_when_pending(self):
        case, edited = self.variant(self.deleted, "either-pending", expected="either", pending="not yet")
        first, second = [f["name"] for f in edited["files"] if f["kind"] == "qq"]
        swapped, report = self.damaged_rescue(edited, {first: second}, ["Matrix.dat"])
        status, text = judge(case, swapped, "--report", report)
        self.assertEqual(status, 1, text)
        self.assertIn("which differ", text)
        self.assertIn("PENDING (not yet)", text)


if __name__ == "__main__":
    unittest.main()
