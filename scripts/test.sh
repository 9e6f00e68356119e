#!/usr/bin/env bash
# Installs what is missing, builds a normal and a sanitizer build, runs every test in both, and
# packages the normal build and checks the package.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
status=0
for flavour in release asan; do
    build="build/$flavour"
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    [ "$flavour" = asan ] && options=(-DCMAKE_BUILD_TYPE=Debug -DCORVALT_SANITIZE=ON)
    echo "== $flavour build"
    cmake -S . -B "$build" "${options[@]}" >/dev/null
    cmake --build "$build" -j "$jobs"
    echo "== $flavour tests"
    # Leak checking would report Qt's process-lifetime singletons; everything else is on.
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$build" --output-on-failure -j "$jobs" || status=1
    if [ "$flavour" = release ]; then
        echo "== package"
        { bash scripts/package.sh -B "$build" && timeout 300 bash tests/package/package_test.sh "$build"; } || status=1
    fi
done
exit $status
