#!/usr/bin/env bash
# Builds what the benchmarks need in an optimised build and prints one table: every figure of the
# tray program beside its reference from the same run, with the ratio and the goal, the terminal
# window's flood figures included. About ten minutes on two cores. Everything runs on a virtual
# display, against a server on 127.0.0.1, in a temporary home: nothing of the user's is touched.
#
#   bash bench/run-all.sh [bench_product options]     e.g. --launches 20, --only launch,quit
#
# BENCH_BUILD_DIR chooses the build folder (default build/benchmark).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$repo/build/benchmark}

bash "$repo/scripts/install-deps.sh"
# The download reference; only the benchmark needs it.
if ! command -v curl >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends curl
fi

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_product >/dev/null
exec "$build/bench/product/bench_product" "$@"
