#!/usr/bin/env bash
# On demand, never in CI: the tray program with a tool writing 1 MB/s for 30 minutes (or the
# minutes given). Prints a sample every minute: resident memory, which must level off once the
# output cap is reached and then stay flat, and how the window answered the requests for it
# sent every 5 s.
#
#   bash bench/soak.sh [MINUTES]
#
# BENCH_BUILD_DIR chooses the build folder (default build/benchmark).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$repo/build/benchmark}
minutes=${1:-30}
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ]; then
    echo "usage: bash bench/soak.sh [MINUTES]" >&2
    exit 2
fi

bash "$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_product >/dev/null
exec "$build/bench/product/bench_product" --soak "$minutes"
