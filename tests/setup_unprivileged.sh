#!/bin/sh
# scripts/setup.sh on a machine that has everything: as root and as an
# unprivileged user it must exit 0 without calling apt-get (a stand-in
# apt-get on the PATH records any call).
# Usage: setup_unprivileged.sh <source root>
# Exit code 77 means skipped (not root, so no other user to switch to).
root="$1"
[ -x "$root/scripts/setup.sh" ] || { echo "usage: $0 <source root>" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: switching to an unprivileged user needs root"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The checkout may be unreadable to nobody: the script goes on its own.
cp "$root/scripts/setup.sh" "$work/setup.sh"
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<STANDIN
#!/bin/sh
echo "apt-get \$*" >>"$work/apt-get.calls"
exit 1
STANDIN
chmod 755 "$work" "$work/bin" "$work/bin/apt-get" "$work/setup.sh"
touch "$work/apt-get.calls"
chmod 666 "$work/apt-get.calls"

failures=0
if ! PATH="$work/bin:$PATH" "$work/setup.sh" || [ -s "$work/apt-get.calls" ]; then
    echo "FAIL: as root, setup.sh wants to install something on every run"
    echo "(names that never show as installed, or run scripts/setup.sh once to install what is missing)"
    failures=1
fi
if ! setpriv --reuid=nobody --regid=nogroup --clear-groups env PATH="$work/bin:$PATH" "$work/setup.sh"; then
    echo "FAIL: as nobody, setup.sh does not exit 0"
    failures=1
fi
if [ -s "$work/apt-get.calls" ]; then
    echo "FAIL: setup.sh called apt-get:"
    cat "$work/apt-get.calls"
    failures=1
fi
[ "$failures" -eq 0 ] && echo "setup.sh checks passed"
exit "$failures"
