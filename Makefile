# The two commands of the README: `make run` and `make test`. The rest are for developers.
BUILD ?= build
CMAKE_FLAGS ?=
# Warnings are errors and every source file is held to clang-format, in every build of the two
# commands (and so in CI).
CHECK_FLAGS = -DQUARNEL_WERROR=ON -DQUARNEL_FORMAT_CHECK=ON
JOBS ?= $(shell nproc)

.PHONY: run test deps configure build bench asan tsan fuzz clean

run: build
	@if [ -x $(BUILD)/bin/quarnel ]; then exec $(BUILD)/bin/quarnel; else $(BUILD)/bin/quarnel-cli --help; fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CHECK_FLAGS) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

bench: configure
	cmake --build $(BUILD) -j$(JOBS) --target bench

# Core tests under AddressSanitizer + UndefinedBehaviorSanitizer, and under ThreadSanitizer.
asan: deps
	cmake -S . -B build-asan -G Ninja -DQUARNEL_GUI=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DQUARNEL_GUI=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS) --target test_update
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j$(JOBS) -R '^update\.'

# libFuzzer targets (clang); run one with e.g. build-fuzz/bin/archive_fuzz tests/fuzz/corpus/archive_fuzz
fuzz: deps
	CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQUARNEL_GUI=OFF -DQUARNEL_BENCH=OFF -DQUARNEL_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
