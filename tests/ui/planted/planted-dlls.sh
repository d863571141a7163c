#!/usr/bin/env bash
# No DLL planted beside pATU.exe is loaded. Under Wine, on a private Xvfb and a Wine prefix of
# its own, each program runs from a folder of its own holding a copy of it named pATU.exe and
# the planted DLL as version.dll, imm32.dll, uxtheme.dll and msimg32.dll; Wine is told to
# take those from the program's folder first, as Windows does for a DLL that is not a known
# DLL. A planted DLL that is loaded leaves NAME.dll.loaded beside itself.
#   start_only  pATU.exe's start (imports, manifest, load configuration, first step),
#               ending before any window: what the loader loads before a program can act
#   unhardened  pATU.exe as it was before its DLL loads were confined
#   pATU        the real one
# The last two run up to their idle main window; then the planted DLL that came first loads
# msimg32.dll by its bare name, standing in for any run-time load of the process
# (PATU_PLANTED_PROBE). unhardened must load every planted DLL, or the test shows nothing; pATU must load
# none beyond start_only's.
# Environment: PATU_EXE, PATU_START_ONLY, PATU_UNHARDENED, PATU_PLANTED_DLL, PATU_WINTEXT,
# PATU_OBJDUMP, PATU_PLANTED_WINE (the Wine directory for cmake/wine-run) and
# PATU_PLANTED_ARTIFACTS (the programs' folders, screenshots, logs).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/wine-session.sh
source "$here/../../../tools/wine-session.sh"

WS_WINTEXT=$PATU_WINTEXT
art=$PATU_PLANTED_ARTIFACTS
rm -rf "$art"
ws_begin "$PATU_PLANTED_WINE" "$art"
ws_xvfb
planted=(version imm32 uxtheme msimg32)
probed=msimg32
export WINEDLLOVERRIDES
WINEDLLOVERRIDES="$(IFS=,; echo "${planted[*]}")=n,b"

imports() {
  "$PATU_OBJDUMP" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' '
}
ws_check "start_only imports from the DLLs that pATU.exe imports from" \
  [ "$(imports "$PATU_START_ONLY")" = "$(imports "$PATU_EXE")" ]

# plant NAME PROGRAM: art/NAME with the program as pATU.exe and the planted DLLs.
plant() {
  local dir=$art/$1 name
  mkdir -p "$dir"
  cp "$2" "$dir/pATU.exe"
  for name in "${planted[@]}"; do cp "$PATU_PLANTED_DLL" "$dir/$name.dll"; done
}

# The planted DLLs in art/NAME that were loaded.
loaded() {
  local name list=()
  for name in "${planted[@]}"; do
    if [ -f "$art/$1/$name.dll.loaded" ]; then list+=("$name"); fi
  done
  echo "${list[*]}"
}

# The words of $1 that are not in $2.
beyond() {
  local word out=()
  for word in $1; do
    if [[ " $2 " != *" $word "* ]]; then out+=("$word"); fi
  done
  echo "${out[*]}"
}

# up_to_idle_window NAME PROGRAM: runs it until its main window is idle, has the probe load
# msimg32.dll, and ends it; probe_got is the path of the module the probe got.
probe_got=
up_to_idle_window() {
  local dir=$art/$1
  plant "$1" "$2"
  PATU_PLANTED_PROBE=$probed.dll ws_patu_start "$dir/pATU.exe"
  ws_shot "$1"
  touch "$dir/load-now"
  local deadline=$((SECONDS + 30))
  until [ -s "$dir/load-done" ]; do
    [ $SECONDS -lt $deadline ] || ws_fail "$1: the probe did not load $probed.dll"
    sleep 0.1
  done
  ws_wine_stop
  ws_wait_exit 30 || ws_fail "$1 did not end"
  probe_got=$(tr -d '\0' <"$dir/load-done")
}

plant start_only "$PATU_START_ONLY"
ws_start "$art/start_only/pATU.exe"
ws_wait_exit 60 || ws_fail "start_only did not end"
ws_check "start_only ended with status 0" [ "$WS_PROGRAM_STATUS" = 0 ]
at_start=$(loaded start_only)
up_to_idle_window unhardened "$PATU_UNHARDENED"
unhardened=$(loaded unhardened) unhardened_probe=$probe_got
up_to_idle_window pATU "$PATU_EXE"
hardened=$(loaded pATU) hardened_probe=$probe_got

echo "planted DLLs loaded:"
echo "  before a program can act (start_only): ${at_start:-none}"
echo "  by pATU.exe without its hardening:     ${unhardened:-none} ($probed.dll: $unhardened_probe)"
echo "  by pATU.exe:                           ${hardened:-none} ($probed.dll: $hardened_probe)"
ws_check "all of them loaded without the hardening" [ "$unhardened" = "${planted[*]}" ]
ws_check "some of them loaded without the hardening beyond those loaded before a program acts" \
  [ -n "$(beyond "$unhardened" "$at_start")" ]
ws_check "none loaded by pATU.exe beyond those loaded before a program acts" \
  [ -z "$(beyond "$hardened" "$at_start")" ]
if [ -n "$at_start" ]; then
  echo "note: this loader takes $at_start from the program's folder before the program can act;" \
    "it does not apply the load configuration's DependentLoadFlags"
fi
