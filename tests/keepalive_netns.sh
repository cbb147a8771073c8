#!/bin/sh
# Runs the vanishing-peer cases in a private network namespace joined by a
# veth pair to a second one, whose end the tests set down (about 5 minutes).
# Usage: keepalive_netns.sh <tst_KeepAlive binary>
# Exit code 77 means skipped (not root, or no network namespaces here).
test_binary="$1"
[ -x "$test_binary" ] || { echo "usage: $0 <tst_KeepAlive>" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: a veth pair between network namespaces needs root"
    exit 77
fi
for tool in unshare nsenter ip socat; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not available"; exit 77; }
done
unshare -n true 2>/dev/null || { echo "skipped: unshare -n is not available"; exit 77; }
exec unshare -n sh -c '
    ip link set lo up || exit 1
    unshare -n sleep 900 &
    far=$!
    tries=0
    while [ "$(readlink /proc/$far/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 50 ] || { kill "$far"; exit 1; }
        sleep 0.1
    done
    ip link add tavrin-near type veth peer name tavrin-far netns "$far" \
        && ip addr add 169.254.77.1/30 dev tavrin-near && ip link set tavrin-near up \
        && nsenter -t "$far" -n sh -c "ip link set lo up && ip addr add 169.254.77.2/30 dev tavrin-far \
            && ip link set tavrin-far up" \
        || { kill "$far"; exit 1; }
    TAVRIN_TEST_FAR_PID=$far QTEST_FUNCTION_TIMEOUT=450000 \
        "$0" vanishedPeersAreNoticed vanishedBehindAClosedWindowIsNoticed
    status=$?
    kill "$far"
    exit $status
' "$test_binary"
