#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Idempotent and quiet when
# everything is already there.
set -euo pipefail

packages=(
    cmake ninja-build git python3
    g++-mingw-w64-x86-64-posix   # Windows x64 cross compiler, posix threads (std::mutex)
    wine wine64                  # runs the Windows programs and their tests
    googletest                   # sources in /usr/src/googletest, built per toolchain
    clang libclang-rt-14-dev     # native sanitizer builds and libFuzzer
    clang-format                 # the formatting check
    libbenchmark-dev             # benchmarks
    python3-jsonschema           # the protocol schema check (for /usr/bin/python3)
    nodejs                       # runs examples/host.js in the suite
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
