#!/usr/bin/env bash
# Builds the libraries the daemon links (SQLite, libmnl, libnftnl) as static
# powerpc-linux-gnu libraries from Debian's own source packages, and installs
# them under PREFIX (include/, lib/). Debian ships no powerpc builds of them.
#
#   tools/build-ppc-deps.sh PREFIX
#
# Sources are fetched with `apt-get source` into WORK (default: PREFIX/../src,
# or $PPC_DEPS_WORK), from a deb-src entry added for the same archive the
# machine already uses. Nothing else is fetched. A finished build leaves
# PREFIX/.done holding this script's checksum; a later run with the same
# script and all libraries present does nothing. Downloaded sources are kept in
# WORK and reused.
#
# PPC_NFTABLES=auto|on|off (default auto) says what to do about libmnl and
# libnftnl (the LAN-traffic regulator's netlink library): on = build them or
# fail; off = skip them; auto = build them, but when their source packages
# cannot be fetched, warn and go on without them. The build then configures
# with SIPTRUNK_WITH_NFTABLES=OFF (see the Makefile's ppc target), and the
# regulator reports itself unavailable on the target.
set -euo pipefail

HOST=powerpc-linux-gnu
SRC_LIST=/etc/apt/sources.list.d/siptrunk-deb-src.sources
SRC_LIST_ONELINE=/etc/apt/sources.list.d/siptrunk-deb-src.list

say()  { printf 'build-ppc-deps: %s\n' "$*"; }
die()  { printf 'build-ppc-deps: ERROR: %s\n' "$*" >&2; exit 1; }
trap 'rc=$?; [ $rc -eq 0 ] || printf "build-ppc-deps: FAILED (exit %d) at line %d: %s\n" $rc "$LINENO" "$BASH_COMMAND" >&2' EXIT

[ $# -eq 1 ] || die "usage: $0 PREFIX"
PREFIX=$(realpath -m "$1")
WORK=$(realpath -m "${PPC_DEPS_WORK:-$PREFIX/../src}")
JOBS=${JOBS:-$(nproc)}
VERSION=$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-16)
STAMP="$PREFIX/.done"
NFT_MODE=${PPC_NFTABLES:-auto}
case "$NFT_MODE" in auto|on|off) ;; *) die "PPC_NFTABLES must be auto, on or off (is '$NFT_MODE')" ;; esac

# libs_present on|off: the libraries of a finished build are all there.
libs_present() {
  local f files=(lib/libsqlite3.a include/sqlite3.h)
  [ "$1" = on ] && files+=(lib/libmnl.a lib/libnftnl.a include/libmnl/libmnl.h include/libnftnl/set.h)
  for f in "${files[@]}"; do
    [ -f "$PREFIX/$f" ] || return 1
  done
}

# The stamp holds "VERSION nftables=on|off".
if [ -f "$STAMP" ]; then
  read -r done_version done_nft <"$STAMP" || true
  done_nft=${done_nft#nftables=}
  if [ "$done_version" = "$VERSION" ] && libs_present "$done_nft" &&
     { [ "$NFT_MODE" = auto ] || [ "$NFT_MODE" = "$done_nft" ]; }; then
    say "up to date in $PREFIX (version $VERSION, nftables=$done_nft)"
    exit 0
  fi
fi

for tool in $HOST-gcc $HOST-ar $HOST-ranlib $HOST-objdump apt-get dpkg-source make cc; do
  command -v "$tool" >/dev/null || die "'$tool' not found (Debian packages: g++-$HOST dpkg-dev make gcc)"
done

# --- deb-src entries ---------------------------------------------------------
# For every enabled Debian entry of this release (suites named after the
# release codename: bookworm, bookworm-updates, bookworm-security), add the
# matching deb-src entry: same URIs, suites, components and signing key.
# Entries of other archives (third-party repositories) are left alone.
write_deb_src_entries() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || die "cannot tell the Debian release codename from /etc/os-release"

  local deb822_files=() f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$SRC_LIST" ] && deb822_files+=("$f")
  done
  local tmp; tmp=$(mktemp)
  if [ ${#deb822_files[@]} -gt 0 ]; then
    # deb822 stanzas: "Key: value" fields, continuation lines start with a
    # blank, stanzas are separated by empty lines, '#' starts a comment line.
    awk -v codename="$codename" '
      function flush(   suites, n, i, ok, out) {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled !~ /^[ \t]*(no|false)/ && uris != "") {
          n = split(suites_v, suites, /[ \t]+/); ok = 1
          for (i = 1; i <= n; i++)
            if (suites[i] != "" && suites[i] !~ ("^" codename "(-[a-z]+)?$")) ok = 0
          if (ok && suites_v ~ /[^ \t]/) {
            out = "Types: deb-src\nURIs:" uris "\nSuites:" suites_v "\nComponents:" comps "\n"
            if (signed != "") out = out "Signed-By:" signed "\n"
            printf "%s\n", out
          }
        }
        types = uris = suites_v = comps = signed = enabled = ""; key = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/   { if (key == "signed-by") signed = signed "\n" $0; next }
      {
        key = tolower(substr($0, 1, index($0, ":") - 1)); val = substr($0, index($0, ":") + 1)
        if (key == "types") types = val
        else if (key == "uris") uris = val
        else if (key == "suites") suites_v = val
        else if (key == "components") comps = val
        else if (key == "signed-by") signed = val
        else if (key == "enabled") enabled = val
      }
      END { flush() }
    ' "${deb822_files[@]}" >"$tmp"
  fi
  if [ -s "$tmp" ]; then
    { echo "# deb-src entries for the archive this machine already uses (added by"
      echo "# tools/build-ppc-deps.sh to fetch source packages for the powerpc build)."
      cat "$tmp"; } >"$SRC_LIST"
    say "added $SRC_LIST"
  fi

  # One-line format (sources.list and *.list).
  local list_files=()
  [ -f /etc/apt/sources.list ] && list_files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "$f" != "$SRC_LIST_ONELINE" ] && list_files+=("$f")
  done
  : >"$tmp"
  if [ ${#list_files[@]} -gt 0 ]; then
    awk -v codename="$codename" '
      /^[ \t]*deb[ \t]/ {
        line = $0; sub(/^[ \t]*deb/, "deb-src", line)
        # the suite is the field after the URI (options may sit in [ ... ])
        rest = $0; sub(/^[ \t]*deb[ \t]+/, "", rest)
        if (rest ~ /^\[/) sub(/^\[[^]]*\][ \t]*/, "", rest)
        split(rest, f, /[ \t]+/)
        if (f[2] ~ ("^" codename "(-[a-z]+)?$")) print line
      }' "${list_files[@]}" >"$tmp"
  fi
  if [ -s "$tmp" ]; then
    { echo "# deb-src entries added by tools/build-ppc-deps.sh"; cat "$tmp"; } >"$SRC_LIST_ONELINE"
    say "added $SRC_LIST_ONELINE"
  fi
  rm -f "$tmp"
  [ -f "$SRC_LIST" ] || [ -f "$SRC_LIST_ONELINE" ] ||
    die "found no enabled Debian '$codename' entry in /etc/apt/sources.list{,.d} to mirror as deb-src"
}

have_sources() {
  local p
  for p in sqlite3 libmnl libnftnl; do
    apt-cache showsrc "$p" 2>/dev/null | grep -q '^Package:' || return 1
  done
}

ensure_deb_src() {
  if have_sources; then return; fi
  if [ ! -f "$SRC_LIST" ] && [ ! -f "$SRC_LIST_ONELINE" ]; then
    write_deb_src_entries
  fi
  say "apt-get update (source indexes)"
  apt-get update -qq || die "apt-get update failed"
  have_sources || die "apt still knows no source package for sqlite3/libmnl/libnftnl; check $SRC_LIST"
}

# --- fetching ------------------------------------------------------------------
# fetch PKG: prints the extracted source directory (kept across runs); fails
# with a message when the source package cannot be had.
fetch() {
  local pkg=$1 dir
  mkdir -p "$WORK/$pkg"
  dir=$(find "$WORK/$pkg" -mindepth 2 -maxdepth 2 -name debian -type d -printf '%h\n' | head -n1)
  if [ -z "$dir" ]; then
    ensure_deb_src >&2
    say "apt-get source $pkg" >&2
    # apt's download helper runs as _apt and must be able to write here.
    chmod 0777 "$WORK/$pkg"
    if ! (cd "$WORK/$pkg" && apt-get source -qq "$pkg" >&2); then
      say "apt-get source $pkg failed" >&2
      return 1
    fi
    dir=$(find "$WORK/$pkg" -mindepth 2 -maxdepth 2 -name debian -type d -printf '%h\n' | head -n1)
    if [ -z "$dir" ]; then
      say "apt-get source $pkg left no source tree in $WORK/$pkg" >&2
      return 1
    fi
  else
    say "reusing $dir" >&2
  fi
  echo "$dir"
}

# --- building ------------------------------------------------------------------
export CC=$HOST-gcc AR=$HOST-ar RANLIB=$HOST-ranlib
export CFLAGS="-O2 -g0"
# Only our prefix may answer pkg-config queries: never the build machine's .pc files.
export PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig" PKG_CONFIG_PATH=""

# autotools_build NAME SRCDIR [configure args...]: out-of-tree static build.
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
  local src=$1 b="$WORK/build/sqlite3" amal=""
  rm -rf "$b"; mkdir -p "$b"
  if [ -f "$src/sqlite3.c" ] && [ -f "$src/sqlite3.h" ]; then
    amal=$src
  else
    # Full source tree: generate the amalgamation (plain C, the same for
    # every machine) with the build machine's compiler and tclsh; only
    # sqlite3.c is then cross-compiled.
    command -v tclsh >/dev/null || die "tclsh not found (Debian package: tcl)"
    say "generate SQLite amalgamation"
    (cd "$b" && CC=cc CFLAGS=-O0 "$src/configure" --disable-shared --disable-tcl >configure.log 2>&1) ||
      { tail -n 40 "$b/configure.log" >&2; die "configure of sqlite3 failed (log: $b/configure.log)"; }
    (cd "$b" && make -j"$JOBS" sqlite3.c sqlite3.h >make.log 2>&1) ||
      { tail -n 40 "$b/make.log" >&2; die "generating sqlite3.c failed (log: $b/make.log)"; }
    amal=$b
  fi
  say "compile sqlite3.c for $HOST"
  # Serialized threading (the store is used from several threads), no
  # run-time extension loading; otherwise SQLite's defaults, as on the host.
  $CC $CFLAGS -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DHAVE_USLEEP=1 \
      -c "$amal/sqlite3.c" -o "$b/sqlite3.o" ||
    die "compiling sqlite3.c failed"
  mkdir -p "$PREFIX/lib" "$PREFIX/include"
  rm -f "$PREFIX/lib/libsqlite3.a"
  $AR rcs "$PREFIX/lib/libsqlite3.a" "$b/sqlite3.o"
  cp "$amal/sqlite3.h" "$PREFIX/include/"
  [ -f "$amal/sqlite3ext.h" ] && cp "$amal/sqlite3ext.h" "$PREFIX/include/"
  return 0
}

start=$(date +%s)
say "building into $PREFIX (sources in $WORK, nftables=$NFT_MODE)"
rm -f "$STAMP"
rm -rf "$PREFIX/lib" "$PREFIX/include"
mkdir -p "$PREFIX" "$WORK"

sqlite_src=$(fetch sqlite3) || die "cannot fetch the sqlite3 source package"
nft=off
if [ "$NFT_MODE" != off ]; then
  if mnl_src=$(fetch libmnl) && nftnl_src=$(fetch libnftnl); then
    nft=on
  elif [ "$NFT_MODE" = on ]; then
    die "could not fetch the libmnl/libnftnl source packages (PPC_NFTABLES=on)"
  else
    say "WARNING: ************************************************************"
    say "WARNING: the libmnl/libnftnl source packages could not be fetched from"
    say "WARNING: this machine's Debian archive. Building WITHOUT them: configure"
    say "WARNING: with -DSIPTRUNK_WITH_NFTABLES=OFF; the LAN-traffic regulator is"
    say "WARNING: then unavailable on the target. PPC_NFTABLES=on makes this fatal."
    say "WARNING: ************************************************************"
  fi
fi

build_sqlite "$sqlite_src"
if [ "$nft" = on ]; then
  autotools_build libmnl "$mnl_src"
  LIBMNL_CFLAGS="-I$PREFIX/include" LIBMNL_LIBS="-L$PREFIX/lib -lmnl" \
    autotools_build libnftnl "$nftnl_src" --without-json-parsing
fi

libs_present "$nft" || die "build finished but libraries are missing under $PREFIX"
for a in "$PREFIX"/lib/lib*.a; do
  formats=$($HOST-objdump -a "$a" | sed -n 's/.*file format //p' | sort -u)
  [ "$formats" = "elf32-powerpc" ] || die "$a holds '$formats' objects, not 32-bit big-endian PowerPC"
done
echo "$VERSION nftables=$nft" >"$STAMP"
say "done in $(( $(date +%s) - start )) s: $(cd "$PREFIX/lib" && ls lib*.a | tr '\n' ' ')(nftables=$nft)"
