#!/usr/bin/env bash
# Installs a build into a throw-away prefix and builds a host project against
# it twice: through the CMake package and through pkg-config.
#   check_install.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
ls "$work"/prefix/lib*/libptz.so.1 >/dev/null
# The installed tools run from wherever the tree is, with no loader path set.
mv "$work/prefix" "$work/moved"
info=$(env -u LD_LIBRARY_PATH "$work/moved/bin/ptzctl" --sim info)
grep -q "text0: PTZ-SIM" <<<"$info"
# The Python package comes with the install and finds the library of its own
# tree, for a Python that has neither pip nor setuptools nor wheel.
py=$(command -v /usr/bin/python3 || command -v python3)
if "$py" -m venv --without-pip "$work/venv" 2>/dev/null; then
  if "$work/venv/bin/python" -c 'import wheel' 2>/dev/null; then echo "the bare venv has wheel"; exit 1; fi
  env -u PTZ_LIBRARY PYTHONPATH="$work/moved/lib/python3/dist-packages" "$work/venv/bin/python" -c '
import ptz
assert ptz.__file__.startswith("'"$work/moved"'"), ptz.__file__
lib = ptz.load_library()
assert lib._name.startswith("'"$work/moved"'"), lib._name
print("installed Python package loads", lib._name)'
else
  echo "python3 -m venv is not available: the installed Python package was not tried"; exit 1
fi
mv "$work/moved" "$work/prefix"

cmake -S "$here/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH=$(dirname "$(ls -d "$work"/prefix/lib*/pkgconfig)")/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/pc-consumer" "$here/consumer/consumer.c" $(pkg-config --cflags --libs ptz)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir ptz) "$work/pc-consumer"
echo "CMake package and pkg-config both work"
