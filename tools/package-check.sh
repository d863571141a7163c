#!/usr/bin/env bash
# package-check.sh TOOL EXE PACKAGE
# Fails unless the program EXE carries exactly the update package file PACKAGE: the package
# that patu-package (TOOL) extracts from EXE's string table must be PACKAGE byte for byte.
# When it is another package, `patu-package diff` says what differs. tools/dist.sh runs it on
# the archive's pATU.exe, signed or not.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 TOOL EXE PACKAGE" >&2; exit 2; }
tool=$1 exe=$2 package=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! "$tool" extract "$exe" -o "$work/carried.txt" 2>"$work/errors"; then
  echo "package-check: no package can be read from $exe:" >&2
  cat "$work/errors" >&2
  exit 1
fi
if ! cmp -s "$work/carried.txt" "$package"; then
  echo "package-check: $exe does not carry $package; what it carries differs so:" >&2
  "$tool" diff "$package" "$work/carried.txt" >&2 || true
  exit 1
fi
echo "package-check: $exe carries $package"
