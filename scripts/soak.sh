#!/usr/bin/env bash
# Benchmark: the soak for as long as asked. Builds mtc-service, the simulated MIDI port and the
# soak program, then plays at 29.97 drop-frame under Wine with seeks, pauses and track switches
# and reports every 20 ms (+-5 ms jitter), and prints the receiver's error, the stalls (readings
# that lagged past the bound only by as much as their piece 7 left late), quarter-frame
# lateness, CPU, memory and handle figures. The same checks as the suite's 60-second soak apply.
#
#   bash scripts/soak.sh [minutes]          (default 30)
#
# MTC_BUILD_DIR picks the build folder (default build/windows), MTC_SOAK_SEED the player's
# random choices.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-30}
build=${MTC_BUILD_DIR:-build/windows}

. scripts/soak-env.sh
trap 'wineserver -k 2>/dev/null || true' EXIT

seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
echo "== Soak: $minutes min of playback at 29.97 fps"
status=0
MTC_SOAK_SECONDS=$seconds wine "$build/bin/soak_test.exe" || status=$?
echo "== soak exit status $status"
exit "$status"
