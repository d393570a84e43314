# Everything a new user needs, from a fresh Debian machine: `make demo` and `make test`.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Most tests wait on the device protocol's timers rather than on the processor.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))

.PHONY: all deps build test asan tsan sanitizers fuzz demo clean format format-check help test-windows mutants

all: build

help:
	@echo "make test        install what is missing, build, run every test"
	@echo "make demo        install what is missing, build, run the main job against the simulator"
	@echo "make asan        the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
	@echo "make tsan        the test suite under ThreadSanitizer"
	@echo "make test-windows  cross-build Quillon.dll and the programs with MinGW-w64, run every test under Wine"
	@echo "make bench       end-to-end speed and memory against a socket loop, TFTP and the line rate; how costs grow"
	@echo "make bench-micro the micro benchmarks of a transfer's hot paths"
	@echo "make mutants     plant each fault of scripts/mutants.txt in turn and say which the tests catch"
	@echo "make fuzz        run every fuzz target for FUZZ_SECONDS (default 60) each"
	@echo "make format      clang-format every source file"
	@echo "make format-check  fail when a source file is not formatted (CI runs it)"

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

# The Windows build, cross-built on this machine with MinGW-w64; the tests run under Wine, in a
# prefix of the build's own (build/windows/wineprefix) that the first test makes. Each test is a
# Wine process, heavier than a native one, so no more at once than there are processors.
test-windows:
	scripts/install-deps.sh --windows
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)
	ctest --preset windows -j $(JOBS)

FUZZ_SECONDS ?= 60
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz.sh $(FUZZ_SECONDS)

# Each planted fault is built in build/mutants and tried against the tests that cover its file, then
# against the whole suite if they miss it. MUTANTS=words runs only the faults whose title holds one.
mutants: deps
	cmake --preset mutants
	cmake --build --preset mutants -j $(JOBS)
	scripts/mutants.py build/mutants --jobs $(TEST_JOBS) $(if $(MUTANTS),--only $(MUTANTS))

demo: build
	scripts/demo.sh build/default

format: deps
	git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format -i

format-check: deps
	scripts/check-format.sh

clean:
	rm -rf build

# Both benchmarks share one optimised build (RelWithDebInfo, the presets' optimisation) in
# build/bench, configured the same way so that neither undoes the other's configuration.
BENCH_CONFIGURE = cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUILLON_BUILD_BENCH=ON -DQUILLON_BUILD_TESTS=ON -DQUILLON_BUILD_TOOLS=ON

# The micro benchmarks of the hot paths. The table goes to standard error; the library's
# diagnostic lines, to /dev/null. Pass Google Benchmark flags in BENCH_ARGS, e.g.
# BENCH_ARGS=--benchmark_filter=Scramble.
.PHONY: bench-micro
bench-micro: deps
	$(BENCH_CONFIGURE)
	cmake --build build/bench --target quillon_micro_bench -j $(JOBS)
	build/bench/bench/micro/quillon_micro_bench $(BENCH_ARGS) >/dev/null

# The end-to-end benchmark: uploads and downloads against the simulator over loopback TCP beside a
# plain socket loop and TFTP, the serial line against its line rate, and the host's peak memory.
# Three tables on standard output (docs/performance.md); bench/results/*.csv and e2e.png. BENCH_REPEATS
# runs per figure.
BENCH_REPEATS ?= 5
.PHONY: bench
bench: deps
	$(BENCH_CONFIGURE)
	cmake --build build/bench --target quillon_e2e_bench -j $(JOBS)
	build/bench/bench/e2e/quillon_e2e_bench --repeats $(BENCH_REPEATS)
