#!/usr/bin/env bash
# Installs the built project into a temporary prefix and builds a small host
# program against it twice, through the CMake package and through pkg-config;
# both must run (the installed library finds its runtime through $ORIGIN); then runs the installed tool.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)/consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > /dev/null

cmake -S "$source_dir" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/with-cmake" > /dev/null
"$work/with-cmake/consumer"

libdir=$(dirname "$(find "$work/prefix" -name bilateral_filter.pc)")/..
export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -std=c++17 "$source_dir/consumer.cc" -o "$work/with-pkg-config" $(pkg-config --cflags --libs bilateral_filter) \
    -Wl,-rpath,"$(pkg-config --variable=libdir bilateral_filter)"
"$work/with-pkg-config"

# The installed filter library itself looks for its runtime beside it.
readelf -d "$libdir/libbilateral_filter.so" | grep -q 'RUNPATH.*\[\$ORIGIN\]'
# The tool runs from the prefix, finding the libraries through its run-path, with its manual page
# when help2man was there to make it.
if [ -e "$work/prefix/bin/bilateral" ]; then
  readelf -d "$work/prefix/bin/bilateral" | grep -q 'RUNPATH.*\[\$ORIGIN/\.\./lib'
  "$work/prefix/bin/bilateral" --version | grep -q '^bilateral [0-9]'
  "$work/prefix/bin/bilateral" -q --demo "$work/demo"
  test -s "$work/demo/bilateral-demo-output.png"
  if command -v help2man > /dev/null; then test -s "$work/prefix/share/man/man1/bilateral.1"; fi
fi
echo "install and consume OK"
