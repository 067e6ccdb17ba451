# Front door. `make demo` scores the bundled pair; `make test` runs every test.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build
BUILD_ASAN := build-sanitize
BUILD_PLAIN := build-plain
BUILD_INSTALL := build-install
PREFIX ?= /usr/local

.PHONY: all demo deps configure install test test-sanitize check-reference bench bench-micro bench-whole bench-previous bench-python bench-torch bench-analysis bench-long clean fuzz fuzz-smoke

all: configure
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/Makefile:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# Configures again on every call, so that packages installed since the
# last configuration (by `make deps`) are found.
configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# The Debian packages the suite needs (installed as root; otherwise the
# command to run is named).
deps:
	tools/bootstrap-deps

# The demo runs in the build directory so that its results log
# (stoi_results.txt) does not land in the source tree.
# It needs nothing but a C++17 compiler and CMake, and builds only the tool.
demo: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target KELVOR_STOI
	cd $(BUILD) && ./KELVOR_STOI -a -t ../samples/ref.wav ../samples/deg.wav

# The library, its header, CMake package and pkg-config file, and the tools,
# under PREFIX (default /usr/local), from a Release build without tests.
install:
	cmake -S . -B $(BUILD_INSTALL) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  -DKELVOR_BUILD_TESTS=OFF -DKELVOR_BUILD_BENCHMARKS=OFF
	cmake --build $(BUILD_INSTALL) -j $(JOBS)
	cmake --install $(BUILD_INSTALL)

test: deps
	$(MAKE) all
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_SANITIZE=ON -DKELVOR_BUILD_BENCHMARKS=OFF
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# The agreement with the reference definition, from the pairs and scores
# committed in tests/data/reference: the Python package is built first
# (it needs pybind11, the Python development files and libsndfile: `make
# deps` installs them), then tools/check-reference prints the table and
# fails when a score is more than 1e-7 away.
check-reference: configure
	@[ -d $(BUILD)/python ] || { echo "check-reference: the Python package is not configured in $(BUILD) (see the line 'Python package skipped' above; \`make deps\` installs what it needs)" >&2; exit 1; }
	cmake --build $(BUILD) -j $(JOBS) --target kelvor_stoi_python
	$(PYTHON) tools/check-reference $(BUILD)

# Benchmarks: the micro-benchmarks of the fast build (each compares the
# plain loop with the vector kernels where there are several), then whole
# runs of the fast build against the plain-loop build, then the Python
# package against kelvor-batch and through Dask.
bench: bench-micro bench-whole bench-python bench-torch bench-analysis

bench-micro: all
	cd $(BUILD) && for b in bench_alignment bench_resampler bench_measures bench_nsp_fft; do \
	  [ -x ./$$b ] && ./$$b --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done; true

bench-whole: all
	cmake -S . -B $(BUILD_PLAIN) -DCMAKE_BUILD_TYPE=Release -DKELVOR_PLAIN=ON
	cmake --build $(BUILD_PLAIN) -j $(JOBS) --target KELVOR_STOI
	bench/whole_run.sh

# Whole runs of this build against a previous revision (BASE_REV, default
# main), built for the purpose in a temporary directory: the two binaries
# take turns, and their outputs are compared byte for byte.
BASE_REV ?= main
bench-previous: all
	BASE_REV=$(BASE_REV) bench/whole_run.sh

# Debian's interpreter (with numpy) when there is one.
PYTHON ?= $(shell [ -x /usr/bin/python3 ] && echo /usr/bin/python3 || echo python3)

bench-python: all
	PYTHONPATH=$(BUILD)/python BATCH=$(BUILD)/batch/kelvor-batch $(PYTHON) bench/python_bench.py

# Batches and the gradient through kelvor_stoi.torch (needs python3-torch).
bench-torch: all
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/torch_bench.py

# Hour-long and ten-hour pairs (generated, about 2.5 GB in TMPDIR for the
# run): kelvor-batch and Python against the previous release, PREV_COMMIT.
PREV_COMMIT ?= cd19e70
bench-long: all
	PREV_COMMIT=$(PREV_COMMIT) PYTHONPKG=$(BUILD)/python BATCH=$(BUILD)/batch/kelvor-batch bench/long_pairs.sh

# kelvor-stoi's summarize, compare and report against their time targets.
bench-analysis: all
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/analysis_bench.py

# Fuzzing with libFuzzer (needs clang): the harnesses of tests/fuzz in their
# own build. `make fuzz-smoke` runs each for FUZZ_SECONDS on its seeds.
BUILD_FUZZ := build-fuzz
FUZZ_SECONDS ?= 20
FUZZ_HARNESSES := fuzz_command_line fuzz_run fuzz_nsp_fft fuzz_manifest fuzz_resume

$(BUILD_FUZZ)/Makefile:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_FUZZ=ON

fuzz: $(BUILD_FUZZ)/Makefile
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target $(FUZZ_HARNESSES)

fuzz-smoke: fuzz
	tests/fuzz/run_fuzzer.sh $(BUILD_FUZZ)/tests/fuzz/fuzz_command_line tests/fuzz/seeds/command_line $(FUZZ_SECONDS)
	tests/fuzz/run_fuzzer.sh $(BUILD_FUZZ)/tests/fuzz/fuzz_run tests/fuzz/seeds/run $(FUZZ_SECONDS)
	tests/fuzz/run_fuzzer.sh $(BUILD_FUZZ)/tests/fuzz/fuzz_nsp_fft tests/fuzz/seeds/nsp_fft $(FUZZ_SECONDS)
	tests/fuzz/run_fuzzer.sh $(BUILD_FUZZ)/tests/fuzz/fuzz_manifest tests/fuzz/seeds/manifest $(FUZZ_SECONDS)
	tests/fuzz/run_fuzzer.sh $(BUILD_FUZZ)/tests/fuzz/fuzz_resume tests/fuzz/seeds/resume $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ) $(BUILD_PLAIN) $(BUILD_INSTALL)
