# Front door. `make demo` scores the bundled pair; `make test` runs every test.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build
BUILD_ASAN := build-sanitize
BUILD_PLAIN := build-plain

.PHONY: all demo test test-sanitize bench bench-micro bench-whole clean

all: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/Makefile:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

$(BUILD_ASAN)/Makefile:
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_SANITIZE=ON

# The demo runs in the build directory so that its results log
# (stoi_results.txt) does not land in the source tree.
demo: all
	cd $(BUILD) && ./KELVOR_STOI -a -t ../samples/ref.wav ../samples/deg.wav

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: $(BUILD_ASAN)/Makefile
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS)

# Benchmarks: the micro-benchmarks of the fast build (each compares the
# plain loop with the vector kernels where there are several), then whole
# runs of the fast build against the plain-loop build.
bench: bench-micro bench-whole

bench-micro: all
	cd $(BUILD) && for b in bench_alignment bench_resampler bench_measures bench_nsp_fft; do \
	  [ -x ./$$b ] && ./$$b --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done; true

bench-whole: all
	cmake -S . -B $(BUILD_PLAIN) -DCMAKE_BUILD_TYPE=Release -DKELVOR_PLAIN=ON
	cmake --build $(BUILD_PLAIN) -j $(JOBS) --target KELVOR_STOI
	bench/whole_run.sh

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_PLAIN)
