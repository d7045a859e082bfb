#!/usr/bin/env bash
# tests/package/check_units.sh ROOT [TEMPLATE.service...]: every systemd unit in ROOT (an unpacked package or a
# DESTDIR) passes `systemd-analyze verify` and its offline `systemd-analyze security` exposure stays within its
# limit. A TEMPLATE whose program was not built is checked alone, /bin/true to run.
set -euo pipefail

ROOT=$(realpath "${1:?usage: $0 ROOT [TEMPLATE.service...]}")
shift
declare -A LIMIT=([siptrunk-agent]=2.0 [siptrunk-ua]=3.0)

if ! command -v systemd-analyze >/dev/null; then
  echo "check_units: SKIPPED: systemd-analyze is missing (Debian package systemd)"
  exit 0
fi
units=$(find "$ROOT" -path '*/systemd/system/*.service' | sort)
[ -n "$units" ] || { echo "check_units: no unit below $ROOT" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for template in "$@"; do
  name=$(basename "$template" .service)
  grep -q "/$name.service\$" <<<"$units" || units+=$'\n'$template
done
for unit in $units; do
  name=$(basename "$unit" .service)
  # verify wants ExecStart= to exist: point it into ROOT; man pages from ROOT.
  case $unit in
    "$ROOT"/*) sed "s|^ExecStart=|ExecStart=$ROOT|" "$unit" >"$scratch/$name.service" ;;
    *) echo "check_units: $name: not built; checking its template"
       sed "s|^ExecStart=.*|ExecStart=/bin/true|; s|^Documentation=.*||" "$unit" >"$scratch/$name.service" ;;
  esac
  if ! out=$(MANPATH=$ROOT/usr/share/man systemd-analyze verify "$scratch/$name.service" 2>&1) || [ -n "$out" ]; then
    echo "check_units: $name: systemd-analyze verify:"; echo "$out"; failed=1
    continue
  fi
  report=$(systemd-analyze security --offline=yes "$scratch/$name.service" 2>&1 || true)
  score=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' <<<"$report")
  limit=${LIMIT[$name]:-2.0}
  if [ -z "$score" ] || awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s > l) }'; then
    echo "check_units: $name: exposure '$score' is not within $limit:"; grep '✗' <<<"$report"; failed=1
  else
    echo "check_units: $name: verify clean, exposure $score (limit $limit)"
  fi
done
exit $failed
