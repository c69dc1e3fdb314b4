#!/bin/sh
# Starts the persistent wineserver for this build's prefix, creates the prefix on first use
# (without the Mono and Gecko installers, which the programs here never need) and starts
# Wine's background services once.
#
# Every Wine process started here has its standard streams on /dev/null: the wineserver and
# the services it spawns live on after this script and would otherwise keep ctest's output
# pipe open, so ctest would wait for them until its time-out. Runs before any Wine test, so
# replacing a lingering non-persistent server disturbs nobody.
set -e
exec </dev/null
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1
fi
if ! wineserver -p >/dev/null 2>&1; then
    wineserver -k >/dev/null 2>&1 || true
    sleep 0.2
    wineserver -p >/dev/null 2>&1
fi
# The first program of a session starts services.exe, plugplay and friends; let that happen
# here rather than inside the first test, whose pipes they would inherit.
wine cmd.exe /c exit >/dev/null 2>&1
