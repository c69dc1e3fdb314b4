#!/usr/bin/env bash
# The main job, from a fresh Debian 12 machine: installs prerequisites, builds the Windows
# programs and runs them under Wine in a prefix of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all
WINEPREFIX="$WINEPREFIX" sh cmake/wine-up.sh
trap 'wineserver -k 2>/dev/null || true' EXIT

bin=build/windows/bin
echo "== mtc-service --version";   wine "$bin/mtc-service.exe" --version
echo "== mtc-service --self-test"; wine "$bin/mtc-service.exe" --self-test
echo "== machine-id";              wine "$bin/machine-id.exe"
