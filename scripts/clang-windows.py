#!/usr/bin/env python3
"""Compiles every source of a Windows build a second time, with clang for x86_64-w64-mingw32.

GCC accepts constructs that other compilers refuse (extensions, lenient templates, missing
includes that its own headers happen to pull in). Building the same files with clang, with the
same definitions, include folders and warnings-as-errors, catches most of them here, before a
Visual Studio user meets them. Object files only: nothing is linked or run.

Usage: clang-windows.py <build folder of the windows preset> [jobs]

Reads the build's compile_commands.json, keeps the project's own sources (not GoogleTest's),
swaps the MinGW g++ for clang++ with the MinGW-w64 headers and the MinGW g++'s libstdc++, and
compiles into a temporary folder. Prints each failing command with clang's diagnostics; exits 1
if any file fails.
"""
import concurrent.futures
import glob
import json
import os
import shlex
import subprocess
import sys
import tempfile
import time

SYSROOT = "/usr/x86_64-w64-mingw32"


def libstdcxx_includes():
    # The MinGW g++'s own C++ library headers; clang would otherwise look for them in the
    # sysroot, where Debian does not put them.
    roots = sorted(glob.glob("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++"))
    if not roots:
        sys.exit("clang-windows: no MinGW-w64 libstdc++ headers (g++-mingw-w64-x86-64-posix)")
    root = roots[-1]
    return ["-isystem", root, "-isystem", os.path.join(root, "x86_64-w64-mingw32")]


def clang_command(entry, source_root, out_dir, index):
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    result = ["clang++", "--target=x86_64-w64-mingw32", "--sysroot=" + SYSROOT]
    result += libstdcxx_includes()
    skip = False
    for i, arg in enumerate(args[1:], start=1):
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg == "-c":
            continue
        if arg.startswith("-O"):
            continue  # what is checked is the language, not the optimiser: -O0 is much faster
        if arg == entry["file"] or os.path.abspath(os.path.join(entry["directory"], arg)) == entry["file"]:
            continue
        result.append(arg)
    name = os.path.relpath(entry["file"], source_root).replace(os.sep, "_")
    result += ["-O0", "-c", entry["file"], "-o", os.path.join(out_dir, "%03d_%s.o" % (index, name))]
    return result


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    jobs = int(sys.argv[2]) if len(sys.argv) > 2 else (os.cpu_count() or 2)
    source_root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    own = [
        e
        for e in entries
        if os.path.abspath(e["file"]).startswith(source_root + os.sep)
        and not os.path.abspath(e["file"]).startswith(build + os.sep)
    ]
    if not own:
        sys.exit("clang-windows: no project sources in %s/compile_commands.json" % build)
    started = time.monotonic()
    failures = 0
    with tempfile.TemporaryDirectory(prefix="clang-windows-") as out_dir:
        commands = [clang_command(e, source_root, out_dir, i) for i, e in enumerate(own)]
        cwd = [e["directory"] for e in own]

        def run(k):
            p = subprocess.run(commands[k], cwd=cwd[k], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
            return k, p.returncode, p.stdout

        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            for k, code, output in pool.map(run, range(len(commands))):
                if code != 0:
                    failures += 1
                    print("FAILED: " + " ".join(shlex.quote(a) for a in commands[k]))
                    print(output, end="")
    print("clang-windows: %d of %d sources compiled with clang for x86_64-w64-mingw32 in %.1f s"
          % (len(own) - failures, len(own), time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
