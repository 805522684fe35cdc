#!/usr/bin/env bash
# Runs every benchmark against the build in $1 (default: build): first on
# SQLite, then on PostgreSQL through ODBC (a private cluster of
# tests/peers/postgres.sh, started here and always stopped).
set -euo pipefail
cd "$(dirname "$0")/.."
export QUENSC_BUILD_DIR=$(cd "${1:-build}" && pwd)
echo "=== SQLite"
QUENSC_TEST_STORE=sqlite python3 bench/frame_bench.py
QUENSC_TEST_STORE=sqlite python3 bench/scale_bench.py
QUENSC_TEST_STORE=sqlite python3 bench/memory_bench.py
QUENSC_TEST_STORE=sqlite python3 bench/upgrade_bench.py
QUENSC_TEST_STORE=sqlite python3 bench/commit_bench.py
QUENSC_TEST_STORE=sqlite python3 bench/rss_bench.py
echo "=== Directory (Samba domain controller)"
python3 bench/directory_bench.py
echo "=== PostgreSQL (ODBC)"
state=$(mktemp /tmp/quensc-bench-pg-XXXXXX.env)
trap 'tests/peers/postgres.sh stop "$state"' EXIT
tests/peers/postgres.sh start "$state"
QUENSC_TEST_STORE=postgres QUENSC_PG_PEER=$state python3 bench/frame_bench.py
QUENSC_TEST_STORE=postgres QUENSC_PG_PEER=$state python3 bench/scale_bench.py
QUENSC_TEST_STORE=postgres QUENSC_PG_PEER=$state python3 bench/upgrade_bench.py
