# The two entry points: `make test` and `make demo`. Both install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_GEN  := -G Ninja

# What the demo runs, and nothing else.
DEMO_TARGETS := corvanel corvanel-eval corvanel-mkworkspace corvanel-segment

.PHONY: all deps configure build build-asan test demo package bench bench-python fuzz screenshot clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD)

# The engine and its tests again, under AddressSanitizer and UndefinedBehaviorSanitizer.
build-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCORVANEL_SANITIZE=ON -DCORVANEL_BENCH=OFF -DCORVANEL_QT=OFF
	cmake --build $(ASAN_BUILD)

test: build build-asan
	ctest --test-dir $(BUILD) --output-on-failure
	ctest --test-dir $(ASAN_BUILD) --output-on-failure

# Writes the demo workspace into the build folder (handwritten pages, the
# baseline method's result and a participant with injected errors) and opens
# the viewer on it; with no display it scores and ranks them with corvanel-eval.
demo: configure
	cmake --build $(BUILD) --target $(DEMO_TARGETS)
	scripts/demo.sh $(BUILD)

# The Debian package, $(BUILD)/corvanel_<version>_amd64.deb.
package: build
	cmake --build $(BUILD) --target package

# The README's picture of the viewer, taken under Xvfb.
screenshot: configure
	cmake --build $(BUILD) --target $(DEMO_TARGETS)
	scripts/screenshot.sh $(BUILD) docs/screenshot.png

bench: build
	PYTHONPATH=$(BUILD)/python /usr/bin/python3 bench/python_bench.py $(BUILD)/bench/corvanel_bench_engine
	$(BUILD)/bench/corvanel_bench_engine
	$(BUILD)/bench/corvanel_bench_batch
	$(BUILD)/bench/corvanel_bench_imaging
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/corvanel_bench_view
	$(BUILD)/bench/corvanel_bench_load
	$(BUILD)/bench/corvanel_bench_contest

# corvanel.evaluate against the engine, numpy, and on two threads (docs/benchmarks.md).
bench-python: configure
	cmake --build $(BUILD) --target corvanel_python corvanel_bench_engine
	PYTHONPATH=$(BUILD)/python /usr/bin/python3 bench/python_bench.py $(BUILD)/bench/corvanel_bench_engine

# The libFuzzer harnesses (clang, ASan and UBSan), each run for FUZZ_SECONDS;
# stops at the first crash and names its file.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANEL_FUZZ=ON -DCORVANEL_BENCH=OFF
	cmake --build $(FUZZ_BUILD) --target corvanel_fuzzers
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
