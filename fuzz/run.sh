#!/usr/bin/env bash
# Runs every fuzz target of the libFuzzer build in $1 for $2 seconds each,
# starting from the kept corpus (fuzz/corpus/NAME) and writing new inputs to
# $1/corpus/NAME. A crash stops the run with the fuzzer's report and the
# reproducing input in $1/crashes/. Exit 0 when no target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=${2:-60}
mkdir -p "$build/crashes"
failed=0
for name in dispatch config query parsers session; do
  mkdir -p "$build/corpus/$name"
  echo "fuzz: $name for ${seconds}s"
  if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
       -artifact_prefix="$build/crashes/$name-" -print_final_stats=1 \
       "$build/corpus/$name" "fuzz/corpus/$name" 2>"$build/fuzz-$name.log"; then
    echo "fuzz: $name FAILED, see $build/fuzz-$name.log and $build/crashes/"
    tail -40 "$build/fuzz-$name.log"
    failed=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$build/fuzz-$name.log" | tail -2
  fi
done
exit $failed
