# Everything a new user needs, from a fresh Debian machine: `make demo` and `make test`.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Most tests wait on the device protocol's timers rather than on the processor.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))

.PHONY: all deps build test asan tsan sanitizers fuzz demo clean format help

all: build

help:
	@echo "make test        install what is missing, build, run every test"
	@echo "make demo        install what is missing, build, run the main job against the simulator"
	@echo "make asan        the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
	@echo "make tsan        the test suite under ThreadSanitizer"
	@echo "make fuzz        run every fuzz target for FUZZ_SECONDS (default 60) each"
	@echo "make format      clang-format every source file"

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(TEST_JOBS)

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(TEST_JOBS)

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

sanitizers: asan tsan

FUZZ_SECONDS ?= 60
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz.sh $(FUZZ_SECONDS)

demo: build
	scripts/demo.sh build/default

format:
	find src tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build

# The micro benchmarks of the hot paths, in a build of their own with the presets' optimisation
# (RelWithDebInfo). The table goes to standard error; the library's diagnostic lines, to /dev/null.
# Pass Google Benchmark flags in BENCH_ARGS, e.g. BENCH_ARGS=--benchmark_filter=Scramble.
.PHONY: bench-micro
bench-micro: deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUILLON_BUILD_BENCH=ON -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_TOOLS=OFF
	cmake --build build/bench --target quillon_micro_bench -j $(JOBS)
	build/bench/bench/micro/quillon_micro_bench $(BENCH_ARGS) >/dev/null
