#!/usr/bin/env bash
# The demo behind `make run`: the SIP trunk agent in the foreground with all of
# its state under ./var/, the SIP user agent siptrunk-ua attached (the
# simulator siptrunk-uasim when siptrunk-ua was not built), and the agent's
# trace log on the terminal. The demo store's trunk towards a master points at
# the UA's own registrar on 127.0.0.1:5060, so a real SIP registration (with
# digest authentication) happens at once, in both roles.
#
#   tools/run-demo.sh BUILD_DIR
#
# Ctrl-C (or SIGTERM) stops the agent; the helpers are stopped after it and the
# script exits with the agent's exit status.
set -uo pipefail

if [ $# -ne 1 ] || [ "$1" = "--help" ] || [ "$1" = "-h" ]; then
  echo "usage: $0 BUILD_DIR   (run from the directory that is to hold ./var/)" >&2
  exit 2
fi
BUILD=$(cd "$1" 2>/dev/null && pwd) || { echo "run-demo: no build directory $1" >&2; exit 1; }
AGENT_BIN=$BUILD/siptrunk-agent
CTL=$BUILD/siptrunkctl
UASIM=$BUILD/siptrunk-uasim
UA=$BUILD/siptrunk-ua
[ -x "$UA" ] || UA=
for program in "$AGENT_BIN" "$CTL" "$UASIM"; do
  if [ ! -x "$program" ]; then
    echo "run-demo: $program is missing; build first (make build)" >&2
    exit 1
  fi
done

VAR=$PWD/var
mkdir -p "$VAR/run" "$VAR/lib" "$VAR/log" || exit 1
chmod 0750 "$VAR/run"
export RUNTIME_DIRECTORY=$VAR/run
export STATE_DIRECTORY=$VAR/lib
export LOGS_DIRECTORY=$VAR/log
PID_FILE=$RUNTIME_DIRECTORY/siptrunk-agent.pid
TRACE_LOG=$LOGS_DIRECTORY/siptrunk-agent.log

if [ -s "$PID_FILE" ] && kill -0 "$(cat "$PID_FILE")" 2>/dev/null; then
  echo "run-demo: an agent already runs on $VAR (pid $(cat "$PID_FILE")); stop it first" >&2
  echo "          (RUNTIME_DIRECTORY=$RUNTIME_DIRECTORY $CTL stop)" >&2
  exit 1
fi
rm -f "$PID_FILE"

# siptrunkctl with the agent not running yet: exit status 3 only says that the
# agent will read the change when it starts, which is what we want here.
demo_ctl() {
  local output status=0
  output=$("$CTL" "$@" 2>&1) || status=$?
  if [ $status -ne 0 ] && [ $status -ne 3 ]; then
    echo "$output" >&2
    echo "run-demo: siptrunkctl $* failed (exit status $status)" >&2
    exit 1
  fi
}

if [ ! -e "$STATE_DIRECTORY/siptrunk.db" ]; then
  echo "run-demo: first run: creating a demo store in $STATE_DIRECTORY"
  demo_ctl roles master on
  demo_ctl roles slave on
  demo_ctl trunk add trunk1 alice --password-stdin <<<"secret"
  if [ -n "$UA" ]; then
    # This device's own registrar (the UA, master role) is its master.
    demo_ctl master add uplink alice 127.0.0.1 5060 --enable --password-stdin <<<"secret"
  else
    demo_ctl master add uplink bob 192.0.2.1 5060 --enable --password-stdin <<<"secret2"
  fi
fi

# As root the agent runs in a network namespace of its own, where eth0
# (192.0.2.0/24) is the LAN and wan0 (198.51.100.0/24) the WAN: slaves that
# register from 192.0.2.x are admitted at the regulator there, and the host's
# own nftables ruleset is never touched. Nothing leaves the namespace.
NETNS=
AGENT_CMD=("$AGENT_BIN")
if [ "$(id -u)" = 0 ] && command -v ip >/dev/null; then
  NETNS=siptrunk-demo-$$
  if ip netns add "$NETNS" 2>/dev/null; then
    ip -n "$NETNS" link set lo up
    ip -n "$NETNS" link add eth0 type veth peer name eth0-peer
    ip -n "$NETNS" link add wan0 type veth peer name wan0-peer
    ip -n "$NETNS" addr add 192.0.2.1/24 dev eth0
    ip -n "$NETNS" addr add 198.51.100.1/24 dev wan0
    for link in eth0 eth0-peer wan0 wan0-peer; do ip -n "$NETNS" link set "$link" up; done
    AGENT_CMD=(ip netns exec "$NETNS" "$AGENT_BIN")
  else
    NETNS=
  fi
fi
remove_netns() { [ -z "$NETNS" ] || ip netns del "$NETNS" 2>/dev/null; }

# Job control puts every background job in a process group of its own: the
# agent then starts with the default SIGINT disposition (a non-interactive
# shell would start it with SIGINT ignored).
set -m

HELPERS=()
stop_helpers() {
  local pid
  for pid in "${HELPERS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${HELPERS[@]}"; do wait "$pid" 2>/dev/null; done
  HELPERS=()
}

if [ -n "$UA" ]; then
  # In the agent's namespace when there is one; SIP stays on its loopback.
  UA_CMD=("$UA" --listen 127.0.0.1:5060)
  [ -z "$NETNS" ] || UA_CMD=(ip netns exec "$NETNS" "${UA_CMD[@]}")
  "${UA_CMD[@]}" </dev/null >>"$LOGS_DIRECTORY/siptrunk-ua.out" 2>&1 &
  HELPERS+=($!)
  # The UA's confirmations, in plain words, beside the agent's trace.
  touch "$LOGS_DIRECTORY/siptrunk-ua.log" && chmod 0600 "$LOGS_DIRECTORY/siptrunk-ua.log"
  # (sed reads through a process substitution, so that the helper to stop is
  # tail itself; sed ends with its input.)
  tail -n 0 -F "$LOGS_DIRECTORY/siptrunk-ua.log" 2>/dev/null > >(sed -u -n \
    -e 's/.*UA: confirm master "\([^"]*\)" registered=1 error=0 \([^ ]*\) (\(.*\))$/>>> SIP: slave device "\3" registered account \1 on our registrar from \2/p' \
    -e 's/.*UA: confirm master "\([^"]*\)" registered=0.*/>>> SIP: the binding of account \1 on our registrar ended/p' \
    -e 's/.*UA: confirm slave "\([^"]*\)" registered=1 error=0 \(.*\)$/>>> SIP: registered account \1 on the master at \2/p' \
    -e 's/.*UA: confirm slave "\([^"]*\)" registered=0 error=\([0-9]*\) \(.*\)$/>>> SIP: account \1 is not registered on the master at \3 (error \2)/p') &
  HELPERS+=($!)
else
  "$UASIM" --stay --control "$VAR/uasim.ctl" --auto-confirm-slave --state "$VAR/uasim-state.json" \
    </dev/null >>"$LOGS_DIRECTORY/uasim.log" 2>&1 &
  HELPERS+=($!)
fi

touch "$TRACE_LOG" && chmod 0600 "$TRACE_LOG"
tail -n 0 -F "$TRACE_LOG" 2>/dev/null &
HELPERS+=($!)

# A path relative to here when it is below here, otherwise absolute.
rel() {
  local r
  r=$(realpath --relative-to="$PWD" "$1" 2>/dev/null) || r=$1
  case $r in ../*) echo "$1" ;; *) echo "$r" ;; esac
}
cat <<EOF

=== SIP trunk agent demo ===================================================
State is under $(rel "$VAR")/: store $(rel "$STATE_DIRECTORY")/siptrunk.db, sockets in $(rel "$RUNTIME_DIRECTORY")/,
trace log $(rel "$TRACE_LOG") (shown below, with the SIP user agent's
registrations as ">>> SIP:" lines; its log: $(rel "$LOGS_DIRECTORY")/siptrunk-ua.log).

In a second terminal, from $PWD:
  export RUNTIME_DIRECTORY=$RUNTIME_DIRECTORY
  export STATE_DIRECTORY=$STATE_DIRECTORY
  export LOGS_DIRECTORY=$LOGS_DIRECTORY
  $(rel "$CTL") status                 # roles, trunks, registrations
  $(rel "$CTL") events                 # watch the notifications
$( if [ -n "$UA" ]; then
  printf '%s\n' "  $(rel "$CTL") master disable uplink   # unregister from the master" \
                 "  $(rel "$CTL") master enable uplink    # and register again"
else
  printf '%s\n' "  echo 'confirm master alice secret 192.0.2.10 5060 1 0' > $(rel "$VAR")/uasim.ctl" \
                 "                                       # a slave device registers with trunk1"
fi )
  $(rel "$CTL") trunk add trunk2 carol   # asks for the password
  $(rel "$CTL") --help
$( [ -n "$NETNS" ] && printf '%s\n' "  ip netns exec $NETNS nft list set inet siptrunk lan_slaves   # admitted slaves" )

Ctrl-C here stops the agent.
============================================================================

EOF

"${AGENT_CMD[@]}" &
AGENT=$!
echo "$AGENT" >"$PID_FILE"
set +m  # every job has its group now; no job-status notices on the terminal

forward() { kill "-$1" "$AGENT" 2>/dev/null; }
trap 'forward INT' INT
trap 'forward TERM' TERM
trap 'forward HUP' HUP

status=0
while :; do
  wait "$AGENT"
  status=$?
  # A trapped signal ends the wait early; the agent is then still there.
  kill -0 "$AGENT" 2>/dev/null || break
done
trap - INT TERM HUP

stop_helpers
remove_netns
rm -f "$PID_FILE"
echo "run-demo: the agent ended with exit status $status"
exit "$status"
