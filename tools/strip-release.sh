#!/usr/bin/env bash
# The Windows program as released: IN without symbols or debugging sections, into OUT.
#   strip-release.sh IN OUT
# An image has no string table for section names longer than eight characters, yet GNU ld
# keeps one for the i686 build's .eh_frame, after the last section. Its 14 bytes leave the
# file's size off a multiple of 8, so that signing pads the file and taking the signature
# off again leaves the padding behind. The section is renamed to fit in eight characters;
# it is found through the runtime's symbols, never by its name. The PE time stamp stays 0
# (objcopy writes the current time unless told a time).
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: strip-release.sh IN OUT" >&2; exit 2; }
in=$1 out=$2
format=$(x86_64-w64-mingw32-objdump -f "$in" | sed -n 's/.*file format //p')
case "$format" in
  pei-i386) objcopy=i686-w64-mingw32-objcopy rename=(--rename-section .eh_frame=.eh_fram) ;;
  pei-x86-64) objcopy=x86_64-w64-mingw32-objcopy rename=() ;;
  *) echo "strip-release.sh: $in is not a Windows program ($format)" >&2; exit 1 ;;
esac
SOURCE_DATE_EPOCH=0 "$objcopy" --strip-all "${rename[@]}" "$in" "$out"
