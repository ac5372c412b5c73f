#!/usr/bin/env python3
"""The layer check against a small tree of its own: each case breaks the
clean tree in one way and names the line the check must report, or None when
the change is one the check must let pass."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib",
                     "check-layers.py")

TREE = {
    "cmake/layers.txt": "0 veilcast_low core low\n"
                        "1 veilcast_high widgets high\n"
                        "apart veilcast_srv core srv\n",
    "low/CMakeLists.txt": "add_library(veilcast_low STATIC Low.h Low.cpp)\n"
                          "target_link_libraries(veilcast_low PUBLIC Qt6::Core)\n",
    "low/Low.h": "#pragma once\n",
    "low/Low.cpp": "#include \"Low.h\"\n",
    "high/CMakeLists.txt": "add_library(veilcast_high STATIC High.h High.cpp)\n"
                           "# a comment naming veilcast_srv ( is no link\n"
                           "target_link_libraries(veilcast_high\n"
                           "  PUBLIC veilcast_low Qt6::Widgets)\n",
    "high/High.h": "#pragma once\n#include \"Low.h\"\n",
    "high/High.cpp": "#include \"High.h\"\n",
    "srv/CMakeLists.txt": "add_library(veilcast_srv STATIC Srv.h Srv.cpp)\n",
    "srv/Srv.h": "#pragma once\n",
    "srv/Srv.cpp": "#include \"Srv.h\"\n",
}

# (name, file, text appended to it, the report expected or None)
CASES = [
    ("include of a higher layer", "low/Low.cpp", "#include \"High.h\"\n",
     "low/Low.cpp:2: veilcast_low (rank 0) includes \"High.h\" of veilcast_high (rank 1)"),
    ("include through a path", "low/Low.h", "#include \"../high/High.h\"\n",
     "low/Low.h:2: veilcast_low (rank 0) includes \"../high/High.h\" of veilcast_high"),
    ("link to a higher layer", "low/CMakeLists.txt",
     "target_link_libraries(veilcast_low PRIVATE veilcast_high)\n",
     "low/CMakeLists.txt:3: veilcast_low (rank 0) links veilcast_high (rank 1)"),
    ("core links Qt Widgets", "low/CMakeLists.txt",
     "target_link_libraries(veilcast_low\n  PUBLIC Qt6::Widgets)\n",
     "low/CMakeLists.txt:3: veilcast_low is core and links Qt6::Widgets"),
    ("a child folder edits its parent's target", "high/sub/CMakeLists.txt",
     "target_link_libraries(veilcast_high PUBLIC veilcast_low)\n",
     "high/sub/CMakeLists.txt:1: target_link_libraries edits veilcast_high, which "
     "high/CMakeLists.txt:1 defines"),
    ("client includes the server", "high/High.cpp", "#include \"Srv.h\"\n",
     "high/High.cpp:2: veilcast_high (rank 1) includes \"Srv.h\" of veilcast_srv (rank apart)"),
    ("server links the client", "srv/CMakeLists.txt",
     "target_link_libraries(veilcast_srv PRIVATE veilcast_high)\n",
     "srv/CMakeLists.txt:2: veilcast_srv (rank apart) links veilcast_high (rank 1)"),
    ("library without a row", "low/CMakeLists.txt", "add_library(veilcast_extra STATIC)\n",
     "low/CMakeLists.txt:3: veilcast_extra has no row in the layer table"),
    ("server uses rank 0", "srv/Srv.cpp", "#include \"Low.h\"\n", None),
    ("same layer and lower", "high/High.cpp", "#include \"Low.h\"\n#include <QWidget>\n", None),
    ("tests use anything", "tests/CMakeLists.txt",
     "add_library(veilcast_probe STATIC)\n"
     "target_link_libraries(veilcast_low PUBLIC veilcast_high Qt6::Widgets)\n", None),
    ("build trees are not read", "build/CMakeLists.txt",
     "target_link_libraries(veilcast_low PUBLIC veilcast_high)\n", None),
]


def write(root, files):
    for name, text in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "a", encoding="utf-8") as f:
            f.write(text)


def run(root):
    return subprocess.run([sys.executable, CHECK, "--root", root],
                          capture_output=True, text=True)


class CheckLayers(unittest.TestCase):
    def test_clean_tree_passes(self):
        with tempfile.TemporaryDirectory() as root:
            write(root, TREE)
            result = run(root)
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_each_fault_is_named(self):
        for name, path, text, report in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                write(root, TREE)
                write(root, {path: text})
                if path.startswith("build/"):
                    write(root, {"build/CMakeCache.txt": ""})
                result = run(root)
                if report is None:
                    self.assertEqual(result.returncode, 0, result.stderr)
                else:
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(report, result.stderr)


if __name__ == "__main__":
    unittest.main()
