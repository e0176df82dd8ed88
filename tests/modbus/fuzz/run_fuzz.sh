#!/usr/bin/env bash
# run_fuzz.sh SOURCE_DIR BUILD_DIR [libFuzzer options...]
# Builds the fuzz target in BUILD_DIR with clang (incrementally) and runs it
# on a copy of the seed corpus with the given options. Meant to run inside
# scripts/isolated. Exits 0 without running when clang is not installed.
set -euo pipefail
if [ $# -lt 2 ] || [ "$1" = "--help" ]; then
  sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
src=$1 build=$2
shift 2
if ! command -v clang++ > /dev/null; then
  echo "run_fuzz: clang++ not installed; skipping"
  exit 0
fi
cmake -S "$src" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target fuzz_modbus_receive -j2 > "$build.build.log" 2>&1 || { tail -40 "$build.build.log"; exit 1; }
corpus=$(mktemp -d)
cp "$src"/corpus/* "$corpus"/
"$build"/fuzz_modbus_receive "$@" "$corpus"
rm -rf "$corpus"
