#!/usr/bin/env python3
"""What `cmake --install` puts in a folder is a scanner that works on its own.

Installs the build into an empty temporary folder, copies nothing else
beside it, and scans two kit plug-ins (one good, one that crashes) with the
installed plugin-scan.exe in a Wine prefix of its own, started from a
folder that holds neither the build nor the server: the scanner must find
its server beside itself, write its results and the crash dump, and report
both plug-ins right. Checks too that only what a host ships is installed,
and that the programs carry the project's version.

    InstallTest.py --build BUILD [unittest options]

Needs a display for Wine (scripts/test runs CTest under xvfb-run).
"""

import argparse
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build"
VERSION = (ROOT / "VERSION").read_text().strip()

# Everything an install holds, below its prefix.
SHIPPED = {
    "bin/ScanServer.exe",
    "bin/ScanServer32.exe",
    "bin/plugin-scan.exe",
    "bin/scanengine.dll",
    "include/scanengine.h",
    "lib/libscanengine.dll.a",
    "lib/scanengine.def",
    "share/doc/orvane-plugin-scan/README.md",
    "share/doc/orvane-plugin-scan/LICENSE.txt",
    "share/doc/orvane-plugin-scan/results.schema.json",
}
PROGRAMS = sorted(path for path in SHIPPED if path.endswith((".exe", ".dll")))


def windows_path(path):
    # Wine's drive Z: is the Unix root.
    return "Z:" + str(path).replace("/", "\\")


def unix_path(path):
    assert path.startswith("Z:"), path
    return pathlib.Path(path[2:].replace("\\", "/"))


def fixed_file_version(image):
    """The file version of a PE's VS_FIXEDFILEINFO, as "MAJOR.MINOR.PATCH.BUILD"."""
    data = image.read_bytes()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    version_ms, version_ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (version_ms >> 16, version_ms & 0xFFFF, version_ls >> 16, version_ls & 0xFFFF)


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="install-test-"))
        cls.prefix = cls.work / "installed"
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(cls.prefix)],
                       check=True, capture_output=True, timeout=120)
        cls.environment = dict(os.environ, WINEPREFIX=str(cls.work / "wineprefix"),
                               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.environment, capture_output=True)
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_installed(self, *arguments, cwd):
        command = ["/usr/lib/wine/wine64", str(self.prefix / "bin" / "plugin-scan.exe")]
        return subprocess.run(command + list(arguments), cwd=cwd, env=self.environment,
                              capture_output=True, timeout=540)

    def test_installs_only_what_a_host_ships(self):
        installed = {str(p.relative_to(self.prefix)) for p in self.prefix.rglob("*") if p.is_file()}
        self.assertEqual(installed, SHIPPED)

    def test_every_program_carries_the_project_version(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                self.assertEqual(fixed_file_version(self.prefix / program), VERSION + ".0")

    def test_the_installed_scanner_scans_with_its_own_server_in_a_fresh_prefix(self):
        plugins = self.work / "plugins"
        plugins.mkdir()
        for name in ("effect.dll", "crash_entry.dll"):
            shutil.copy(BUILD / "bin" / "plugins" / name, plugins / name)
        elsewhere = self.work / "elsewhere"
        elsewhere.mkdir()
        results = self.work / "scan" / "plugins.json"
        results.parent.mkdir()

        done = self.run_installed("--out", windows_path(results), "--jobs", "1", "--timeout", "60",
                                  "--quiet", windows_path(plugins), cwd=elsewhere)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))

        written = json.loads(results.read_text(encoding="utf-8"))
        self.assertEqual(written["run"]["version"], VERSION)
        by_name = {record["path"].rsplit("\\", 1)[-1]: record for record in written["plugins"]}
        self.assertEqual(sorted(by_name), ["crash_entry.dll", "effect.dll"])
        self.assertEqual(by_name["effect.dll"]["status"], "ok")
        self.assertEqual(by_name["effect.dll"]["name"], "Test Effect")
        crashed = by_name["crash_entry.dll"]
        self.assertEqual(crashed["status"], "crashed")
        self.assertIsNotNone(crashed["dump"])
        dump = unix_path(crashed["dump"])
        self.assertEqual(dump.parent, results.parent / "dumps")
        self.assertEqual(dump.read_bytes()[:4], b"MDMP")

    def test_the_installed_scanner_says_its_version(self):
        done = self.run_installed("--version", cwd=self.work)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stdout.decode().strip(), "plugin-scan " + VERSION)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=BUILD)
    options, rest = parser.parse_known_args()
    BUILD = options.build.resolve()
    unittest.main(argv=[sys.argv[0]] + rest)
