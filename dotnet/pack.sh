#!/usr/bin/env bash
# Makes the NuGet package of the .NET binding, offline, with Debian's nuget:
#   pack.sh OUT_DIR NUSPEC Ptz.Net.dll [RID=NATIVE_LIBRARY]...
# e.g. linux-x64=build/libptz.so.1 win-x86=build/win-i686/ptz.dll
# Each native library goes to runtimes/RID/native under its installed name:
# ptz.dll on Windows; libptz.so.1 on Linux, the name the binding resolves
# "ptz" to (so that the package's own copy is found before any other).
# Prints the package's path.
set -euo pipefail
out=$1 nuspec=$2 assembly=$3
shift 3
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/lib/netstandard2.0" "$out"
cp "$assembly" "$stage/lib/netstandard2.0/"
[ -f "$assembly.config" ] && cp "$assembly.config" "$stage/lib/netstandard2.0/"
for native in "$@"; do
  rid=${native%%=*} file=${native#*=}
  case $rid in
    win-*) name=ptz.dll ;;
    linux-*) name=libptz.so.1 ;;
    *) echo "pack.sh: no native name for $rid" >&2; exit 2 ;;
  esac
  mkdir -p "$stage/runtimes/$rid/native"
  cp -L "$file" "$stage/runtimes/$rid/native/$name"
done
cp "$nuspec" "$stage/Ptz.Net.nuspec"
# nuget keeps its settings under HOME: a scratch one, so nothing outside is read or written.
HOME=$stage/home nuget pack "$stage/Ptz.Net.nuspec" -BasePath "$stage" -OutputDirectory "$out" \
  -NoPackageAnalysis -NonInteractive >"$stage/pack.log" 2>&1 || { cat "$stage/pack.log" >&2; exit 1; }
ls -1 "$out"/Ptz.Net.*.nupkg
