#!/usr/bin/env bash
# Builds and signs the per-machine MSI of the two client services.
#   make-package.sh --out FILE.msi --bin DIR [--version V] [--] SIGNER...
#   make-package.sh --print-version      the version a package gets by default
# DIR holds CindravaleUS.exe and CindravaleSVC.exe. V defaults to the programs' own version
# (ProgramVersion in clients/common/servicehost.h); another one is for upgrade tests. SIGNER
# are osslsigncode's options that name the certificate and key (for example "-certs C -key K",
# "-pkcs12 P -readpass F", a PKCS#11 token, and "-ts URL" for a time stamp).
# The package is built and signed beside FILE and renamed into place only when both worked, so
# a failed run never leaves an unsigned or half-written package under the final name.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

out="" bin="" version="" print_version=0
while [ $# -gt 0 ]; do
  case $1 in
    --print-version) print_version=1; shift ;;
    --out) out=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
signer=("$@")
fail() { echo "make-package: $*" >&2; exit 1; }

if [ -z "$version" ]; then
  version=$(sed -n 's/^inline constexpr char ProgramVersion\[\] = "\([^"]*\)";.*/\1/p' \
    "$root/clients/common/servicehost.h")
  [ -n "$version" ] || fail "ProgramVersion not found in clients/common/servicehost.h"
fi
if [ "$print_version" = 1 ]; then
  echo "$version"
  exit 0
fi
[ -n "$out" ] && [ -n "$bin" ] || fail "usage: make-package.sh --out FILE.msi --bin DIR [--version V] [--] SIGNER..."
[ ${#signer[@]} -gt 0 ] || fail "no signing certificate given (osslsigncode options such as -certs C -key K)"
for program in CindravaleUS CindravaleSVC; do
  [ -f "$bin/$program.exe" ] || fail "$bin/$program.exe is missing: build first"
done

# Windows Installer reads at most three fields (255.255.65535) and ignores a fourth.
IFS=. read -r major minor build revision extra <<<"$version"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] && [ -z "${extra:-}" ] &&
  [ $((10#$major)) -le 255 ] && [ $((10#$minor)) -le 255 ] && [ $((10#$build)) -le 65535 ] ||
  fail "version '$version' is not a Windows Installer product version (at most 255.255.65535.x)"
major=$((10#$major)) minor=$((10#$minor)) build=$((10#$build))
# The lowest version above every version with the same first three fields.
if [ "$build" -lt 65535 ]; then
  upgrade_below="$major.$minor.$((build + 1))"
elif [ "$minor" -lt 255 ]; then
  upgrade_below="$major.$((minor + 1)).0"
elif [ "$major" -lt 255 ]; then
  upgrade_below="$((major + 1)).0.0"
else
  fail "version '$version' leaves no room for an upgrade"
fi

# One product code per version (UUID-shaped MD5 of the upgrade code and the version): a rebuild
# of a version is the same product, every other version is a different one, as a major upgrade
# needs.
guid() {
  local h
  h=$(printf '%s' "$1" | md5sum | cut -c1-32 | tr a-f A-F)
  echo "${h:0:8}-${h:8:4}-${h:12:4}-${h:16:4}-${h:20:12}"
}
product_code=$(guid "6F2E61C4-3B9A-4C57-9D0E-2A8C5B7E1F43 $version")

mkdir -p "$(dirname "$out")"
work=$(mktemp -d "$(dirname "$out")/.package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs a tool quietly; its output is shown only when it fails.
quiet() {
  local log
  if ! log=$("$@" 2>&1); then
    printf '%s\n' "$log" >&2
    fail "failed: $1"
  fi
}
# wixl finds a file's source only relative to the folder it runs in.
work=$(cd "$work" && pwd)
(cd "$bin" && quiet wixl -a x64 -o "$work/unsigned.msi" \
  -D ProductVersion="$version" -D ProductCode="$product_code" -D UpgradeBelow="$upgrade_below" \
  "$here/Cindravale.wxs")
quiet osslsigncode sign "${signer[@]}" -h sha256 -n "Cindravale Client $version" \
  -in "$work/unsigned.msi" -out "$work/signed.msi"
mv -f "$work/signed.msi" "$out"
