#!/usr/bin/env bash
# Nothing generated may be tracked: build trees, caches, objects, libraries,
# packages, Python build leftovers. (Skipped outside a git checkout.)
set -euo pipefail
cd "$(dirname "$0")/.."
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || { echo "not a git checkout: nothing to check"; exit 0; }
generated=$(git ls-files | grep -E '(^|/)(build[^/]*|out|__pycache__|[^/]*\.egg-info)/|CMakeCache\.txt$|\.(o|obj|a|so(\.[0-9.]+)?|dll|exe|lib|pyc|deb|zip)$' || true)
if [ -n "$generated" ]; then
  echo "generated files are tracked:"; echo "$generated" | head -20; exit 1
fi
echo "nothing generated is tracked ($(git ls-files | wc -l) files)"
