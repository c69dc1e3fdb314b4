#!/usr/bin/env bash
# Benchmark: quarter-frame timing under load. Runs the same playback as the soak (29.97 fps,
# reports every 20 ms with jitter, seeks, pauses, track switches) twice under Wine: once on a
# quiet machine and once with a busy-loop process keeping a core busy, and prints the
# quarter-frame lateness against the schedule (p50, p99, max) of both.
#
#   bash scripts/load.sh [seconds]          (default 60 per run)
#
# MTC_BUILD_DIR picks the build folder (default build/windows).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${MTC_BUILD_DIR:-build/windows}

. scripts/soak-env.sh
hog=""
cleanup() {
    if [ -n "$hog" ]; then kill "$hog" 2>/dev/null || true; fi
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

out=$(mktemp -d)
run() {
    # The figures are printed whatever the checks say; a failed check under load is a finding.
    MTC_SOAK_SECONDS=$seconds wine "$build/bin/soak_test.exe" >"$out/$1.txt" 2>&1 || true
}

echo "== Quiet machine: $seconds s"
run quiet
echo "== One core kept busy by a busy loop: $seconds s"
sh -c 'while :; do :; done' &
hog=$!
run loaded
kill "$hog" 2>/dev/null || true
hog=""

for name in quiet loaded; do
    echo "-- $name"
    grep -E '^(soak |receiver |quarter-frame |first quarter )' "$out/$name.txt" | awk '!seen[$0]++' || true
    if grep -q 'FAILED' "$out/$name.txt"; then
        echo "   (checks failed in this run:"
        grep -E 'Failure|Expected|actual' "$out/$name.txt" | head -6 | sed 's/^/    /'
        echo "   )"
    fi
done
rm -rf "$out"
