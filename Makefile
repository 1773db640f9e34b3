# Top-level entry points: `make demo` runs the discovery on the virtual field line,
# `make test` builds and runs every test in every preset. Both install what they need.
PRESETS ?= default asan i386 tsan
JOBS ?= $(shell nproc)

.PHONY: all setup build demo test bench clean $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

all: build

setup:
	@bash scripts/setup.sh

build: build-default

build-%: setup
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j$(JOBS)

test-%: build-%
	ctest --preset $*

# Every preset runs even when an earlier one fails; the exit status reports them all.
test: setup
	@failed=""; \
	for p in $(PRESETS); do \
	  echo "==== preset $$p"; \
	  $(MAKE) --no-print-directory test-$$p || failed="$$failed $$p"; \
	done; \
	if [ -n "$$failed" ]; then echo "==== failed presets:$$failed"; exit 1; fi; \
	echo "==== all presets passed: $(PRESETS)"

demo: build-default
	@bash scripts/demo.sh build

bench: build-default
	@bash scripts/bench.sh build

clean:
	rm -rf build build-asan build-tsan build-i386
