#!/usr/bin/env bash
# scripts/package in the tested build folder: it leaves exactly one package in build/package/,
# signed by the maker's test signer under the test root, named by the programs' version; a run
# that cannot sign leaves the previous package untouched.
set -euo pipefail
build=${BUILD_DIR:?BUILD_DIR names the build folder}
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "package_test: $*" >&2; exit 1; }

[ -f "$build/fixtures/maker-signer.crt" ] || { echo "signing fixtures were not made: skipped"; exit 0; }
# scripts/package builds first; scripts/test has just built everything, so that build finds
# nothing to do.

out=$build/package
mkdir -p "$out"
# A package left by an earlier version must not stay beside the new one.
printf 'stale' >"$out/Cindravale-Client-0.0.0.1.msi"
msi=$(BUILD_DIR=$build "$root/scripts/package") || fail "scripts/package failed"
msi=${msi##*$'\n'}
version=$("$root/packaging/make-package.sh" --print-version)
[ "$msi" = "$out/Cindravale-Client-$version.msi" ] || fail "printed '$msi'"
mapfile -t packages < <(find "$out" -maxdepth 1 -name '*.msi')
[ ${#packages[@]} -eq 1 ] && [ "${packages[0]}" = "$msi" ] || fail "build/package holds: ${packages[*]}"

verify=$(osslsigncode verify -CAfile "$build/fixtures/testroot.crt" -in "$msi" 2>&1) ||
  fail "the signature does not verify against the test root: $verify"
grep -q 'Subject:.*O *= *Vennacor R&D GmbH' <<<"$verify" || fail "not signed by the maker: $verify"

# A signer that cannot sign: the run fails and the good package stays as it was.
before=$(sha256sum "$msi")
if BUILD_DIR=$build "$root/scripts/package" -certs /nonexistent.crt -key /nonexistent.key >/dev/null 2>&1; then
  fail "scripts/package succeeded without a usable certificate"
fi
[ "$(sha256sum "$msi")" = "$before" ] || fail "the failed run changed the package"
mapfile -t packages < <(find "$out" -maxdepth 1 -name '*.msi*')
[ ${#packages[@]} -eq 1 ] || fail "the failed run left: ${packages[*]}"
echo "package_test: ok ($msi)"
