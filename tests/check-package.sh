#!/usr/bin/env bash
# Builds the .deb and .tar.gz packages and checks them as an administrator would: lintian
# finds no error and no warning in the .deb; both name the build's Debian architecture, hold
# the same files, and carry stripped binaries of that architecture only; the installed tool
# tells its version and the plug-in's, its manual page reads, and it runs the installed
# plug-in, found without being named (through the target's emulator in a cross build).
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
if ! lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1; then
  echo "lintian objects to $(basename "$deb"):" >&2
  grep -v 'root privileges' "$work/lintian.txt" >&2
  exit 1
fi
field=$(dpkg-deb --field "$deb" Architecture)
[ "$field" = "$arch" ] || { echo "$deb says Architecture: $field, not $arch" >&2; exit 1; }

# Both payloads hold the same files (the .deb under /usr, the .tar.gz under its own folder).
dpkg-deb -x "$deb" "$work/root"
mkdir "$work/tar"
tar -xzf "$tgz" -C "$work/tar"
deb_files=$(cd "$work/root/usr" && find . -type f | sort)
tar_files=$(cd "$work/tar"/*/ && find . -type f | sort)
if [ "$deb_files" != "$tar_files" ]; then
  echo "the .deb and the .tar.gz hold different files:" >&2
  diff <(echo "$deb_files") <(echo "$tar_files") >&2
  exit 1
fi

# Every ELF file in both payloads is stripped and of the target architecture; there are three.
for root in "$work/root" "$work/tar"; do
  count=0
  while IFS= read -r -d '' path; do
    description=$(file -b "$path")
    case "$description" in ELF*) ;; *) continue ;; esac
    if ! grep -Eq "$elf" <<<"$description"; then
      echo "${path#"$root"/}: $description (expected $arch)" >&2
      exit 1
    fi
    if ! grep -q ', stripped' <<<"$description"; then
      echo "${path#"$root"/}: not stripped ($description)" >&2
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
version=$($emulator "$tool" --version)
grep -Eq '^ostrevel-host [0-9]+\.[0-9]+\.[0-9]+$' <<<"$(head -n 1 <<<"$version")" ||
  { echo "unexpected --version output: $version" >&2; exit 1; }
tool_version=$(head -n 1 <<<"$version" | cut -d' ' -f2)
grep -q "libostrevel.so, version $tool_version\$" <<<"$version" ||
  { echo "--version does not name the installed plug-in's version: $version" >&2; exit 1; }
man -l "$work/root/usr/share/man/man1/ostrevel-host.1.gz" 2>/dev/null | grep -q 'inspect' ||
  { echo "the installed manual page does not read" >&2; exit 1; }
# shellcheck disable=SC2086 # the emulator command is a word list
$emulator "$tool" run --msgtypes ANY --direction TOIMS --max-size 100 --mqmd-format MQIMSVS \
  "$samples/order.txt" >"$work/wrapped.bin" 2>"$work/report.txt"
grep -q "converted -> out" "$work/report.txt"
[ "$(head -c 2 "$work/wrapped.bin" | od -An -tx1 | tr -d ' ')" = "0020" ]
echo "installed from $(basename "$deb") ($field, version $tool_version): lintian clean," \
  "$(wc -l <<<"$deb_files") files in both packages; tool, manual page and plug-in work"
