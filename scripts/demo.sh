#!/usr/bin/env bash
# Builds the library and tools and tries them on the simulated head.
#   scripts/demo.sh [ptzctl commands]   the head simulator on loopback, driven by ptzctl over TCP
#   scripts/demo.sh gateway [PORT]      a moving simulated head behind ptzd: open the printed page
# Run as root on a bare machine, it installs the Debian packages it needs
# (the same lists as scripts/test.sh); otherwise it names what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
gateway=AUTO
if [ "${1:-}" = "gateway" ]; then
  need_packages $(ptz_packages build ptzd) || { echo "demo.sh gateway needs those packages for ptzd"; exit 1; }
  gateway=ON
else
  # The library, the simulator and ptzctl need only the compiler, CMake and Ninja.
  command -v cmake >/dev/null && command -v ninja >/dev/null && command -v g++ >/dev/null ||
    need_packages $(ptz_packages build) || exit 1
  missing=$(missing_packages $(ptz_packages ptzd))
  [ -z "$missing" ] || echo "note: ptzd is not built; for 'scripts/demo.sh gateway' install: $missing"
fi
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPTZ_BUILD_TESTS=OFF -DPTZ_BUILD_PTZD=$gateway >/dev/null
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
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/"$http") 2>/dev/null && break
    kill -0 $gw 2>/dev/null || { echo "ptzd did not start"; exit 1; }
    sleep 0.05
  done
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
