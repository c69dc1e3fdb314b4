#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: installs prerequisites, builds the
# Windows programs and runs every test under Wine, then builds the portable parts natively
# with ASan and UBSan and runs their tests and the fuzzers. Formatting is checked first, since
# it is the cheapest failure. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)

echo "== Formatting (clang-format, the tree's .clang-format)"
git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format --dry-run -Werror

echo "== Windows x64 build, tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"

echo "== The Windows sources once more with clang (GCC-only constructs fail here, not in MSVC)"
python3 scripts/clang-windows.py build/windows "$jobs"

echo "== Native build with sanitizers, tests and fuzzers"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"
