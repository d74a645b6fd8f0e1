#!/usr/bin/env bash
# Checks a built ptz.dll's export table against exports/ptz.def: every name
# with exactly its ordinal, nothing else, and no decorated (_PTZ_x@N) name.
#   check_dll_exports.sh OBJDUMP DLL DEF
set -euo pipefail
objdump=$1 dll=$2 def=$3
expected=$(awk '/^[ \t]+PTZ_/ { sub("@", "", $2); print $2, $1 }' "$def" | sort -n)
# objdump -p lists "[index] name" with the index counted from the ordinal base.
base=$("$objdump" -p "$dll" | sed -n 's/^Ordinal Base[ \t]*\([0-9]*\).*/\1/p')
actual=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[ \t]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | awk -v b="$base" '{ print $1 + b, $2 }' | sort -n)
if [ "$expected" != "$actual" ]; then
  echo "export table of $dll differs from $def:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
if "$objdump" -p "$dll" | grep -q 'PTZ_[A-Za-z]*@'; then
  echo "decorated names leak from $dll"; exit 1
fi
echo "$dll: $(echo "$actual" | wc -l) exports, names and ordinals exact"
