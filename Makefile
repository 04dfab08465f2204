# Kestrelix top-level Makefile: wraps the CMake presets.
#   make build   native + win64 builds (and the loader images)
#   make test    every suite: native unit tests (plain, ASan+UBSan, TSan), the same tests under Wine,
#                and the e2e suite under Wine + Xvfb
#   make demo    builds, then runs Kestrelix on the simulated target
#   make dist    out/Kestrelix-<version>-win64.zip for Windows users
#   make bench   benchmarks; make fuzz   longer fuzzing (FUZZ_SECONDS=600 per target)
#   make test-repeat   developers: unit suites with every test repeated 20 times, e2e three times,
#                every test that failed at least once (long: hours on two cores)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
.PHONY: dist deps build native asan tsan win64 loaders test test-repeat unit-native unit-asan unit-tsan unit-wine e2e demo bench fuzz clean

deps:
	@tools/deps.sh

native:
	cmake --preset native >/dev/null
	cmake --build build/native -j$(JOBS)

asan:
	cmake --preset asan >/dev/null
	cmake --build build/asan -j$(JOBS)

tsan:
	cmake --preset tsan >/dev/null
	cmake --build build/tsan -j$(JOBS)

win64:
	cmake --preset win64 >/dev/null
	cmake --build build/win64 -j$(JOBS)

loaders:
	tools/build_loaders.sh

build: deps native win64 loaders

unit-native: native
	cd build/native && ctest --output-on-failure -j$(JOBS)

unit-asan: asan
	cd build/asan && ctest --output-on-failure -j$(JOBS)

unit-tsan: tsan
	cd build/tsan && ctest --output-on-failure -j$(JOBS)

unit-wine: win64
	tools/wine_rig.sh unit out/win64/tests/kx_unit_tests.exe

e2e: win64
	tools/wine_rig.sh e2e

test: deps
	@tools/run_all_tests.sh

dist: deps win64 loaders
	tools/dist.sh

test-repeat: deps
	@tools/test_repeat.sh

demo: deps build
	@tools/demo.sh

# Speed and memory figures (firmware reader against readelf and gdb, acquisition pipeline).
bench: deps native
	tools/bench.sh

# Longer fuzzing than the short run inside `make test`: every target for FUZZ_SECONDS (default 600),
# FUZZ_PARALLEL targets at once (default 1).
FUZZ_SECONDS ?= 600
FUZZ_PARALLEL ?= 1
fuzz: deps
	KX_FUZZ_PARALLEL=$(FUZZ_PARALLEL) tools/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build out
