#!/usr/bin/env bash
# `cmake --install` puts the program, its launcher and its icon where desktops look for them.
#   desktop_install_test.sh BUILD_DIR
set -euo pipefail
build=${1:?build folder}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

[ -x "$prefix/bin/corvalt-tray" ] || fail "bin/corvalt-tray is missing or not executable"

launcher="$prefix/share/applications/corvalt-tray.desktop"
[ -f "$launcher" ] || fail "share/applications/corvalt-tray.desktop is missing"
[ "$(sed -n 1p "$launcher")" = "[Desktop Entry]" ] || fail "the launcher does not start with [Desktop Entry]"
for line in "Type=Application" "Name=Corvalt" "Exec=corvalt-tray" "Icon=corvalt-tray" "Terminal=false"; do
    grep -qxF "$line" "$launcher" || fail "the launcher lacks $line"
done

[ -f "$prefix/share/icons/hicolor/scalable/apps/corvalt-tray.svg" ] || fail "the scalable icon is missing"
grep -q "<svg" "$prefix/share/icons/hicolor/scalable/apps/corvalt-tray.svg" || fail "the scalable icon is no SVG"
for size in 16 22 24 32 48 64; do
    icon="$prefix/share/icons/hicolor/${size}x${size}/apps/corvalt-tray.png"
    [ -f "$icon" ] || fail "the ${size}px icon is missing"
    # PNG signature, then the IHDR width and height.
    [ "$(od -An -tx1 -N8 "$icon" | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "the ${size}px icon is no PNG"
    [ "$(od -An -tu1 -j16 -N8 "$icon" | tr -s ' ' | sed 's/^ //')" = "0 0 0 $size 0 0 0 $size" ] ||
        fail "the ${size}px icon is not ${size}x${size}"
done

# Nothing else: test programs and helpers stay in the build.
unexpected=$(cd "$prefix" && find . -type f | sort | grep -v -e '^./bin/corvalt-tray$' \
    -e '^./share/applications/corvalt-tray.desktop$' -e '^./share/icons/hicolor/.*/apps/corvalt-tray\.\(png\|svg\)$' || true)
[ -z "$unexpected" ] || fail "unexpected files installed: $unexpected"
echo "PASS: program, launcher and icons installed"
