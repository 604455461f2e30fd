#!/usr/bin/env python3
"""The page of plugin-scan --html, as a browser shows it.

Scans kit plug-ins with plugin-scan under Wine, VST 2 ones and VST3 and CLAP
modules, renders the page in Debian's chromium (headless), and checks what the
page shows against the results file; renders hand-made results with --no-scan
to check the escaping, the three formats side by side and the ties between
them, and five thousand plug-ins to check the filters at scale. The page's controls
are driven through its test fragment (#test-search=...&test-toggle=...).

    HtmlReportTest.py --build BUILD [--screenshot PNG] [unittest options]

Needs a display for Wine (scripts/test runs CTest under xvfb-run).
REPORT_SCREENSHOT=PNG does what --screenshot does.
"""

import argparse
import html.parser
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
SCREENSHOT = None
STATUSES = ["ok", "failed", "crashed", "timed out", "ended"]
# The page shows failed files that are no VST 2 plug-ins as a group of their own.
NOT_VST2 = "not VST 2"
PAGE_STATUSES = STATUSES + [NOT_VST2]


def page_status(record):
    if record["status"] == "failed" and record.get("reason") == "not a VST 2 plug-in":
        return NOT_VST2
    return record["status"]


# The kit plug-ins scanned, under their own names, with how each must end.
KIT = [
    ("effect.dll", "ok"),  # a plain effect
    ("synth.dll", "ok"),  # a synth that lists a sub-plug-in no one should ask for
    ("shell.dll", "ok"),  # a shell whose two sub-plug-ins are scanned one by one
    ("no_entry.dll", "failed"),  # no entry point: the server says so
    ("crash_entry.dll", "crashed"),  # faults in its entry point
    ("hang_entry.dll", "timed out"),  # never returns: the time limit ends it
    ("exit_entry.dll", "ended"),  # ends its process in its entry point
    ("prints.dll", "ok"),  # prints: what the scanner keeps of it unfolds like a failure
]
TIMEOUT_SECONDS = "4"

VOID_ELEMENTS = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
                 "source", "track", "wbr"}


class Element:
    def __init__(self, tag, attrs, parent):
        self.tag = tag
        self.attrs = dict(attrs)
        self.parent = parent
        self.children = []

    def text(self):
        return "".join(c if isinstance(c, str) else c.text() for c in self.children)

    def iter(self):
        yield self
        for child in self.children:
            if isinstance(child, Element):
                yield from child.iter()

    def has_class(self, name):
        return name in (self.attrs.get("class") or "").split()

    def find_all(self, tag=None, cls=None, **attrs):
        return [e for e in self.iter()
                if (tag is None or e.tag == tag) and (cls is None or e.has_class(cls))
                and all(e.attrs.get(k.replace("_", "-")) == v for k, v in attrs.items())]

    def find(self, tag=None, cls=None, **attrs):
        found = self.find_all(tag, cls, **attrs)
        return found[0] if found else None

    def elements(self):
        return [c for c in self.children if isinstance(c, Element)]

    @property
    def hidden(self):
        return "hidden" in self.attrs


class TreeBuilder(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = Element("#document", [], None)
        self.open = self.root

    def handle_starttag(self, tag, attrs):
        element = Element(tag, attrs, self.open)
        self.open.children.append(element)
        if tag not in VOID_ELEMENTS:
            self.open = element

    def handle_endtag(self, tag):
        node = self.open
        while node is not self.root and node.tag != tag:
            node = node.parent
        if node is not self.root:
            self.open = node.parent

    def handle_data(self, data):
        self.open.children.append(data)


def chromium_command(profile):
    return [shutil.which("chromium") or "/usr/bin/chromium", "--headless", "--no-sandbox",
            "--disable-gpu", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--no-first-run", "--user-data-dir=" + profile]


def render(page, fragment="", window=None):
    """The page's DOM after its scripts ran, as a tree; window is "WIDTH,HEIGHT"."""
    size = ["--window-size=" + window] if window else []
    with tempfile.TemporaryDirectory() as profile:
        done = subprocess.run(chromium_command(profile) + size + ["--dump-dom", page.as_uri() + fragment],
                              capture_output=True, text=True, timeout=180)
    if done.returncode != 0 or "<html" not in done.stdout:
        raise AssertionError("chromium failed (%d): %s" % (done.returncode, done.stderr[-2000:]))
    builder = TreeBuilder()
    builder.feed(done.stdout)
    return builder.root


def screenshot(page, output):
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run(chromium_command(profile) + [
            "--hide-scrollbars", "--window-size=1280,900", "--screenshot=" + str(output),
            page.as_uri()], capture_output=True, timeout=180, check=True)


def windows_path(path):
    # Wine's drive Z: is the Unix root.
    return "Z:" + str(path).replace("/", "\\")


def plugin_scan(*arguments):
    command = [str(ROOT / "scripts" / "wine-run"), str(BUILD / "wineprefix"),
               str(BUILD / "bin" / "plugin-scan.exe")] + list(arguments)
    return subprocess.run(command, capture_output=True, timeout=300)


def file_name(path):
    return path.replace("/", "\\").rsplit("\\", 1)[-1]


def shown_name(record, shell=None):
    return record["name"] or (record["id"] if shell else file_name(record["path"]))


def groups_of(dom):
    return dom.find_all("tbody", cls="group")


def visible_plugins(dom):
    return [file_name(g.find("tr", data_kind="plugin").find("div", cls="path").text())
            for g in groups_of(dom) if not g.hidden]


def row_summary(row):
    return (row.find(cls="pill").text(), row.find("div", cls="name").text(),
            row.find("div", cls="path").text())


def detail_after(row):
    siblings = row.parent.elements()
    following = siblings[siblings.index(row) + 1:]
    return following[0] if following and following[0].has_class("detail") else None


def facts_of(detail):
    """A details row's terms and their texts."""
    facts = {}
    terms = detail.find_all("dt")
    for term in terms:
        siblings = term.parent.elements()
        facts[term.text()] = siblings[siblings.index(term) + 1].text()
    return facts


class ScannedKit(unittest.TestCase):
    """plugin-scan --html on a folder of kit plug-ins; the page in a browser."""

    @classmethod
    def setUpClass(cls):
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="report-page-"))
        kit = cls.folder / "kit"
        kit.mkdir()
        for name, _ in KIT:
            shutil.copy(BUILD / "bin" / "plugins" / name, kit / name)
        cls.results_path = cls.folder / "results.json"
        cls.page = cls.folder / "report.html"
        cls.scan = plugin_scan("--quiet", "--jobs", "2", "--timeout", TIMEOUT_SECONDS, "--out",
                               windows_path(cls.results_path), "--html", windows_path(cls.page),
                               windows_path(kit))
        if not cls.results_path.exists():
            raise AssertionError("plugin-scan wrote no results: " +
                                 cls.scan.stderr.decode(errors="replace"))
        cls.results = json.loads(cls.results_path.read_text(encoding="utf-8"))
        cls.dom = render(cls.page)
        if SCREENSHOT:
            screenshot(cls.page, SCREENSHOT)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def plugin(self, name):
        return next(p for p in self.results["plugins"] if file_name(p["path"]) == name)

    def group(self, dom, name):
        return groups_of(dom)[self.results["plugins"].index(self.plugin(name))]

    def test_scan_writes_the_page_and_says_where(self):
        self.assertEqual(self.scan.returncode, 0, self.scan.stderr.decode(errors="replace"))
        last_lines = self.scan.stdout.decode("utf-8").splitlines()[-2:]
        self.assertEqual(last_lines[-1], "Report: " + windows_path(self.page))
        self.assertTrue(last_lines[0].startswith("Results: "))
        for name, status in KIT:
            with self.subTest(name):
                self.assertEqual(self.plugin(name)["status"], status)
        shells = self.plugin("shell.dll")["shells"]
        self.assertEqual([s["status"] for s in shells], ["ok", "ok"])

    def test_the_summary_lists_as_slowest_only_scans_of_a_tenth_of_a_second_or_more(self):
        lines = self.scan.stdout.decode("utf-8").splitlines()
        slowest = lines[lines.index("Slowest:") + 1:]
        slowest = slowest[:next(i for i, line in enumerate(slowest) if not line.startswith("  "))]
        seconds = [float(line.split()[0]) for line in slowest]
        self.assertTrue(all(s >= 0.1 for s in seconds), slowest)
        # The hung plug-in took its whole time limit; the plain effect, milliseconds.
        self.assertTrue(any("hang_entry.dll" in line for line in slowest), slowest)
        self.assertFalse(any("effect.dll" in line for line in slowest), slowest)

    def test_a_rerun_that_scans_nothing_says_what_stands(self):
        again = plugin_scan("--quiet", "--out", windows_path(self.results_path),
                            windows_path(self.folder / "kit"))
        self.assertEqual(again.returncode, 0, again.stderr.decode(errors="replace"))
        text = again.stdout.decode("utf-8")
        lines = text.splitlines()
        self.assertIn("Nothing needed scanning. The results file holds 8 plug-ins: ok 4   "
                      "failed 1   crashed 1   timed out 1   ended 1", lines)
        self.assertIn("  1 of the failed is no VST 2 plug-in", lines)
        self.assertNotIn("  ok 0   failed 0   crashed 0   timed out 0   ended 0", lines)
        standing = lines[lines.index("Failures that stand (3):") + 1:][:3]
        self.assertEqual([line.split()[0] for line in standing], ["crashed", "ended", "timed"])
        for line, name in zip(standing, ["crash_entry.dll", "exit_entry.dll", "hang_entry.dll"]):
            self.assertIn(name + " [x64]: ", line)
        others = lines[lines.index("Not VST 2 plug-ins (1):") + 1]
        self.assertIn("no_entry.dll: a DLL with no plug-in entry point", others)
        self.assertIn("To scan them again: plugin-scan --retry-failed", text)

    def test_counts_match_the_results_file(self):
        subs = [s for p in self.results["plugins"] for s in p["shells"]]
        for status in PAGE_STATUSES:
            with self.subTest(status):
                card = self.dom.find("div", cls="count", data_status=status)
                self.assertEqual(int(card.find(data_count="plugins").text()),
                                 sum(page_status(p) == status for p in self.results["plugins"]))
                self.assertEqual(int(card.find(data_count="subs").text()),
                                 sum(page_status(s) == status for s in subs))
        # no_entry.dll is a DLL without a plug-in entry point, not a broken plug-in.
        self.assertEqual(self.dom.find("div", cls="count", data_status="failed")
                         .find(data_count="plugins").text(), "0")
        self.assertEqual(self.dom.find("div", cls="count", data_status=NOT_VST2)
                         .find(data_count="plugins").text(), "1")
        self.assertEqual(self.dom.find(id="shown").text(),
                         "8 of 8 plug-ins shown, 2 of 2 sub-plug-ins")

    def test_every_plugin_and_sub_plugin_has_one_row_with_its_status_and_name(self):
        groups = groups_of(self.dom)
        expected = [(page_status(p), shown_name(p), p["path"]) for p in self.results["plugins"]]
        self.assertEqual([row_summary(g.find("tr", data_kind="plugin")) for g in groups],
                         expected)
        for group, plugin in zip(groups, self.results["plugins"]):
            self.assertEqual([row_summary(r) for r in group.find_all("tr", data_kind="sub")],
                             [(page_status(s), shown_name(s, plugin), "id " + s["id"])
                              for s in plugin["shells"]])
        shell = self.group(self.dom, "shell.dll")
        self.assertFalse(shell.has_class("open"))
        self.assertEqual(shell.find("button", cls="fold").text(), "2 sub-plug-ins")
        none = "\u2014"
        cells = [
            ("effect.dll", ["Test Vendor", "1.2.3.4", "effect", "2 / 2", none, "yes"]),
            ("synth.dll", ["Test Vendor", none, "synth", "0 / 2", "in", "no"]),
            ("no_entry.dll", [none] * 6),  # its report's error makes the rest meaningless
        ]
        for name, expected in cells:
            with self.subTest(name):
                row = self.group(self.dom, name).find("tr")
                self.assertEqual([td.text() for td in row.elements()[2:8]], expected)

    def test_every_failure_unfolds_to_its_reason_code_dump_and_fault(self):
        dom = render(self.page, "#test-open=all")
        rows = {row_summary(r)[2]: r for r in dom.find_all("tr", cls="row")}
        failures = 0
        for plugin in self.results["plugins"]:
            for record, path in [(plugin, plugin["path"])] + [
                    (s, "id " + s["id"]) for s in plugin["shells"]]:
                detail = detail_after(rows[path])
                if record["status"] == "ok" and not record["output"]:
                    self.assertIsNone(detail, path)
                    continue
                with self.subTest(path):
                    self.assertFalse(detail.hidden)
                    facts = facts_of(detail)
                    if record["status"] != "ok":
                        failures += 1
                        self.assertEqual(facts["Reason"], record["error"])
                        self.assertTrue(record["error"])
                    if record["status"] == "failed":
                        self.assertEqual(facts["Kind"], record["reason"])
                    else:
                        self.assertNotIn("Kind", facts)
                    if record["exitCode"] is not None:
                        self.assertTrue(facts["Exit code"].startswith(str(record["exitCode"])))
                    if record["dump"]:
                        self.assertEqual(facts["Dump"], record["dump"])
                    if record["fault"]:
                        self.assertEqual(facts["Fault"], record["fault"]["text"])
                    if record["output"]:
                        # The browser reads carriage returns before line
                        # feeds out of the page's text, as HTML does.
                        self.assertEqual(facts["Output"], record["output"].replace("\r\n", "\n"))
        self.assertEqual(failures, 4)
        self.assertTrue(self.group(dom, "shell.dll").has_class("open"))

    def test_chart_shows_the_slowest_first_and_marks_time_outs(self):
        scans = [(p["durationMs"], page_status(p), shown_name(p)) for p in self.results["plugins"]]
        scans += [(s["durationMs"], page_status(s), shown_name(s, p))
                  for p in self.results["plugins"] for s in p["shells"]]
        bars = self.dom.find(id="chart").find_all("div", cls="bar-row")
        self.assertEqual(len(bars), len(scans))
        shown = [(b.attrs["data-status"], b.find(cls="bar-label").text()) for b in bars]
        self.assertEqual(sorted(shown), sorted((s, n) for _, s, n in scans))
        widths = [float(b.find(cls="bar").attrs["style"].split(":")[1].rstrip("%; "))
                  for b in bars]
        self.assertEqual(widths, sorted(widths, reverse=True))
        self.assertEqual(widths[0], 100.0)
        for bar in bars:
            timed_out = bar.attrs["data-status"] == "timed out"
            self.assertEqual(bar.find(cls="bar").has_class("st-timed-out"), timed_out)
            self.assertEqual(bar.find(cls="bar-time").find(cls="pill") is not None, timed_out)
        self.assertEqual(bars[0].attrs["data-status"], "timed out")

    def test_search_and_filters_change_what_is_shown(self):
        every = [name for name, _ in KIT]
        entries = ["no_entry.dll", "crash_entry.dll", "hang_entry.dll", "exit_entry.dll"]
        rows = [
            ("", every, "2 of 2", []),  # nothing asked: everything
            ("#test-search=entry", entries, "0 of 2", []),  # words match in paths
            ("#test-search=TEST%20effect", ["effect.dll"], "0 of 2", []),  # names, any case
            ("#test-search=entry&test-toggle=crashed",  # a filter narrows a search
             ["no_entry.dll", "hang_entry.dll", "exit_entry.dll"], "0 of 2", ["crashed"]),
            ("#test-toggle=ok", entries, "0 of 2", ["ok"]),  # sub-plug-ins are filtered too
            ("#test-search=sub%20two", ["shell.dll"], "1 of 2", []),  # a sub-plug-in, its shell
            ("#test-toggle=ok,ok", every, "2 of 2", []),  # a second press shows them again
            ("#test-toggle=not%20VST%202", [n for n in every if n != "no_entry.dll"], "2 of 2",
             [NOT_VST2]),  # files of other kinds are a group the filter reaches
        ]
        doms = {}
        for fragment, expected, subs, hidden_statuses in rows:
            with self.subTest(fragment):
                dom = doms[fragment] = render(self.page, fragment)
                self.assertEqual(sorted(visible_plugins(dom)), sorted(expected))
                self.assertEqual(dom.find(id="shown").text(), "%d of 8 plug-ins shown, %s "
                                 "sub-plug-ins" % (len(expected), subs))
                pressed = {b.attrs["data-status"]: b.attrs["aria-pressed"]
                           for b in dom.find(id="filters").find_all("button")}
                self.assertEqual(pressed, {s: str(s not in hidden_statuses).lower()
                                           for s in PAGE_STATUSES})
        shell = next(g for g in groups_of(doms["#test-search=sub%20two"]) if not g.hidden)
        self.assertTrue(shell.find("tr", data_kind="plugin").has_class("context"))
        self.assertEqual([r.hidden for r in shell.find_all("tr", data_kind="sub")],
                         [True, False])
        self.assertEqual(shell.find("button", cls="fold").text(), "1 of 2 sub-plug-ins")


class ScannedModules(unittest.TestCase):
    """plugin-scan --html on kit VST3 and CLAP modules beside a VST 2 plug-in: the
    page shows what the scanner wrote of each, format by format."""

    MODULES = ["vst3/Good.vst3", "vst3/Single.vst3", "clap/Good.clap", "effect.dll"]

    def test_each_module_shows_its_format_and_its_classes_as_the_results_file_says(self):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="report-page-"))
        self.addCleanup(shutil.rmtree, folder, True)
        kit = folder / "kit"
        kit.mkdir()
        for name in self.MODULES:
            source = BUILD / "bin" / "plugins" / name
            (shutil.copytree if source.is_dir() else shutil.copy)(source, kit / source.name)
        results_path, page = folder / "results.json", folder / "report.html"
        scan = plugin_scan("--quiet", "--out", windows_path(results_path), "--html",
                           windows_path(page), windows_path(kit))
        self.assertEqual(scan.returncode, 0, scan.stderr.decode(errors="replace"))
        plugins = json.loads(results_path.read_text(encoding="utf-8"))["plugins"]
        # The kit gives each shape: modules of one class and of several, in both formats.
        self.assertEqual(sorted((p["format"], len(p["classes"])) for p in plugins),
                         [("CLAP", 2), ("VST2", 0), ("VST3", 1), ("VST3", 2)])
        dom = render(page, "#test-open=all")
        for group, plugin in zip(groups_of(dom), plugins):
            with self.subTest(plugin["path"]):
                main = group.find("tr", data_kind="plugin")
                self.assertEqual(main.elements()[8].text(), plugin["format"])
                classes = plugin["classes"]
                rows = group.find_all("tr", data_kind="class")
                if len(classes) == 1:
                    rows = [main]
                self.assertEqual([r.find("div", cls="name").text() for r in rows],
                                 [c["name"] for c in classes])
                for row, cls in zip(rows, classes):
                    self.assertEqual([td.text() for td in row.elements()[2:8]], [
                        cls["vendor"], cls["version"] or "\u2014", cls["category"],
                        "%s / %s" % (cls["inputs"], cls["outputs"]),
                        ", ".join(w for w, on in [("in", cls["midiIn"]), ("out", cls["midiOut"])]
                                  if on) or "\u2014",
                        "\u2014"])
                    if len(classes) > 1:
                        self.assertEqual(row.find("div", cls="path").text(), "id " + cls["id"])


HOSTILE_NAME = "</script><b>x</b><!--"
HOSTILE_VENDOR = "Line\u2028Para\u2029<img src=x onerror=alert(1)>"


def hand_made_results():
    dialog = {"title": "</script><i>t</i>", "texts": ["<b>first</b>", "second"],
              "answer": "closed <it>"}
    crashed = {
        "path": "C:\\VST\\<Evil>.dll", "size": 1, "modified": "2026-01-01T00:00:00.0000000Z",
        "status": "crashed", "name": HOSTILE_NAME, "vendor": HOSTILE_VENDOR, "product": "",
        "error": "<script>alert(1)</script>", "exitCode": 3221225477,
        "dump": "C:\\dumps\\<d>.dmp", "durationMs": 120,
        "fault": {"kind": "crash", "code": "0xC0000005", "name": "access violation",
                  "access": "writing 0x0", "address": "0x0000000000401000", "module": "e.dll",
                  "offset": "0x1000", "unloadedModule": "", "thread": "server",
                  "text": "access violation <writing> in e.dll+0x1000",
                  "stack": ["e.dll+0x1000", "e.dll!VSTPluginMain+0x52 <i>x</i>"]},
        "afterReport": False, "dialogs": [dialog], "output": "out <pre>\n</pre>",
        "log": ["log <one>", "log two"], "shells": []}
    incident = {"exitCode": 9, "dump": "C:\\dumps\\i.dmp", "during": None,
                "suspects": ["C:\\VST\\a.dll", "C:\\VST\\<b>.dll"],
                "reason": "the server died between requests <br>", "fault": None,
                "culprit": "C:\\VST\\<b>.dll", "tried": ["rescanned <a> alone"]}
    run = {"started": "2026-01-01T10:00:00Z", "seconds": 1.5, "scanned": 1, "fromCache": 3,
           "skipped": 2, "stopped": True, "incidents": [incident]}
    return {"format": 1, "run": run, "plugins": [crashed]}


VENDORS = ["Alder", "Birch", "Cedar", "Dogwood", "Elm", "Fir", "Ginkgo", "Hazel", "Ivy", "Juniper"]


def many_results(count):
    plugins = []
    for i in range(count):
        record = {"path": "C:\\VST\\p%05d.dll" % i, "size": i, "modified": "",
                  "status": STATUSES[(i // 10) % 5], "name": "Plugin %d" % i,
                  "vendor": VENDORS[i % 10], "durationMs": i % 997, "shells": []}
        if i % 500 == 0:
            record["shells"] = [{"id": "%08X" % n, "name": "Sub %d" % n, "status": "ok",
                                 "vendor": VENDORS[i % 10]} for n in range(1, 4)]
        plugins.append(record)
    run = {"started": "", "seconds": 100.0, "scanned": count, "fromCache": 0, "skipped": 0,
           "stopped": False, "incidents": []}
    return {"format": 1, "run": run, "plugins": plugins}


def name_hex(name):
    """What a VST3 class that replaces a VST 2 plug-in writes after its id: the first
    nine characters of the plug-in's name in lower case, as hexadecimal, padded with 00."""
    return name.lower()[:9].encode("ascii").hex().ljust(18, "0").upper()


def vst2_uid(four_cc, name):
    return "565354" + four_cc.encode("ascii").hex().upper() + name_hex(name)


def scanned(path, status="ok", name="", vendor="", file_format="VST2", classes=(), **more):
    record = {"path": path, "size": 1, "modified": "", "platform": "x64", "status": status,
              "name": name, "vendor": vendor, "product": "", "error": "", "reason": None,
              "missing": [], "format": file_format, "exitCode": None, "dump": None,
              "durationMs": 10, "fault": None, "afterReport": False, "dialogs": [],
              "output": "", "log": [], "classes": list(classes), "shells": []}
    record.update(more)
    return record


def vst2(path, name, vendor, four_cc, **more):
    report = {"id": four_cc.encode("ascii").hex().upper(), "name": name, "vendor": vendor,
              "product": "", "version": "1", "error": "", "numInputs": 2, "numOutputs": 2,
              "wantsMidi": False, "sendsMidi": False, "platform": "x64", "audio64": False,
              "category": 1, "synthEdit": False}
    return scanned(path, name=name, vendor=vendor, report=report, **more)


def vst2_sub(name, vendor, four_cc):
    record = vst2("", name, vendor, four_cc)
    del record["path"], record["size"], record["modified"], record["platform"]
    record["id"] = record["report"]["id"]
    return record


def module_class(class_id, name, vendor, category="Fx", replaces=(), version="1.0.0",
                 inputs=2, outputs=2, midi_in=False, midi_out=False):
    return {"id": class_id, "name": name, "vendor": vendor, "version": version,
            "category": category, "inputs": inputs, "outputs": outputs, "midiIn": midi_in,
            "midiOut": midi_out, "replaces": list(replaces)}


def module(path, file_format, vendor, classes, **more):
    return scanned(path, name=classes[0]["name"] if classes else "", vendor=vendor,
                   file_format=file_format, classes=classes, **more)


def results_of(plugins):
    run = {"started": "", "seconds": 1.0, "scanned": len(plugins), "fromCache": 0,
           "skipped": 0, "stopped": False, "incidents": []}
    return {"format": 1, "run": run, "plugins": plugins}


def mixed_formats():
    """VST 2, VST3 and CLAP side by side: a product in all three (its names
    differing in letter case and spaces), VST3 classes that replace a VST 2
    plug-in and a shell's sub-plug-in, a module whose scan crashed and a
    record of a version before the formats."""
    shell = vst2("C:\\VST\\Shell.dll", "Amp Shell", "Acme", "AmSh")
    shell["shells"] = [vst2_sub("Bass Amp", "Acme", "BAsp"), vst2_sub("Lead Amp", "Acme", "LAsp")]
    older = vst2("C:\\VST\\Old.dll", "Old Synth", "Elder", "OldS")
    del older["format"], older["classes"]
    suite = [
        module_class("5EC0DE010A0B4C0D8E8F909192939495", "Echo Tape MkII", "Acme",
                     "Fx|Delay", [vst2_uid("ZEko", "Echo Tape").lower(),  # any letter case
                                  vst2_uid("Gone", "Not Here"),  # not in the results
                                  "ABCDEF0123456789ABCDEF0123456789"]),  # a VST3 class's
        module_class("5EC0DE020A0B4C0D8E8F909192939495", "Bass Amp 3", "Acme", "Fx|Distortion",
                     [vst2_uid("BAsp", "Bass Amp")]),
        module_class("5EC0DE030A0B4C0D8E8F909192939495", "Limiter", "Acme", "Fx|Dynamics",
                     inputs=None, outputs=None, midi_in=None, midi_out=None),
    ]
    clap = [module_class("com.acme.springverb", "spring verb", "acme", "audio-effect|reverb",
                         midi_in=True),
            module_class("com.acme.chorus", "Chorus", "Acme", "audio-effect|chorus|stereo")]
    return [
        module("C:\\CLAP\\Acme.clap", "CLAP", "Acme", clap),
        vst2("C:\\VST\\EchoTape.dll", "Echo Tape", "Acme", "ZEko"),
        older,
        shell,
        vst2("C:\\VST\\SpringVerb.dll", "Spring Verb", "Acme", "SpVb"),
        module("C:\\VST3\\Acme Suite.vst3", "VST3", "Acme", suite),
        module("C:\\VST3\\Broken.vst3", "VST3", "", [], status="crashed", exitCode=9,
               error="the server died (exit code 9)"),
        module("C:\\VST3\\SpringVerb.vst3", "VST3", " ACME",
               [module_class("5EC0DE040A0B4C0D8E8F909192939495", "Spring Verb ", " ACME",
                             "Fx|Reverb", version="2.1")]),
    ]


def many_of_three_formats(count):
    """Plug-ins by tens of the vendors, statuses in turn by tens as in many_results;
    every fourth a VST3 module of three classes, the first of which is the VST 2
    plug-in before it, in name and vendor and by its replaces list; after each
    module a CLAP of one descriptor."""
    plugins = []
    for i in range(count):
        vendor = VENDORS[i % 10]
        path = "C:\\Plugins\\p%05d" % i
        status = STATUSES[(i // 10) % 5]
        if i % 4 == 1:
            classes = [module_class("%032X" % (i * 4 + n), "Plugin %d.%d" % (i, n), vendor)
                       for n in range(3)]
            classes[0].update(name="Plugin %d" % (i - 1), vendor=VENDORS[(i - 1) % 10],
                              replaces=["565354%08X" % (i - 1) + name_hex("Plugin %d" % (i - 1))])
            record = module(path + ".vst3", "VST3", vendor, classes, status=status)
        elif i % 4 == 2:
            record = module(path + ".clap", "CLAP", vendor, [module_class(
                "com.example.p%d" % i, "Plugin %d" % i, vendor)], status=status)
        else:
            record = vst2(path + ".dll", "Plugin %d" % i, vendor, "", status=status)
            record["report"]["id"] = "%08X" % i
        plugins.append(record)
    return results_of(plugins)


class PageOfAResultsFile(unittest.TestCase):
    """plugin-scan --no-scan renders a results file that the test writes."""

    def setUp(self):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="report-page-"))
        self.results_path = self.folder / "results.json"
        self.page = self.folder / "report.html"

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def render_results(self, results, fragment="", window=None):
        self.results_path.write_text(json.dumps(results), encoding="utf-8")
        done = plugin_scan("--no-scan", "--out", windows_path(self.results_path), "--html",
                           windows_path(self.page))
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(done.stdout.decode(), "Report: %s\n" % windows_path(self.page))
        return render(self.page, fragment, window)

    def test_plugin_text_stays_text_in_the_data_and_on_the_page(self):
        results = hand_made_results()
        dom = self.render_results(results, "#test-open=all")
        raw = self.page.read_text(encoding="utf-8")
        start = '<script type="application/json" id="results">'
        data = raw[raw.index(start) + len(start):]
        self.assertEqual(json.loads(data[:data.index("</script>")])["plugins"][0]["name"],
                         HOSTILE_NAME)
        for fragment in ["<b>", "<!--", "<img", "\u2028", "\u2029"]:
            self.assertFalse(fragment in raw, "%r is in the page as it is" % fragment)
        for tag in ["b", "i", "img", "it", "br", "a"]:
            self.assertEqual(dom.find_all(tag), [], tag)
        self.assertEqual([p.attrs["class"] for p in dom.find_all("pre")], ["stack", "output", "log"])

        row = dom.find("tr", data_kind="plugin")
        self.assertEqual(row_summary(row), ("crashed", HOSTILE_NAME, "C:\\VST\\<Evil>.dll"))
        self.assertEqual(row.elements()[2].text(), HOSTILE_VENDOR)
        facts = facts_of(detail_after(row))
        record = results["plugins"][0]
        self.assertEqual(facts["Reason"], record["error"])
        self.assertEqual(facts["Exit code"], "3221225477 (0xC0000005)")
        self.assertEqual(facts["Dump"], record["dump"])
        self.assertEqual(facts["Fault"], record["fault"]["text"])
        self.assertEqual(facts["Stack"], "\n".join(record["fault"]["stack"]))
        self.assertEqual(facts["Window"],
                         "</script><i>t</i>" "<b>first</b>" "second" "Answered: closed <it>")
        self.assertEqual(facts["Output"], record["output"])
        self.assertEqual(facts["Log"], "log <one>\nlog two")

        incident = dom.find(id="incidents")
        self.assertFalse(incident.hidden)
        self.assertEqual(incident.find("h3").text(), "the server died between requests <br>")
        facts = facts_of(incident.find("article"))
        self.assertEqual(facts["Culprit"], "C:\\VST\\<b>.dll")
        self.assertEqual(facts["Exit code"], "9")
        self.assertEqual(facts["Dump"], "C:\\dumps\\i.dmp")
        self.assertEqual([li.text() for li in incident.find("details").find_all("li")],
                         ["C:\\VST\\a.dll", "C:\\VST\\<b>.dll"])
        self.assertEqual(facts["Looked for by"], "rescanned <a> alone")
        self.assertEqual(dom.find("title").text(), "Plug-in scan, 2026-01-01 10:00:00 UTC")
        self.assertEqual(dom.find(id="run").text(), " \u00B7 ".join([
            "Started 2026-01-01 10:00:00 UTC", "took 1.5 s", "1 scanned",
            "3 unchanged from the results file", "2 earlier failures skipped"]))
        self.assertFalse(dom.find(id="stopped").hidden)

    def test_why_each_file_failed_and_other_kinds_apart(self):
        def failed(name, reason, missing=(), file_format=None, error="words"):
            return {"path": "C:\\VST\\" + name, "size": 1, "modified": "", "status": "failed",
                    "name": "", "vendor": "", "error": error, "reason": reason,
                    "missing": list(missing), "format": file_format, "durationMs": 1, "shells": []}
        plugins = [
            failed("Needs.dll", "missing dependency", ["VCRUNTIME140.dll", "Core.dll"]),
            failed("Lacks.dll", "missing function", ["Lib.dll!Absent"]),
            failed("Plugin.vst3.dll", "not a VST 2 plug-in", file_format="VST3"),
            failed("Clap.dll", "not a VST 2 plug-in", file_format="CLAP"),
            failed("Support.dll", "not a VST 2 plug-in"),
            # A record of an older scanner, without the keys.
            {"path": "C:\\VST\\Old.dll", "size": 1, "modified": "", "status": "failed",
             "error": "Failed to load library, err=126", "durationMs": 1, "shells": []},
        ]
        run = {"started": "", "seconds": 1.0, "scanned": 6, "fromCache": 0, "skipped": 0,
               "stopped": False, "incidents": []}
        results = {"format": 1, "run": run, "plugins": plugins}
        dom = self.render_results(results, "#test-open=all")
        counts = {c.attrs["data-status"]: c.find(data_count="plugins").text()
                  for c in dom.find_all("div", cls="count") if "data-status" in c.attrs}
        self.assertEqual(counts, {"ok": "0", "failed": "3", "crashed": "0", "timed out": "0",
                                  "ended": "0", NOT_VST2: "3"})
        rows = dom.find_all("tr", data_kind="plugin")
        self.assertEqual([row_summary(r)[0] for r in rows],
                         ["failed", "failed", NOT_VST2, NOT_VST2, NOT_VST2, "failed"])
        facts = [facts_of(detail_after(r)) for r in rows]
        self.assertEqual([f.get("Kind") for f in facts],
                         [p.get("reason") for p in plugins])
        self.assertEqual([f.get("Missing") for f in facts],
                         ["VCRUNTIME140.dllCore.dll", "Lib.dll!Absent", None, None, None, None])
        self.assertEqual([li.text() for li in detail_after(rows[0]).find_all("li")],
                         ["VCRUNTIME140.dll", "Core.dll"])
        self.assertEqual([f.get("Format") for f in facts], [None, None, "VST3", "CLAP", None, None])
        # A DLL of no plug-in format is not called VST 2, nor is it left out of the filters.
        self.assertEqual([r.elements()[8].text() for r in rows],
                         ["VST2", "VST2", "VST3", "CLAP", "\u2014", "VST2"])
        self.assertEqual({b.attrs["data-format"]: b.find(cls="n").text()
                          for b in dom.find_all("button", cls="fmt")},
                         {"VST2": "3", "VST3": "1", "CLAP": "1", "none": "1"})
        filtered = self.render_results(results, "#test-toggle=not%20VST%202")
        self.assertEqual(visible_plugins(filtered), ["Needs.dll", "Lacks.dll", "Old.dll"])

    def test_a_vendor_of_200_letters_keeps_its_row_one_line_high(self):
        def failed(name, vendor):
            return {"path": "C:\\VST\\" + name, "size": 1, "modified": "", "status": "failed",
                    "name": name, "vendor": vendor, "error": "words", "reason": "scan failed",
                    "missing": [], "format": None, "durationMs": 1, "shells": []}
        long_vendor = "V" * 200
        long_name = "N" * 300 + ".dll"
        plugins = [failed(long_name, long_vendor), failed("Short.dll", "Short Vendor")]
        run = {"started": "", "seconds": 1.0, "scanned": 2, "fromCache": 0, "skipped": 0,
               "stopped": False, "incidents": []}
        dom = self.render_results({"format": 1, "run": run, "plugins": plugins},
                                  "#test-open=all&test-heights", window="1280,900")
        rows = dom.find_all("tr", data_kind="plugin")
        self.assertEqual([row_summary(r)[1] for r in rows], [long_name, "Short.dll"])
        heights = [int(r.attrs["data-height"]) for r in rows]
        self.assertGreater(heights[1], 0)
        self.assertEqual(heights[0], heights[1])
        vendor = rows[0].elements()[2]
        self.assertEqual((vendor.text(), vendor.attrs["title"]), (long_vendor, long_vendor))
        # Opened, the row shows whole what the table cut, and only that.
        whole = facts_of(detail_after(rows[0]))
        self.assertEqual((whole["Name"], whole["Vendor"]), (long_name, long_vendor))
        self.assertNotIn("Vendor", facts_of(detail_after(rows[1])))

    def test_five_thousand_plugins_filter_quickly(self):
        count = 5000
        dom = self.render_results(many_results(count),
                                  "#test-search=HAZEL&test-toggle=failed")
        # Hazel makes every tenth plug-in, whose statuses take turns by tens: a
        # fifth of them failed. Sub-plug-ins share their shell's vendor.
        self.assertEqual(len(groups_of(dom)), count)
        self.assertEqual(len(dom.find_all("tr", cls="row")), count + 30)
        self.assertEqual(sum(not g.hidden for g in groups_of(dom)), 400)
        self.assertEqual(dom.find(id="shown").text(),
                         "400 of 5000 plug-ins shown, 0 of 30 sub-plug-ins")
        page = dom.find("html")
        self.assertLess(int(page.attrs["data-build-ms"]), 5000)
        self.assertLess(int(page.attrs["data-filter-ms"]), 250)

    def test_vst2_vst3_and_clap_show_as_rows_of_their_format_that_filters_reach(self):
        none = "\u2014"
        results = results_of(mixed_formats())
        dom = self.render_results(results, "#test-open=all")
        groups = groups_of(dom)
        mains = [g.find("tr", data_kind="plugin") for g in groups]
        self.assertEqual([row_summary(r) + (r.elements()[8].text(),) for r in mains], [
            ("ok", "Acme.clap", "C:\\CLAP\\Acme.clap", "CLAP"),
            ("ok", "Echo Tape", "C:\\VST\\EchoTape.dll", "VST2"),
            ("ok", "Old Synth", "C:\\VST\\Old.dll", "VST2"),  # no format: VST 2
            ("ok", "Amp Shell", "C:\\VST\\Shell.dll", "VST2"),
            ("ok", "Spring Verb", "C:\\VST\\SpringVerb.dll", "VST2"),
            ("ok", "Acme Suite.vst3", "C:\\VST3\\Acme Suite.vst3", "VST3"),
            ("crashed", "Broken.vst3", "C:\\VST3\\Broken.vst3", "VST3"),
            ("ok", "Spring Verb ", "C:\\VST3\\SpringVerb.vst3", "VST3"),  # its one class
        ])
        # A module of several classes unfolds to one row for each, as a shell does.
        for group, plugin in zip(groups, results["plugins"]):
            with self.subTest(plugin["path"]):
                rows = group.find_all("tr", data_kind="class")
                classes = plugin.get("classes", [])
                self.assertEqual([row_summary(r) for r in rows],
                                 [("ok", c["name"], "id " + c["id"]) for c in classes]
                                 if len(classes) > 1 else [])
                fold = group.find("button", cls="fold")
                if len(classes) > 1:
                    self.assertEqual(fold.text(), "%d plug-ins" % len(classes))
        rows = {r.find("div", cls="name").text(): r for r in dom.find_all("tr", cls="row")}
        cells = [
            ("Spring Verb ", [" ACME", "2.1", "Fx|Reverb", "2 / 2", none, none, "VST3"]),
            ("spring verb", ["acme", "1.0.0", "audio-effect|reverb", "2 / 2", "in", none,
                             "CLAP"]),
            ("Limiter", ["Acme", "1.0.0", "Fx|Dynamics", none, none, none, "VST3"]),  # no instance
            ("Old Synth", ["Elder", "1", "effect", "2 / 2", none, "no", "VST2"]),
            ("Broken.vst3", [none] * 6 + ["VST3"]),
        ]
        for name, expected in cells:
            with self.subTest(name):
                self.assertEqual([td.text() for td in rows[name].elements()[2:9]], expected)
        self.assertEqual(rows["Limiter"].elements()[10].text(), none)  # a class takes no time
        broken = facts_of(detail_after(rows["Broken.vst3"]))
        self.assertEqual((broken["Reason"], broken["Exit code"]),
                         ("the server died (exit code 9)", "9"))
        self.assertEqual({b.attrs["data-format"]: b.find(cls="n").text()
                          for b in dom.find_all("button", cls="fmt")},
                         {"VST2": "4", "VST3": "3", "CLAP": "1"})
        self.assertEqual(dom.find(data_count="formats").text(), "4 VST2 \u00B7 3 VST3 \u00B7 1 CLAP")
        self.assertEqual(dom.find(id="shown").text(),
                         "8 of 8 plug-ins shown, 2 of 2 sub-plug-ins, 5 of 5 in modules")

        vst3 = ["Acme Suite.vst3", "Broken.vst3", "SpringVerb.vst3"]
        filters = [
            ("#test-format=VST2", ["Acme.clap"] + vst3, ["VST2"], "0 of 2", "5 of 5"),
            # formats and statuses together
            ("#test-format=VST2,CLAP&test-toggle=crashed", ["Acme Suite.vst3", "SpringVerb.vst3"],
             ["VST2", "CLAP"], "0 of 2", "3 of 5"),
            # the search reads the format, also of a record without one
            ("#test-search=vst2", ["EchoTape.dll", "Old.dll", "Shell.dll", "SpringVerb.dll"], [],
             "2 of 2", "0 of 5"),
            ("#test-search=5ec0de03", ["Acme Suite.vst3"], [], "0 of 2", "1 of 5"),  # a class id
            ("#test-search=com.acme.chorus", ["Acme.clap"], [], "0 of 2", "1 of 5"),
            ("#test-search=com.acme.chorus&test-format=CLAP", [], ["CLAP"], "0 of 2", "0 of 5"),
            ("#test-format=VST3,VST3", visible_plugins(dom), [], "2 of 2", "5 of 5"),
        ]
        for fragment, expected, hidden_formats, subs, classes in filters:
            with self.subTest(fragment):
                shown = self.render_results(results, fragment)
                self.assertEqual(visible_plugins(shown), expected)
                self.assertEqual(shown.find(id="shown").text(),
                                 "%d of 8 plug-ins shown, %s sub-plug-ins, %s in modules"
                                 % (len(expected), subs, classes))
                self.assertEqual({b.attrs["data-format"]: b.attrs["aria-pressed"]
                                  for b in shown.find_all("button", cls="fmt")},
                                 {f: str(f not in hidden_formats).lower()
                                  for f in ["VST2", "VST3", "CLAP"]})
                if fragment == "#test-search=5ec0de03":
                    suite = next(g for g in groups_of(shown) if not g.hidden)
                    self.assertTrue(suite.find("tr", data_kind="plugin").has_class("context"))
                    self.assertEqual([r.hidden for r in suite.find_all("tr", data_kind="class")],
                                     [True, True, False])
                    self.assertEqual(suite.find("button", cls="fold").text(), "1 of 3 plug-ins")

    def test_one_product_in_several_formats_and_a_vst3_that_replaces_a_vst2_are_tied(self):
        results = results_of(mixed_formats())
        dom = self.render_results(results)
        ties = {r.find("div", cls="name").text(): [b.text() for b in r.find_all("button", cls="tie")]
                for r in dom.find_all("tr", cls="row")}
        self.assertEqual({name: texts for name, texts in ties.items() if texts}, {
            # Vendor and name alike but for letter case and spaces.
            "spring verb": ["also as VST2, VST3"],
            "Spring Verb": ["also as VST3, CLAP"],
            "Spring Verb ": ["also as VST2, CLAP"],
            # A plug-in file and a shell's sub-plug-in, both ways.
            "Echo Tape MkII": ["replaces VST 2 Echo Tape"],
            "Echo Tape": ["replaced by VST3 Echo Tape MkII"],
            "Bass Amp 3": ["replaces VST 2 Bass Amp"],
            "Bass Amp": ["replaced by VST3 Bass Amp 3"],
        })
        order = [b.text() for b in dom.find_all("button", cls="tie")]
        # A tie shows only the rows it ties, and the filters narrow that too.
        focused = [
            ("also as VST3, CLAP", "", ["Acme.clap", "SpringVerb.dll", "SpringVerb.vst3"],
             "Only Spring Verb in VST2, VST3, CLAP"),
            ("also as VST3, CLAP", "&test-format=VST3", ["Acme.clap", "SpringVerb.dll"],
             "Only Spring Verb in VST2, VST3, CLAP"),
            ("replaced by VST3 Echo Tape MkII", "", ["EchoTape.dll", "Acme Suite.vst3"],
             "Only Echo Tape and the VST3 plug-ins that replace it"),
            ("replaces VST 2 Bass Amp", "&test-search=shell", ["Shell.dll"],
             "Only Bass Amp 3 and the VST 2 plug-ins it replaces"),
        ]
        for tie, more, expected, text in focused:
            with self.subTest(tie + more):
                shown = self.render_results(results, "#test-tie=%d%s" % (order.index(tie), more))
                self.assertEqual(visible_plugins(shown), expected)
                self.assertFalse(shown.find(id="focus").hidden)
                self.assertEqual(shown.find(id="focus-text").text(), text)
                # The class or sub-plug-in tied is shown unfolded, alone of its module's.
                for group in groups_of(shown):
                    folded = [r for r in group.find_all("tr", cls="sub")]
                    if folded and not group.hidden:
                        self.assertTrue(group.has_class("open"))
                        self.assertEqual(sum(not r.hidden for r in folded), 1)
        self.assertTrue(dom.find(id="focus").hidden)

    def test_five_thousand_plugins_of_three_formats_filter_quickly(self):
        count = 5000
        results = many_of_three_formats(count)
        dom = self.render_results(results, "#test-search=HAZEL&test-toggle=failed&"
                                  "test-format=CLAP")
        plugins = results["plugins"]
        self.assertEqual(len(groups_of(dom)), count)
        modules = [p for p in plugins if p["format"] == "VST3"]
        self.assertEqual(len(dom.find_all("tr", data_kind="class")), 3 * len(modules))
        # Each module's first class and the VST 2 plug-in before it: a product
        # in two formats, and a replacement, each tie seen from both ends.
        self.assertEqual(len(dom.find_all("button", cls="tie")), 4 * len(modules))
        hazel = [p for p in plugins if p["status"] != "failed" and p["format"] != "CLAP" and
                 "Hazel" in [p["vendor"]] + [c["vendor"] for c in p["classes"]]]
        self.assertEqual(sum(not g.hidden for g in groups_of(dom)), len(hazel))
        self.assertGreater(len(hazel), 0)
        page = dom.find("html")
        self.assertLess(int(page.attrs["data-build-ms"]), 5000)
        self.assertLess(int(page.attrs["data-filter-ms"]), 250)

    def test_no_page_and_exit_code_2_when_the_results_or_the_page_fail(self):
        empty = '{"format": 1, "run": {}, "plugins": []}'
        elsewhere = self.folder / "missing" / "report.html"
        rows = [
            (None, self.page, "does not exist"),  # no results file at all
            ('{"format": 1, "run": {', self.page, "it is not JSON"),  # cut off mid-write
            ('{"format": 2, "run": {}, "plugins": []}', self.page, '"format" is 2'),  # later
            (empty, elsewhere, "cannot create the report page"),  # its folder is missing
        ]
        for text, page, reason in rows:
            with self.subTest(reason):
                if text is not None:
                    self.results_path.write_text(text, encoding="utf-8")
                done = plugin_scan("--no-scan", "--out", windows_path(self.results_path),
                                   "--html", windows_path(page))
                self.assertEqual(done.returncode, 2)
                self.assertIn(reason, done.stderr.decode())
                # Nor is a results file that cannot be read set aside, as a scan would.
                self.assertEqual(sorted(p.name for p in self.folder.iterdir()),
                                 [] if text is None else ["results.json"])


def main():
    global BUILD, SCREENSHOT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(BUILD), help="the build folder")
    parser.add_argument("--screenshot", default=os.environ.get("REPORT_SCREENSHOT"),
                        help="save a 1280x900 picture of the kit's page here")
    arguments, rest = parser.parse_known_args()
    BUILD = pathlib.Path(arguments.build).resolve()
    SCREENSHOT = pathlib.Path(arguments.screenshot).resolve() if arguments.screenshot else None
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
