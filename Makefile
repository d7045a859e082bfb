# The two commands of the README: `make run` and `make test`. Both install the
# Debian packages they need first, so a fresh Debian 12 machine needs nothing
# else. docs/testing.md says what `make test` runs and how to run each part.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
PYTHON := /usr/bin/python3
PYTEST := $(PYTHON) -m pytest -q -p no:cacheprovider

DEB_PACKAGES := cmake g++ clang-14 make pkg-config libsqlite3-dev libnftnl-dev libmnl-dev \
  libgtest-dev libgmock-dev python3 python3-pytest socat nftables iproute2 sqlite3 procps util-linux \
  libsofia-sip-ua-dev sip-tester kamailio kamailio-sqlite-modules

# $(call install-packages,PACKAGES): installs those that are missing.
define install-packages
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "make: installing Debian packages:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

.PHONY: deps build test unit system interop run clean test-host test-asan test-tsan test-target check-includes demo

deps:
	$(call install-packages,$(DEB_PACKAGES))

# The host build uses clang, so clang's thread-safety analysis checks the lock
# annotations on every build; the sanitizer builds and the PowerPC build use
# gcc, so both compilers' warnings stop the run.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(BUILD) -j$(JOBS)

unit: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

system: build
	SIPTRUNK_MODEL_STEPS=$${SIPTRUNK_MODEL_STEPS:-2000} $(PYTEST) tests/system --build-dir=$(abspath $(BUILD))

# The model check on its own for 100,000 steps (about half an hour;
# SIPTRUNK_MODEL_SEED replays a run).
.PHONY: soak
soak: build
	SIPTRUNK_MODEL_STEPS=$${SIPTRUNK_MODEL_STEPS:-100000} \
	  $(PYTEST) -s tests/system/test_model.py --build-dir=$(abspath $(BUILD))

# siptrunk-ua against the real agent and third-party SIP software (SIPp,
# Kamailio), on loopback addresses (docs/ua.md).
interop: build
	$(PYTEST) tests/interop --build-dir=$(abspath $(BUILD))

# Everything: the host build, both sanitizer builds, the PowerPC target under
# qemu and a short run of every fuzz target.
test: test-host test-asan test-tsan test-target fuzz-smoke test-package
	@echo "make test: every part passed"

test-host: check-includes unit system interop

# Fails on an include that runs the wrong way between folders (README, Layout).
check-includes:
	tools/check-includes.sh .

run: build
	tools/run-demo.sh $(abspath $(BUILD))

# Two devices, master and slave, in network namespaces, step by step (root only;
# tests/interop/test_two_devices.py runs the same scenario under `make interop`).
demo: build
	tools/run-two-devices.sh $(abspath $(BUILD))

clean:
	rm -rf build build-*

# --- Sanitizer builds ----------------------------------------------------------
# The unit, platform and system tests again, in an AddressSanitizer+UBSan build
# and in a ThreadSanitizer build. Reports go to files; any report fails the
# run. The agent handles its fault signals itself, so ASan leaves them alone.
SANITIZER_REPORTS = $(abspath $(1))/sanitizer-reports
ASAN_ENV = ASAN_OPTIONS=log_path=$(call SANITIZER_REPORTS,build-asan)/asan:halt_on_error=1:detect_leaks=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:allow_user_segv_handler=1 \
  UBSAN_OPTIONS=log_path=$(call SANITIZER_REPORTS,build-asan)/ubsan:halt_on_error=1:print_stacktrace=1
TSAN_ENV = TSAN_OPTIONS=log_path=$(call SANITIZER_REPORTS,build-tsan)/tsan:halt_on_error=1:second_deadlock_stack=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:allow_user_segv_handler=1

# $(call sanitizer-run,BUILD_DIR,SANITIZER,ENV)
define sanitizer-run
	cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=Debug -DSIPTRUNK_SANITIZE=$(2) -DSIPTRUNK_BUILD_BENCH=OFF
	cmake --build $(1) -j$(JOBS)
	rm -rf $(call SANITIZER_REPORTS,$(1)) && mkdir -p $(call SANITIZER_REPORTS,$(1))
	cd $(1) && $(3) ctest --output-on-failure -j$(JOBS)
	$(3) SIPTRUNK_MODEL_STEPS=$${SIPTRUNK_MODEL_STEPS_SANITIZER:-300} \
	  $(PYTEST) -m "not slow" tests/system --build-dir=$(abspath $(1))
	$(3) $(PYTEST) tests/interop --build-dir=$(abspath $(1))
	@if [ -n "$$(ls -A $(call SANITIZER_REPORTS,$(1)))" ]; then \
	  echo "make: $(2) sanitizer reports:"; cat $(call SANITIZER_REPORTS,$(1))/*; exit 1; \
	fi
	@echo "make: no $(2) sanitizer report"
endef

test-asan: deps
	$(call sanitizer-run,build-asan,address,$(ASAN_ENV))

test-tsan: deps
	$(call sanitizer-run,build-tsan,thread,$(TSAN_ENV))

# --- The target: the PowerPC build's unit tests under qemu-ppc, then the system
# tests with the cross-built daemon under qemu-ppc against the host's tools.
test-target: test-ppc build ppc-sizes
	SIPTRUNK_MODEL_STEPS=$${SIPTRUNK_MODEL_STEPS_TARGET:-300} \
	  $(PYTEST) -m "not slow" tests/system \
	  --build-dir=$(abspath $(BUILD)) --agent-runner="qemu-ppc@$(abspath $(PPC_BUILD))"

# --- Cross build for the target: 32-bit big-endian PowerPC (docs/target.md) ---
# `make ppc` builds the daemon, the tools and the tests with Debian's
# powerpc-linux-gnu cross compiler, statically linked; `make test-ppc` runs the
# tests under qemu-ppc; `make ppc-sizes` prints the stripped binary sizes.
PPC_BUILD ?= build-ppc
PPC_BUILD_TYPE ?= MinSizeRel
PPC_PREFIX := $(abspath $(PPC_BUILD))/deps/prefix
PPC_TRIPLE := powerpc-linux-gnu
PPC_BINARIES := siptrunk-agent siptrunkctl siptrunk-uasim siptrunk-ua
PPC_DEB_PACKAGES := cmake make gcc g++ g++-$(PPC_TRIPLE) binutils-$(PPC_TRIPLE) qemu-user \
  dpkg-dev tcl xz-utils bzip2 googletest pkg-config autoconf automake libtool

.PHONY: ppc-deps ppc test-ppc ppc-sizes

ppc-deps:
	$(call install-packages,$(PPC_DEB_PACKAGES))
	tools/build-ppc-deps.sh $(PPC_PREFIX)

# The regulator's libraries are linked when the deps build produced them. The
# target build is the device's configuration (SIPTRUNK_DEVICE_BUILD).
ppc: ppc-deps
	nft=$$( [ -f $(PPC_PREFIX)/lib/libnftnl.a ] && echo ON || echo OFF ); \
	cmake -S . -B $(PPC_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(PPC_TRIPLE).cmake \
	  -DSIPTRUNK_DEPS_PREFIX=$(PPC_PREFIX) -DSIPTRUNK_WITH_NFTABLES=$$nft \
	  -DCMAKE_BUILD_TYPE=$(PPC_BUILD_TYPE) -DSIPTRUNK_DEVICE_BUILD=ON
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

# --- Fuzzing (docs/fuzzing.md) --------------------------------------------------
# `make fuzz` builds the libFuzzer targets with clang-14 in $(FUZZ_BUILD) and runs
# each for FUZZ_SECONDS on a scratch copy of its seed corpus, then replays the
# saved crash inputs; `make fuzz-smoke` is the same for 30 s per target.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_DEB_PACKAGES := cmake make pkg-config clang-14 libclang-rt-14-dev libgtest-dev \
  libsqlite3-dev libnftnl-dev libmnl-dev libsofia-sip-ua-dev

.PHONY: fuzz-deps fuzz-build fuzz fuzz-smoke

fuzz-deps:
	$(call install-packages,$(FUZZ_DEB_PACKAGES))

fuzz-build: fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DSIPTRUNK_FUZZ=ON -DSIPTRUNK_BUILD_TESTS=OFF -DSIPTRUNK_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_targets

fuzz: fuzz-build
	fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run-fuzz.sh $(FUZZ_BUILD) 30

# --- Benchmarks (docs/performance.md) -------------------------------------------
# `make bench` builds the daemon, siptrunkctl and store_commit_bench in
# $(BENCH_BUILD) and runs every benchmark; they print figures and assert no
# timing. Run as root: each agent runs in a private network namespace. The
# agents' stores go to BENCH_WORK, which should be on the disk under test.
BENCH_BUILD ?= build-bench
BENCH_WORK ?= $(BENCH_BUILD)/bench-work
BENCH_IDLE_SECONDS ?= 60
BENCH_STRACE_COMMITS ?= 50
BENCH_DEB_PACKAGES := strace util-linux dpkg-dev tcl
# The footprint is measured for a second build with the device's options.
BENCH_DEVICE_BUILD ?= build-bench-device

.PHONY: bench-deps bench bench-registrar

bench-deps: deps
	@missing=$$(for p in $(BENCH_DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "make: installing Debian packages:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

bench: bench-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIPTRUNK_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target siptrunk-agent siptrunkctl store_commit_bench siptrunk-ua
	cmake -S . -B $(BENCH_DEVICE_BUILD) -DSIPTRUNK_DEVICE_BUILD=ON -DCMAKE_BUILD_TYPE=MinSizeRel -DSIPTRUNK_BUILD_TESTS=OFF
	cmake --build $(BENCH_DEVICE_BUILD) -j$(JOBS) --target siptrunk-agent siptrunkctl
	$(PYTHON) bench/run_all.py --build-dir $(abspath $(BENCH_BUILD)) --work-dir $(abspath $(BENCH_WORK)) \
	  --device-build-dir $(abspath $(BENCH_DEVICE_BUILD)) \
	  --idle-seconds $(BENCH_IDLE_SECONDS) --strace $(BENCH_STRACE_COMMITS)

# The registrar under SIPp's REGISTER load, beside Kamailio's registrar in
# memory and written through to SQLite (bench/bench_registrar.py, about 5 min).
bench-registrar: bench-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIPTRUNK_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target siptrunk-agent siptrunkctl siptrunk-ua
	$(PYTHON) bench/bench_registrar.py --build-dir $(abspath $(BENCH_BUILD)) --work-dir $(abspath $(BENCH_WORK))

# --- Installing and packaging (docs/install.md) ----------------------------------
# `make install` builds and installs the programs, their service files, the man
# pages and the example ruleset below PREFIX (into DESTDIR when given).
# `make deb` builds the Debian binary package in $(DEB_BUILD)/ from a copy of
# this tree and runs lintian on it. `make test-package` checks the units with
# systemd-analyze, installs the package into a private overlay of this
# machine's root (nothing outside the test's mount namespace changes) and runs
# the agent there as its service files run it.
PREFIX ?= /usr/local
DEB_BUILD ?= build-deb
PKG_DEB_PACKAGES := scdoc debhelper dpkg-dev fakeroot lintian systemd util-linux libcap2-bin \
  adduser libsofia-sip-ua-dev busybox

.PHONY: pkg-deps install deb test-package

pkg-deps: deps
	$(call install-packages,$(PKG_DEB_PACKAGES))

install: pkg-deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j$(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

deb: pkg-deps
	rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)/src
	tar --exclude='./build*' --exclude=./.git --exclude=./var -cf - . | tar -C $(DEB_BUILD)/src -xf -
	cd $(DEB_BUILD)/src && DEB_BUILD_OPTIONS="parallel=$(JOBS) nocheck noautodbgsym" dpkg-buildpackage -b -us -uc
	lintian --fail-on error,warning $(DEB_BUILD)/siptrunk-agent_*.deb
	@ls $(DEB_BUILD)/siptrunk-agent_*.deb

test-package: deb build
	rm -rf $(DEB_BUILD)/root && dpkg-deb -x $(DEB_BUILD)/siptrunk-agent_*.deb $(DEB_BUILD)/root
	tests/package/check_units.sh $(DEB_BUILD)/root contrib/systemd/*.service
	$(PYTEST) tests/package --deb=$$(ls $(abspath $(DEB_BUILD))/siptrunk-agent_*.deb) --build-dir=$(abspath $(BUILD))
