#!/bin/sh
# Starts the persistent wineserver for this build's prefix and creates the prefix on first use
# (without the Mono and Gecko installers, which the programs here never need). Runs before any
# Wine test, so replacing a lingering non-persistent server disturbs nobody.
set -e
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1
fi
if ! wineserver -p 2>/dev/null; then
    wineserver -k 2>/dev/null || true
    sleep 0.2
    wineserver -p
fi
