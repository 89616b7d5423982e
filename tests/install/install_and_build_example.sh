#!/usr/bin/env bash
# Usage: install_and_build_example.sh BUILD_DIR EXAMPLE_SOURCE_DIR [CMAKE_OPTION...]
# The options configure the example (a sanitized install needs its flags).
set -euo pipefail
build=$1 example=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/probe_deployer bin/subnet_scout include/tarnwick_testlibs/aws/services.h \
         include/tarnwick_testlibs/bin/probe_deployer.h lib/pkgconfig/tarnwick_testlibs.pc \
         lib/cmake/tarnwick_testlibs/tarnwick_testlibsConfig.cmake; do
  [ -e "$scratch/prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
# Every header under include/tarnwick_testlibs/, and no internals among them.
stray=$(cd "$scratch/prefix/include" && find . -type f ! -path './tarnwick_testlibs/*' -o -path '*/detail/*' -type f)
[ -z "$stray" ] || { echo "installed where it must not be: $stray" >&2; exit 1; }

cmake -S "$example" -B "$scratch/example" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" "$@" >/dev/null
cmake --build "$scratch/example" >/dev/null

# The installed programs and the example find their libraries without LD_LIBRARY_PATH.
"$scratch/prefix/bin/probe_deployer" --help >/dev/null
set +e
"$scratch/example/collect_results" >/dev/null 2>"$scratch/err"
status=$?
set -e
[ "$status" -eq 2 ] || { echo "collect_results without arguments: status $status" >&2; cat "$scratch/err" >&2; exit 1; }
grep -q "usage: collect_results" "$scratch/err"

# The same program through pkg-config, with the install moved elsewhere first: the .pc file
# names its place relative to itself and every library a header needs.
mv "$scratch/prefix" "$scratch/moved"
export PKG_CONFIG_PATH="$scratch/moved/lib/pkgconfig"
flags=""
for option in "$@"; do [[ $option == -DCMAKE_CXX_FLAGS=* ]] && flags=${option#-DCMAKE_CXX_FLAGS=}; done
libdir=$(pkg-config --variable=libdir tarnwick_testlibs)
[ "$(realpath "$libdir")" = "$(realpath "$scratch/moved/lib")" ] || { echo "pkg-config libdir: $libdir" >&2; exit 1; }
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 $flags "$example/collect_results.cpp" -o "$scratch/collect_results_pc" \
  $(pkg-config --cflags --libs tarnwick_testlibs)
set +e
LD_LIBRARY_PATH="$libdir" "$scratch/collect_results_pc" >/dev/null 2>"$scratch/err"
status=$?
set -e
[ "$status" -eq 2 ] || { echo "collect_results (pkg-config) without arguments: status $status" >&2; cat "$scratch/err" >&2; exit 1; }
grep -q "usage: collect_results" "$scratch/err"
echo "installed package OK"
