#!/usr/bin/env python3
"""The engine's folders depend one way, and the server's scan on no request loop.

Reads the sources' #include lines: a folder of host/engine/ may include only
the folders below it in LAYERS (and itself), the files on top any of them;
nothing in scan/ includes server/RequestLoop.h or server/Startup.h, which
call into scan/.

    EngineLayersTest.py [unittest options]
"""

import pathlib
import re
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
ENGINE = ROOT / "host" / "engine"
# Lowest first; "" is the engine's top, its own folder.
LAYERS = ["util", "wire", "records", "plan", "failures", "servers", ""]
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)


def includes(folder):
    for source in sorted(folder.rglob("*")):
        if source.suffix in (".h", ".cpp"):
            for included in INCLUDE.findall(source.read_text(encoding="utf-8")):
                yield source.relative_to(ROOT), included


class EngineLayers(unittest.TestCase):
    def test_every_folder_of_the_engine_is_a_layer(self):
        folders = sorted(p.name for p in ENGINE.iterdir() if p.is_dir())
        self.assertEqual(folders, sorted(LAYERS[:-1]))

    def test_no_folder_includes_one_above_it(self):
        upward = []
        for source, included in includes(ENGINE):
            if not included.startswith("host/engine/"):
                continue
            source_layer = LAYERS.index(str(source.parent.relative_to("host/engine")).strip("."))
            parts = included[len("host/engine/"):].split("/")
            included_layer = LAYERS.index(parts[0] if len(parts) > 1 else "")
            if included_layer > source_layer:
                upward.append("%s includes %s" % (source, included))
        self.assertEqual(upward, [])

    def test_a_scan_includes_nothing_of_the_request_loop_that_calls_it(self):
        found = ["%s includes %s" % (source, included) for source, included in includes(ROOT / "scan")
                 if included in ("server/RequestLoop.h", "server/Startup.h")]
        self.assertEqual(found, [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
