#!/usr/bin/env python3
"""The results file against its schema, and the event stream against both.

Scans kit plug-ins that end in every status with `plugin-scan --events`
under Wine, validates the results file against docs/results.schema.json,
checks that the events come in their order and that the last record each
path was sent in is what the file holds, and that the schema refuses files
that are wrong in the ways a reader would trip over.

    ResultsSchemaTest.py --build BUILD [unittest options]
"""

import argparse
import copy
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

import jsonschema

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
SCHEMA = json.loads((ROOT / "docs" / "results.schema.json").read_text())

KIT = {
    "effect.dll": "ok",
    "shell.dll": "ok",
    "no_entry.dll": "failed",
    "crash_entry.dll": "crashed",
    "hang_entry.dll": "timed out",
    "exit_entry.dll": "ended",
    "fail_fast.dll": "crashed",
    "vst3/Good.vst3": "ok",  # a bundle folder
    "clap/Good.clap": "ok",
    "clap/InitFalse.clap": "failed",
}


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class ResultsSchemaTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="schema-test-"))
        plugins = cls.work / "plugins"
        plugins.mkdir()
        for name in KIT:
            source = BUILD / "bin" / "plugins" / name
            if source.is_dir():
                shutil.copytree(source, plugins / source.name)
            else:
                shutil.copy(source, plugins / source.name)
        cls.results_path = cls.work / "plugins.json"
        command = [str(ROOT / "scripts" / "wine-run"), str(BUILD / "wineprefix"),
                   str(BUILD / "bin" / "plugin-scan.exe"), "--events", "--jobs", "2", "--timeout", "4",
                   "--out", windows_path(cls.results_path), windows_path(plugins)]
        done = subprocess.run(command, capture_output=True, timeout=300)
        assert done.returncode == 0, done.stderr.decode(errors="replace")
        cls.lines = done.stdout.decode("utf-8").splitlines()
        cls.results = json.loads(cls.results_path.read_text(encoding="utf-8"))
        cls.validator = jsonschema.Draft202012Validator(SCHEMA)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_a_scan_of_every_status_is_valid(self):
        self.validator.validate(self.results)
        statuses = {r["path"].rsplit("\\", 1)[-1]: r["status"] for r in self.results["plugins"]}
        self.assertEqual(statuses, {name.rsplit("/", 1)[-1]: status for name, status in KIT.items()})

    def test_events_come_in_order_and_the_last_record_of_each_path_is_the_files(self):
        events = [json.loads(line) for line in self.lines]
        kinds = [event["event"] for event in events]
        self.assertEqual(kinds[0], "start")
        self.assertEqual(kinds[-1], "end")
        self.assertEqual(kinds.count("start"), 1)
        self.assertEqual(kinds.count("end"), 1)
        self.assertLessEqual(set(kinds), {"start", "plugin", "progress", "incident", "warning", "end"})
        self.assertEqual(events[0]["total"], len(KIT))
        record_schema = {"$schema": SCHEMA["$schema"], "$defs": SCHEMA["$defs"], "$ref": "#/$defs/plugin"}
        last = {}
        for event in events:
            if event["event"] == "plugin":
                jsonschema.validate(event["record"], record_schema, cls=jsonschema.Draft202012Validator)
                last[event["record"]["path"]] = event["record"]
        self.assertEqual(sorted(last.values(), key=lambda r: r["path"].lower()),
                         sorted(self.results["plugins"], key=lambda r: r["path"].lower()))
        self.assertEqual(events[-1]["run"], self.results["run"])

    def test_the_schema_refuses_what_a_reader_would_trip_over(self):
        cases = [
            ("a status of its own", lambda r: r["plugins"][0].update(status="broken")),
            ("no path", lambda r: r["plugins"][0].pop("path")),
            ("a number where text belongs", lambda r: r["plugins"][0].update(name=42)),
            ("another format", lambda r: r.update(format=2)),
            ("a platform that is no name", lambda r: r["plugins"][0].update(platform=64)),
            ("a shell id that is not eight hex digits",
             lambda r: [p for p in r["plugins"] if p["shells"]][0]["shells"][0].update(id="12")),
            ("a fault thread of its own",
             lambda r: [p for p in r["plugins"] if p["fault"]][0]["fault"].update(thread="mine")),
        ]
        for label, spoil in cases:
            with self.subTest(label):
                spoilt = copy.deepcopy(self.results)
                spoil(spoilt)
                self.assertFalse(self.validator.is_valid(spoilt))
        extended = copy.deepcopy(self.results)
        extended["plugins"][0]["addedLater"] = {"any": "thing"}
        self.assertTrue(self.validator.is_valid(extended), "keys added later are allowed")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=BUILD)
    options, rest = parser.parse_known_args()
    BUILD = options.build.resolve()
    unittest.main(argv=[sys.argv[0]] + rest)
