# Front door: every target installs what is missing, then acts.
#   make build   build the Windows 64-bit, Windows 32-bit and native configurations
#   make test    build all three and run every test (Windows tests of both
#                bitnesses under Wine): the gate, which holds on a loaded machine
#   make soak    the long real-time sessions, on a machine left to them; writes
#                out/soak/report.md and out/soak/heard-delay.png
#   make demo    run the reference host on the built-in voice sample under Wine,
#                record and measure it (DELAY=ms SHIFT=steps MODE=1|2; LIVE=1
#                uses the machine's own microphone and speaker instead; BITS=32
#                the 32-bit host and component instead of the 64-bit ones)
#   make dist    one zip and one installer package per architecture in build/dist
#   make bench   run the benchmarks and regenerate docs/performance.md
#   make panel-shot  render rynpanel at rest and running into docs/panel.png
#   make fuzz    fuzz the registry script interpreter (FUZZ_SECONDS, default 600)
#                and fold the findings into its committed corpus

SHELL := /bin/bash
ROOT := $(abspath .)
BUILD := $(ROOT)/build
JOBS ?= $(shell nproc)

.PHONY: all deps build configure test soak demo dist bench fuzz panel-shot clean

all: build

deps:
	@$(ROOT)/scripts/install-deps.sh

# Build folders are configured by scripts/configure.sh, which knows them all;
# again when it changes.
$(BUILD)/%/build.ninja: $(ROOT)/scripts/configure.sh | deps
	$(ROOT)/scripts/configure.sh $*

configure: $(BUILD)/win64/build.ninja $(BUILD)/win32/build.ninja $(BUILD)/native/build.ninja

build: deps configure
	cmake --build $(BUILD)/win64 -j $(JOBS)
	cmake --build $(BUILD)/win32 -j $(JOBS)
	cmake --build $(BUILD)/native -j $(JOBS)

test: deps configure
	$(ROOT)/scripts/test-all.sh $(JOBS)

soak: deps
	JOBS=$(JOBS) $(ROOT)/scripts/soak.sh

demo: deps
	DELAY="$(DELAY)" SHIFT="$(SHIFT)" MODE="$(MODE)" LIVE="$(LIVE)" BITS="$(BITS)" $(ROOT)/scripts/demo.sh

dist: deps $(BUILD)/win64/build.ninja $(BUILD)/win32/build.ninja
	cmake --build $(BUILD)/win64 -j $(JOBS) --target ryn rynhost rynpanel wixregistry
	cmake --build $(BUILD)/win32 -j $(JOBS) --target ryn rynhost rynpanel
	$(ROOT)/scripts/dist.sh

FUZZ_SECONDS ?= 600
fuzz: deps
	$(ROOT)/scripts/fuzz-registry-script.sh $(FUZZ_SECONDS)

# Benchmarks: native Release build without the sanitizers with the peer pitch
# shifters, win64 Release timing programs under Wine, real audio through a
# private PulseAudio server; regenerates docs/performance.md.
bench:
	@$(ROOT)/scripts/install-deps.sh --bench
	JOBS=$(JOBS) $(ROOT)/scripts/bench.sh

panel-shot: deps $(BUILD)/win64/build.ninja
	cmake --build $(BUILD)/win64 -j $(JOBS) --target rynpanel panel_driver
	$(ROOT)/scripts/panel-shot.sh $(BUILD)/win64 $(ROOT)/docs/panel.png

clean:
	rm -rf $(BUILD)
