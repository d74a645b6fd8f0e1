#!/usr/bin/env bash
# Builds the library and tools, starts the head simulator on loopback and
# drives it with ptzctl over a TCP link: initialise, read the last error, close.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPTZ_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
echo "== starting the simulated head (ptz-sim) on 127.0.0.1 and running ptzctl against it"
tests/with_sim.sh build/demo/sim/ptz-sim --trace -- \
  build/demo/tools/ptzctl/ptzctl --host 127.0.0.1 --port {PORT} init last-error "$@"
