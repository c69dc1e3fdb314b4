#!/usr/bin/env bash
# The main job, from a fresh Debian 12 machine: installs the prerequisites, builds the Windows
# programs and the simulated MIDI port, and plays the built-in show under Wine: mtc-host
# starts mtc-service as a media player would, drives it through the host protocol for about
# 18 seconds (play, forward seek, pause, resume, track switch, backward seek, stop) and reads
# the simulated port's wire as a strict MTC receiver. It ends with the report and the paths of
# its JSON and SVG forms. It plays the show again with phase lock and prints the figures of both
# timings side by side. Then it plays the show once more through a MIDI input looped to the
# output, as a loopback cable would read it back, and prints the receiver's figures from the
# recording and from the input side by side. Last, it builds the release ZIP.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# MTC_BUILD_DIR lets a developer run the same job in a build folder of their own.
build=${MTC_BUILD_DIR:-build/windows}
echo "== Building the Windows programs and the simulated MIDI port in $build"
cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target mtc-service machine-id mtc-host simport

# The build's own Wine prefix, never ~/.wine; one persistent server for all runs below.
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all
sh cmake/wine-up.sh
trap 'wineserver -k 2>/dev/null || true' EXIT

bin="$build/bin"
echo "== mtc-service --version";   wine "$bin/mtc-service.exe" --version
echo "== mtc-service --self-test"; wine "$bin/mtc-service.exe" --self-test
echo "== machine-id";              wine "$bin/machine-id.exe"

# One simulated MIDI output. The simulated winmm.dll beside the programs replaces Wine's own
# only with this override; it records every message and when it left the 31250-baud wire.
demo="$PWD/$build/demo"
mkdir -p "$demo"
# The input "Velmarcast Demo Loopback" receives what leaves that output, like a loopback cable.
cat > "$demo/ports.txt" <<'EOF'
port name="Velmarcast Demo MIDI" path="\\?\usb#vid_1209&pid_4d54#demo"
input loop=0 name="Velmarcast Demo Loopback"
EOF
export WINEDLLOVERRIDES="winmm=n,b" MTC_SIMPORT_SCENARIO="$demo/ports.txt" \
    MTC_SIMPORT_LOG="$demo/wire.log"
report="$PWD/$build/report"
echo "== The default show (mtc-host --print-show lists it)"
status=0
wine "$bin/mtc-host.exe" --recording "$demo/wire.log" --report "$(winepath -w "$report")" \
    || status=$?

echo "== The same show with phase lock (mtc-host --phase-lock), beside the default timing"
locked="$PWD/$build/report-lock"
lock_status=0
MTC_SIMPORT_LOG="$demo/wire-lock.log" wine "$bin/mtc-host.exe" --phase-lock \
    --recording "$demo/wire-lock.log" --report "$(winepath -w "$locked")" > "$demo/lock-run.txt" || lock_status=$?
sed -n '/^Problem:/p' "$demo/lock-run.txt"
python3 scripts/compare-modes.py default="$report/report.json" "phase lock=$locked/report.json"
echo "(full output: $build/demo/lock-run.txt; exit code $lock_status)"

# The service's copy of the simulated port and mtc-host's own copy (which opens the input)
# share the wire through this channel.
echo "== The same show read back through the looped input (mtc-host --input)"
looped="$PWD/$build/report-input"
export MTC_SIMPORT_LOOPBACK="demo $$"
in_status=0
wine "$bin/mtc-host.exe" --input "Velmarcast Demo Loopback" --recording "$demo/wire.log" \
    --report "$(winepath -w "$looped")" > "$demo/input-run.txt" || in_status=$?
sed -n '/^== Show report/,/^  (figures include/p; /^Problem:/p; /^The same show as it left/,/^  cycles not two/p' \
    "$demo/input-run.txt"
echo "(full output: $build/demo/input-run.txt; exit code $in_status)"
unset WINEDLLOVERRIDES MTC_SIMPORT_SCENARIO MTC_SIMPORT_LOG MTC_SIMPORT_LOOPBACK
for other in "$lock_status" "$in_status"; do
    if [ "$status" -eq 0 ]; then
        status=$other
    fi
done

echo "== Release package"
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/velmarmtc-*-win64.zip)
echo "$zip:"
cmake -E tar tf "$zip" | sed 's/^/  /'

echo "== Report files"
echo "JSON: $build/report/report.json"
echo "SVG:  $build/report/receiver-error.svg"
echo "With phase lock: $build/report-lock/report.json"
echo "Through the looped input: $build/report-input/report.json (and recording-report.json)"
echo "MIDI wire as recorded: $build/demo/wire.log"
if [ "$status" -ne 0 ]; then
    echo "mtc-host exited with $status (3: the report lists problems, see above)"
fi
exit "$status"
