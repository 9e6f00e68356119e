#!/usr/bin/env bash
# The Debian package made by scripts/package.sh: checked by Debian's own tools, resolved by apt
# without being installed, and its program run from an extracted copy.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?build folder}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

version=$(cached CMAKE_PROJECT_VERSION)
id=$(cached CORVALT_PACKAGE_APPSTREAM_ID)
deb="$build/corvalt-tray_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no package $deb"

lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || fail "lintian: $(cat "$work/lintian")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), not $version"
for name in Maintainer Section Homepage; do
    [ "$(field "$name")" = "$(cached "CORVALT_PACKAGE_${name^^}")" ] || fail "$name is '$(field "$name")'"
done
[ "$(field Description | head -n1)" = "$(cached CORVALT_PACKAGE_SUMMARY)" ] || fail "wrong Description"
for library in libc6 libqt6core6 libqt6network6 libqt6widgets6 procps; do
    grep -qE "(^|, )$library( |,|$)" <<<"$(field Depends)" || fail "Depends lacks $library: $(field Depends)"
done
[ "$(field Recommends)" = "zsh, qt6-wayland, fonts-noto-color-emoji" ] || fail "Recommends: $(field Recommends)"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/files"
sort >"$work/expected" <<EOF2
./usr/bin/corvalt-tray
./usr/share/applications/corvalt-tray.desktop
./usr/share/doc/corvalt-tray/changelog.gz
./usr/share/doc/corvalt-tray/copyright
./usr/share/icons/hicolor/scalable/apps/corvalt-tray.svg
./usr/share/man/man1/corvalt-tray.1.gz
./usr/share/metainfo/$id.metainfo.xml
$(for size in 16 22 24 32 48 64; do echo "./usr/share/icons/hicolor/${size}x${size}/apps/corvalt-tray.png"; done)
EOF2
diff -u "$work/expected" "$work/files" || fail "the package's files differ from the list above"

root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/corvalt-tray.desktop" || fail "desktop-file-validate"
metainfo="$root/usr/share/metainfo/$id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the AppStream release is not $version"
grep -qF "<launchable type=\"desktop-id\">corvalt-tray.desktop</launchable>" "$metainfo" || fail "no launchable"
strings -el "$root/usr/bin/corvalt-tray" | grep -xF "$(cached CORVALT_BASE_URL)" >/dev/null || fail "the program lacks the build's origin"

apt-get install --simulate "$deb" >"$work/apt" 2>&1 || fail "apt cannot resolve the package: $(cat "$work/apt")"
grep -q "^Inst corvalt-tray " "$work/apt" || fail "apt would not install corvalt-tray: $(cat "$work/apt")"

# In a process namespace of its own, so that a program that started after all could end nothing
# outside it.
mkdir -m 700 "$work/home" "$work/runtime"
run() {
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
        timeout 60 unshare --pid --fork --mount-proc --kill-child "$root/usr/bin/corvalt-tray" "$@" >"$work/out" 2>"$work/err"
}
run --version || fail "--version failed: $(cat "$work/err")"
[ "$(cat "$work/out")" = "corvalt-tray $version" ] || fail "--version printed '$(cat "$work/out")'"
run -platform minimal --version || fail "Qt's -platform was not taken: $(cat "$work/err")"
run --help || fail "--help failed"
grep -q "takes no other options" "$work/out" || fail "--help does not say that there are no other options"
status=0
run --no-such-option || status=$?
[ "$status" = 2 ] || fail "an unknown option ended with status $status, not 2"
grep -qF "Unknown option 'no-such-option'" "$work/err" || fail "no message for the unknown option: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "the program started despite the unknown option: $(cat "$work/out")"
echo "PASS: package $(basename "$deb"), $(stat -c %s "$deb") bytes"
