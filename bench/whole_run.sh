#!/bin/sh
# Whole-process timing of KELVOR_STOI on inputs of 8 seconds to 1 hour made
# by repeating the demo pair (the degraded copy lags by 320 samples), with
# and without -a. Prints, per case, the median, minimum and maximum wall
# time of RUNS runs and the peak memory (/usr/bin/time -v), and a ratio.
#
# Two ways of comparing:
# - the fast build against the build that uses only the plain loops
#   (default: FAST against PLAIN, PLAIN timed up to PLAIN_MAX seconds);
# - the fast build against a previous binary (BASE, or BASE_REV: a git
#   revision of this repository, built for the purpose in a temporary
#   directory). The two binaries take turns run by run, so that both see
#   the same machine, and their outputs (console and results log) are
#   compared byte for byte. The ratio is BASE / FAST.
#
# Environment: FAST, PLAIN, BASE (executables), BASE_REV (e.g. main), RUNS
# (default 5), LENGTHS (seconds, default "8 60 600 3600"), PLAIN_MAX
# (longest input also timed with the plain build, default 600; its runs are
# slow), PLAIN_RUNS (default 3), TASKSET (e.g. "taskset -c 0": runs both
# binaries under it).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FAST=${FAST:-$ROOT/build/KELVOR_STOI}
PLAIN=${PLAIN:-$ROOT/build-plain/KELVOR_STOI}
BASE=${BASE:-}
BASE_REV=${BASE_REV:-}
RUNS=${RUNS:-5}
PLAIN_RUNS=${PLAIN_RUNS:-3}
LENGTHS=${LENGTHS:-"8 60 600 3600"}
PLAIN_MAX=${PLAIN_MAX:-600}
TASKSET=${TASKSET:-}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvor_bench_XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }

if [ -n "$BASE_REV" ] && [ -z "$BASE" ]; then
    echo "building $BASE_REV ($(git -C "$ROOT" rev-parse --short "$BASE_REV")) as the previous binary"
    mkdir "$WORK/base"
    git -C "$ROOT" archive "$BASE_REV" | tar -x -C "$WORK/base"
    cmake -S "$WORK/base" -B "$WORK/base/build" -DCMAKE_BUILD_TYPE=Release -DKELVOR_BUILD_TESTS=OFF \
        -DKELVOR_BUILD_BENCHMARKS=OFF -DKELVOR_BUILD_PYTHON=OFF > "$WORK/base.log" 2>&1
    cmake --build "$WORK/base/build" -j 2 --target KELVOR_STOI >> "$WORK/base.log" 2>&1 ||
        { cat "$WORK/base.log"; exit 1; }
    BASE=$WORK/base/build/KELVOR_STOI
fi

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

# one_run EXE SECONDS OPTIONS TAG: one timed run, appending its wall time
# and peak memory to $WORK/times.TAG and $WORK/peaks.TAG. Wall time from
# the nanosecond clock (time -v reports only hundredths).
one_run() {
    exe=$1 s=$2 opts=$3 tag=$4
    t0=$(date +%s%N)
    $TASKSET /usr/bin/time -v "$exe" -h $opts "ref_$s.pcm" "deg_$s.pcm" > /dev/null 2> "$WORK/tv"
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f\n", (b - a) / 1e9}' >> "$WORK/times.$tag"
    awk -F': ' '/Maximum resident set size/ {print $2}' "$WORK/tv" >> "$WORK/peaks.$tag"
}

# result TAG -> "median min max peak_kb"
result() { echo "$(stats < "$WORK/times.$1") $(sort -g "$WORK/peaks.$1" | tail -1)"; }

# time_case EXE RUNS SECONDS OPTIONS -> "median min max peak_kb"
time_case() {
    exe=$1 runs=$2 s=$3 opts=$4
    : > "$WORK/times.a"
    : > "$WORK/peaks.a"
    cd "$WORK"
    $TASKSET "$exe" -h $opts "ref_$s.pcm" "deg_$s.pcm" > /dev/null   # warm-up
    i=0
    while [ $i -lt "$runs" ]; do
        one_run "$exe" "$s" "$opts" a
        i=$((i + 1))
    done
    rm -f stoi_results.txt
    result a
}

# time_pair RUNS SECONDS OPTIONS: FAST and BASE in turns (each round in the
# other order), results in $WORK/times.fast, .base and the peaks.
time_pair() {
    runs=$1 s=$2 opts=$3
    for tag in fast base; do : > "$WORK/times.$tag"; : > "$WORK/peaks.$tag"; done
    cd "$WORK"
    $TASKSET "$FAST" -h $opts "ref_$s.pcm" "deg_$s.pcm" > /dev/null   # warm-up
    $TASKSET "$BASE" -h $opts "ref_$s.pcm" "deg_$s.pcm" > /dev/null
    i=0
    while [ $i -lt "$runs" ]; do
        if [ $((i % 2)) -eq 0 ]; then
            one_run "$FAST" "$s" "$opts" fast
            one_run "$BASE" "$s" "$opts" base
        else
            one_run "$BASE" "$s" "$opts" base
            one_run "$FAST" "$s" "$opts" fast
        fi
        i=$((i + 1))
    done
    rm -f stoi_results.txt
}

# same_output SECONDS OPTIONS: "identical" when both binaries print the same
# bytes and append the same row, else "DIFFERENT".
same_output() {
    s=$1 opts=$2
    cd "$WORK"
    for tag in fast base; do
        rm -f stoi_results.txt
        if [ $tag = fast ]; then exe=$FAST; else exe=$BASE; fi
        $TASKSET "$exe" -h $opts "ref_$s.pcm" "deg_$s.pcm" > "$WORK/out.$tag"
        cat stoi_results.txt >> "$WORK/out.$tag"
    done
    rm -f stoi_results.txt
    if cmp -s "$WORK/out.fast" "$WORK/out.base"; then echo identical; else echo DIFFERENT; fi
}

mb() { awk -v kb="$1" 'BEGIN {printf "%.1f", kb / 1024}'; }
per_sample() { awk -v kb="$1" -v n=$(($2 * 8000)) 'BEGIN {printf "%.1f", kb * 1024 / n}'; }

printf '%s\n' "processor: $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(nproc) usable${TASKSET:+ ($TASKSET)}"
if [ -n "$BASE" ]; then
    printf '%s\n' "fast: $FAST" "base: $BASE"
    printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s %s\n' seconds opt build median_s min_s max_s peak_MB bytes/sample ratio output
    for s in $LENGTHS; do
        for opts in "-a" ""; do
            label=${opts:-none}
            time_pair "$RUNS" "$s" "$opts"
            same=$(same_output "$s" "$opts")
            set -- $(result base)
            base_med=$1
            printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s\n' "$s" "$label" base "$1" "$2" "$3" "$(mb "$4")" "$(per_sample "$4" "$s")" ""
            set -- $(result fast)
            ratio=$(awk -v b="$base_med" -v f="$1" 'BEGIN {printf "%.2f", b / f}')
            printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s %s\n' "$s" "$label" fast "$1" "$2" "$3" "$(mb "$4")" "$(per_sample "$4" "$s")" "$ratio" "$same"
        done
    done
    exit 0
fi

printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s\n' seconds opt build median_s min_s max_s peak_MB bytes/sample ratio
for s in $LENGTHS; do
    for opts in "-a" ""; do
        label=${opts:-none}
        set -- $(time_case "$FAST" "$RUNS" "$s" "$opts")
        fast_med=$1
        printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s\n' "$s" "$label" fast "$1" "$2" "$3" "$(mb "$4")" "$(per_sample "$4" "$s")" ""
        if [ "$s" -le "$PLAIN_MAX" ]; then
            set -- $(time_case "$PLAIN" "$PLAIN_RUNS" "$s" "$opts")
            ratio=$(awk -v p="$1" -v f="$fast_med" 'BEGIN {printf "%.1f", p / f}')
            printf '%-8s %-4s %-6s %10s %10s %10s %10s %12s %8s\n' "$s" "$label" plain "$1" "$2" "$3" "$(mb "$4")" "$(per_sample "$4" "$s")" "$ratio"
        fi
    done
done
