#!/usr/bin/env bash
# A control plug-in exports `create` and no other dynamic symbol.
set -euo pipefail
lib=$1
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$exported" != "create " ]; then
  echo "FAIL: $lib exports: $exported"
  exit 1
fi
echo "ok: $lib exports only create"
