#!/usr/bin/env bash
# The plug-in library exports exactly one function: create.
#   exports_test.sh <plug-in .so>
set -euo pipefail
symbols=$(nm -D --defined-only "$1" | awk '{print $3}')
if [ "$symbols" != "create" ]; then
  echo "exported symbols of $1:"; echo "$symbols"; exit 1
fi
nm -D --defined-only "$1" | grep -q ' T create$' || { echo "create is not a function"; exit 1; }
echo "only create is exported"
