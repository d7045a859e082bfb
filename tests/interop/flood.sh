#!/usr/bin/env bash
# Measures siptrunk-ua's memory under a REGISTER flood: SIPp sends RATE REGISTERs a second for SECONDS on
# loopback; prints the UA's resident memory before, at its peak, and the answers SIPp counted.
#   tests/interop/flood.sh BUILD_DIR RATE SECONDS [siptrunk-ua options...]
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 BUILD_DIR RATE SECONDS [UA OPTIONS...]" >&2; exit 2; }
build=$(cd "$1" && pwd); rate=$2; seconds=$3; shift 3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'kill $ua 2>/dev/null; wait $ua 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/log"
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
RUNTIME_DIRECTORY=$work/run LOGS_DIRECTORY=$work/log "$build/siptrunk-ua" --listen 127.0.0.1:$port \
  --transport udp "$@" &
ua=$!
sleep 1
mem() { awk "/^$1/ {print \$2}" /proc/$ua/status; }
before=$(mem VmRSS)
(cd "$work" && timeout $((seconds + 20)) sipp 127.0.0.1:$port -sf "$here/scenarios/flood.xml" -i 127.0.0.1 \
   -r "$rate" -m $((rate * seconds)) -nostdin -nd -recv_timeout 4000 -trace_stat -fd 1 >/dev/null 2>&1) || true
stats=$(ls "$work"/flood_*_.csv 2>/dev/null | head -1 || true)
printf 'siptrunk-ua %s: %s REGISTER/s for %s s\n' "$*" "$rate" "$seconds"
printf '  resident memory: %s KB before, %s KB peak, %s KB after\n' "$before" "$(mem VmHWM)" "$(mem VmRSS)"
[ -n "$stats" ] && awk -F';' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i } END {
  printf "  calls: %s successful, %s failed (SIPp count)\n", $col["SuccessfulCall(C)"], $col["FailedCall(C)"] }' "$stats"
[ -n "${FLOOD_LOG:-}" ] && cp "$work/log/siptrunk-ua.log" "$FLOOD_LOG"
echo "  503 warnings in the log (one per 1000 refused): $(grep -c "503" "$work/log/siptrunk-ua.log")"
echo "  intake stopped $(grep -c "dropping requests" "$work/log/siptrunk-ua.log") times at the bound"
