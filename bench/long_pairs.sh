#!/bin/sh
# Long recordings: time and peak resident memory of `kelvor-batch -j1`
# (default profile) on a 1-hour and a 10-hour 16 kHz 16-bit WAV pair (and on
# the 1-hour pair as FLAC, when sox is there to make it), and of Python's
# score() on a 1-hour pair of float32 arrays (the memory it needs beyond the
# two arrays). With PREV_BATCH (and PREV_PYTHON), the previous release is
# measured in the same run, case by case in turn, and the ratios of the
# medians are printed.
#
# The pairs are generated into a temporary folder (about 2.5 GB with the
# 10-hour pair, removed at the end): the bundled 8 kHz pair brought to
# 16 kHz by FFT interpolation and repeated, each copy at its own level.
#
# Environment:
#   BATCH        kelvor-batch to measure (default: build/batch/kelvor-batch)
#   PYTHONPKG    folder holding the kelvor_stoi package (default: build/python)
#   PREV_BATCH   the previous release's kelvor-batch (optional)
#   PREV_PYTHON  the previous release's package folder (optional)
#   PREV_COMMIT  a commit to build into the temporary folder for PREV_BATCH
#                and PREV_PYTHON when they are not given (e.g. cd19e70)
#   RUNS         runs of each 1-hour case (default 3); the 10-hour pair runs once
#   HOURS10      0 leaves out the 10-hour pair (default 1)
#   PREV_HOURS10 1 also runs the previous release on the 10-hour pair (it
#                holds the pair in memory: about 22 GB); default 0
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BATCH=${BATCH:-$ROOT/build/batch/kelvor-batch}
PYTHONPKG=${PYTHONPKG:-$ROOT/build/python}
PREV_BATCH=${PREV_BATCH:-}
PREV_PYTHON=${PREV_PYTHON:-}
PREV_COMMIT=${PREV_COMMIT:-}
RUNS=${RUNS:-3}
HOURS10=${HOURS10:-1}
PREV_HOURS10=${PREV_HOURS10:-0}
PY=/usr/bin/python3
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvor_long_XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')"; exit 1; }
[ -x "$BATCH" ] || { echo "no kelvor-batch at $BATCH (build it first: make)"; exit 1; }
"$PY" -c "import numpy" 2>/dev/null || { echo "needs numpy for $PY (Debian python3-numpy)"; exit 1; }

if [ -n "$PREV_COMMIT" ] && [ -z "$PREV_BATCH" ]; then
    echo "building $PREV_COMMIT in $WORK/prev ..."
    mkdir -p "$WORK/prev"
    git -C "$ROOT" archive "$PREV_COMMIT" | tar -x -C "$WORK/prev"
    cmake -S "$WORK/prev" -B "$WORK/prev/build" -DCMAKE_BUILD_TYPE=Release > "$WORK/prev.log" 2>&1
    cmake --build "$WORK/prev/build" -j"$(nproc)" --target kelvor-batch kelvor_stoi_python >> "$WORK/prev.log" 2>&1
    PREV_BATCH=$WORK/prev/build/batch/kelvor-batch
    PREV_PYTHON=$WORK/prev/build/python
fi

# make_pair SECONDS NAME [RATE]: NAME_ref.wav and NAME_deg.wav, 16-bit mono at
# 16 kHz (or at 8 kHz, the bundled pair as it is).
make_pair() {
    "$PY" - "$ROOT/samples" "$1" "$WORK/$2" "${3:-16000}" <<'GENERATE'
import struct
import sys

import numpy as np

samples, seconds, stem, RATE = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])


def read_wav(path):
    data = open(path, "rb").read()
    return np.frombuffer(data[44:], "<i2").astype(np.float64)


def to_16k(x):
    n = x.shape[0]
    spectrum = np.fft.rfft(x)
    out = np.zeros(n + 1, dtype=complex)
    out[: spectrum.shape[0]] = spectrum
    return np.fft.irfft(out, 2 * n) * 2


ref = read_wav(f"{samples}/ref.wav")
deg = read_wav(f"{samples}/deg.wav")
if RATE == 16000:
    ref, deg = to_16k(ref), to_16k(deg)
# A block of eleven copies, each at its own level: about 64 s.
gains = [0.35 + 0.06 * ((k * 7) % 11) for k in range(11)]
block = {
    name: np.clip(np.round(np.concatenate([g * x for g in gains])), -32768, 32767).astype("<i2").tobytes()
    for name, x in (("ref", ref), ("deg", deg))
}
total = seconds * RATE * 2
for name, data in block.items():
    with open(f"{stem}_{name}.wav", "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + total) + b"WAVEfmt ")
        f.write(struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16) + b"data" + struct.pack("<I", total))
        left = total
        while left > 0:
            f.write(data[:left])
            left -= min(left, len(data))
GENERATE
    printf 'reference,degraded\n%s_ref.wav,%s_deg.wav\n' "$2" "$2" > "$WORK/$2.csv"
}

median() { sort -g | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%.2f", m}'; }
largest() { sort -g | tail -1; }

# run_batch NAME EXE PAIRS [JOBS [OPTIONS]]: one run of EXE on PAIRS.csv (-j1,
# or -jJOBS, with OPTIONS split at blanks); appends its wall seconds and peak
# kB to $WORK/NAME.walls and $WORK/NAME.kbs and keeps its rows in
# $WORK/NAME.out.
run_batch() {
    t0=$(date +%s%N)
    # shellcheck disable=SC2086
    /usr/bin/time -v -o "$WORK/time.txt" "$2" -j"${4:-1}" ${5:-} --quiet "$WORK/$3.csv" > "$WORK/$1.out" ||
        echo "$1: exit status $? ($(tail -1 "$WORK/$1.out"))" >&2
    t1=$(date +%s%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }' >> "$WORK/$1.walls"
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt" >> "$WORK/$1.kbs"
}

report() {
    printf "%-40s %8s s (%s runs) %8.1f MB peak  %s\n" "$1" "$(median < "$WORK/$1.walls")" \
        "$(wc -l < "$WORK/$1.walls")" "$(largest < "$WORK/$1.kbs" | awk '{ print $1 / 1024 }')" \
        "$(tail -1 "$WORK/$1.out" | cut -d, -f3,4,9)"
}

echo "generating the 1-hour pair ..."
make_pair 3600 h1
cases="new-1h"
[ -n "$PREV_BATCH" ] && cases="$cases prev-1h"
# The same pair as FLAC (decoded once per pass), when sox is there to make it.
if command -v sox > /dev/null 2>&1; then
    sox "$WORK/h1_ref.wav" "$WORK/h1f_ref.flac"
    sox "$WORK/h1_deg.wav" "$WORK/h1f_deg.flac"
    printf 'reference,degraded\nh1f_ref.flac,h1f_deg.flac\n' > "$WORK/h1f.csv"
    cases="$cases new-1h-flac"
    [ -n "$PREV_BATCH" ] && cases="$cases prev-1h-flac"
fi
r=0
while [ "$r" -lt "$RUNS" ]; do
    for c in $cases; do
        case $c in
        new-1h) run_batch "kelvor-batch -j1, 1 h" "$BATCH" h1 ;;
        prev-1h) run_batch "previous kelvor-batch -j1, 1 h" "$PREV_BATCH" h1 ;;
        new-1h-flac) run_batch "kelvor-batch -j1, 1 h FLAC" "$BATCH" h1f ;;
        prev-1h-flac) run_batch "previous kelvor-batch -j1, 1 h FLAC" "$PREV_BATCH" h1f ;;
        esac
    done
    r=$((r + 1))
done
# Memory per worker: the 1-hour pair twice on two workers; and a pair of
# 100 s, which the library keeps at 10 kHz between its passes.
printf 'reference,degraded\nh1_ref.wav,h1_deg.wav\nh1_ref.wav,h1_deg.wav\n' > "$WORK/h1x2.csv"
"$PY" -c "
import sys
for side in ('ref', 'deg'):
    data = open(f'$WORK/h1_{side}.wav', 'rb').read(44 + 100 * 32000)
    open(f'$WORK/s100_{side}.wav', 'wb').write(data[:4] + (36 + 100 * 32000).to_bytes(4, 'little') + data[8:40]
                                             + (100 * 32000).to_bytes(4, 'little') + data[44:])
"
printf 'reference,degraded\ns100_ref.wav,s100_deg.wav\n' > "$WORK/s100.csv"
run_batch "kelvor-batch -j2, the 1 h pair twice" "$BATCH" h1x2 2
run_batch "kelvor-batch -j1, 100 s" "$BATCH" s100
rm -f "$WORK"/h1_*.wav "$WORK"/h1f_*.flac "$WORK"/s100_*.wav

# The tool profile holds both signals whole: an hour at 8 kHz (the previous
# release scored 8 kHz pairs with the same chain).
make_pair 3600 t8 8000
run_batch "kelvor-batch --profile tool -j1, 1 h 8 kHz" "$BATCH" t8 1 "--profile tool"
[ -n "$PREV_BATCH" ] && run_batch "previous kelvor-batch -j1, 1 h 8 kHz" "$PREV_BATCH" t8
rm -f "$WORK"/t8_*.wav

if [ "$HOURS10" = 1 ]; then
    echo "generating the 10-hour pair ..."
    make_pair 36000 h10
    run_batch "kelvor-batch -j1, 10 h" "$BATCH" h10
    [ -n "$PREV_BATCH" ] && [ "$PREV_HOURS10" = 1 ] && run_batch "previous kelvor-batch -j1, 10 h" "$PREV_BATCH" h10
    rm -f "$WORK"/h10_*.wav
fi

# Python: score() on a 1-hour pair of float32 arrays made in memory. The
# peak resident memory is reset (/proc/self/clear_refs) once the arrays are
# made; "extra" is the peak during the call less the resident memory
# before it, the library's tables (built by the first call) included.
python_case() {
    PYTHONPATH=$2 "$PY" - <<'PYTHON' >> "$WORK/$1.py"
import time

import numpy as np

import kelvor_stoi

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))

ref, _ = kelvor_stoi.read_audio("samples/ref.wav")
deg, _ = kelvor_stoi.read_audio("samples/deg.wav")
n = 16000 * 3600
clean = np.resize((ref / 32768.0).astype(np.float32), n)
degraded = np.resize((deg / 32768.0).astype(np.float32), n)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
t0 = time.perf_counter()
s = kelvor_stoi.score(clean, degraded, 16000)
t1 = time.perf_counter()
print(f"{t1 - t0:.3f} {(status('VmHWM:') - before) / 1024:.1f} {(clean.nbytes + degraded.nbytes) / 2**20:.0f} {s.stoi:.6f}")
PYTHON
}
cd "$ROOT"
r=0
while [ "$r" -lt "$RUNS" ]; do
    python_case new "$PYTHONPKG"
    [ -n "$PREV_PYTHON" ] && python_case prev "$PREV_PYTHON"
    r=$((r + 1))
done

echo
echo "kelvor-batch -j1, 16 kHz 16-bit WAV pair, default profile: median wall time, largest peak RSS, stoi,estoi"
for name in "kelvor-batch -j1, 1 h" "previous kelvor-batch -j1, 1 h" "kelvor-batch -j1, 1 h FLAC" \
    "previous kelvor-batch -j1, 1 h FLAC" "kelvor-batch -j2, the 1 h pair twice" "kelvor-batch -j1, 100 s" \
    "kelvor-batch --profile tool -j1, 1 h 8 kHz" "previous kelvor-batch -j1, 1 h 8 kHz"; do
    [ -s "$WORK/$name.walls" ] && report "$name"
done
[ "$HOURS10" = 1 ] && report "kelvor-batch -j1, 10 h"
[ "$HOURS10" = 1 ] && [ -n "$PREV_BATCH" ] && [ "$PREV_HOURS10" = 1 ] && report "previous kelvor-batch -j1, 10 h"
echo
echo "Python score(), 1-hour pair of float32 arrays at 16 kHz: median time, largest extra memory beyond the arrays"
for who in new prev; do
    [ -s "$WORK/$who.py" ] || continue
    printf "%-40s %8s s (%s runs) %8.1f MB extra (arrays: %s MB)  stoi %s\n" "$who" \
        "$(cut -d' ' -f1 "$WORK/$who.py" | median)" "$(wc -l < "$WORK/$who.py")" \
        "$(cut -d' ' -f2 "$WORK/$who.py" | largest)" "$(cut -d' ' -f3 "$WORK/$who.py" | head -1)" \
        "$(cut -d' ' -f4 "$WORK/$who.py" | head -1)"
done
if [ -n "$PREV_BATCH" ]; then
    echo
    new=$(median < "$WORK/kelvor-batch -j1, 1 h.walls")
    old=$(median < "$WORK/previous kelvor-batch -j1, 1 h.walls")
    echo "1 h wall time, previous / this build: $(awk -v a="$old" -v b="$new" 'BEGIN { printf "%.2f", a / b }')"
    kb_new=$(largest < "$WORK/kelvor-batch -j1, 1 h.kbs")
    kb_old=$(largest < "$WORK/previous kelvor-batch -j1, 1 h.kbs")
    echo "1 h peak memory, previous / this build: $(awk -v a="$kb_old" -v b="$kb_new" 'BEGIN { printf "%.1f", a / b }')"
    if [ -s "$WORK/kelvor-batch -j1, 1 h FLAC.walls" ]; then
        echo "1 h FLAC wall time, previous / this build: $(awk -v a="$(median < "$WORK/previous kelvor-batch -j1, 1 h FLAC.walls")" \
            -v b="$(median < "$WORK/kelvor-batch -j1, 1 h FLAC.walls")" 'BEGIN { printf "%.2f", a / b }')"
    fi
    # The tool profile holds both signals whole: an hour at 8 kHz (the previous
# release scored 8 kHz pairs with the same chain).
make_pair 3600 t8 8000
run_batch "kelvor-batch --profile tool -j1, 1 h 8 kHz" "$BATCH" t8 1 "--profile tool"
[ -n "$PREV_BATCH" ] && run_batch "previous kelvor-batch -j1, 1 h 8 kHz" "$PREV_BATCH" t8
rm -f "$WORK"/t8_*.wav

if [ "$HOURS10" = 1 ]; then
        ten=$(median < "$WORK/kelvor-batch -j1, 10 h.walls")
        echo "time per hour of audio: 1 h $new s, 10 h $(awk -v t="$ten" 'BEGIN { printf "%.2f", t / 10 }') s, previous 1 h $old s"
    fi
fi
