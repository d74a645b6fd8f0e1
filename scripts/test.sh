#!/usr/bin/env bash
# Builds everything and runs every test stage; ends with one summary line.
#   scripts/test.sh            all stages
#   PTZ_STAGES="unit" scripts/test.sh   only the named stages
#   PTZ_REPEAT=20 scripts/test.sh       the unit and tsan tests 20 times each (until one fails)
#   PTZ_LOAD=1 scripts/test.sh          with a busy loop on every core meanwhile
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
stages=${PTZ_STAGES:-"unit sanitize tsan stress fuzz windows"}
results=()
failed=0
repeat=()
[ "${PTZ_REPEAT:-1}" -gt 1 ] && repeat=(--repeat "until-fail:$PTZ_REPEAT")

say() { printf '\n==== %s\n' "$*"; }

. scripts/packages.sh

run_stage() {
  local name=$1; shift
  say "stage $name"
  local start=$SECONDS
  if "$@"; then results+=("$name: passed ($((SECONDS - start)) s)")
  else results+=("$name: FAILED ($((SECONDS - start)) s)"); failed=1; fi
}

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  # Native builds insist on the gateway: a missing package fails the stage
  # instead of leaving ptzd and its tests out unnoticed.
  # So does the .NET binding, everywhere (the Windows zips carry it).
  local gateway=-DPTZ_BUILD_PTZD=ON
  case "$*" in *CMAKE_TOOLCHAIN_FILE*) gateway=-DPTZ_BUILD_PTZD=OFF ;; esac
  cmake -S "$root" -B "$dir" -G Ninja "$gateway" -DPTZ_BUILD_DOTNET=ON "$@" >/dev/null && cmake --build "$dir" -j "$jobs"
}

# A download from a registry, tried three times: a mirror's passing
# fault should not fail a stage.
three_tries() {
  local try
  for try in 1 2 3; do
    "$@" && return 0
    [ $try -lt 3 ] && sleep $((try * 10))
  done
  return 1
}

stage_unit() {
  tests/check_tracked.sh &&
  build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
  # ONVIF, VISCA and MQTT clients from npm for the gateway's tests, in a scratch folder.
  three_tries npm install --no-audit --no-fund --silent --prefix build/test/npm onvif@0.8.3 node-onvif@0.1.7 visca-over-ip@1.0.16 mqtt@5.16.1 >/dev/null ||
    { echo "npm could not install the ONVIF, VISCA and MQTT clients"; return 1; }
  # Sofie's playout engine, for its VISCA over IP device: one of its
  # dependencies names a git repository, replaced here by the registry's package.
  mkdir -p build/test/npm-tsr
  printf '%s\n' '{"name": "ptz-visca-client", "private": true,' \
    ' "dependencies": {"timeline-state-resolver": "9.3.2"}, "overrides": {"asn1": "0.2.6"}}' >build/test/npm-tsr/package.json
  (cd build/test/npm-tsr && three_tries npm install --no-audit --no-fund --silent >/dev/null 2>&1) ||
    { echo "npm could not install timeline-state-resolver"; return 1; }
  VISCA_TSR=$root/build/test/npm-tsr/node_modules ONVIF_NPM=$root/build/test/npm ctest --test-dir build/test -j "$jobs" --output-on-failure --timeout 300 -LE stress "${repeat[@]}"
}

stage_fuzz() {
  # libFuzzer, bounded: response bytes into every command through the fake
  # serial link, request bytes into the simulator's frame parser, request
  # bodies into the gateway's ONVIF services. The seed
  # corpus in fuzz/corpus (crash inputs found earlier included) runs first.
  need_packages $(ptz_packages fuzz) || return 1
  local flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -g"
  build build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPTZ_FUZZ=ON -DPTZ_BUILD_TESTS=OFF -DPTZ_BUILD_TOOLS=OFF "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" || return 1
  local seconds=${PTZ_FUZZ_SECONDS:-30} rc=0
  for target in response request soap http_args config feed; do
    local work; work=$(mktemp -d)
    cp fuzz/corpus/$target/* "$work/"
    echo "fuzzing $target for ${seconds}s"
    if ! build/fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
         -artifact_prefix=build/fuzz/${target}- "$work" >build/fuzz/$target.log 2>&1; then
      rc=1
      echo "FUZZER FOUND A FAILURE; the input is in build/fuzz/$target-*; add it to fuzz/corpus/$target"
      grep -E 'ERROR|SUMMARY|Test unit written' build/fuzz/$target.log | head -20
    fi
    grep -E 'stat::number_of_executed_units' build/fuzz/$target.log
    rm -rf "$work"
  done
  return $rc
}

stage_stress() {
  # Eight threads per link with injected faults, then 10,000 open/close cycles.
  build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    PTZ_STRESS_SECONDS=${PTZ_STRESS_SECONDS:-20} build/test/tests/ptz_stress
}

stage_sanitize() {
  # The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
  build build/asan -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    "-DCMAKE_C_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all" \
    "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      PTZ_STRESS_SECONDS=4 PTZ_STRESS_CYCLES=1000 ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 180 -E 'exported_symbols|install_and_consume|python_binding|dotnet_|ptzd_gateway|ptzd_protocols|ptzd_abuse'
}

stage_tsan() {
  # The concurrency tests under ThreadSanitizer.
  build build/tsan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-fsanitize=thread" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" &&
    TSAN_OPTIONS=halt_on_error=1 PTZ_STRESS_SECONDS=4 PTZ_STRESS_CYCLES=500 \
      ctest --test-dir build/tsan --output-on-failure --timeout 300 -R 'Thread|^stress$' "${repeat[@]}"
}

stage_windows() {
  # Both DLLs cross-built with MinGW-w64; their export tables checked; a
  # 32-bit C host linked against the stdcall import library; the test suite
  # as a 64-bit Windows program under Wine against ptz-sim running natively.
  need_packages $(ptz_packages windows) || return 1
  local wine=/usr/lib/wine/wine64
  [ -x "$wine" ] || wine=$(command -v wine64 || true)
  build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return 1  # the native simulator
  # Default options for both toolchains: the DLL, ptzctl.exe and the tests.
  build build/win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake &&
  build build/win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake || return 1
  tests/check_dll_exports.sh i686-w64-mingw32-objdump build/win-i686/ptz.dll exports/ptz.def &&
  tests/check_dll_exports.sh x86_64-w64-mingw32-objdump build/win-x86_64/ptz.dll exports/ptz.def || return 1
  for arch in i686 x86_64; do
    (cd build/win-$arch && rm -f ptz-*.zip && cpack -G ZIP >/dev/null && ls -1 "$PWD"/ptz-*.zip &&
      python3 -m zipfile -l ptz-*.zip | grep 'bin/ptzctl.exe' >/dev/null) || { echo "the $arch zip lacks ptzctl.exe"; return 1; }
  done
  for arch in i686 x86_64; do
    python3 -m zipfile -l build/win-$arch/ptz-*.zip | grep -q 'bin/Ptz.Net.dll' ||
      { echo "the $arch zip lacks Ptz.Net.dll beside the DLLs"; return 1; }
  done
  # The .NET binding's NuGet package with all three native libraries.
  local nupkg
  nupkg=$(dotnet/pack.sh build/nuget build/win-x86_64/dotnet/Ptz.Net.nuspec build/test/dotnet/Ptz.Net.dll \
    linux-x64=build/test/libptz.so.1 win-x86=build/win-i686/ptz.dll win-x64=build/win-x86_64/ptz.dll) &&
    dotnet/check_package.sh "$nupkg" linux-x64 win-x86 win-x64 || return 1
  i686-w64-mingw32-gcc -std=c99 -Wall -Werror -Iinclude -o build/win-i686/c_host.exe examples/c_host.c \
    build/win-i686/ptz.lib && echo "32-bit C host links against the stdcall import library" || return 1

  if [ -z "$wine" ]; then echo "WINE IS NOT AVAILABLE: the Windows tests cannot run"; return 1; fi
  local prefix; prefix=$(mktemp -d /tmp/ptz-wine.XXXXXX)
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if ! timeout 300 "$wine" wineboot -i >/dev/null 2>&1; then
    echo "WINE CANNOT START ON THIS MACHINE: the Windows tests did not run"; rm -rf "$prefix"; return 1
  fi
  cp build/win-x86_64/ptz.dll build/win-x86_64/tests/
  # A COM port mapped onto a pseudo-terminal served by the simulator.
  local ptyout; ptyout=$(mktemp)
  build/test/sim/ptz-sim --instant --pty >"$ptyout" & local ptypid=$!
  for _ in $(seq 50); do grep -q pty "$ptyout" && break; sleep 0.1; done
  ln -sf "$(awk '{print $2}' "$ptyout")" "$prefix/dosdevices/com42"
  local rc=0
  (cd build/win-x86_64/tests &&
    "$root/tests/with_sim.sh" "$root/build/test/sim/ptz-sim" -- \
      env PTZ_SIM=127.0.0.1:{PORT}:{CONTROL} PTZ_SIM2=127.0.0.1:{PORT2}:{CONTROL2} PTZ_PTY_COM=42 \
      timeout 600 "$wine" ptz_tests.exe) || rc=1
  # A host that loads ptz.dll at run time, by name and by ordinal.
  x86_64-w64-mingw32-gcc -std=c99 -Wall -Werror -Iinclude -o build/win-x86_64/tests/dynamic_host.exe \
    examples/dynamic_host.c || rc=1
  (cd build/win-x86_64/tests && "$root/tests/with_sim.sh" "$root/build/test/sim/ptz-sim" -- \
    timeout 120 "$wine" dynamic_host.exe ptz.dll 127.0.0.1 {PORT}) || rc=1
  # ptzctl.exe as a Windows user runs it, against the native simulator.
  cp build/win-x86_64/tools/ptzctl/ptzctl.exe build/win-x86_64/tests/
  (cd build/win-x86_64/tests && "$root/tests/with_sim.sh" "$root/build/test/sim/ptz-sim" -- \
    timeout 120 "$wine" ptzctl.exe --host 127.0.0.1 --port {PORT} init pt-set 1 1000 -500 pt-get) |
    tr -d '\r' | tee build/win-x86_64/ptzctl.log
  grep -q '^pan 1000$' build/win-x86_64/ptzctl.log && grep -q '^pt-get: OK$' build/win-x86_64/ptzctl.log &&
    echo "ptzctl.exe drove the simulator" || { echo "ptzctl.exe FAILED under Wine"; rc=1; }
  (cd build/win-x86_64/tests && timeout 60 "$wine" ptzctl.exe --host 127.0.0.1 --port 1 init) |
    tr -d '\r' >build/win-x86_64/ptzctl-refused.log || true  # exits 1: the open failed, as it should
  grep -q 'could not connect (kind 2, code 10061)' build/win-x86_64/ptzctl-refused.log &&
    echo "ptzctl.exe explains a refused connection" ||
    { cat build/win-x86_64/ptzctl-refused.log; echo "ptzctl.exe does not explain a refused connection"; rc=1; }
  kill $ptypid 2>/dev/null; wait $ptypid 2>/dev/null
  WINEPREFIX=$prefix "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  rm -rf "$prefix" "$ptyout"
  windows32 || rc=1
  return $rc
}

windows32() {
  # The 32-bit DLL executed for real: Debian's i386 Wine inside a user-mode
  # qemu-i386, set up privately in build/emu32 (scripts/emu32.sh), runs the
  # i686 test program against the native simulators and a stack check of
  # every export; a static check reads every export's return instruction.
  say "32-bit Windows programs under emulation"
  local t32=build/win-i686/tests
  tests/check_stdcall_rets.sh i686-w64-mingw32-objdump build/win-i686/ptz.dll build/win-i686/ptz.def || return 1
  if ! scripts/emu32.sh setup; then echo "THE 32-BIT EMULATION COULD NOT BE SET UP"; return 1; fi
  sed -n 's/^[ \t]*\(PTZ_[A-Za-z]*\)@\([0-9]*\)[ \t]*@\([0-9]*\).*/{"\1", \3, \2},/p' build/win-i686/ptz.def \
    >build/win-i686/exports.h
  i686-w64-mingw32-gcc -std=c99 -O1 -Wall -Werror -Ibuild/win-i686 -o $t32/stack_check.exe tests/stack_check.c || return 1
  cp build/win-i686/ptz.dll $t32/
  local rc=0 out
  out=$(cd $t32 && timeout 120 "$root/scripts/emu32.sh" run stack_check.exe ptz.dll 2>&1) || rc=1
  echo "$out"
  grep -q "63 exports called by ordinal and name as stdcall: the stack is intact" <<<"$out" ||
    { echo "THE 32-BIT STACK CHECK DID NOT RUN OR FAILED"; rc=1; }
  # A COM port of the emulated Wine mapped onto a simulator's pseudo-terminal.
  local ptyout; ptyout=$(mktemp)
  build/test/sim/ptz-sim --instant --pty >"$ptyout" & local ptypid=$!
  for _ in $(seq 50); do grep -q pty "$ptyout" && break; sleep 0.1; done
  ln -sf "$(awk '{print $2}' "$ptyout")" build/emu32/prefix/dosdevices/com42
  (cd $t32 && "$root/tests/with_sim.sh" "$root/build/test/sim/ptz-sim" -- \
    env PTZ_SIM=127.0.0.1:{PORT}:{CONTROL} PTZ_SIM2=127.0.0.1:{PORT2}:{CONTROL2} PTZ_PTY_COM=42 \
    timeout 900 "$root/scripts/emu32.sh" run ptz_tests.exe) >build/win-i686/tests32.log 2>&1 || rc=1
  grep -E '^\[  (PASSED|FAILED) |tests? from .* ran' build/win-i686/tests32.log | tail -3
  grep -q '^\[  PASSED  \]' build/win-i686/tests32.log ||
    { tail -40 build/win-i686/tests32.log; echo "THE 32-BIT TEST PROGRAM DID NOT RUN OR FAILED"; rc=1; }
  kill $ptypid 2>/dev/null; wait $ptypid 2>/dev/null
  rm -f "$ptyout"
  scripts/emu32.sh stop
  return $rc
}

run_stage packages need_packages $(ptz_packages build tests ptzd checks dotnet)
loaders=()
if [ "${PTZ_LOAD:-0}" = 1 ]; then
  for _ in $(seq "$jobs"); do (while :; do :; done) & loaders+=($!); done
  say "a busy loop on each of $jobs cores: ${loaders[*]}"
fi
for s in $stages; do run_stage "$s" "stage_$s"; done
[ ${#loaders[@]} -gt 0 ] && kill "${loaders[@]}" 2>/dev/null

say "summary"
printf '%s\n' "${results[@]}"
if [ $failed -eq 0 ]; then echo "ALL STAGES PASSED"; else echo "SOME STAGES FAILED"; fi
exit $failed
