#!/bin/sh
# Runs the listening socket's SERVICE_PORT case inside a private network
# namespace, so that port 1 can be bound without touching the host's.
# Usage: port1_netns.sh <tst_ListenSocket binary>
# Exit code 77 means skipped (not root, or no network namespaces here).
test_binary="$1"
[ -x "$test_binary" ] || { echo "usage: $0 <tst_ListenSocket>" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: binding port 1 in a network namespace needs root"
    exit 77
fi
if ! command -v unshare >/dev/null 2>&1 || ! command -v ip >/dev/null 2>&1 \
    || ! unshare -n true 2>/dev/null; then
    echo "skipped: unshare -n or ip is not available"
    exit 77
fi
exec unshare -n sh -c 'ip link set lo up && TAVRIN_TEST_PORT1=1 exec "$0" servicePort' "$test_binary"
