#!/bin/sh
# Builds the Debian package from this build's binaries into a temporary folder
# and checks it: lintian, the desktop entries, the AppStream metadata, the file
# list, and that both programs it holds start offscreen and quit cleanly.
# Usage: package_deb.sh <build folder> <source root>
set -eu
build="$1"
root="$2"

for tool in cpack dpkg-deb lintian desktop-file-validate appstreamcli identify; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        "$root/scripts/setup.sh"
        break
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
deb=$(find "$work/out" -maxdepth 1 -name '*.deb')
echo "package: $(basename "$deb")"

lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian"
cat "$work/lintian.log"
! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"

dpkg-deb -f "$deb" Depends | grep -q 'qt6-translations-l10n' || fail "the package does not bring Qt's Japanese translations"

dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$work/files"
expected="/usr/bin/Tavrin2 /usr/bin/Tavrin
/usr/share/man/man1/Tavrin2.1.gz /usr/share/man/man1/Tavrin.1.gz
/usr/share/man/ja/man1/Tavrin2.1.gz /usr/share/man/ja/man1/Tavrin.1.gz"
for id in org.tavrin.tavrin2 org.tavrin.tavrin; do
    expected="$expected /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml"
    for side in 16 32 48 128 256; do
        expected="$expected /usr/share/icons/hicolor/${side}x$side/apps/$id.png"
    done
done
for file in $expected; do
    grep -qx "$file" "$work/files" || fail "the package lacks $file"
done

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work"/root/usr/share/applications/*.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml || fail "appstreamcli validate"
for icon in "$work"/root/usr/share/icons/hicolor/*/apps/*.png; do
    side=$(basename "$(dirname "$(dirname "$icon")")")
    [ "$(identify -format '%wx%h' "$icon")" = "$side" ] || fail "$icon is not $side"
done

# Each program in turn, as a user would start it, then stopped by SIGTERM once
# its handler is in place: it must leave its event loop and exit with 0.
mkdir -p "$work/home" "$work/tmp" "$work/run"
chmod 700 "$work/run"
for program in Tavrin2 Tavrin; do
    HOME="$work/home" XDG_RUNTIME_DIR="$work/run" TMPDIR="$work/tmp" TAVRIN2_COM1="$work/no-com1" \
        QT_QPA_PLATFORM=offscreen "$work/root/usr/bin/$program" >"$work/$program.log" 2>&1 &
    pid=$!
    ready=no
    for _ in $(seq 100); do
        caught=$(awk '/^SigCgt:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || break
        [ -n "$caught" ] || break
        if [ $((0x${caught#"${caught%????}"} & 0x4000)) -ne 0 ]; then
            ready=yes
            break
        fi
        sleep 0.1
    done
    if [ "$ready" = yes ]; then
        sleep 1
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null && fail "$program did not quit on SIGTERM"
    fi
    status=0
    wait "$pid" || status=$?
    [ "$ready" = yes ] || fail "$program ended before it was up"
    [ "$status" -eq 0 ] || { cat "$work/$program.log"; fail "$program exited with $status"; }
done

[ "$failures" -eq 0 ] || exit 1
echo "package checks passed"
