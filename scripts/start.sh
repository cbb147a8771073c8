#!/usr/bin/env bash
# Builds both programs and starts them on this desktop: the Station (Tavrin2)
# and a Terminal (Tavrin) ready to connect to it at 127.0.0.1. Without a
# desktop ($DISPLAY unset) they start on a virtual one (Xvfb :42). Ends when
# both programs have closed, and stops the virtual display if it started it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}

"$root/scripts/build.sh" --target Tavrin2 Tavrin

station=
terminal=
xvfb=
stop() {
    local running=($station $terminal)
    for pid in "${running[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    # Their display stays until they have closed their windows.
    for _ in $(seq 50); do
        kill -0 "${running[@]}" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -n $xvfb ]]; then
        echo "Stopping the virtual display $DISPLAY"
        kill -TERM "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
}
trap stop EXIT

station_args=()
terminal_args=()
if [[ -z "${DISPLAY:-}" ]]; then
    export DISPLAY=:42
    # No window manager places the windows there: side by side.
    station_args=(-geometry 620x260+0+0)
    terminal_args=(-geometry 620x260+640+0)
    if ! xdpyinfo >/dev/null 2>&1; then
        echo "Starting the virtual display $DISPLAY"
        # In a session of its own, so that Ctrl-C ends the programs before their display.
        setsid Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp -noreset >/dev/null 2>&1 &
        xvfb=$!
        for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
        xdpyinfo >/dev/null 2>&1 || { echo "The virtual display $DISPLAY did not start." >&2; exit 1; }
    fi
    echo "No desktop found: the programs run on the virtual display $DISPLAY"
    echo "(see them with: DISPLAY=$DISPLAY import -window root screen.png)"
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Note: the Station listens on TCP port 1, which needs root or cap_net_bind_service." >&2
fi

echo "Starting the Station (Tavrin2)"
"$build/Tavrin2/Tavrin2" "${station_args[@]}" &
station=$!
sleep 1
echo "Starting the Terminal (Tavrin)"
"$build/Tavrin/Tavrin" "${terminal_args[@]}" &
terminal=$!
echo "Station pid $station, Terminal pid $terminal. Choose 開始 in both windows to connect."
echo "This script ends when both windows have been closed."
wait "$station" "$terminal" || true
station=
terminal=
echo "Both programs have closed."
