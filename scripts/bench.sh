#!/usr/bin/env bash
# Measures the library against raw clients and the wire: builds in Release,
# runs every benchmark interleaved and repeated, pinned to one core with the
# simulated heads (separate processes) on the same core, and prints the
# ratios of medians as a table.
#   scripts/bench.sh [repetitions]
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-15}
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPTZ_BENCH=ON -DPTZ_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench --target ptz_bench ptz-sim >/dev/null
out=build/bench/results.json
taskset -c 0 build/bench/bench/ptz_bench --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json >/dev/null 2>&1
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
med = {r["run_name"].split("/")[0]: r for r in runs if r.get("aggregate_name") == "median"}
def t(name): return med[name]["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[med[name]["time_unit"]]
print("| comparison | library (median) | baseline (median) | ratio / excess | target |")
print("|---|---|---|---|---|")
for link, target in (("Tcp", "≤ 1.10×"), ("Pty", "≤ 1.15×")):
    for cmd in ("Initialize", "SystemInfo"):
        lib, raw = t(f"BM_{link}_Library_{cmd}"), t(f"BM_{link}_Raw_{cmd}")
        print(f"| {link.upper()} {cmd} vs raw client | {lib*1000:.1f} µs | {raw*1000:.1f} µs | {lib/raw:.3f}× | {target} |")
for cmd in ("Initialize", "SystemInfo"):
    r = med[f"BM_Paced38400_Library_{cmd}"]
    lib, wire = t(f"BM_Paced38400_Library_{cmd}"), r["wire_ms"]
    print(f"| paced 38400 baud {cmd} vs wire time | {lib:.3f} ms | {wire:.3f} ms | +{lib-wire:.3f} ms | ≤ +0.3 ms |")
allocs = max(r.get("allocs_per_call", 0) for r in med.values())
print(f"| heap allocations per command call | {allocs:g} | | | 0 |")
PY
