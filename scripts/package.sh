#!/usr/bin/env bash
# Builds the release and the Debian package for this machine's architecture.
#   bash scripts/package.sh [-B BUILD_DIR] [-DVARIABLE=VALUE ...]
# The -D options go to cmake (the vendor's origin, the package's fields); BUILD_DIR, relative to
# the repository, defaults to build/package. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/package
options=()
while [ $# -gt 0 ]; do
    case "$1" in
        -B) build=${2:?-B needs a folder}; shift 2 ;;
        -D*) options+=("$1"); shift ;;
        *) echo "package.sh: unknown argument '$1' (use -B BUILD_DIR and -DVARIABLE=VALUE)" >&2; exit 2 ;;
    esac
done

bash scripts/install-deps.sh

# A new build folder is a release build without the tests, with Debian's hardening flags; an
# existing one keeps its settings.
if [ ! -f "$build/CMakeCache.txt" ]; then
    options=(-DCMAKE_BUILD_TYPE=Release -DCORVALT_BUILD_TESTS=OFF "${options[@]}")
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target corvalt-tray
ca=$(sed -n 's/^CORVALT_EXTRA_CA_CERTS:FILEPATH=//p' "$build/CMakeCache.txt")
if [ -n "$ca" ]; then
    echo "package.sh: warning: the program reads $ca on the machine it runs on; the package does not carry that file" >&2
fi
rm -f "$build"/corvalt-tray_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
realpath "$build"/corvalt-tray_*.deb
