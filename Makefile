# Front door. `make demo` scores the bundled pair; `make test` runs every test.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build
BUILD_ASAN := build-sanitize

.PHONY: all demo test test-sanitize bench clean

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

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
