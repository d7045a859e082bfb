# Sourced by the build scripts (tools/build-ppc-deps.sh,
# tools/sqlite-amalgamation.sh): fetches Debian source packages with
# `apt-get source` through an apt configuration of its own under
# $DEBSRC_WORK/apt (source list, index lists, caches). The machine's apt
# configuration (/etc/apt) and state (/var/lib/apt, /var/cache/apt) are only
# read, never written: the deb-src entries are derived from the machine's
# enabled Debian entries of this release (same URIs, suites, components,
# Signed-By) and written into that private directory.
#
# Set DEBSRC_WORK before sourcing; the caller defines say() and die().
#   debsrc_fetch PKG   prints the unpacked source tree of PKG (kept under
#                      $DEBSRC_WORK/PKG and reused by later runs); fails with
#                      a message when the package cannot be had.

: "${DEBSRC_WORK:?DEBSRC_WORK must be set}"
DEBSRC_APT="$DEBSRC_WORK/apt"
DEBSRC_READY=0

debsrc_apt() {
  apt-get -o Dir::Etc::SourceList="$DEBSRC_APT/sources.list" \
          -o Dir::Etc::SourceParts="$DEBSRC_APT/sources.list.d" \
          -o Dir::State::Lists="$DEBSRC_APT/lists" \
          -o Dir::Cache="$DEBSRC_APT/cache" \
          -o APT::Sandbox::User="$(id -un)" \
          -o Debug::NoLocking=1 "$@"
}

# The private source list: deb-src twins of every enabled Debian entry of
# this release (suites named after the codename: bookworm, bookworm-updates,
# bookworm-security). Entries of other archives are left out.
debsrc_write_list() {
  local codename f
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || die "cannot tell the Debian release codename from /etc/os-release"
  rm -rf "$DEBSRC_APT/sources.list.d"
  mkdir -p "$DEBSRC_APT/sources.list.d" "$DEBSRC_APT/lists/partial" "$DEBSRC_APT/cache/archives/partial"
  local deb822_files=() list_files=()
  for f in /etc/apt/sources.list.d/*.sources; do [ -f "$f" ] && deb822_files+=("$f"); done
  [ -f /etc/apt/sources.list ] && list_files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list; do [ -f "$f" ] && list_files+=("$f"); done
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
    ' "${deb822_files[@]}" >"$DEBSRC_APT/sources.list.d/debian-src.sources"
  fi
  : >"$DEBSRC_APT/sources.list"
  if [ ${#list_files[@]} -gt 0 ]; then
    # One-line format: the suite is the field after the URI (options may sit in [ ... ]).
    awk -v codename="$codename" '
      /^[ \t]*deb[ \t]/ {
        line = $0; sub(/^[ \t]*deb/, "deb-src", line)
        rest = $0; sub(/^[ \t]*deb[ \t]+/, "", rest)
        if (rest ~ /^\[/) sub(/^\[[^]]*\][ \t]*/, "", rest)
        split(rest, f, /[ \t]+/)
        if (f[2] ~ ("^" codename "(-[a-z]+)?$")) print line
      }' "${list_files[@]}" >"$DEBSRC_APT/sources.list"
  fi
  [ -s "$DEBSRC_APT/sources.list" ] || [ -s "$DEBSRC_APT/sources.list.d/debian-src.sources" ] ||
    die "found no enabled Debian '$codename' entry in /etc/apt/sources.list{,.d} to mirror as deb-src"
}

# Source indexes, fetched once into the private lists directory.
debsrc_ready() {
  [ "$DEBSRC_READY" = 1 ] && return 0
  if ! ls "$DEBSRC_APT"/lists/*_Sources* >/dev/null 2>&1; then
    debsrc_write_list
    say "apt-get update of the source indexes into $DEBSRC_APT"
    debsrc_apt update -qq >&2 || die "apt-get update (source indexes in $DEBSRC_APT) failed"
  fi
  DEBSRC_READY=1
}

debsrc_tree() {
  find "$DEBSRC_WORK/$1" -mindepth 2 -maxdepth 2 -name debian -type d -printf '%h\n' 2>/dev/null | head -n1
}

debsrc_fetch() {
  local pkg=$1 dir
  dir=$(debsrc_tree "$pkg")
  if [ -n "$dir" ]; then
    say "reusing $dir" >&2
    echo "$dir"
    return 0
  fi
  debsrc_ready >&2
  mkdir -p "$DEBSRC_WORK/$pkg"
  say "apt-get source $pkg" >&2
  if ! (cd "$DEBSRC_WORK/$pkg" && debsrc_apt source -qq "$pkg" >&2); then
    say "apt-get source $pkg failed" >&2
    return 1
  fi
  dir=$(debsrc_tree "$pkg")
  [ -n "$dir" ] || { say "apt-get source $pkg left no source tree in $DEBSRC_WORK/$pkg" >&2; return 1; }
  echo "$dir"
}
