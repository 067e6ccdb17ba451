#!/bin/sh
# Throughput of kelvor-batch: PAIRS pairs of 3 to 10 s of speech made from
# the bundled pair, at 8 kHz and at 16 kHz, scored with -j1 and -jN (N: the
# cores), against a shell loop that starts KELVOR_STOI once per 8 kHz pair;
# plus PAIRS pairs of exactly 3 s at 16 kHz. The runs score the pairs as
# they are; the 8 kHz set is also scored with the delay search (-a,
# --align) by both. Prints, per case, the median wall time of RUNS
# runs, pairs per second, CPU seconds (user + system, median) and peak
# memory (/usr/bin/time -v), then the ratios of the medians, all measured
# in this one run. On a shared machine the wall times of -jN depend on the
# cores the others leave free; the CPU seconds do not.
#
# With PREV_BATCH naming an earlier kelvor-batch, the 3-second 16 kHz set is
# also scored by it at -j1, its runs taking turns with this build's, and
# the ratio of pairs per CPU second is printed (the scoring profiles' speed
# target is measured so).
#
# Environment: BATCH, TOOL (executables), PREV_BATCH (optional), PAIRS
# (default 400), RUNS (default 3), JOBS (default: nproc).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${BATCH:-$ROOT/build/batch/kelvor-batch}
TOOL=${TOOL:-$ROOT/build/KELVOR_STOI}
PAIRS=${PAIRS:-400}
RUNS=${RUNS:-3}
JOBS=${JOBS:-$(nproc)}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvor_batch_bench_XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }
command -v sox >/dev/null 2>&1 || { echo "needs sox (Debian package 'sox') to make the pairs"; exit 1; }
[ -x "$BATCH" ] || { echo "no kelvor-batch at $BATCH (build it first: make)"; exit 1; }
[ -x "$TOOL" ] || { echo "no KELVOR_STOI at $TOOL"; exit 1; }

# 17 s of speech: the demo pair three times over; pair i is a cut of
# 3 to 10 s from a varying offset, the same cut of both files.
sox "$ROOT/samples/ref.wav" "$ROOT/samples/ref.wav" "$ROOT/samples/ref.wav" "$WORK/ref_long.wav"
sox "$ROOT/samples/deg.wav" "$ROOT/samples/deg.wav" "$ROOT/samples/deg.wav" "$WORK/deg_long.wav"
for set in p8 p16 p16_3s; do
    mkdir -p "$WORK/$set"
    echo "reference,degraded" > "$WORK/$set/manifest.csv"
done
total_seconds=0
i=0
while [ $i -lt "$PAIRS" ]; do
    len=$(awk -v i=$i 'BEGIN { printf "%.2f", 3 + (i * 37 % 701) / 100 }')
    off=$(awk -v i=$i 'BEGIN { printf "%.2f", (i * 53 % 691) / 100 }')
    for side in ref deg; do
        sox "$WORK/${side}_long.wav" "$WORK/p8/${side}$i.wav" trim "$off" "$len"
        sox "$WORK/${side}_long.wav" -r 16000 "$WORK/p16/${side}$i.wav" trim "$off" "$len"
        sox "$WORK/${side}_long.wav" -r 16000 "$WORK/p16_3s/${side}$i.wav" trim "$off" 3
    done
    for set in p8 p16 p16_3s; do echo "ref$i.wav,deg$i.wav" >> "$WORK/$set/manifest.csv"; done
    total_seconds=$(awk -v a="$total_seconds" -v b="$len" 'BEGIN { print a + b }')
    i=$((i + 1))
done
echo "$PAIRS pairs per set, $total_seconds s of speech in the 3-10 s sets; $JOBS cores; median of $RUNS runs"

median() { sort -g | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%.3f", m}'; }

# run_once NAME COMMAND...: one run, its wall time, CPU time and peak
# memory appended to $WORK/NAME.walls, .cpus and .kbs.
run_once() {
    name=$1
    shift
    /usr/bin/time -v -o "$WORK/time.txt" "$@" > /dev/null 2>&1
    awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (k = 1; k <= n; k++) s = s * 60 + t[k]; print s }' \
        "$WORK/time.txt" >> "$WORK/$name.walls"
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt" >> "$WORK/$name.kbs"
    awk -F': ' '/User time|System time/ { s += $2 } END { print s }' "$WORK/time.txt" >> "$WORK/$name.cpus"
}

# report NAME: the medians and the peak of NAME's runs.
report() {
    name=$1
    median < "$WORK/$name.walls" > "$WORK/$name.wall"
    median < "$WORK/$name.cpus" > "$WORK/$name.cpu"
    sort -g "$WORK/$name.kbs" | tail -1 > "$WORK/$name.kb"
    printf "%-34s %8s s %8.1f pairs/s %8s s CPU %8.1f pairs/CPU-s %7s kB peak\n" "$name" "$(cat "$WORK/$name.wall")" \
        "$(awk -v p="$PAIRS" -v w="$(cat "$WORK/$name.wall")" 'BEGIN { print p / w }')" "$(cat "$WORK/$name.cpu")" \
        "$(awk -v p="$PAIRS" -v c="$(cat "$WORK/$name.cpu")" 'BEGIN { print p / c }')" "$(cat "$WORK/$name.kb")"
}

# time_case NAME COMMAND...: RUNS runs; records the median wall time and the
# largest peak memory in $WORK/NAME.wall and $WORK/NAME.kb
time_case() {
    name=$1
    shift
    : > "$WORK/$name.walls"
    : > "$WORK/$name.kbs"
    : > "$WORK/$name.cpus"
    r=0
    while [ $r -lt "$RUNS" ]; do
        run_once "$name" "$@"
        r=$((r + 1))
    done
    report "$name"
}

# The shell loop users run today: one KELVOR_STOI process per pair.
# Its options come as arguments (none, or -a).
cat > "$WORK/loop.sh" <<LOOP
#!/bin/sh
cd "$WORK/p8"
i=0
while [ \$i -lt $PAIRS ]; do
    "$TOOL" -h "\$@" ref\$i.wav deg\$i.wav > /dev/null
    i=\$((i + 1))
done
LOOP
chmod +x "$WORK/loop.sh"

time_case "8k   KELVOR_STOI shell loop" "$WORK/loop.sh"
time_case "8k   kelvor-batch -j1" "$BATCH" -j1 --quiet "$WORK/p8/manifest.csv"
time_case "8k   kelvor-batch -j$JOBS" "$BATCH" -j"$JOBS" --quiet "$WORK/p8/manifest.csv"
time_case "8k-a KELVOR_STOI -a shell loop" "$WORK/loop.sh" -a
time_case "8k-a kelvor-batch --align -j1" "$BATCH" -j1 --align --quiet "$WORK/p8/manifest.csv"
time_case "8k-a kelvor-batch --align -j$JOBS" "$BATCH" -j"$JOBS" --align --quiet "$WORK/p8/manifest.csv"
time_case "16k  kelvor-batch -j1" "$BATCH" -j1 --quiet "$WORK/p16/manifest.csv"
time_case "16k  kelvor-batch -j$JOBS" "$BATCH" -j"$JOBS" --quiet "$WORK/p16/manifest.csv"
time_case "16k3 kelvor-batch -j1" "$BATCH" -j1 --quiet "$WORK/p16_3s/manifest.csv"
time_case "16k3 kelvor-batch -j$JOBS" "$BATCH" -j"$JOBS" --quiet "$WORK/p16_3s/manifest.csv"
time_case "8k   kelvor-batch --profile tool -j1" "$BATCH" -j1 --profile tool --quiet "$WORK/p8/manifest.csv"
if [ -n "${PREV_BATCH:-}" ]; then
    for name in "16k3 previous kelvor-batch -j1" "16k3 this kelvor-batch -j1"; do
        : > "$WORK/$name.walls"
        : > "$WORK/$name.kbs"
        : > "$WORK/$name.cpus"
    done
    r=0
    while [ $r -lt "$RUNS" ]; do
        run_once "16k3 previous kelvor-batch -j1" "$PREV_BATCH" -j1 --quiet "$WORK/p16_3s/manifest.csv"
        run_once "16k3 this kelvor-batch -j1" "$BATCH" -j1 --quiet "$WORK/p16_3s/manifest.csv"
        r=$((r + 1))
    done
    report "16k3 previous kelvor-batch -j1"
    report "16k3 this kelvor-batch -j1"
fi

w() { cat "$WORK/$1.wall"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "8 kHz:  -j$JOBS / -j1 speed-up  $(ratio "$(w '8k   kelvor-batch -j1')" "$(w "8k   kelvor-batch -j$JOBS")")"
echo "8 kHz:  -j1 / shell loop      $(ratio "$(w '8k   KELVOR_STOI shell loop')" "$(w '8k   kelvor-batch -j1')")"
echo "8 kHz:  -j$JOBS / shell loop      $(ratio "$(w '8k   KELVOR_STOI shell loop')" "$(w "8k   kelvor-batch -j$JOBS")")"
echo "8 kHz -a: -j$JOBS / -j1 speed-up  $(ratio "$(w '8k-a kelvor-batch --align -j1')" "$(w "8k-a kelvor-batch --align -j$JOBS")")"
echo "8 kHz -a: -j1 / shell loop      $(ratio "$(w '8k-a KELVOR_STOI -a shell loop')" "$(w '8k-a kelvor-batch --align -j1')")"
echo "8 kHz -a: -j$JOBS / shell loop      $(ratio "$(w '8k-a KELVOR_STOI -a shell loop')" "$(w "8k-a kelvor-batch --align -j$JOBS")")"
echo "16 kHz: -j$JOBS / -j1 speed-up  $(ratio "$(w '16k  kelvor-batch -j1')" "$(w "16k  kelvor-batch -j$JOBS")")"
echo "16 kHz 3 s: pairs/s per core at -j1  $(awk -v p="$PAIRS" -v w="$(w '16k3 kelvor-batch -j1')" 'BEGIN { printf "%.1f", p / w }') (per CPU second: $(awk -v p="$PAIRS" -v c="$(cat "$WORK/16k3 kelvor-batch -j1.cpu")" 'BEGIN { printf "%.1f", p / c }'))"
echo "16 kHz 3 s: pairs/s per core at -j$JOBS  $(awk -v p="$PAIRS" -v j="$JOBS" -v w="$(w "16k3 kelvor-batch -j$JOBS")" 'BEGIN { printf "%.1f", p / w / j }')"
if [ -n "${PREV_BATCH:-}" ]; then
    c() { cat "$WORK/$1.cpu"; }
    echo "16 kHz 3 s, -j1: pairs per CPU second, this build / previous  $(ratio "$(c '16k3 previous kelvor-batch -j1')" "$(c '16k3 this kelvor-batch -j1')")"
fi
