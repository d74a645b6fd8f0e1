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
mv "$work/moved" "$work/prefix"

cmake -S "$here/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH=$(dirname "$(ls -d "$work"/prefix/lib*/pkgconfig)")/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/pc-consumer" "$here/consumer/consumer.c" $(pkg-config --cflags --libs ptz)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir ptz) "$work/pc-consumer"
echo "CMake package and pkg-config both work"
