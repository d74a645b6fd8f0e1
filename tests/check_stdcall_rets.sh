#!/usr/bin/env bash
# Static check of the 32-bit DLL's calling convention: every export's code
# returns with "ret N", N = 4 x its argument count (stdcall: the callee
# removes its arguments), and never with a bare "ret" (cdecl).
#   check_stdcall_rets.sh OBJDUMP DLL DECORATED_DEF
# DECORATED_DEF is the build's ptz.def with names like PTZ_DevOpen@4.
set -euo pipefail
objdump=$1 dll=$2 def=$3
listing=$(mktemp)
trap 'rm -f "$listing"' EXIT
"$objdump" -d --no-show-raw-insn "$dll" >"$listing"
failed=0 checked=0
while read -r name bytes; do
  # The function's body: from its label to the next label.
  body=$(awk -v label="<_${name}@${bytes}>:" '
    index($0, label) { inside = 1; next }
    inside && /^[0-9a-f]+ <.*>:$/ { exit }
    inside { print }' "$listing")
  if [ -z "$body" ]; then echo "$name: no code found for _${name}@${bytes}"; failed=1; continue; fi
  rets=$(grep -E '\sret\b' <<<"$body" || true)
  if [ "$bytes" -eq 0 ]; then
    bad=$(grep -vE '\sret\s*$' <<<"$rets" || true)
  else
    bad=$(grep -vE "\\sret\\s+\\\$0x$(printf '%x' "$bytes")\\s*$" <<<"$rets" || true)
  fi
  if [ -z "$rets" ] || [ -n "$bad" ]; then
    echo "$name: expected every return to be ret $bytes; found:"; echo "${rets:-  (no ret)}"; failed=1
  fi
  checked=$((checked + 1))
done < <(sed -n 's/^[ \t]*\(PTZ_[A-Za-z]*\)@\([0-9]*\)[ \t].*/\1 \2/p' "$def")
[ "$checked" -gt 0 ] || { echo "no exports found in $def"; exit 1; }
[ $failed -eq 0 ] && echo "$dll: all $checked exports return with ret 4 x their argument count"
exit $failed
