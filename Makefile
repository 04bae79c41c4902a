# Quick start: `make run` and `make test`. Both install what is missing, configure, build.
BUILD   ?= build
JOBS    ?= $(shell nproc)
# Warnings are errors in CI (CI=true); locally they are only warnings.
WERROR  ?= $(if $(filter true,$(CI)),ON,OFF)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test clean

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

clean:
	rm -rf $(BUILD)
