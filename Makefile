# Top-level entry points: `make demo` runs the discovery on the virtual field line,
# `make test` builds and runs every test in every preset, `make check` the fast ones of the
# default preset, `make package` builds the Debian packages. All of them install what they
# need.
PRESETS ?= default asan i386 tsan
JOBS ?= $(shell nproc)

.PHONY: all setup build demo busserver guest test check bench fuzz package clean

all: build

setup:
	@bash scripts/setup.sh

build: build-default

# build-<preset> and test-<preset> for each preset (explicit phony rules: the build
# folders build-asan, build-i386 ... have the same names).
define preset_rules
.PHONY: build-$(1) test-$(1)
build-$(1): setup
	cmake --preset $(1) >/dev/null
	cmake --build --preset $(1) -j$(JOBS)
test-$(1): build-$(1)
	ctest --preset $(1)
endef
$(foreach p,$(PRESETS),$(eval $(call preset_rules,$(p))))

# Every preset's tests, each beside the next preset's build (scripts/test.sh); every preset
# runs even when an earlier one fails, and the exit status reports them all.
test: setup
	@JOBS=$(JOBS) bash scripts/test.sh $(PRESETS)

# The inner loop: the default preset's build and its tests but those that wait out real
# hand-over and lock times (label slow) and the package builds (label package).
check: build-default
	ctest --preset check

demo: build-default
	@bash scripts/demo.sh build

# The test bench's message-bus server on port 10000, to try a client against (Ctrl-C ends it).
busserver: build-default
	build/qmbusserver -i 5000 -r 40

# The demonstration in a Debian i386 guest (real kernel, 8250 driver, QEMU's 16550A).
guest: build-i386
	@bash testbench/sandbox/qmsandbox testbench/guest/qmguest -b build-i386 testbench/guest/demo

bench: build-default
	@bash scripts/bench.sh build

# Every fuzz target for FUZZ_RUNS executions (clang's libFuzzer, ASan + UBSan, in the
# sandbox) and the table of figures; FUZZ_JOBS at once, FUZZ_TARGETS to pick (fuzz/README.md).
FUZZ_RUNS ?= 10000000
fuzz: setup
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF \
	  -DQM_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
	cmake --build build-fuzz -j$(JOBS)
	@bash testbench/sandbox/qmsandbox fuzz/fuzz.sh run build-fuzz $(FUZZ_RUNS)

# Debian packages for amd64 and i386 in build-packages/, checked with lintian.
package: setup
	@bash scripts/package.sh build-packages

clean:
	rm -rf build build-asan build-tsan build-i386 build-packages build-fuzz
