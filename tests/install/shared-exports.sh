#!/bin/sh
# Builds the library as a shared object from the sources and checks that it
# exports its C interface (the kelvor_* functions) and nothing else.
#   shared-exports.sh SOURCE_DIR
set -eu
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source_dir" -B "$work" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DKELVOR_BUILD_TESTS=OFF \
    -DKELVOR_BUILD_BENCHMARKS=OFF -DKELVOR_BUILD_PYTHON=OFF > "$work/configure.log"
cmake --build "$work" --target kelvor_stoi -j "$(nproc)" > "$work/build.log"
library=$(find "$work" -maxdepth 1 -name 'libkelvor_stoi.so.*.*' | head -1)
[ -n "$library" ] || { echo "no shared library was built"; exit 1; }
exported=$(nm -D --defined-only "$library" | awk '{ print $3 }')
others=$(echo "$exported" | grep -v '^kelvor_' || true)
[ -z "$others" ] || { echo "exported besides the C interface:"; echo "$others"; exit 1; }
for name in kelvor_score kelvor_score_pcm8k kelvor_score_10k kelvor_score_signals kelvor_score_gradient \
        kelvor_max_length kelvor_status_name kelvor_version; do
    echo "$exported" | grep -qx "$name" || { echo "$name is not exported"; exit 1; }
done
soname=$(objdump -p "$library" | awk '/SONAME/ { print $2 }')
echo "$soname exports $(echo "$exported" | wc -l) kelvor_* functions and nothing else"
