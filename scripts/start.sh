#!/usr/bin/env bash
# Builds both programs and starts them on this desktop: the Station (Tavrin2)
# and a Terminal (Tavrin) ready to connect to it at 127.0.0.1. Without a
# desktop ($DISPLAY unset) they start on a virtual one (Xvfb :42).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}

"$root/scripts/build.sh"

station_args=()
terminal_args=()
if [[ -z "${DISPLAY:-}" ]]; then
    export DISPLAY=:42
    # No window manager places the windows there: side by side.
    station_args=(-geometry 620x260+0+0)
    terminal_args=(-geometry 620x260+640+0)
    if ! xdpyinfo >/dev/null 2>&1; then
        Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp -noreset >/dev/null 2>&1 &
        for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    fi
    echo "No desktop found: the programs run on the virtual display $DISPLAY"
    echo "(see them with: DISPLAY=$DISPLAY import -window root screen.png)"
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Note: the Station listens on TCP port 1, which needs root or cap_net_bind_service." >&2
fi

"$build/Tavrin2/Tavrin2" "${station_args[@]}" &
station=$!
sleep 1
"$build/Tavrin/Tavrin" "${terminal_args[@]}" &
terminal=$!
echo "Station pid $station, Terminal pid $terminal. Choose 開始 in both windows to connect."
wait
