#!/usr/bin/env bash
# Usage: fuzz/run-fuzz.sh BUILD_DIR SECONDS. Runs every fuzz target for SECONDS on a scratch copy of its seed
# corpus and its crash inputs (fuzz/regressions/<target>/), then replays those; non-zero when one crashed.
# New inputs, crash inputs and logs go under BUILD_DIR/fuzz-work/, never into the repository.
set -uo pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd) || exit 2
work=$build/fuzz-work
targets=(fuzz_model fuzz_ua_packet fuzz_datagram fuzz_route_answer)
# siptrunk-ua's target is built only where sofia-sip is installed.
if [ -x "$build/fuzz/fuzz_ua_register" ]; then targets+=(fuzz_ua_register); fi
status=0
summary=()

extra_flags() { [ "$1" = fuzz_model ] && echo "-max_len=512"; }

for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  [ -x "$binary" ] || { echo "fuzz: $binary is missing; build the target fuzz_targets first" >&2; exit 2; }
  corpus=$work/corpus/$target artifacts=$work/artifacts/$target log=$work/logs/$target.log
  regressions=$root/fuzz/regressions/$target
  rm -rf "$corpus"
  mkdir -p "$corpus" "$artifacts" "$work/logs"
  cp -R "$root/fuzz/corpus/$target/." "$corpus/"
  [ -d "$regressions" ] && cp -R "$regressions/." "$corpus/"
  echo "fuzz: running $target for $2 s (log: $log)"
  # shellcheck disable=SC2046
  "$binary" -max_len=70000 -max_total_time="$2" -timeout=10 -print_final_stats=1 \
    -dict="$root/fuzz/dicts/$target.dict" -artifact_prefix="$artifacts/" $(extra_flags "$target") \
    "$corpus" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ $rc -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: $target crashed; the input is in $artifacts/. Fix it and keep the input in $regressions/." >&2
    summary+=("$target: CRASH after ${runs:-?} executions") status=1
  else
    summary+=("$target: ${runs:-?} executions in $2 s")
  fi
  # Every saved crash input is replayed: a fixed fault stays fixed.
  [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ] || continue
  # shellcheck disable=SC2046
  if "$binary" $(extra_flags "$target") "$regressions"/* >"$log.regressions" 2>&1; then
    summary+=("$target: regression inputs replayed, all pass")
  else
    tail -n 60 "$log.regressions"
    summary+=("$target: a regression input FAILS (log: $log.regressions)") status=1
  fi
done

echo "fuzz: summary"
printf '  %s\n' "${summary[@]}"
exit $status
