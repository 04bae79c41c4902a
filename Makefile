# Quick start: `make run` and `make test`. Both install what is missing, configure, build.
BUILD   ?= build
JOBS    ?= $(shell nproc)
# Warnings are errors in CI (CI=true); locally they are only warnings.
WERROR  ?= $(if $(filter true,$(CI)),ON,OFF)
CMAKE_FLAGS ?=

# `make bench`: corpora outside the repository, reused once built (BENCH_DIR), which of them
# (BENCH_CORPORA; "tiny", 100,000 files for the memory of a long job, on request), timed runs
# per command (BENCH_RUNS, default 5, big and trail 3), each command's output folder emptied
# just before it runs instead of a fresh one (BENCH_EMPTIED=1), the headless command to time
# (VEXAR_CLI).
BENCH_DIR     ?= /var/tmp/vexar-bench
BENCH_CORPORA ?= small,ct,big,trail,huge
BENCH_RUNS    ?=
BENCH_EMPTIED ?= 0
VEXAR_CLI     ?= $(BUILD)/bin/vexar-anonymizer-cli

# `make test-asan` / `make test-tsan`: the suite built with sanitizers in its own build folder.
# The options and suppressions live in tests/sanitizers/; ctest hands the environment on to
# every test and to the child processes the tests start.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
SAN_DIR    := $(CURDIR)/tests/sanitizers
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1 \
	LSAN_OPTIONS=suppressions=$(SAN_DIR)/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$(SAN_DIR)/tsan.supp
# TSan runs the engine, bridge and server-client tests (labels unit, e2e, net). The window
# tests are left out: the QML engine, its JIT and the render loop run in Qt's own
# uninstrumented libraries, whose locks TSan cannot see, and none of our code runs there on
# another thread.
TSAN_LABELS ?= unit|e2e|net
# Seconds per test: a test that a sanitizer stops abruptly may leave a child process holding
# ctest's output open.
SAN_TIMEOUT ?= 600

# `make fuzz`: the per-file fuzz target, built with clang in its own tree (FUZZ_BUILD), run for
# FUZZ_TIME seconds; FUZZ_FLAGS adds libFuzzer flags (see tools/fuzz.sh).
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME  ?= 600

.PHONY: all deps configure build run test test-asan test-tsan bench fuzz clean

all: build

deps:
	@bash tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAR_WERROR=$(WERROR) $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja
	@cmake -S . -B $(BUILD) -DVEXAR_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/vexar-anonymizer

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAR_SANITIZE=address \
		-DVEXAR_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(ASAN_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout $(SAN_TIMEOUT)

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAR_SANITIZE=thread \
		-DVEXAR_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && $(TSAN_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout $(SAN_TIMEOUT) \
		-L '$(TSAN_LABELS)'

bench: build
	/usr/bin/python3 bench/gencorpus.py --dir "$(BENCH_DIR)" --corpora "$(BENCH_CORPORA)"
	BENCH_RUNS="$(BENCH_RUNS)" BENCH_EMPTIED="$(BENCH_EMPTIED)" /usr/bin/python3 bench/run.py --dir "$(BENCH_DIR)" \
		--corpora "$(BENCH_CORPORA)" --cli "$(VEXAR_CLI)" --plainloop "$(BUILD)/bin/vexar-bench-plainloop"

$(FUZZ_BUILD)/build.ninja: | deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DVEXAR_FUZZ=ON

fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target vexar-fuzz-file
	FUZZ_TIME="$(FUZZ_TIME)" bash tools/fuzz.sh $(FUZZ_BUILD)/bin/vexar-fuzz-file $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
