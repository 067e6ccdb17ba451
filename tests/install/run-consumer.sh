#!/bin/sh
# Installs the library from a build directory into a temporary prefix, then
# builds and runs a small consumer against it twice: as a CMake package and
# through pkg-config. Both must print the demo pair's scores.
#   run-consumer.sh SOURCE_DIR BUILD_DIR [EXTRA_FLAGS]
# EXTRA_FLAGS go to the consumer's compiler and linker (a sanitizer build's
# library needs its runtime).
set -eu
source_dir=$1
build_dir=$2
extra=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
[ -f "$work/prefix/share/doc/kelvor-stoi/LICENSE" ] || { echo "the LICENSE was not installed"; exit 1; }
[ -f "$work/prefix/share/man/man1/KELVOR_STOI.1" ] || { echo "the man page of KELVOR_STOI was not installed"; exit 1; }
expected="kelvor 2.0.0: STOI 0.8735 ESTOI 0.6411 delay 320
Conflicting options: align and shift together"

cmake -S "$source_dir/tests/install/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" > "$work/configure.log"
cmake --build "$work/cmake-build" > "$work/build.log"
got=$("$work/cmake-build/consumer" "$source_dir/samples/ref.wav" "$source_dir/samples/deg.wav")
[ "$got" = "$expected" ] || { echo "CMake consumer printed:"; echo "$got"; exit 1; }

if command -v pkg-config >/dev/null 2>&1; then
    pc_dir=$(dirname "$(find "$work/prefix" -name kelvor-stoi.pc)")
    flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs kelvor-stoi)
    # shellcheck disable=SC2086
    cc $extra -o "$work/pc-consumer" "$source_dir/tests/install/consumer/consumer.c" $flags
    got=$("$work/pc-consumer" "$source_dir/samples/ref.wav" "$source_dir/samples/deg.wav")
    [ "$got" = "$expected" ] || { echo "pkg-config consumer printed:"; echo "$got"; exit 1; }
else
    echo "pkg-config not found: only the CMake package was tried"
fi
echo "installed library used by a CMake and a pkg-config consumer"
