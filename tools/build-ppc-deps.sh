#!/usr/bin/env bash
# Builds the libraries the programs link, as static powerpc-linux-gnu
# libraries from Debian's own source packages (Debian ships no powerpc builds
# of them), and installs them under PREFIX (include/, lib/, lib/pkgconfig/):
#
#   sqlite3    the store; the amalgamation from tools/sqlite-amalgamation.sh,
#              compiled -Os with the device's options
#              (cmake/sqlite-device-options.txt)
#   libmnl, libnftnl   the LAN-traffic regulator's netlink library
#   sofia-sip  libsofia-sip-ua (the SIP user agent in ua/), with
#              sofia-sip-ua.pc
#
#   tools/build-ppc-deps.sh PREFIX
#
# Sources are fetched with `apt-get source` into WORK (default: PREFIX/../src,
# or $PPC_DEPS_WORK), through an apt configuration of its own under WORK/apt
# (tools/debian-source.sh): source list, indexes and caches live there, and the
# machine's apt configuration is never edited. Downloaded sources are kept in
# WORK and reused. Each finished library leaves PREFIX/.done-NAME holding the
# checksum of the scripts and options its build reads; a later run skips every library
# whose stamp matches and whose files are present (a fully cached run takes
# well under a second).
#
# PPC_NFTABLES=auto|on|off (default auto) says what to do about libmnl and
# libnftnl: on = build them or fail; off = skip them; auto = build them, but
# when their source packages cannot be fetched, warn and go on without them.
# The build then configures with SIPTRUNK_WITH_NFTABLES=OFF (see the
# Makefile's ppc target), and the regulator reports itself unavailable on the
# target. PPC_SOFIA=on|off (default on): whether sofia-sip is built.
set -euo pipefail

HOST=powerpc-linux-gnu
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OPTIONS_FILE="$HERE/../cmake/sqlite-device-options.txt"

say()  { printf 'build-ppc-deps: %s\n' "$*"; }
die()  { printf 'build-ppc-deps: ERROR: %s\n' "$*" >&2; exit 1; }
trap 'rc=$?; [ $rc -eq 0 ] || printf "build-ppc-deps: FAILED (exit %d) at line %d: %s\n" $rc "$LINENO" "$BASH_COMMAND" >&2' EXIT

[ $# -eq 1 ] || die "usage: $0 PREFIX"
PREFIX=$(realpath -m "$1")
WORK=$(realpath -m "${PPC_DEPS_WORK:-$PREFIX/../src}")
JOBS=${JOBS:-$(nproc)}
# A library's version: the checksum of this script and the files its build
# reads (SQLite: its options; so changing them rebuilds SQLite alone).
version_of() {
  local files=("${BASH_SOURCE[0]}" "$HERE/debian-source.sh")
  [ "$1" = sqlite3 ] && files+=("$HERE/sqlite-amalgamation.sh" "$OPTIONS_FILE")
  cat "${files[@]}" | sha256sum | cut -c1-16
}
VERSION=$(version_of none)
NFT_MODE=${PPC_NFTABLES:-auto}
SOFIA_MODE=${PPC_SOFIA:-on}
case "$NFT_MODE" in auto|on|off) ;; *) die "PPC_NFTABLES must be auto, on or off (is '$NFT_MODE')" ;; esac
case "$SOFIA_MODE" in on|off) ;; *) die "PPC_SOFIA must be on or off (is '$SOFIA_MODE')" ;; esac

# The files each library installs that later builds look for.
files_of() {
  case $1 in
    sqlite3)   echo lib/libsqlite3.a include/sqlite3.h ;;
    libmnl)    echo lib/libmnl.a include/libmnl/libmnl.h ;;
    libnftnl)  echo lib/libnftnl.a include/libnftnl/set.h ;;
    sofia-sip) echo lib/libsofia-sip-ua.a lib/pkgconfig/sofia-sip-ua.pc include/sofia-sip-1.12/sofia-sip/nua.h ;;
  esac
}
# up_to_date NAME: built by this version of the scripts, and its files present.
up_to_date() {
  local f
  [ -f "$PREFIX/.done-$1" ] && [ "$(cat "$PREFIX/.done-$1")" = "$(version_of "$1")" ] || return 1
  for f in $(files_of "$1"); do [ -f "$PREFIX/$f" ] || return 1; done
}
mark_done() { version_of "$1" >"$PREFIX/.done-$1"; }

want=(sqlite3)
[ "$NFT_MODE" != off ] && want+=(libmnl libnftnl)
[ "$SOFIA_MODE" = on ] && want+=(sofia-sip)
todo=()
for lib in "${want[@]}"; do up_to_date "$lib" || todo+=("$lib"); done
# A missing libnftnl that `auto` could not fetch last time is not retried on
# every run: the stamp .nftables-unavailable records it for this version.
if [ "$NFT_MODE" = auto ] && [ -f "$PREFIX/.nftables-unavailable" ] &&
   [ "$(cat "$PREFIX/.nftables-unavailable")" = "$VERSION" ]; then
  todo=("${todo[@]/libmnl}"); todo=("${todo[@]/libnftnl}")
  read -r -a todo <<<"${todo[*]}"
fi
if [ ${#todo[@]} -eq 0 ]; then
  say "up to date in $PREFIX: $(cd "$PREFIX/lib" && ls lib*.a | tr '\n' ' ')"
  exit 0
fi

for tool in $HOST-gcc $HOST-ar $HOST-ranlib $HOST-objdump apt-get dpkg-source make cc; do
  command -v "$tool" >/dev/null || die "'$tool' not found (Debian packages: g++-$HOST dpkg-dev make gcc)"
done

# --- fetching ------------------------------------------------------------------
# Source packages come through an apt configuration of our own under
# WORK/apt (tools/debian-source.sh): the machine's apt setup is never edited.
DEBSRC_WORK=$WORK
# shellcheck source=tools/debian-source.sh
. "$HERE/debian-source.sh"
fetch() { debsrc_fetch "$1"; }

# --- building ------------------------------------------------------------------
export CC=$HOST-gcc AR=$HOST-ar RANLIB=$HOST-ranlib
# Size first, as for the device; 64-bit time_t and off_t as in every
# translation unit of the target (cmake/powerpc-linux-gnu.cmake); sections per
# function and object, so the programs' --gc-sections link drops the unused.
export CFLAGS="-Os -g0 -ffunction-sections -fdata-sections -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
# Only our prefix may answer pkg-config queries: never the build machine's .pc files.
export PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig" PKG_CONFIG_PATH=""

# autotools_build NAME SRCDIR [configure args...]: out-of-tree static build of
# a source tree that ships its configure script.
autotools_build() {
  local name=$1 src=$2; shift 2
  local b="$WORK/build/$name"
  rm -rf "$b"; mkdir -p "$b"
  # Debian's patches may leave configure.ac/Makefile.am newer than the
  # generated files; make would then want automake. Mark the generated files
  # current: the patches we build with do not change the build system's
  # behaviour for a static library.
  find "$src" \( -name configure -o -name Makefile.in -o -name aclocal.m4 -o -name config.h.in \) \
    -not -path '*/.pc/*' -exec touch {} +
  say "configure $name"
  (cd "$b" && "$src/configure" --host=$HOST --build="$(cc -dumpmachine)" --prefix="$PREFIX" \
      --disable-shared --enable-static "$@" >configure.log 2>&1) ||
    { tail -n 40 "$b/configure.log" >&2; die "configure of $name failed (log: $b/configure.log)"; }
  say "make $name"
  (cd "$b" && make -j"$JOBS" >make.log 2>&1 && make install >>make.log 2>&1) ||
    { tail -n 40 "$b/make.log" >&2; die "build of $name failed (log: $b/make.log)"; }
}

build_sqlite() {
  local amal="$WORK/sqlite3-amalgamation" b="$WORK/build/sqlite3" options
  SQLITE_SRC_WORK=$WORK "$HERE/sqlite-amalgamation.sh" "$amal"
  rm -rf "$b"; mkdir -p "$b"
  options=$(sed -e 's/#.*//' "$OPTIONS_FILE" | tr -s ' \t\n' ' ')
  say "compile sqlite3.c for $HOST"
  # No unwind tables: C code that no exception ever passes through (the one
  # callback into our code, the store's busy handler, does not throw).
  # shellcheck disable=SC2086 # the options are separate words
  $CC $CFLAGS $options -fno-asynchronous-unwind-tables -fno-unwind-tables -DHAVE_USLEEP=1 -c "$amal/sqlite3.c" -o "$b/sqlite3.o" ||
    die "compiling sqlite3.c failed"
  mkdir -p "$PREFIX/lib" "$PREFIX/include"
  rm -f "$PREFIX/lib/libsqlite3.a"
  $AR rcs "$PREFIX/lib/libsqlite3.a" "$b/sqlite3.o"
  cp "$amal/sqlite3.h" "$PREFIX/include/"
}

# sofia-sip: Debian's source is the project's git tree without a configure
# script, so autoreconf makes one first (once: the tree is kept). Only
# libsofia-sip-ua is built and installed (no glib binding, utilities, tests or
# documentation), with no OpenSSL (no TLS transport), no STUN and no HTTP
# (nth): the user agent speaks SIP over UDP and TCP with digest
# authentication, which all stay in.
build_sofia() {
  local src=$1 b="$WORK/build/sofia-sip"
  if [ ! -x "$src/configure" ]; then
    for tool in autoreconf automake libtoolize; do
      command -v "$tool" >/dev/null || die "'$tool' not found (Debian packages: autoconf automake libtool)"
    done
    say "autoreconf sofia-sip"
    (cd "$src" && autoreconf -fi >autoreconf.log 2>&1) ||
      { tail -n 40 "$src/autoreconf.log" >&2; die "autoreconf of sofia-sip failed (log: $src/autoreconf.log)"; }
  fi
  rm -rf "$b"; mkdir -p "$b"
  say "configure sofia-sip"
  (cd "$b" && "$src/configure" --host=$HOST --build="$(cc -dumpmachine)" --prefix="$PREFIX" \
      --disable-shared --enable-static --without-glib --without-openssl --disable-stun --disable-nth \
      --without-doxygen >configure.log 2>&1) ||
    { tail -n 40 "$b/configure.log" >&2; die "configure of sofia-sip failed (log: $b/configure.log)"; }
  say "make sofia-sip (libsofia-sip-ua only)"
  (cd "$b" && make -j"$JOBS" -C libsofia-sip-ua >make.log 2>&1 &&
      make -C libsofia-sip-ua install >>make.log 2>&1 && make -C packages install >>make.log 2>&1) ||
    { tail -n 40 "$b/make.log" >&2; die "build of sofia-sip failed (log: $b/make.log)"; }
  rm -f "$PREFIX"/lib/libsofia-sip-ua.la
}

start=$(date +%s)
say "building into $PREFIX (sources in $WORK): ${todo[*]}"
mkdir -p "$PREFIX/lib" "$PREFIX/include" "$WORK"

for lib in "${todo[@]}"; do
  rm -f "$PREFIX/.done-$lib"
  t0=$(date +%s)
  case $lib in
    sqlite3) build_sqlite ;;
    libmnl|libnftnl)
      [ "$lib" = libnftnl ] && continue  # built together with libmnl
      if mnl_src=$(fetch libmnl) && nftnl_src=$(fetch libnftnl); then
        autotools_build libmnl "$mnl_src"; mark_done libmnl
        LIBMNL_CFLAGS="-I$PREFIX/include" LIBMNL_LIBS="-L$PREFIX/lib -lmnl" \
          autotools_build libnftnl "$nftnl_src" --without-json-parsing
        lib=libnftnl
      elif [ "$NFT_MODE" = on ]; then
        die "could not fetch the libmnl/libnftnl source packages (PPC_NFTABLES=on)"
      else
        say "WARNING: ************************************************************"
        say "WARNING: the libmnl/libnftnl source packages could not be fetched from"
        say "WARNING: this machine's Debian archive. Building WITHOUT them: configure"
        say "WARNING: with -DSIPTRUNK_WITH_NFTABLES=OFF; the LAN-traffic regulator is"
        say "WARNING: then unavailable on the target. PPC_NFTABLES=on makes this fatal."
        say "WARNING: ************************************************************"
        echo "$VERSION" >"$PREFIX/.nftables-unavailable"
        continue
      fi ;;
    sofia-sip)
      sofia_src=$(fetch sofia-sip) || die "cannot fetch the sofia-sip source package"
      build_sofia "$sofia_src" ;;
  esac
  up_to_date_files=1
  for f in $(files_of "$lib"); do [ -f "$PREFIX/$f" ] || up_to_date_files=0; done
  [ $up_to_date_files = 1 ] || die "$lib built but some of its files are missing under $PREFIX"
  for a in "$PREFIX"/lib/lib*.a; do
    formats=$($HOST-objdump -a "$a" | sed -n 's/.*file format //p' | sort -u)
    [ "$formats" = "elf32-powerpc" ] || die "$a holds '$formats' objects, not 32-bit big-endian PowerPC"
  done
  mark_done "$lib"
  say "$lib done in $(( $(date +%s) - t0 )) s"
done
say "done in $(( $(date +%s) - start )) s: $(cd "$PREFIX/lib" && ls lib*.a | tr '\n' ' ')"
