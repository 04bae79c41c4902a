# Quick start: `make run` and `make test`. Both install what is missing, configure, build.
BUILD   ?= build
JOBS    ?= $(shell nproc)
# Warnings are errors in CI (CI=true); locally they are only warnings.
WERROR  ?= $(if $(filter true,$(CI)),ON,OFF)
CMAKE_FLAGS ?=

# `make bench`: corpora outside the repository, reused once built (BENCH_DIR), which of them
# (BENCH_CORPORA), timed runs per command (BENCH_RUNS, default 5, big 3), the headless
# command to time (VEXAR_CLI).
BENCH_DIR     ?= /var/tmp/vexar-bench
BENCH_CORPORA ?= small,ct,big
BENCH_RUNS    ?=
VEXAR_CLI     ?= $(BUILD)/bin/vexar-anonymizer-cli

# `make fuzz`: the per-file fuzz target, built with clang in its own tree (FUZZ_BUILD), run for
# FUZZ_TIME seconds; FUZZ_FLAGS adds libFuzzer flags (see tools/fuzz.sh).
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME  ?= 600

.PHONY: all deps configure build run test bench fuzz clean

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

bench: build
	/usr/bin/python3 bench/gencorpus.py --dir "$(BENCH_DIR)" --corpora "$(BENCH_CORPORA)"
	BENCH_RUNS="$(BENCH_RUNS)" /usr/bin/python3 bench/run.py --dir "$(BENCH_DIR)" \
		--corpora "$(BENCH_CORPORA)" --cli "$(VEXAR_CLI)" --plainloop "$(BUILD)/bin/vexar-bench-plainloop"

$(FUZZ_BUILD)/build.ninja: | deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DVEXAR_FUZZ=ON

fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target vexar-fuzz-file
	FUZZ_TIME="$(FUZZ_TIME)" bash tools/fuzz.sh $(FUZZ_BUILD)/bin/vexar-fuzz-file $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
