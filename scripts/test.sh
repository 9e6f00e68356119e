#!/usr/bin/env bash
# Installs what is missing, builds a normal and a sanitizer build, and runs every test in both.
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
done
exit $status
