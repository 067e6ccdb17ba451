#!/bin/sh
# Runs one fuzz harness for a number of seconds on a copy of its seed
# corpus, in a scratch directory, so that nothing is written into the
# source tree. Fails when the harness reports a fault; the reproducer is
# kept and its path printed.
#
#   run_fuzzer.sh <harness executable> <seed directory> <seconds> [libFuzzer options...]
set -eu
harness=$(realpath "$1")
seeds=$(realpath "$2")
seconds=$3
shift 3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvor_fuzz_XXXXXX")
mkdir "$scratch/corpus"
cd "$scratch"
status=0
"$harness" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 -timeout=60 \
    -artifact_prefix="$scratch/" -print_final_stats=1 "$@" \
    "$scratch/corpus" "$seeds" >"$scratch/log" 2>&1 || status=$?
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$scratch/log" || true
echo "corpus: $(ls "$scratch/corpus" | wc -l) new inputs"
if [ "$status" -ne 0 ]; then
    tail -n 60 "$scratch/log"
    echo "$(basename "$harness"): FAULT; reproducer and log kept in $scratch" >&2
    exit 1
fi
rm -rf "$scratch"
echo "$(basename "$harness"): ${seconds}s clean"
