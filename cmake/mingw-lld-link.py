#!/usr/bin/env python3
"""Runs a mingw-w64 g++ link with LLVM's lld in place of GNU ld.

  mingw-lld-link.py LLD G++ ARGS...

Debian's mingw-w64 g++ always runs its own GNU ld, which takes 2-3 s to link
a test executable here; lld takes a tenth of that. The link line is the one
g++ would run (`-###` prints it without running it), less GCC's LTO plugin,
with lld's MinGW driver in place of ld. CMake calls this as the linker
launcher of the Windows test builds (PELVORAN_LINK_WITH_LLD).
"""

import os
import shlex
import subprocess
import sys


def main():
    lld, compiler_line = sys.argv[1], sys.argv[2:]
    shown = subprocess.run(compiler_line + ["-###"], capture_output=True, text=True)
    if shown.returncode != 0:
        sys.stderr.write(shown.stderr)
        return shown.returncode
    steps = [shlex.split(line) for line in shown.stderr.splitlines()]
    links = [step for step in steps if step and os.path.basename(step[0]) == "collect2"]
    if not links:
        sys.stderr.write(shown.stderr + "\nmingw-lld-link.py: g++ named no link step\n")
        return 1
    args = []
    words = iter(links[-1][1:])
    for word in words:
        if word == "-plugin":
            next(words, None)
        elif not word.startswith("-plugin-opt="):
            args.append(word)
    return subprocess.run([lld] + args).returncode


if __name__ == "__main__":
    sys.exit(main())
