#!/usr/bin/env bash
# End-to-end test of the Station (Tavrin2) and the Terminal (Tavrin), driven
# through the accessibility bus as an operator would drive them: both programs
# on a virtual display, in private network and process namespaces so that the
# Station can listen on port 1 and nothing outlives the run. COM1 is one end of
# a pseudo-terminal pair; the test reads the other end.
#
# Usage: run_e2e.sh <build dir> [output dir]
# Screenshots and program logs go to the output dir (default ./e2e-output).
# Exit codes: 0 all steps passed, 1 a step failed, 77 skipped (not root or no
# unshare).
set -uo pipefail

usage="usage: run_e2e.sh <build dir> [output dir]"
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?$usage}
out=${2:-$PWD/e2e-output}

fail() {
    echo "FAIL: $*"
    exit 1
}

if [[ -z ${TAVRIN_E2E_INSIDE:-} ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "SKIP: the end-to-end test needs root (private network namespace, TCP port 1)"
        exit 77
    fi
    if ! command -v unshare >/dev/null; then
        echo "SKIP: unshare (util-linux) is missing"
        exit 77
    fi
    [[ -d $build ]] || fail "build directory $build does not exist"
    build=$(cd "$build" && pwd)
    mkdir -p "$out" || fail "cannot create the output directory $out"
    out=$(cd "$out" && pwd)
    rm -f "$out"/*.png "$out"/*.log "$out"/*.txt
    namespaces=(unshare --net --pid --fork --kill-child --mount-proc)
    "${namespaces[@]}" true 2>/dev/null ||
        fail "cannot create private namespaces ('${namespaces[*]}' failed); the test must run as root with unshare allowed"
    TAVRIN_E2E_INSIDE=1 exec "${namespaces[@]}" "$0" "$build" "$out"
fi

# From here on: inside the namespaces, as process 1.
station=$build/Tavrin2/Tavrin2
terminal=$build/Tavrin/Tavrin
python=/usr/bin/python3
launcher=
for candidate in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
    [[ -x $candidate ]] && launcher=$candidate && break
done

for tool in ip Xvfb socat dbus-daemon import xdotool; do
    command -v "$tool" >/dev/null || fail "$tool is missing (run scripts/setup.sh)"
done
[[ -n $launcher ]] || fail "at-spi-bus-launcher is missing (package at-spi2-core; run scripts/setup.sh)"
"$python" -c 'import pyatspi' 2>/dev/null || fail "$python cannot import pyatspi (package python3-pyatspi)"
[[ -x $station ]] || fail "the Station is not built: $station missing"
[[ -x $terminal ]] || fail "the Terminal is not built: $terminal missing"

ip link set lo up || fail "cannot bring up the loopback interface"

work=$(mktemp -d /tmp/tavrin-e2e.XXXXXX) || fail "cannot create a work directory"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A private X display. The socket directory is private to this mount
# namespace, so other X servers on the machine cannot collide with it.
# -noreset: the server must not reset when its last client (a probe) leaves.
mkdir -p -m 1777 /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix 2>/dev/null
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x800x24 3>"$work/display" 2>"$out/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
    [[ -s $work/display ]] && break
    sleep 0.1
done
[[ -s $work/display ]] || fail "Xvfb did not start (see $out/xvfb.log)"
export DISPLAY=:$(head -n1 "$work/display")
for _ in $(seq 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "the X display $DISPLAY accepts no clients (see $out/xvfb.log)"

# COM1 and the test's end of the line.
socat -d -d pty,raw,echo=0,link="$work/com1" pty,raw,echo=0,link="$work/peer" 2>"$out/socat.log" &
pids+=($!)
for _ in $(seq 100); do
    [[ -e $work/com1 && -e $work/peer ]] && break
    sleep 0.1
done
[[ -e $work/com1 && -e $work/peer ]] || fail "socat did not create the pseudo-terminal pair (see $out/socat.log)"

mkdir -m 700 "$work/runtime" "$work/home" "$work/tmp"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home TMPDIR=$work/tmp
export XDG_CONFIG_HOME=$work/home/.config
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
unset QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE SESSION_MANAGER

# A private session bus with the accessibility bus on it.
dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 >"$work/dbus" 2>"$out/dbus.log" ||
    fail "the session D-Bus did not start (see $out/dbus.log)"
pids+=("$(sed -n 2p "$work/dbus")")
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$work/dbus")
"$launcher" --launch-immediately >"$out/at-spi.log" 2>&1 &
pids+=($!)

"$python" "$here/e2e.py" --station "$station" --terminal "$terminal" \
    --com1 "$work/com1" --peer "$work/peer" --work "$work" --out "$out"
