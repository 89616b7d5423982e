#!/usr/bin/env bash
# Usage: install_and_build_example.sh BUILD_DIR EXAMPLE_SOURCE_DIR [CMAKE_OPTION...]
# The options configure the example (a sanitized install needs its flags).
set -euo pipefail
build=$1 example=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/probe_deployer bin/subnet_scout bin/collect_results include/tarnwick_testlibs/aws/services.h \
         include/tarnwick_testlibs/bin/probe_deployer.h lib/pkgconfig/tarnwick_testlibs.pc \
         lib/cmake/tarnwick_testlibs/tarnwick_testlibsConfig.cmake; do
  [ -e "$scratch/prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
# Every header under include/tarnwick_testlibs/, and no internals among them.
stray=$(cd "$scratch/prefix/include" && find . -type f ! -path './tarnwick_testlibs/*' -o -path '*/detail/*' -type f \
        -o -name messages.h)
[ -z "$stray" ] || { echo "installed where it must not be: $stray" >&2; exit 1; }
# The programs' own headers (their mains, command lines and options records) stay behind.
own=$(cd "$scratch/prefix/include" && find . -name run.h -o -name command_line.h -o -name 'subnet_scout*.h' \
      -o -name collect_results.h -o -name collect_results_options.h)
[ -z "$own" ] || { echo "a program's own header is installed: $own" >&2; exit 1; }

cmake -S "$example" -B "$scratch/example" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" "$@" >/dev/null
cmake --build "$scratch/example" >/dev/null

# The installed programs and the example find their libraries without LD_LIBRARY_PATH.
"$scratch/prefix/bin/probe_deployer" --help >/dev/null
"$scratch/prefix/bin/collect_results" --version >/dev/null
set +e
"$scratch/example/collect_results" >/dev/null 2>"$scratch/err"
status=$?
set -e
[ "$status" -eq 2 ] || { echo "collect_results without arguments: status $status" >&2; cat "$scratch/err" >&2; exit 1; }
grep -q "usage: collect_results" "$scratch/err"

# The same program through pkg-config, from the install moved elsewhere: the .pc file must name
# its place relative to itself, every library a header needs, and where to find them at run time.
mv "$scratch/prefix" "$scratch/moved"
export PKG_CONFIG_PATH="$scratch/moved/lib/pkgconfig"
flags=$(printf '%s\n' "$@" | sed -n 's/^-DCMAKE_CXX_FLAGS=//p')
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 $flags "$example/collect_results.cpp" -o "$scratch/pc" $(pkg-config --cflags --libs tarnwick_testlibs)
set +e
env -u LD_LIBRARY_PATH "$scratch/pc" 2>&1 | grep "usage: collect_results" >/dev/null
[ "${PIPESTATUS[0]}${PIPESTATUS[1]}" = 20 ] || { echo "collect_results through pkg-config failed" >&2; exit 1; }
echo "installed package OK"
