#!/usr/bin/env bash
# Runs every benchmark against the build in $1 (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
export QUENSC_BUILD_DIR=$(cd "${1:-build}" && pwd)
python3 bench/frame_bench.py
python3 bench/scale_bench.py
python3 bench/directory_bench.py
