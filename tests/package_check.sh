#!/usr/bin/env bash
# The release ZIP as a user gets it: built with CPack from this build tree, unpacked into an
# empty folder and run in a brand-new Wine prefix without the simulated port's DLL override.
# Checks that it holds exactly the four files, that the programs import only system DLLs, and
# that each program runs from the unpacked folder.
# Usage: package_check.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/mtc-package-check.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
unset WINEDLLOVERRIDES MTC_SIMPORT_SCENARIO MTC_SIMPORT_LOG MTC_SIMPORT_CONTROL
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G ZIP -B "$work/out" >/dev/null)
zip="$work/out/velmarmtc-$(sed -n 's/^CPACK_PACKAGE_VERSION:STRING=//p;s/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" | head -1)-win64.zip"
[ -f "$zip" ] || zip=$(ls "$work"/out/*.zip)
echo "package: $(basename "$zip")"

listing=$(cd "$work" && cmake -E tar tf "$zip" | sort)
expected=$(printf '%s\n' README.md machine-id.exe mtc-host.exe mtc-service.exe \
    | sed "s|^|$(basename "$zip" .zip)/|" | sort)
[ "$listing" = "$expected" ] || fail "package holds:"$'\n'"$listing"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
dir="$work/unpacked/$(basename "$zip" .zip)"

# Statically linked: only DLLs that every Windows has.
for exe in "$dir"/*.exe; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    for dll in $dlls; do
        case "$dll" in
            kernel32.dll|msvcrt.dll|advapi32.dll|winmm.dll|bcrypt.dll|avrt.dll|user32.dll) ;;
            *) fail "$(basename "$exe") imports $dll" ;;
        esac
    done
done

WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 || true  # keep one server for the runs below
run() { timeout 60 wine "$@" 2>/dev/null; }

out=$(run "$dir/mtc-service.exe" --version) || fail "mtc-service --version exited $?"
[ "$out" = '{"name":"Velmarcast native Windows MTC","protocolVersion":1,"architecture":"x64"}' ] \
    || fail "mtc-service --version printed: $out"
echo "mtc-service --version: $out"

out=$(run "$dir/mtc-service.exe" --self-test) || fail "mtc-service --self-test exited $?: $out"
case "$out" in '{"passed":true,'*) ;; *) fail "mtc-service --self-test printed: $out" ;; esac
echo "mtc-service --self-test: $out"

out=$(run "$dir/machine-id.exe") || fail "machine-id exited $?: $out"
echo "$out" | grep -Eq '^\{"version":1,"guid":"[0-9A-Fa-f-]{36}"\}$' || fail "machine-id printed: $out"
echo "machine-id: $out"

out=$(run "$dir/mtc-host.exe" --print-show) || fail "mtc-host --print-show exited $?"
echo "$out" | grep -q '^seek 1:30' || fail "mtc-host --print-show printed: $out"

# No MIDI port on a clean prefix: the host starts the service beside it, which lists none.
set +e
out=$(run "$dir/mtc-host.exe" --report "$work/report")
code=$?
set -e
[ "$code" -eq 1 ] || fail "mtc-host on a machine without ports exited $code: $out"
echo "$out" | grep -q '^< {"id":1,"ok":true,"outputs":\[\]}$' || fail "mtc-host printed: $out"
echo "mtc-host: started the packaged service, which lists no outputs here (as expected)"
echo "1 passed, 0 failed"
