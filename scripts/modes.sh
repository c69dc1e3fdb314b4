#!/usr/bin/env bash
# Plays the built-in show under Wine at each frame rate given (default: all four) in both
# timings, the default one and phase lock, and prints the figures side by side: the measurements
# behind the timing figures of docs/protocol.md. Needs a Windows build (scripts/demo.sh makes
# one); takes about 40 seconds per rate.
#
#   bash scripts/modes.sh [24 25 29.97 30]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${MTC_BUILD_DIR:-build/windows}
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(24 25 29.97 30)
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all
sh cmake/wine-up.sh
trap 'wineserver -k 2>/dev/null || true' EXIT

runs="$PWD/$build/modes"
mkdir -p "$runs"
cat > "$runs/ports.txt" <<'PORTS'
port name="Velmarcast Modes MIDI" path="\\?\usb#vid_1209&pid_4d54#modes"
PORTS
export WINEDLLOVERRIDES="winmm=n,b" MTC_SIMPORT_SCENARIO="$runs/ports.txt"
for fps in "${rates[@]}"; do
    for mode in default lock; do
        flag=()
        [ "$mode" = lock ] && flag=(--phase-lock)
        out="$runs/$fps-$mode"
        log="$runs/wire-$fps-$mode.log"
        MTC_SIMPORT_LOG="$log" wine "$build/bin/mtc-host.exe" --fps "$fps" --recording "$log" \
            "${flag[@]}" --report "$(winepath -w "$out")" > "$out.txt" || true
    done
    python3 scripts/compare-modes.py default="$runs/$fps-default/report.json" \
        "phase lock=$runs/$fps-lock/report.json"
done
