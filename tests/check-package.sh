#!/usr/bin/env bash
# Builds the .deb and .tar.gz packages and checks that both name the build's Debian
# architecture and carry binaries of that architecture only; then unpacks the .deb into a
# temporary root and runs the installed host tool against the installed plug-in, found
# without being named (through the target's emulator in a cross build).
#
#   check-package.sh BUILD_DIR SAMPLES_DIR DEBIAN_ARCH [EMULATOR_COMMAND]
set -euo pipefail
build=$1
samples=$2
arch=$3
emulator=${4:-}
# What `file` says of an ELF binary of each Debian architecture.
case "$arch" in
  amd64) elf='ELF 64-bit LSB .*x86-64' ;;
  arm64) elf='ELF 64-bit LSB .*ARM aarch64' ;;
  s390x) elf='ELF 64-bit MSB .*IBM S/390' ;;
  ppc64) elf='ELF 64-bit MSB .*64-bit PowerPC' ;;
  ppc64el) elf='ELF 64-bit LSB .*64-bit PowerPC' ;;
  *) echo "no ELF signature known for Debian architecture '$arch'" >&2; exit 1 ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G "DEB;TGZ" -B "$work/packages" >/dev/null)
deb=$(ls "$work"/packages/*.deb)
tgz=$(ls "$work"/packages/*.tar.gz)
for package in "$deb" "$tgz"; do
  case "$(basename "$package")" in
    *"_$arch."* | *"-$arch."*) ;;
    *) echo "package name $(basename "$package") does not name $arch" >&2; exit 1 ;;
  esac
done
field=$(dpkg-deb --field "$deb" Architecture)
[ "$field" = "$arch" ] || { echo "$deb says Architecture: $field, not $arch" >&2; exit 1; }

# Every ELF file in both payloads is of the target architecture; there are three.
dpkg-deb -x "$deb" "$work/root"
mkdir "$work/tar"
tar -xzf "$tgz" -C "$work/tar"
for root in "$work/root" "$work/tar"; do
  count=0
  while IFS= read -r -d '' path; do
    description=$(file -b "$path")
    case "$description" in ELF*) ;; *) continue ;; esac
    if ! grep -Eq "$elf" <<<"$description"; then
      echo "${path#"$root"/}: $description (expected $arch)" >&2
      exit 1
    fi
    count=$((count + 1))
  done < <(find "$root" -type f -print0)
  [ "$count" -eq 3 ] || { echo "expected 3 ELF files in ${root##*/} payload, found $count" >&2; exit 1; }
done

tool="$work/root/usr/bin/ostrevel-host"
plugin=$(find "$work/root" -name libostrevel.so)
[ -n "$plugin" ] || { echo "no plug-in in $deb" >&2; exit 1; }
find "$work/root" -name README.md | grep -q . || { echo "no guide in $deb" >&2; exit 1; }
unset OSTREVEL_PLUGIN
# shellcheck disable=SC2086 # the emulator command is a word list
$emulator "$tool" run --msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQIMSVS \
  "$samples/order.txt" >"$work/wrapped.bin" 2>"$work/report.txt"
grep -q "converted -> out" "$work/report.txt"
[ "$(head -c 2 "$work/wrapped.bin" | od -An -tx1 | tr -d ' ')" = "0020" ]
echo "installed from $(basename "$deb") ($field): $(dpkg-deb -c "$deb" | wc -l) entries;" \
  "tool and plug-in work"
