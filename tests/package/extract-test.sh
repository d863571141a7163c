#!/usr/bin/env bash
# The package read back from this tree's Windows programs: pATU.exe carries the shipped
# package; a carrier program carries another one beside string tables of other languages.
# Each comes back byte for byte, unsigned and signed (a throwaway key), and the release's
# check (tools/package-check.sh) accepts each program with its own package and refuses it
# with the other, saying what differs.
# Environment: PATU_PACKAGE_TOOL (patu-package), PATU_EXE, PATU_PACKAGE_FILE (its package),
# PATU_CARRIER_EXE, PATU_CARRIED_PACKAGE (its package), PATU_RC (this tree's windres),
# PATU_WORK (a scratch folder, emptied first).
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
tool=$PATU_PACKAGE_TOOL
package_check=$repo/tools/package-check.sh
work=$PATU_WORK
rm -rf "$work"
mkdir -p "$work"
failures=0

check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok:   $what"
  else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj "/CN=pATU package test" 2>/dev/null

extracts() {  # EXE PACKAGE: extract gives PACKAGE byte for byte
  "$tool" extract "$1" -o "$work/extracted.txt" && cmp "$work/extracted.txt" "$2"
}
signed_copy() {  # EXE SIGNED: a signed copy, which carries a signature the other lacks
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$1" -out "$2" >/dev/null &&
    ! cmp -s "$1" "$2" && osslsigncode extract-signature -in "$2" -out "$2.signature" >/dev/null
}
accepted() {  # EXE PACKAGE
  "$package_check" "$tool" "$1" "$2"
}
refused() {  # EXE PACKAGE: refused, saying so and naming what differs
  local errors=$work/refused.txt
  if "$package_check" "$tool" "$1" "$2" 2>"$errors"; then return 1; fi
  sed 's/^/      /' "$errors"
  grep -q "does not carry $2; what it carries differs so:" "$errors" && [ "$(wc -l <"$errors")" -ge 2 ]
}

programs=("$PATU_EXE" "$PATU_CARRIER_EXE")
packages=("$PATU_PACKAGE_FILE" "$PATU_CARRIED_PACKAGE")
for i in 0 1; do
  exe=${programs[$i]} own=${packages[$i]} other=${packages[$((1 - i))]}
  name=$(basename "$exe")
  check "$name: extract gives its package byte for byte" extracts "$exe" "$own"
  check "$name: a signed copy" signed_copy "$exe" "$work/signed-$name"
  check "$name, signed: extract gives its package byte for byte" extracts "$work/signed-$name" "$own"
  check "$name, signed: the release's check accepts it with its package" \
    accepted "$work/signed-$name" "$own"
  check "$name, signed: the release's check refuses it with another package" \
    refused "$work/signed-$name" "$other"
done

carrier_rc=$("$PATU_RC" -i "$PATU_CARRIER_EXE" -O rc)
check "the carrier also holds strings of another language and of the toolkit's block" \
  grep -q -e '"not the package: English"' <<<"$carrier_rc"
check "... and the toolkit's block" grep -q '"the toolkit'"'"'s last string"' <<<"$carrier_rc"
check "show reads pATU.exe's package" grep -q '  F = 664      end line "FIM"' \
  <<<"$("$tool" show "$PATU_EXE")"
check "diff of pATU.exe against its package is empty" \
  test -z "$("$tool" diff "$PATU_PACKAGE_FILE" "$PATU_EXE")"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
