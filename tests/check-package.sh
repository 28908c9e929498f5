#!/usr/bin/env bash
# Builds the .deb and .tar.gz packages, unpacks the .deb into a temporary root and runs the
# installed host tool against the installed plug-in, found without being named.
set -euo pipefail
build=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G "DEB;TGZ" -B "$work/packages" >/dev/null)
deb=$(ls "$work"/packages/*.deb)
ls "$work"/packages/*.tar.gz >/dev/null
dpkg-deb -x "$deb" "$work/root"
tool="$work/root/usr/bin/ostrevel-host"
plugin=$(find "$work/root" -name libostrevel.so)
[ -n "$plugin" ] || { echo "no plug-in in $deb" >&2; exit 1; }
find "$work/root" -name README.md | grep -q . || { echo "no guide in $deb" >&2; exit 1; }
unset OSTREVEL_PLUGIN
"$tool" run --msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQIMSVS \
  "$samples/order.txt" >"$work/wrapped.bin" 2>"$work/report.txt"
grep -q "converted -> out" "$work/report.txt"
[ "$(head -c 2 "$work/wrapped.bin" | od -An -tx1 | tr -d ' ')" = "0020" ]
echo "installed from $(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries; tool and plug-in work"
