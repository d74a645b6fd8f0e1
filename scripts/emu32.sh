#!/usr/bin/env bash
# Sets up 32-bit Windows programs under emulation, without touching the
# machine's package state: Debian's own i386 Wine, run inside a user-mode
# qemu-i386 (from bookworm-backports), with a native wineserver64. Everything
# is downloaded with a private apt configuration and unpacked into a cache
# folder that later runs reuse.
#   scripts/emu32.sh setup                 download and unpack (once)
#   scripts/emu32.sh run PROGRAM.exe ARGS  run a 32-bit Windows program
#   scripts/emu32.sh stop                  stop the emulated Wine's server
# PTZ_EMU32_DIR names the cache folder (default build/emu32).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${PTZ_EMU32_DIR:-$root/build/emu32}
sysroot=$cache/root
prefix=$cache/prefix
dlls=$sysroot/usr/lib/i386-linux-gnu/wine/i386-windows

apt_private() {
  apt-get -q -o Dir::Etc::SourceList="$cache/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$cache/apt/lists" -o Dir::State::Status="$cache/apt/status" \
    -o Dir::Cache="$cache/apt/cache" -o Dir::Cache::Archives="$cache/apt/archives" \
    -o APT::Architecture=i386 -o APT::Architectures::=i386 -o APT::Architectures::=amd64 \
    -o APT::Install-Recommends=false -o Debug::NoLocking=1 "$@"
}

setup() {
  if [ -f "$cache/.ready" ]; then echo "32-bit emulation ready in $cache"; return 0; fi
  mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial" "$cache/apt/cache" "$sysroot"
  : >"$cache/apt/status"
  # The same mirror this machine's apt already uses. Only the release and its
  # backports (for a qemu-user that runs this Wine): the update suites move
  # under a mirror being synced, and an i386 index that failed to arrive
  # beside its amd64 twin would pair libraries of two versions.
  local mirror keyring=/usr/share/keyrings/debian-archive-keyring.gpg log=$cache/apt/log
  mirror=$(sed -n 's/^URIs: *\(.*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
  mirror=${mirror:-http://deb.debian.org/debian}
  cat >"$cache/apt/sources.list" <<SOURCES
deb [signed-by=$keyring] $mirror bookworm main
deb [signed-by=$keyring] $mirror bookworm-backports main
SOURCES
  : >"$log"
  local try ok=
  for try in 1 2 3; do
    if apt_private update >>"$log" 2>&1; then ok=1; break; fi
    echo "apt update of the private lists failed (try $try of 3)" >&2
    sleep $((try * 10))
  done
  if [ -z "$ok" ] || ! apt_private -y --download-only install wine32:i386 libz-mingw-w64 \
      qemu-user:amd64/bookworm-backports >>"$log" 2>&1 \
    || ! (cd "$cache/apt/archives" && apt_private download wine64:amd64 >>"$log" 2>&1); then
    echo "could not download the emulation's packages; the end of $log:" >&2
    tail -n 15 "$log" >&2
    return 1
  fi
  for deb in "$cache"/apt/archives/*.deb; do dpkg -x "$deb" "$sysroot"; done
  # Wine loads zlib1.dll as one of its own builtins only when it says so,
  # as libwine's install script makes it: the 32 bytes after the first 64
  # of MinGW's zlib1.dll become "Wine builtin DLL" and 16 zero bytes.
  local zlib=$sysroot/usr/i686-w64-mingw32/lib/zlib1.dll out=$dlls/zlib1.dll
  { head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } >"$out"
  make_prefix
  touch "$cache/.ready"
  echo "32-bit emulation ready in $cache ($(du -sh "$cache" | cut -f1))"
}

# A minimal prefix instead of wineboot: the DLLs the programs import, the
# drives, and no update run.
make_prefix() {
  rm -rf "$prefix"
  mkdir -p "$prefix/drive_c/windows/system32" "$prefix/dosdevices"
  local dll
  for dll in ntdll kernelbase kernel32 msvcrt ucrtbase ws2_32 advapi32 sechost user32 gdi32 win32u rpcrt4 \
             iphlpapi nsi dnsapi bcrypt crypt32 mswsock winmm version shlwapi shell32 combase ole32 oleaut32 \
             netapi32 secur32 userenv; do
    [ -f "$dlls/$dll.dll" ] && cp "$dlls/$dll.dll" "$prefix/drive_c/windows/system32/"
  done
  ln -sfn ../drive_c "$prefix/dosdevices/c:"
  ln -sfn / "$prefix/dosdevices/z:"
  echo disable >"$prefix/.update-timestamp"
}

wineserver() { echo "$sysroot/usr/lib/wine/wineserver64"; }

run() {
  [ -f "$cache/.ready" ] || { echo "run scripts/emu32.sh setup first" >&2; return 1; }
  WINEPREFIX=$prefix WINEARCH=win32 WINELOADERNOEXEC=1 WINEDEBUG=${WINEDEBUG:--all} \
    WINESERVER=$(wineserver) WINEDLLOVERRIDES="wineboot.exe=d;winemenubuilder.exe=d;mscoree,mshtml=" \
    "$sysroot/usr/bin/qemu-i386" -L "$sysroot" "$sysroot/usr/lib/wine/wine" "$@"
}

stop() { WINEPREFIX=$prefix "$(wineserver)" -k 2>/dev/null || true; }

case "${1:-}" in
  setup) setup ;;
  run) shift; run "$@" ;;
  stop) stop ;;
  *) echo "usage: $0 setup | run PROGRAM.exe [ARGS] | stop" >&2; exit 2 ;;
esac
