#!/usr/bin/env bash
# Generates SQLite's amalgamation (sqlite3.c, sqlite3.h) from Debian's sqlite3
# source package, with the parser made for the device's compile-time options
# (cmake/sqlite-device-options.txt), into OUTDIR. Both the PowerPC deps build
# and a host build with SIPTRUNK_DEVICE_BUILD=ON compile this one file with
# those options, so the host measures the same SQLite the device runs.
#
#   tools/sqlite-amalgamation.sh OUTDIR
#
# Sources are fetched into WORK ($SQLITE_SRC_WORK, default OUTDIR/../src)
# through an apt configuration of its own (tools/debian-source.sh), and kept.
# OUTDIR/.done holds the checksum of the inputs: a later run with the same
# scripts and options does nothing.
set -euo pipefail

say() { printf 'sqlite-amalgamation: %s\n' "$*"; }
die() { printf 'sqlite-amalgamation: ERROR: %s\n' "$*" >&2; exit 1; }

[ $# -eq 1 ] || die "usage: $0 OUTDIR"
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OPTIONS_FILE="$HERE/../cmake/sqlite-device-options.txt"
OUT=$(realpath -m "$1")
DEBSRC_WORK=$(realpath -m "${SQLITE_SRC_WORK:-$OUT/../src}")
VERSION=$(cat "${BASH_SOURCE[0]}" "$HERE/debian-source.sh" "$OPTIONS_FILE" | sha256sum | cut -c1-16)

if [ -f "$OUT/.done" ] && [ "$(cat "$OUT/.done")" = "$VERSION" ] && [ -f "$OUT/sqlite3.c" ] && [ -f "$OUT/sqlite3.h" ]; then
  say "up to date in $OUT"
  exit 0
fi
for tool in apt-get dpkg-source make cc tclsh awk; do
  command -v "$tool" >/dev/null || die "'$tool' not found (Debian packages: dpkg-dev make gcc tcl)"
done
# shellcheck source=tools/debian-source.sh
. "$HERE/debian-source.sh"

OPTIONS=$(sed -e 's/#.*//' "$OPTIONS_FILE" | tr -s ' \t\n' ' ')
src=$(debsrc_fetch sqlite3) || die "cannot fetch the sqlite3 source package"
b="$DEBSRC_WORK/build/sqlite3-amalgamation"
rm -rf "$b" "$OUT"; mkdir -p "$b"
# The amalgamation is plain C, the same for every machine: generated with the
# build machine's compiler and tclsh. OPT_FEATURE_FLAGS reach the parser
# generator (lemon) and the keyword hash, so omitted statements leave the
# grammar too.
say "generate the amalgamation from $src"
(cd "$b" && CC=cc CFLAGS=-O0 "$src/configure" --disable-shared --disable-tcl >configure.log 2>&1) ||
  { tail -n 40 "$b/configure.log" >&2; die "configure of sqlite3 failed (log: $b/configure.log)"; }
(cd "$b" && make -j"${JOBS:-$(nproc)}" OPT_FEATURE_FLAGS="$OPTIONS" sqlite3.c sqlite3.h >make.log 2>&1) ||
  { tail -n 40 "$b/make.log" >&2; die "generating sqlite3.c failed (log: $b/make.log)"; }
mkdir -p "$OUT"
cp "$b/sqlite3.c" "$b/sqlite3.h" "$OUT/"
echo "$VERSION" >"$OUT/.done"
say "done: $OUT/sqlite3.c ($(grep -m1 '^#define SQLITE_VERSION ' "$OUT/sqlite3.h" | awk '{print $3}'))"
