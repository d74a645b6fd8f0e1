#!/usr/bin/env bash
# Builds everything and runs every test stage; ends with one summary line.
#   scripts/test.sh            all stages
#   PTZ_STAGES="unit" scripts/test.sh   only the named stages
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
stages=${PTZ_STAGES:-"unit sanitize tsan"}
results=()
failed=0

say() { printf '\n==== %s\n' "$*"; }

# Debian packages the stages need; installed when missing and running as root.
need_packages() {
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)"; return 1
  fi
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 ||
    { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q "${missing[@]}" >/dev/null; }
}

run_stage() {
  local name=$1; shift
  say "stage $name"
  local start=$SECONDS
  if "$@"; then results+=("$name: passed ($((SECONDS - start)) s)")
  else results+=("$name: FAILED ($((SECONDS - start)) s)"); failed=1; fi
}

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$jobs"
}

stage_unit() {
  build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    ctest --test-dir build/test -j "$jobs" --output-on-failure --timeout 120
}

stage_sanitize() {
  # The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
  build build/asan -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    "-DCMAKE_C_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all" \
    "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 180 -E 'exported_symbols'
}

stage_tsan() {
  # The concurrency tests under ThreadSanitizer.
  build build/tsan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-fsanitize=thread" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure --timeout 180 \
      -R 'Thread|Concurren|Stress'
}

run_stage packages need_packages cmake ninja-build g++ libgtest-dev libgmock-dev
for s in $stages; do run_stage "$s" "stage_$s"; done

say "summary"
printf '%s\n' "${results[@]}"
if [ $failed -eq 0 ]; then echo "ALL STAGES PASSED"; else echo "SOME STAGES FAILED"; fi
exit $failed
