# The two commands of the README: `make run` and `make test`. Both install the
# Debian packages they need first, so a fresh Debian 12 machine needs nothing else.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
PYTHON := /usr/bin/python3

DEB_PACKAGES := cmake g++ make pkg-config libsqlite3-dev libnftnl-dev libmnl-dev \
  libgtest-dev libgmock-dev python3 python3-pytest socat nftables iproute2 sqlite3 procps

.PHONY: deps build test unit system run clean

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "make: installing Debian packages:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

unit: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

system: build
	$(PYTHON) -m pytest -q tests/system --build-dir=$(abspath $(BUILD))

test: unit system

run: build
	tools/run-demo.sh $(abspath $(BUILD))

clean:
	rm -rf build build-*

# --- Cross build for the target: 32-bit big-endian PowerPC (docs/target.md) ---
# `make ppc` builds the daemon, the tools and the tests with Debian's
# powerpc-linux-gnu cross compiler, statically linked; `make test-ppc` runs the
# tests under qemu-ppc; `make ppc-sizes` prints the stripped binary sizes.
PPC_BUILD ?= build-ppc
PPC_BUILD_TYPE ?= RelWithDebInfo
PPC_PREFIX := $(abspath $(PPC_BUILD))/deps/prefix
PPC_TRIPLE := powerpc-linux-gnu
PPC_BINARIES := siptrunk-agent siptrunkctl siptrunk-uasim
PPC_DEB_PACKAGES := cmake make gcc g++ g++-$(PPC_TRIPLE) binutils-$(PPC_TRIPLE) qemu-user \
  dpkg-dev tcl xz-utils bzip2 googletest pkg-config

.PHONY: ppc-deps ppc test-ppc ppc-sizes

ppc-deps:
	@missing=$$(for p in $(PPC_DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "make: installing Debian packages:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	tools/build-ppc-deps.sh $(PPC_PREFIX)

# The regulator's libraries are linked when the deps build produced them.
ppc: ppc-deps
	nft=$$( [ -f $(PPC_PREFIX)/lib/libnftnl.a ] && echo ON || echo OFF ); \
	cmake -S . -B $(PPC_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(PPC_TRIPLE).cmake \
	  -DSIPTRUNK_DEPS_PREFIX=$(PPC_PREFIX) -DSIPTRUNK_WITH_NFTABLES=$$nft \
	  -DCMAKE_BUILD_TYPE=$(PPC_BUILD_TYPE)
	cmake --build $(PPC_BUILD) -j$(JOBS)

test-ppc: ppc
	cd $(PPC_BUILD) && ctest --output-on-failure -j$(JOBS)

ppc-sizes: ppc
	@mkdir -p $(PPC_BUILD)/stripped; \
	printf '%-18s %12s %12s\n' binary unstripped stripped; \
	for b in $(PPC_BINARIES); do \
	  [ -f $(PPC_BUILD)/$$b ] || { echo "make: $(PPC_BUILD)/$$b was not built" >&2; exit 1; }; \
	  $(PPC_TRIPLE)-strip -o $(PPC_BUILD)/stripped/$$b $(PPC_BUILD)/$$b || exit 1; \
	  printf '%-18s %12s %12s\n' $$b $$(stat -c %s $(PPC_BUILD)/$$b) $$(stat -c %s $(PPC_BUILD)/stripped/$$b); \
	done; \
	echo "(bytes; stripped copies in $(PPC_BUILD)/stripped/)"
