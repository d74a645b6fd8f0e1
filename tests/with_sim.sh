#!/usr/bin/env bash
# Runs a command against a freshly started ptz-sim on loopback.
#   with_sim.sh PTZ_SIM [sim options] -- COMMAND ARGS...
# {PORT} and {CONTROL} in ARGS become the link port and the control port;
# {PORT2} and {CONTROL2}, when used, those of a second, independent ptz-sim.
set -euo pipefail
sim=$1; shift
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
shift
pids=()
outs=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null; wait $p 2>/dev/null; done; rm -f "${outs[@]}"' EXIT

# Starts one simulator; sets $port and $control.
start_sim() {
  local out; out=$(mktemp)
  outs+=("$out")
  "$sim" --instant --listen 127.0.0.1:0 --control 127.0.0.1:0 "${sim_args[@]}" >"$out" &
  pids+=($!)
  for _ in $(seq 100); do grep -q control "$out" && break; sleep 0.05; done
  port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$out")
  control=$(sed -n 's/.*control on [0-9.]*:\([0-9]*\).*/\1/p' "$out")
  [ -n "$port" ] || { echo "ptz-sim did not start" >&2; exit 1; }
}

start_sim
port1=$port control1=$control
port2="" control2=""
if [[ "$*" == *"{PORT2}"* ]]; then start_sim; port2=$port control2=$control; fi
args=()
for a in "$@"; do
  a=${a//\{PORT2\}/$port2}; a=${a//\{CONTROL2\}/$control2}
  a=${a//\{PORT\}/$port1}; args+=("${a//\{CONTROL\}/$control1}")
done
"${args[@]}"
