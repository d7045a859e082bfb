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
