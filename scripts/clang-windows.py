#!/usr/bin/env python3
"""Compiles every source of a Windows build twice more with clang, as stand-ins for MSVC.

GCC accepts constructs that other compilers refuse (extensions, lenient templates, missing
includes that its own headers happen to pull in), and its warnings miss some that MSVC's /W4
turns into errors. Two passes over the same files, with the same definitions, include folders
and warnings-as-errors, catch most of that here, before a Visual Studio user meets it:

1. GNU mode (--target=x86_64-w64-mingw32), object files: the language as clang sees it.
2. MSVC mode (--target=x86_64-pc-windows-msvc, syntax only): _MSC_VER defined and __GNUC__
   not, the Microsoft ABI's type sizes and layouts, and MSVC's language rules as clang models
   them, against the same MinGW-w64 headers and libstdc++ (mended for that mode by
   scripts/clang-msvc-prelude.h, and nothing else).

Both passes add the warnings that stand in for /W4's: a name hiding another (C4456-C4459:
-Wshadow-all) and implicit conversions that may lose value (C4244, C4267: -Wshorten-64-to-32,
-Wimplicit-int-conversion, -Wfloat-conversion). Neither proves that MSVC itself compiles the
tree: its own front end, the Windows SDK's headers, its standard library and the warnings
clang has no counterpart for (C4702, C4127, C4146, C4245) are not checked. Nothing is linked
or run.

Usage: clang-windows.py <build folder of the windows preset> [jobs]

Reads the build's compile_commands.json and keeps the project's own sources (not GoogleTest's).
Prints each failing command with clang's diagnostics; exits 1 if any file fails either pass.
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
HERE = os.path.dirname(os.path.abspath(__file__))

# What MSVC's /W4 reports that GCC's -Wall -Wextra does not.
MSVC_STAND_INS = ["-Wshadow-all", "-Wshorten-64-to-32", "-Wimplicit-int-conversion",
                  "-Wfloat-conversion"]

# The MSVC preset's own definitions (CMakeLists.txt), which the MinGW build does not pass.
MSVC_DEFINITIONS = ["-DNOMINMAX", "-D_CRT_SECURE_NO_WARNINGS", "-D_CRT_NONSTDC_NO_WARNINGS"]


def libstdcxx_includes():
    # The MinGW g++'s own C++ library headers; clang would otherwise look for them in the
    # sysroot, where Debian does not put them.
    roots = sorted(glob.glob("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++"))
    if not roots:
        sys.exit("clang-windows: no MinGW-w64 libstdc++ headers (g++-mingw-w64-x86-64-posix)")
    root = roots[-1]
    return ["-isystem", root, "-isystem", os.path.join(root, "x86_64-w64-mingw32")]


def build_arguments(entry):
    """The build's own flags for one source: without the compiler, output, -c, -O and the file."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept = []
    skip = False
    for arg in args[1:]:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg == "-c" or arg.startswith("-O"):
            continue  # what is checked is the language, not the optimiser
        if arg == entry["file"] or os.path.abspath(os.path.join(entry["directory"], arg)) == entry["file"]:
            continue
        kept.append(arg)
    return kept


def gnu_command(entry, source_root, out_dir, index):
    name = os.path.relpath(entry["file"], source_root).replace(os.sep, "_")
    return (["clang++", "--target=x86_64-w64-mingw32", "--sysroot=" + SYSROOT] +
            libstdcxx_includes() + build_arguments(entry) + MSVC_STAND_INS +
            ["-O0", "-c", entry["file"], "-o", os.path.join(out_dir, "%03d_%s.o" % (index, name))])


def msvc_command(entry):
    # Only the headers named here: clang's default search in MSVC mode would look for the
    # Windows SDK and the MSVC library, which this machine does not have.
    return (["clang++", "--target=x86_64-pc-windows-msvc", "-fms-compatibility-version=19.30",
             "-fno-delayed-template-parsing", "-nostdinc++", "-nostdlibinc"] +
            libstdcxx_includes() + ["-isystem", os.path.join(SYSROOT, "include"),
                                    "-include", os.path.join(HERE, "clang-msvc-prelude.h"),
                                    # libstdc++ expects it for -std=c++17, as GNU mode sets it.
                                    "-D__STRICT_ANSI__"] +
            MSVC_DEFINITIONS + build_arguments(entry) + MSVC_STAND_INS +
            ["-fsyntax-only", entry["file"]])


def run_all(commands, cwd, jobs):
    """Runs the commands; prints each failure with its output; returns how many failed."""
    def run(k):
        p = subprocess.run(commands[k], cwd=cwd[k], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        return k, p.returncode, p.stdout

    failures = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for k, code, output in pool.map(run, range(len(commands))):
            if code != 0:
                failures += 1
                print("FAILED: " + " ".join(shlex.quote(a) for a in commands[k]))
                print(output, end="")
    return failures


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    jobs = int(sys.argv[2]) if len(sys.argv) > 2 else (os.cpu_count() or 2)
    source_root = os.path.abspath(os.path.join(HERE, ".."))
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
    cwd = [e["directory"] for e in own]
    with tempfile.TemporaryDirectory(prefix="clang-windows-") as out_dir:
        started = time.monotonic()
        gnu = run_all([gnu_command(e, source_root, out_dir, i) for i, e in enumerate(own)], cwd,
                      jobs)
        print("clang-windows: %d of %d sources compiled with clang for x86_64-w64-mingw32 "
              "in %.1f s" % (len(own) - gnu, len(own), time.monotonic() - started))
    started = time.monotonic()
    msvc = run_all([msvc_command(e) for e in own], cwd, jobs)
    print("clang-windows: %d of %d sources checked in MSVC mode (x86_64-pc-windows-msvc, "
          "syntax only) in %.1f s" % (len(own) - msvc, len(own), time.monotonic() - started))
    total = gnu + msvc
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
