#!/bin/sh
# Whole-process timing of KELVOR_STOI: the fast build against the build that
# uses only the plain loops, on inputs of 8 seconds to 1 hour made by
# repeating the demo pair, with and without -a. Prints, per case, the median,
# minimum and maximum wall time of RUNS runs and the peak memory
# (/usr/bin/time -v), and the plain/fast ratio.
#
# Environment: FAST, PLAIN (executables), RUNS (default 5), LENGTHS (seconds,
# default "8 60 600 3600"), PLAIN_MAX (longest input also timed with the
# plain build, default 600; its runs are slow), PLAIN_RUNS (default 3).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FAST=${FAST:-$ROOT/build/KELVOR_STOI}
PLAIN=${PLAIN:-$ROOT/build-plain/KELVOR_STOI}
RUNS=${RUNS:-5}
PLAIN_RUNS=${PLAIN_RUNS:-3}
LENGTHS=${LENGTHS:-"8 60 600 3600"}
PLAIN_MAX=${PLAIN_MAX:-600}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvor_bench_XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }

# Raw 8 kHz data of the demo pair, repeated to at least the longest length.
tail -c +45 "$ROOT/samples/ref.wav" > "$WORK/ref.all"
tail -c +45 "$ROOT/samples/deg.wav" > "$WORK/deg.all"
longest=0
for s in $LENGTHS; do [ "$s" -gt "$longest" ] && longest=$s; done
while [ "$(wc -c < "$WORK/ref.all")" -lt $((longest * 16000)) ]; do
    cat "$WORK/ref.all" "$WORK/ref.all" > "$WORK/t" && mv "$WORK/t" "$WORK/ref.all"
    cat "$WORK/deg.all" "$WORK/deg.all" > "$WORK/t" && mv "$WORK/t" "$WORK/deg.all"
done
for s in $LENGTHS; do
    head -c $((s * 16000)) "$WORK/ref.all" > "$WORK/ref_$s.pcm"
    head -c $((s * 16000)) "$WORK/deg.all" > "$WORK/deg_$s.pcm"
done
rm -f "$WORK/ref.all" "$WORK/deg.all"

# median / min / max of the numbers on standard input
stats() { sort -g | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%.4f %.4f %.4f", m, v[1], v[NR]}'; }

# time_case EXE RUNS SECONDS OPTIONS -> "median min max peak_kb"
time_case() {
    exe=$1 runs=$2 s=$3 opts=$4
    : > "$WORK/times"
    : > "$WORK/peaks"
    cd "$WORK"
    "$exe" -h $opts "ref_$s.pcm" "deg_$s.pcm" > /dev/null   # warm-up
    i=0
    while [ $i -lt "$runs" ]; do
        # Wall time from the nanosecond clock (time -v reports only
        # hundredths); peak memory from time -v.
        t0=$(date +%s%N)
        /usr/bin/time -v "$exe" -h $opts "ref_$s.pcm" "deg_$s.pcm" > /dev/null 2> "$WORK/tv"
        t1=$(date +%s%N)
        awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f\n", (b - a) / 1e9}' >> "$WORK/times"
        awk -F': ' '/Maximum resident set size/ {print $2}' "$WORK/tv" >> "$WORK/peaks"
        i=$((i + 1))
    done
    rm -f stoi_results.txt
    echo "$(stats < "$WORK/times") $(sort -g "$WORK/peaks" | tail -1)"
}

printf '%s\n' "processor: $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s\n' seconds opt build median_s min_s max_s peak_MB bytes/sample ratio
for s in $LENGTHS; do
    for opts in "-a" ""; do
        label=${opts:-none}
        set -- $(time_case "$FAST" "$RUNS" "$s" "$opts")
        fast_med=$1
        per=$(awk -v kb="$4" -v n=$((s * 8000)) 'BEGIN {printf "%.1f", kb * 1024 / n}')
        printf '%-8s %-4s %-6s %10s %10s %10s %10.1f %12s %8s\n' "$s" "$label" fast "$1" "$2" "$3" "$(awk -v kb="$4" 'BEGIN {print kb / 1024}')" "$per" ""
        if [ "$s" -le "$PLAIN_MAX" ]; then
            set -- $(time_case "$PLAIN" "$PLAIN_RUNS" "$s" "$opts")
            ratio=$(awk -v p="$1" -v f="$fast_med" 'BEGIN {printf "%.1f", p / f}')
            per=$(awk -v kb="$4" -v n=$((s * 8000)) 'BEGIN {printf "%.1f", kb * 1024 / n}')
            printf '%-8s %-4s %-6s %10s %10s %10s %10.1f %12s %8s\n' "$s" "$label" plain "$1" "$2" "$3" "$(awk -v kb="$4" 'BEGIN {print kb / 1024}')" "$per" "$ratio"
        fi
    done
done
