# The shared start of a demo step that runs inside scripts/isolated. Source it
# from the step with the step's arguments:
#   . "$(dirname "$0")/lib/common.sh" "$@"
# `--help` prints the step's comment block (lines 2-5) and exits; without
# BUILD_DIR and OUTPUT_DIR it prints the same and exits with 2. Sets BUILD,
# OUT and HERE (the demo.d folder).

if [ "${1:-}" = "--help" ] || [ $# -lt 2 ]; then
  sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
  [ "${1:-}" = "--help" ] && exit 0 || exit 2
fi

BUILD=$1
OUT=$2
HERE=$(cd "$(dirname "$0")" && pwd)

# Exits with a message unless every given program is built.
demo_require() {
  local p
  for p in "$@"; do
    [ -x "$p" ] || { echo "   missing $p (build first)"; exit 1; }
  done
}

# Runs the step again inside scripts/isolated, with --inner after its
# arguments.
demo_enter_isolated() {
  mkdir -p "$OUT"
  exec "$HERE/../isolated" bash "$HERE/$(basename "$0")" "$BUILD" "$OUT" --inner
}
