# The two commands of the README: `make run` and `make test`. The rest are for developers.
BUILD ?= build
CMAKE_FLAGS ?=
# Warnings are errors and every source file is held to clang-format, in every build of the two
# commands (and so in CI).
CHECK_FLAGS = -DQUARNEL_WERROR=ON -DQUARNEL_FORMAT_CHECK=ON
JOBS ?= $(shell nproc)
# Which of scripts/install-deps' lists (run, build, test) a target needs; the targets below set
# their own, and what they set holds for the targets they depend on too.
DEPS ?= run build test
# What is built: running needs no tests and no benchmarks.
PARTS_FLAGS =

.PHONY: run test deps configure build bench deb asan tsan fuzz clean

# The window keeps its data in ~/.local/share/quarnel (see README), not in the build directory.
# Without a display Qt would abort with advice to reinstall: that is said plainly instead.
run: DEPS = run build
run: PARTS_FLAGS = -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF
run: build
	@if [ -f $(BUILD)/bin/site.ds ]; then \
	  echo "make run: $(BUILD)/bin/site.ds is there, so the catalogue stays in $(BUILD)/bin/;" \
	       "move site.ds and Data/ to ~/.local/share/quarnel/ to keep it out of the build"; fi
	@if [ ! -x $(BUILD)/bin/quarnel ]; then exec $(BUILD)/bin/quarnel-cli --help; fi; \
	if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
	  echo "make run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): run it in a desktop" \
	       "session, or use $(BUILD)/bin/quarnel-cli" >&2; exit 1; fi; \
	exec $(BUILD)/bin/quarnel

test: DEPS = run build test
test: PARTS_FLAGS = -DQUARNEL_TESTS=ON -DQUARNEL_BENCH=ON
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# A Debian package of what `cmake --install` puts in place, in $(BUILD)/.
deb: DEPS = run build
deb: PARTS_FLAGS = -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF
deb: build
	cd $(BUILD) && cpack -G DEB

deps:
	@scripts/install-deps $(DEPS)

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CHECK_FLAGS) $(PARTS_FLAGS) $(CMAKE_FLAGS)

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
