#!/usr/bin/env bash
# Builds the library and tools and tries them on the simulated head.
#   scripts/demo.sh [ptzctl commands]   the head simulator on loopback, driven by ptzctl over TCP
#   scripts/demo.sh gateway [PORT]      a moving simulated head behind ptzd: open the printed page
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPTZ_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

if [ "${1:-}" = "gateway" ]; then
  http=${2:-8080}
  sim_out=$(mktemp)
  build/demo/sim/ptz-sim --listen 127.0.0.1:0 >"$sim_out" &
  sim=$!
  trap 'kill $sim $gw 2>/dev/null; wait 2>/dev/null; rm -f "$sim_out"' EXIT INT TERM
  for _ in $(seq 100); do grep -q listening "$sim_out" && break; sleep 0.05; done
  port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$sim_out")
  build/demo/ptzd/ptzd --head demo=tcp:127.0.0.1:$port --listen 127.0.0.1:4001 --http 127.0.0.1:$http &
  gw=$!
  sleep 0.5
  echo
  echo "== a simulated head (ptz-sim on 127.0.0.1:$port) behind ptzd:"
  echo "   control page:    http://127.0.0.1:$http/"
  echo "   API:             curl http://127.0.0.1:$http/api/heads/demo/GetPTPos"
  echo "   metrics:         curl http://127.0.0.1:$http/metrics"
  echo "   head's protocol: build/demo/tools/ptzctl/ptzctl --host 127.0.0.1 --port 4001 pt-get"
  echo "   Ctrl-C stops both."
  wait $gw
  exit 0
fi

echo "== starting the simulated head (ptz-sim) on 127.0.0.1 and running ptzctl against it"
tests/with_sim.sh build/demo/sim/ptz-sim --trace -- \
  build/demo/tools/ptzctl/ptzctl --host 127.0.0.1 --port {PORT} init last-error "$@"
