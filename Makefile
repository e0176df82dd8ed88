# Thin wrapper over CMake. `make demo` and `make test` do all set-up.
BUILD_DIR   ?= build
BUILD_TYPE  ?= RelWithDebInfo
JOBS        ?= $(shell nproc)
TEST_JOBS   ?= $(shell echo $$(( $$(nproc) * 2 )))
CTEST_FLAGS ?= --output-on-failure --timeout 600
# WERROR=ON makes every warning an error (CI sets it); unset, the build
# folder keeps what it had.
WERROR      ?=

.PHONY: all deps configure build test test-fast demo bench package tuning-maps soak sanitize tsan \
        fuzz format check-format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(if $(WERROR),-DWERROR=$(WERROR)) \
	  > $(BUILD_DIR).configure.log 2>&1 \
	  || { cat $(BUILD_DIR).configure.log; exit 1; }

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -j $(TEST_JOBS)

# Only the tests labelled unit (tests/Labels.cmake): seconds, for iterating.
test-fast: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -j $(TEST_JOBS) -L '^unit$$'

# The demo builds quietly: the build's output goes to $(BUILD_DIR).build.log,
# shown only when the build fails; one line says what had to be built.
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) > $(BUILD_DIR).build.log 2>&1 \
	  || { tail -40 $(BUILD_DIR).build.log; echo "build failed (log: $(BUILD_DIR).build.log)"; exit 1; }
	@n=$$(grep -c -E '^\[ *[0-9]+%\] (Building|Linking)' $(BUILD_DIR).build.log); \
	  [ "$$n" -eq 0 ] || echo "build: $$n files compiled or linked (log: $(BUILD_DIR).build.log)"
	@scripts/demo $(BUILD_DIR)

bench: build
	scripts/bench $(BUILD_DIR)

# Tuning maps of the plug-ins (docs/tuning.md): a grid of press runs per
# plug-in, in parallel processes, into docs/tuning/.
tuning-maps: build
	/usr/bin/python3 sim/host/sweep.py --build $(BUILD_DIR) --out docs/tuning --jobs $(JOBS) \
	  sim/host/sweeps/*.sweep

# Both modules under mixed valid and hostile traffic; SOAK_SECONDS (default
# 600) long, a report a minute. Not part of `make test` or CI.
soak: build
	scripts/isolated /usr/bin/python3 $(CURDIR)/scripts/soak.py $(abspath $(BUILD_DIR))

# Debian packages of the build in $(BUILD_DIR)/packages (see README).
package: build
	cd $(BUILD_DIR) && cpack

sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=address -DBUILD_BENCHMARKS=OFF > build-asan.configure.log
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest $(CTEST_FLAGS) -j $(TEST_JOBS)

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF > build-tsan.configure.log
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS) -j $(TEST_JOBS)

# libFuzzer targets (fuzz/), one per parser, built with clang, ASan and UBSan
# in build-fuzz/ and run one after another FUZZ_SECONDS (default 60) each;
# FUZZ_TARGETS picks some (e.g. "scenario modbus_frames"). Not part of
# `make test` or CI, which replay the seeds and kept findings instead.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=address -DFUZZ=ON \
	  -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF > build-fuzz.configure.log \
	  || { cat build-fuzz.configure.log; exit 1; }
	cmake --build build-fuzz -j $(JOBS) --target fuzz_all
	scripts/fuzz $(CURDIR)/build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

format:
	scripts/check-format --fix

# Lists the C++ files that differ from .clang-format; fails when any do.
check-format:
	scripts/check-format

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz *.configure.log
