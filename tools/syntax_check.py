#!/usr/bin/env python3
"""The test sources through a second compiler, with its warnings as errors.

  syntax_check.py CHECK_BUILD [BUILT_BUILD]
  syntax_check.py --clang-for-mingw WINDOWS_BUILD

The first form: CHECK_BUILD is a configured (not built) tree of the whole
test suite, configured with the compiler to check with and
-DPELVORAN_WERROR=ON; each of its translation units (unity batches) that
holds sources of tests/, bench/, fuzz/ or tools/ is compiled with
-fsyntax-only, but those BUILT_BUILD already compiled.

The second: the units of tests/win/ of a Windows tree that mingw-w64's GCC
builds, compiled by clang for the same target with the same flags, less
GCC's own (and with -Wno-sign-conversion, which clang's -Wconversion
would add, as the Linux flags have it), against GCC's C++ library.

Two units at a time. Prints the messages of each unit that had any and
exits 1 when one did.
"""

import argparse
import json
import os
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
CHECKED = ("tests", "bench", "fuzz", "tools")
# Flags clang does not take, or reads otherwise: GCC's.
GCC_ONLY = ("-Wno-subobject-linkage", "-Winvalid-pch")


def commands(build):
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        return json.load(f)


def sources_of(entry):
    """The source files a unit compiles: a unity batch's includes, or itself."""
    path = entry["file"]
    if "/Unity/unity_" not in path:
        return [os.path.realpath(path)]
    found = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#include "):
                found.append(os.path.realpath(line.split('"')[1]))
    return found


def in_folders(source, folders):
    return os.path.relpath(source, ROOT).split(os.sep)[0] in folders


def argv_of(entry):
    return shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])


def syntax_only(argv, drop=()):
    """`argv` compiling nothing: no output, no dependency file, no
    precompiled header (`drop` and its options left out as well)."""
    out, skip = [argv[0], "-fsyntax-only"], False
    for arg in argv[1:]:
        if skip:
            skip = False
        elif arg in ("-o", "-MF", "-MT", "-MQ") or (arg == "-include" and drop):
            skip = True
        elif arg not in ("-c", "-MD", "-MMD") and arg not in drop and not (
                drop and arg.startswith("-mfpmath")):
            out.append(arg)
    return out


def cxx_library_dirs(gcc):
    """Where `gcc` finds its C++ library headers."""
    said = subprocess.run([gcc, "-xc++", "-E", "-v", "-"], input="", capture_output=True,
                          text=True).stderr
    dirs, inside = [], False
    for line in said.splitlines():
        if line.startswith("#include <...> search starts here:"):
            inside = True
        elif line.startswith("End of search list."):
            inside = False
        elif inside and "/c++" in line:
            dirs.append(os.path.normpath(line.strip()))
    return dirs


def linux_units(check, built):
    done = set()
    if built:
        for entry in commands(built):
            done.update(sources_of(entry))
    units = []
    for entry in commands(check):
        sources = [s for s in sources_of(entry) if in_folders(s, CHECKED)]
        if sources and not all(s in done for s in sources):
            units.append((entry, syntax_only(argv_of(entry))))
    return units


def mingw_units(build):
    units = []
    for entry in commands(build):
        sources = [s for s in sources_of(entry) if in_folders(s, ("tests",))]
        if not sources or "cmake_pch" in entry["file"]:
            continue
        argv = argv_of(entry)
        gcc = argv[0]
        target = os.path.basename(gcc).split("-g++")[0]
        library = [f for d in cxx_library_dirs(gcc) for f in ("-isystem", d)]
        flags = syntax_only(argv, GCC_ONLY)[1:]
        units.append((entry, ["clang++", "--target=" + target] + library + flags +
                      ["-Wno-sign-conversion"]))
    return units


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clang-for-mingw", metavar="WINDOWS_BUILD")
    parser.add_argument("trees", nargs="*")
    args = parser.parse_args()
    if args.clang_for_mingw:
        units = mingw_units(args.clang_for_mingw)
    elif args.trees:
        units = linux_units(args.trees[0], args.trees[1] if len(args.trees) > 1 else None)
    else:
        parser.error("a tree to check")

    def run(unit):
        entry, argv = unit
        r = subprocess.run(argv, cwd=entry["directory"], capture_output=True, text=True)
        return entry["file"], r.returncode, r.stdout + r.stderr

    failed = 0
    with ThreadPoolExecutor(2) as pool:
        for name, status, said in pool.map(run, units):
            if status != 0 or said.strip():
                failed += 1
                print("== " + os.path.relpath(name, ROOT))
                print(said)
    compiler = os.path.basename(units[0][1][0]) if units else "-"
    print(f"{len(units)} units of the tests checked by {compiler}: {failed} with messages")
    return 1 if failed or not units else 0


if __name__ == "__main__":
    sys.exit(main())
