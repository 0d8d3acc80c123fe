#!/usr/bin/env python3
"""tools/check_includes.py on small trees: each case a few server files and
the real server/CMakeLists.txt, perhaps with one link changed, and what the
checker must say of them.

  check_includes_test.py SOURCE_DIR
"""

import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
CHECKER = os.path.join(SOURCE, "tools", "check_includes.py")

UPKEEP_LINK = "pelvoran_server_upkeep PUBLIC pelvoran_server_store"

# name, files (path under server/: text), the CMake link changed (old, new)
# or None, the exit code, and the lines the output must hold.
CASES = [
    ("a room includes itself and a room it links",
     {"pages/a.h": '#include "server/pages/b.h"\n#include "server/http/web.h"\n',
      "pages/b.h": "", "http/web.h": ""}, None, 0, ["3 files in"]),
    ("a room includes a room reached through a PUBLIC link",
     {"upkeep/a.cpp": '#include "server/release/r.h"\n', "release/r.h": ""}, None, 0, []),
    ("main.cpp includes the command line",
     {"main.cpp": '#include "server/cli/c.h"\n', "cli/c.h": ""}, None, 0, []),
    ("a room includes a room its library does not link",
     {"http/a.cpp": '#include "server/store/s.h"\n', "store/s.h": ""}, None, 1,
     ["server/http/a.cpp: includes server/store/s.h, but pelvoran_server_http does not link "
      "store/"]),
    ("a room includes a room above it",
     {"engine/a.cpp": '#  include "server/cli/c.h"\n', "cli/c.h": ""}, None, 1,
     ["server/engine/a.cpp: includes server/cli/c.h, but pelvoran_server_engine does not "
      "link cli/"]),
    ("an include of a file that is not there",
     {"store/a.cpp": '#include "server/store/gone.h"\n'}, None, 1,
     ["server/store/a.cpp: includes server/store/gone.h, which is not there"]),
    ("a file in no room",
     {"attic/a.cpp": ""}, None, 1, ["server/attic/a.cpp: in no room of the map"]),
    ("CMake lacks a link of the map",
     {}, (UPKEEP_LINK, "pelvoran_server_upkeep PUBLIC"), 1,
     ["server/CMakeLists.txt: pelvoran_server_upkeep does not link pelvoran_server_store, "
      "which the map gives upkeep/"]),
    ("CMake has a link the map lacks",
     {}, (UPKEEP_LINK, UPKEEP_LINK + " pelvoran_server_http"), 1,
     ["server/CMakeLists.txt: pelvoran_server_upkeep links pelvoran_server_http, which the "
      "map does not give upkeep/"]),
    ("CMake links a room PRIVATE",
     {}, (UPKEEP_LINK, "pelvoran_server_upkeep PRIVATE pelvoran_server_store"), 1,
     ["server/CMakeLists.txt: pelvoran_server_upkeep links pelvoran_server_store PRIVATE; "
      "the map's links are PUBLIC"]),
    ("CMake has a room the map lacks",
     {}, ("add_library(pelvoran_server_cli", "add_library(pelvoran_server_attic STATIC)\n"
          "add_library(pelvoran_server_cli"), 1,
     ["server/CMakeLists.txt: pelvoran_server_attic is a room the map lacks"]),
    ("two units include each other",
     {"store/a.h": '#include "server/store/b.h"\n', "store/b.h": '#include "server/store/c.h"\n',
      "store/c.h": '#include "server/store/a.h"\n'}, None, 1,
     ["include cycle between: store/a, store/b, store/c"]),
]


class CheckIncludes(unittest.TestCase):
    def test_cases(self):
        with open(os.path.join(SOURCE, "server", "CMakeLists.txt"), encoding="utf-8") as f:
            cmake = f.read()
        for name, files, change, code, lines in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tree:
                text = cmake
                if change:
                    self.assertIn(change[0], text)
                    text = text.replace(change[0], change[1])
                os.makedirs(os.path.join(tree, "server"))
                with open(os.path.join(tree, "server", "CMakeLists.txt"), "w") as f:
                    f.write(text)
                for path, content in files.items():
                    full = os.path.join(tree, "server", path)
                    os.makedirs(os.path.dirname(full), exist_ok=True)
                    with open(full, "w", encoding="utf-8") as f:
                        f.write(content)
                run = subprocess.run([sys.executable, CHECKER, tree], capture_output=True,
                                     text=True, timeout=60)
                self.assertEqual(run.returncode, code, run.stdout + run.stderr)
                for line in lines:
                    self.assertIn(line, run.stdout)


if __name__ == "__main__":
    unittest.main()
