#!/usr/bin/env bash
# The package made by scripts/package.sh, checked by Debian's tools, resolved by apt without being
# installed, and its program run from an extracted copy.   package_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?build folder}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cached CMAKE_PROJECT_VERSION) id=$(cached CORVALT_PACKAGE_APPSTREAM_ID)
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
icons=$(printf './usr/share/icons/hicolor/%sx%s/apps/corvalt-tray.png\n' 16 16 22 22 24 24 32 32 48 48 64 64)
printf '%s\n' ./usr/bin/corvalt-tray ./usr/share/applications/corvalt-tray.desktop "$icons" \
    ./usr/share/doc/corvalt-tray/{changelog.gz,copyright} ./usr/share/icons/hicolor/scalable/apps/corvalt-tray.svg \
    ./usr/share/man/man1/corvalt-tray.1.gz "./usr/share/metainfo/$id.metainfo.xml" | sort >"$work/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | diff -u "$work/expected" - || fail "files differ"
root="$work/root" metainfo="$work/root/usr/share/metainfo/$id.metainfo.xml"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/corvalt-tray.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the AppStream release is not $version"
strings -el "$root/usr/bin/corvalt-tray" | grep -xF "$(cached CORVALT_BASE_URL)" >/dev/null || fail "no build's origin"
apt-get install --simulate "$deb" >"$work/apt" 2>&1 || fail "apt cannot resolve the package: $(cat "$work/apt")"
grep -q "^Inst corvalt-tray " "$work/apt" || fail "apt would not install corvalt-tray: $(cat "$work/apt")"
# Without any display: nothing the program does past its command line can start there, so no
# process namespace is needed (none can be made in a chroot or an unprivileged container).
mkdir -m 700 "$work/home" "$work/runtime"
run() {
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
        timeout 60 "$root/usr/bin/corvalt-tray" "$@" >"$work/out" 2>"$work/err"
}
run --version && [ "$(cat "$work/out")" = "corvalt-tray $version" ] || fail "--version: $(cat "$work/out" "$work/err")"
run --help && grep -q "takes no other options" "$work/out" || fail "--help failed or does not say it takes no options"
status=0 && run --no-such-option || status=$?
[ "$status" = 2 ] && [ ! -s "$work/out" ] || fail "an unknown option ended with status $status: $(cat "$work/out")"
grep -qF "Unknown option 'no-such-option'" "$work/err" || fail "no message for the unknown option: $(cat "$work/err")"
status=0 && run || status=$?
[ "$status" = 1 ] && [ "$(wc -l <"$work/err")" = 1 ] && grep -q "no display" "$work/err" ||
    fail "without a display it ended with status $status: $(cat "$work/out" "$work/err")"
echo "PASS: package $(basename "$deb"), $(stat -c %s "$deb") bytes"
