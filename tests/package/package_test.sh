#!/usr/bin/env bash
# The Debian packages as a user gets them: packs the built tree with cpack,
# extracts every package into a scratch root with dpkg-deb -x and, from
# there only, runs each program's --help and --version, checks the man
# pages and docs, runs a shipped scenario with a shipped plug-in, builds the
# out-of-tree example plug-in and module against the extracted SDK and runs
# them in the packaged control-host-sim and kore-sim. Ends with lintian when
# it is installed.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
fail() { echo "FAIL: $*"; exit 1; }
work=${ISOLATED_WORKDIR:-$(mktemp -d)}
cd "$work"

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" > cpack.log 2>&1 \
  || fail "cpack failed: $(tail -20 cpack.log)"
mapfile -t debs < <(ls "$work"/packages/*.deb)
[ "${#debs[@]}" -eq 3 ] || fail "expected 3 packages, got: ${debs[*]}"
root=$work/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root" || fail "cannot extract $deb"; done
usr=$root/usr

# Every package declares what it needs and carries its docs.
for deb in "${debs[@]}"; do
  pkg=$(dpkg-deb -f "$deb" Package)
  [ -s "$usr/share/doc/$pkg/copyright" ] || fail "$pkg: no copyright file"
  zcat "$usr/share/doc/$pkg/changelog.Debian.gz" | head -1 | grep -q "^$pkg (" \
    || fail "$pkg: changelog does not name the package"
done
# The user documentation travels with the packages, and the man pages point
# at where it is installed.
doc=$usr/share/doc/robot-controller-addons
for f in "${src}"/docs/*.md docs/modbus-map.csv docs/tuning/admittance_press.png; do
  f=${f#"$src/"}; f=${f#docs/}
  cmp -s "$src/docs/$f" "$doc/$f" || fail "docs/$f is not installed as $doc/$f"
done
for f in control.md simulator.md; do
  [ -s "$usr/share/doc/robot-controller-addons-sim/$f" ] || fail "the sim package lacks $f"
done
zcat "$usr/share/man/man1/modbus-slave-module.1.gz" | sed 's/\\-/-/g' \
  | grep -q "/usr/share/doc/robot-controller-addons/modbus-map.csv" \
  || fail "the Modbus slave's man page does not name the installed map"

runtime_deb=$(ls "$work"/packages/robot-controller-addons_*.deb)
dpkg-deb -f "$runtime_deb" Depends | grep -q libmodbus || fail "runtime package lacks its libmodbus dependency"

# Every program answers --help and --version from the scratch root, with the
# build's one version, and has a man page.
want=$("$build/bin/kore-sim" --version | head -1 | cut -d' ' -f2-)
for prog in usertcp-module modbus-slave-module kore-sim control-host-sim; do
  exe=$usr/bin/$prog
  [ -x "$exe" ] || fail "$prog not installed"
  "$exe" --help > help.out 2>&1 || fail "$prog --help exited non-zero"
  grep -qi "usage" help.out || fail "$prog --help prints no usage"
  "$exe" --version > version.out 2>&1 || fail "$prog --version exited non-zero"
  [ "$(head -1 version.out)" = "$prog $want" ] || fail "$prog --version: $(head -1 version.out), want $want"
  zcat "$usr/share/man/man1/$prog.1.gz" | grep -q '^\.TH' || fail "$prog: no man page"
done
# The module programs still take only KORE's pid: anything else is refused.
for prog in usertcp-module modbus-slave-module; do
  "$usr/bin/$prog" 12a > bad.out 2>&1; rc=$?
  [ $rc -eq 255 ] || fail "$prog 12a must exit -1, got $rc"
  grep -q "FAILED \[Parameter 1 is invalid\]" bad.out || fail "$prog: $(cat bad.out)"
done

# A shipped plug-in through the packaged host, with a shipped scenario.
plugins=$usr/lib/robot-controller-addons
scenarios=$usr/share/robot-controller-addons/scenarios
for plugin in admittance-control impedance-control; do
  "$usr/bin/control-host-sim" --scenario "$scenarios/push.txt" --plugin "$plugins/lib$plugin.so" \
    --no-plots --quiet > "$plugin.out" 2>&1 || fail "$plugin push run: $(cat "$plugin.out")"
done

# The out-of-tree example, built against the scratch root only.
cmake -S "$src/examples/custom-plugin" -B example -DCMAKE_PREFIX_PATH="$usr" > example.log 2>&1 \
  && cmake --build example >> example.log 2>&1 || fail "example build: $(tail -30 example.log)"
lib=example/libjoint-spring-control.so
bash "$src/tests/host/exports_test.sh" "$lib" || fail "the example exports more than create"
"$usr/bin/control-host-sim" --scenario "$src/examples/custom-plugin/scenario.txt" --plugin "$lib" \
  --out . --name example > example.out 2>&1 || fail "example run: $(cat example.out)"
grep -q "start stiffness .* -> 0" example.out || fail "example did not start: $(cat example.out)"
[ -s example.png ] || fail "the packaged plot script made no plot"
# The spring gives way under the push and brings the tool back afterwards.
python3 - example.csv <<'PY' || fail "example did not hold its posture"
import csv, math, sys
rows = list(csv.DictReader(open(sys.argv[1])))
def disp(r): return math.sqrt(sum(float(r[k]) ** 2 for k in ("dx", "dy", "dz")))
pushed = max(disp(r) for r in rows if 0.5 < float(r["t"]) < 1.5)
final = disp([r for r in rows if float(r["t"]) <= 2.85][-1])
print(f"example: {pushed * 1000:.2f} mm under 20 N, {final * 1000:.3f} mm after release")
sys.exit(0 if 1e-4 < pushed < 0.05 and final < 0.2 * pushed else 1)
PY

# The out-of-tree example module, built the same way and run by the packaged
# kore-sim: load, its own requests and events, an output request, unload.
cmake -S "$src/examples/custom-module" -B module -DCMAKE_PREFIX_PATH="$usr" > module.log 2>&1 \
  && cmake --build module >> module.log 2>&1 || fail "example module build: $(tail -30 module.log)"
"$usr/bin/kore-sim" --module module/joint-report-module \
  --script "$src/examples/custom-module/kore-script.txt" > module.out 2>&1 \
  || fail "example module run: $(cat module.out)"
grep -q "tool output 1 -> ON" module.out || fail "the module's output request: $(cat module.out)"

# Installed with dpkg into a root of their own, then removed: no package has
# maintainer scripts, and none is left in state "rc" (config-files).
inst=$work/inst
mkdir -p "$inst/var/lib/dpkg/info" "$inst/var/lib/dpkg/updates"
touch "$inst/var/lib/dpkg/status"
dpkg --root="$inst" --force-depends -i "${debs[@]}" > dpkg.log 2>&1 || fail "dpkg -i: $(tail -20 dpkg.log)"
for deb in "${debs[@]}"; do
  dpkg --root="$inst" --force-depends -r "$(dpkg-deb -f "$deb" Package)" >> dpkg.log 2>&1 \
    || fail "dpkg -r: $(tail -20 dpkg.log)"
done
left=$(dpkg-query --admindir="$inst/var/lib/dpkg" -W -f='${db:Status-Abbrev} ${Package}\n' 2>/dev/null \
  | grep -v '^un' || true)
[ -z "$left" ] || fail "packages left after removal: $left"

if command -v lintian > /dev/null; then
  lintian --fail-on error "${debs[@]}" > lintian.out 2>&1 \
    || fail "lintian: $(cat lintian.out)"
  cat lintian.out
fi
echo ok
