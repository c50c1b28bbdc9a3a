#!/bin/sh
# Runs the report-descriptor fuzzer for RUNS executions (default 1000000),
# starting from fuzz/corpus and writing what it finds to a scratch corpus,
# then merges back into fuzz/corpus only the inputs that reach new edges
# (counters off), which keeps the corpus in the repository small.
#   fuzz/run.sh <fuzz build dir> [runs]
set -e
build=${1:?usage: fuzz/run.sh <fuzz build dir> [runs]}
runs=${2:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
fuzzer="$build/hid_report_descriptor_fuzzer"
scratch="$build/corpus-new"
mkdir -p "$scratch"
"$fuzzer" -runs="$runs" -max_len=4096 -timeout=5 -print_final_stats=1 "$scratch" "$here/corpus"
"$fuzzer" -merge=1 -use_counters=0 -use_value_profile=0 "$here/corpus" "$scratch"
