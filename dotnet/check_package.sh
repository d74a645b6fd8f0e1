#!/usr/bin/env bash
# Checks a NuGet package of the binding holds exactly the files it should:
#   check_package.sh PACKAGE RID...
# (NuGet's own bookkeeping entries aside). The assembly must be loadable as
# a library, each native library a shared object of its platform.
set -euo pipefail
package=$1; shift
expected=(lib/netstandard2.0/Ptz.Net.dll lib/netstandard2.0/Ptz.Net.dll.config Ptz.Net.nuspec)
for rid in "$@"; do
  case $rid in
    win-*) expected+=("runtimes/$rid/native/ptz.dll") ;;
    *) expected+=("runtimes/$rid/native/libptz.so.1") ;;
  esac
done
listed=$(python3 - "$package" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for name in z.namelist():
        if not (name.startswith(("_rels/", "package/")) or name == "[Content_Types].xml"):
            print(name)
PY
)
diff <(printf '%s\n' "${expected[@]}" | sort) <(sort <<<"$listed") ||
  { echo "$package: the files above differ from the layout expected"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -m zipfile -e "$package" "$work"
for rid in "$@"; do
  case $rid in
    win-x86) want="PE32 executable.*Intel 80386" ;;
    win-x64) want="PE32\+ executable.*x86-64" ;;
    linux-x64) want="ELF 64-bit LSB shared object, x86-64" ;;
  esac
  f=$(ls "$work"/runtimes/$rid/native/*)
  file -b "$f" | grep -Eq "$want" || { echo "$f is not a $rid library: $(file -b "$f")"; exit 1; }
done
file -b "$work/lib/netstandard2.0/Ptz.Net.dll" | grep -q "Mono/.Net assembly" ||
  { echo "Ptz.Net.dll is not a .NET assembly"; exit 1; }
echo "$package: $(wc -l <<<"$listed") files, as expected for ${*}"
