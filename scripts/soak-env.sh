# Sourced by soak.sh and load.sh: installs what is missing, builds the service, the simulated
# MIDI port and the soak program in $build, and starts that build's Wine prefix with the
# simulated port allowed to replace winmm.
bash scripts/setup.sh
echo "== Building in $build"
cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target mtc-service simport soak_test

export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="winmm=n,b"
sh cmake/wine-up.sh
