#!/usr/bin/env bash
# Runs a command against a freshly started ptz-sim on loopback.
#   with_sim.sh PTZ_SIM [sim options] -- COMMAND ARGS...
# {PORT} and {CONTROL} in ARGS become the link port and the control port.
set -euo pipefail
sim=$1; shift
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
shift
out=$(mktemp)
"$sim" --listen 127.0.0.1:0 --control 127.0.0.1:0 "${sim_args[@]}" >"$out" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do grep -q control "$out" && break; sleep 0.05; done
port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$out")
control=$(sed -n 's/.*control on [0-9.]*:\([0-9]*\).*/\1/p' "$out")
[ -n "$port" ] || { echo "ptz-sim did not start" >&2; exit 1; }
args=()
for a in "$@"; do a=${a//\{PORT\}/$port}; args+=("${a//\{CONTROL\}/$control}"); done
"${args[@]}"
