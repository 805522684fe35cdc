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
# Filling 10^6 instances through ODBC takes most of an hour: PostgreSQL's
# scale figures stop at 10^5.
QUENSC_TEST_STORE=postgres QUENSC_PG_PEER=$state QUENSC_BENCH_SIZES=${QUENSC_BENCH_PG_SIZES:-10000,100000} \
  python3 bench/scale_bench.py
QUENSC_TEST_STORE=postgres QUENSC_PG_PEER=$state python3 bench/upgrade_bench.py
