#!/usr/bin/env bash
# Measures the library against raw clients and the wire: builds in Release,
# runs every benchmark interleaved and repeated, and prints the ratios of
# medians as a table. The single-link comparisons run pinned to one core
# with the simulated heads (separate processes) on the same core; the
# scaling comparisons (several links, several threads) use every core.
#   scripts/bench.sh [repetitions]
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-15}
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPTZ_BENCH=ON -DPTZ_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench --target ptz_bench ptz-sim >/dev/null
out=build/bench/results.json
scaled=build/bench/scaling.json
# Inside a network namespace with only loopback: nothing leaves the machine
# (the ONVIF gateway's discovery multicast included).
taskset -c 0 tests/in_netns.sh build/bench/bench/ptz_bench --benchmark_repetitions="$reps" --benchmark_filter='^BM_(Tcp|Pty|Paced|Gateway_Tcp)' \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json >/dev/null 2>&1
tests/in_netns.sh build/bench/bench/ptz_bench --benchmark_repetitions="$(( (reps + 2) / 3 ))" --benchmark_filter='^BM_(Scale|Gateway_Paced|Gateway_Http|Onvif|Visca|Mqtt|Rotctld|Geo)' \
  --benchmark_report_aggregates_only=true --benchmark_out="$scaled" --benchmark_out_format=json >/dev/null 2>&1
python3 - "$out" "$scaled" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"] + json.load(open(sys.argv[2]))["benchmarks"]
med = {r["run_name"]: r for r in runs if r.get("aggregate_name") == "median"}
med.update({r["run_name"].split("/")[0]: r for r in runs if r.get("aggregate_name") == "median" and "threads" not in r["run_name"]})
def t(name): return med[name]["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[med[name]["time_unit"]]
print("| comparison | library (median) | baseline (median) | ratio / excess | target |")
print("|---|---|---|---|---|")
for link, target in (("Tcp", "≤ 1.10×"), ("Pty", "≤ 1.15×")):
    for cmd in ("Initialize", "SystemInfo"):
        lib, raw = t(f"BM_{link}_Library_{cmd}"), t(f"BM_{link}_Raw_{cmd}")
        print(f"| {link.upper()} {cmd} vs raw client | {lib*1000:.1f} µs | {raw*1000:.1f} µs | {lib/raw:.3f}× | {target} |")
lib, raw = t("BM_Tcp_Handle_Initialize"), t("BM_Tcp_Raw_Initialize")
print(f"| TCP Initialize by handle vs raw client | {lib*1000:.1f} µs | {raw*1000:.1f} µs | {lib/raw:.3f}× | ≤ 1.05× |")
for cmd in ("Initialize", "SystemInfo"):
    r = med[f"BM_Paced38400_Library_{cmd}"]
    lib, wire = t(f"BM_Paced38400_Library_{cmd}"), r["wire_ms"]
    print(f"| paced 38400 baud {cmd} vs wire time | {lib:.3f} ms | {wire:.3f} ms | +{lib-wire:.3f} ms | ≤ +0.3 ms |")
one = med["BM_Scale_Paced38400_Initialize/min_time:1.000/real_time/threads:1"]
eight = med["BM_Scale_Paced38400_Initialize/min_time:1.000/real_time/threads:8"]
wire = 8 * 10 / 38.4  # the 8 answer bytes at 38400 baud
per_call = 8 / eight["items_per_second"] * 1000  # each of the 8 threads waits this long per call
print(f"| 8 paced heads, 8 threads: each call vs wire time | {per_call:.3f} ms | {wire:.3f} ms | +{per_call-wire:.3f} ms | ≤ +0.3 ms |")
print(f"| 8 paced heads, 8 threads: calls/s vs 8 × one head's | {eight['items_per_second']:.0f}/s | {8*one['items_per_second']:.0f}/s | {eight['items_per_second']/(8*one['items_per_second']):.3f}× | ≥ 0.90× |")
one, two = med["BM_Scale_Tcp_Initialize/real_time/threads:1"], med["BM_Scale_Tcp_Initialize/real_time/threads:2"]
print(f"| 2 TCP heads, 2 threads: calls/s vs one head's | {two['items_per_second']:.0f}/s | {one['items_per_second']:.0f}/s | {two['items_per_second']/one['items_per_second']:.2f}× | ≥ 1.8× |")
if "BM_Gateway_Tcp_Native_Initialize" in med:
    gw, raw = t("BM_Gateway_Tcp_Native_Initialize"), t("BM_Tcp_Raw_Initialize")
    print(f"| through ptzd to a TCP head: Initialize vs raw loopback | {gw*1000:.1f} µs | {raw*1000:.1f} µs | {gw/raw:.2f}× | ≤ 2.2× |")
    gw = t("BM_Gateway_Paced38400_Native_Initialize")
    print(f"| through ptzd to a paced 38400 baud pty head vs wire time | {gw:.3f} ms | {8*10/38.4:.3f} ms | +{gw-8*10/38.4:.3f} ms | ≤ +0.5 ms |")
    one = med["BM_Gateway_Http_GetPTPos/real_time/threads:1"]
    sixteen = med["BM_Gateway_Http_GetPTPos/real_time/threads:16"]
    print(f"| HTTP GET GetPTPos through ptzd (one client, keep-alive) | {t(one['run_name'])*1000:.0f} µs | | | < 1 ms |")
    print(f"| HTTP GET GetPTPos, 16 concurrent clients | {sixteen['items_per_second']:.0f} requests/s | | | (reported) |")
if "BM_Onvif_AbsoluteMove" in med:
    print(f"| ONVIF AbsoluteMove round trip (the frame is at the head before the answer) | {t('BM_Onvif_AbsoluteMove')*1000:.0f} µs | | | < 1 ms |")
    poll = next(r for r in runs if r["run_name"].startswith("BM_Onvif_GetStatus_Polling"))
    print(f"| 32 ONVIF clients polling GetStatus for 30 s | {poll['items_per_second']:.0f} requests/s, {poll.get('errors', 0):g} errors | | | 0 errors |")
    frigate = next((r for r in runs if r["run_name"].startswith("BM_Onvif_GetStatus_Frigate1000Hz")), None)
    if frigate:
        print(f"| one client polling GetStatus at 1,000/s for a minute, a fresh WS-Security token each (Frigate) | "
              f"{frigate.get('per_second', 0):.0f} requests/s, {frigate.get('refused', 0):g} refused, {frigate.get('failed', 0):g} failed | | | 0 refused |")
    paced = next((r for r in runs if r["run_name"].startswith("BM_Onvif_GetStatus_Pollers10Hz")), None)
    if paced:
        print(f"| 32 ONVIF clients each polling GetStatus at 10 Hz: an answer's time | median {paced['median_ms']:.2f} ms,"
              f" 99th percentile {paced['p99_ms']:.2f} ms, {paced.get('errors', 0):g} errors | | | median < 1 ms |")
if "BM_Visca_Stop_AckAndWire/iterations:200/manual_time" in med:
    v = med["BM_Visca_Stop_AckAndWire/iterations:200/manual_time"]
    print(f"| VISCA over IP: ACK of a command (median) | {v['ack_ms']*1000:.0f} µs | | | < 1 ms |")
    print(f"| VISCA over IP: command to its frame on the head's wire (median) | {v['wire_ms']*1000:.0f} µs | | | < 1 ms |")
    c = med["BM_Visca_Completion_AfterSettling/iterations:30/manual_time"]
    print(f"| VISCA over IP: Completion after the head came to rest (median) | {c['lag_ms']:.0f} ms | | | < 100 ms |")
rot = [r for r in runs if r["run_name"].startswith("BM_Rotctld_SetPos_ToWire")]
if rot:
    print(f"| rotctld: `P az el` → its frame on the head's wire (median) | {rot[0]['wire_ms']:.2f} ms | | | < 1 ms |")
geo = [r for r in runs if r["run_name"].startswith("BM_Geo_PointAt")]
if geo:
    print(f"| a geo move's computation (place → azimuth/elevation → pan/tilt) | {geo[0]['real_time']:.2f} {geo[0]['time_unit']} | | | < 10 µs |")
mqtt = [r for r in runs if r["run_name"].startswith("BM_Mqtt_Command_ToWire")]
if mqtt:
    print(f"| MQTT: a pan command published → its frame on the head's wire, through a local mosquitto (median) | {mqtt[0]['wire_ms']:.2f} ms | | | < 2 ms |")
for r in runs:
    if r["run_name"].startswith("BM_Mqtt_State_64Heads/"):
        on = "/1/" in r["run_name"]
        print(f"| ptzd's CPU with 64 heads, MQTT {'on (state, links, events, discovery)' if on else 'off'} | {r['cpu_percent']:.1f} % of a core | | | (reported) |")
allocs = max(r.get("allocs_per_call", 0) for r in med.values())
print(f"| heap allocations per command call | {allocs:g} | | | 0 |")
PY
