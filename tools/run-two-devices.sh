#!/usr/bin/env bash
# The demo behind `make demo`: a master and a slave device, each its own
# siptrunk-agent and siptrunk-ua in its own network namespace, on one LAN
# (192.0.2.0/24) with an intruder host; prints each step in plain words and
# removes every namespace, process and file it made, also on Ctrl-C.
#
#   tools/run-two-devices.sh BUILD_DIR      (root only)
set -u
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "run-two-devices: needs root (it creates network namespaces and an nftables ruleset); try: sudo make demo" >&2
  exit 1
fi
exec /usr/bin/python3 "$(dirname "$0")/../tests/interop/twodevices.py" "$1"
