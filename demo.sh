#!/usr/bin/env bash
# The program's main job on a simulated receiver: builds the Windows .exe,
# puts the receiver simulator on a pseudo-terminal, maps it as COM33 with a
# "vcp" device name in a private Wine prefix, and runs the program right here
# in the terminal. Press Ctrl+C to end it.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

tools/install-packages.sh windows
cmake --preset windows >/dev/null
cmake --build --preset windows --target receiver_finder >/dev/null

prefix=$root/build/demo/wineprefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
echo "Preparing Wine (the first time takes a few seconds)..."
/usr/bin/python3 e2e/session.py start "$prefix"

sim_out=$(mktemp)
# In a session of its own, so that Ctrl+C reaches the program only: the line
# must stay up while the program still reads it.
setsid /usr/bin/python3 tools/receiver_simulator.py --rate 4 >"$sim_out" 2>/dev/null &
sim=$!
cleanup() {
    trap - EXIT INT
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
    /usr/bin/python3 e2e/session.py stop "$prefix"
    rm -f "$sim_out"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$sim_out" ] && break; sleep 0.05; done
ln -sfn "$(head -n 1 "$sim_out")" "$prefix/dosdevices/com33"
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\VCP0' /t REG_SZ /d COM33 /f \
    >"$prefix/reg.log" 2>&1

echo "Simulated receiver on COM33; it sends a key code four times a second."
echo "Press Ctrl+C to stop."
echo
# Ctrl+C ends the program; this script goes on to clean up after it.
trap '' INT
wine build/windows/receiver_finder.exe || true
