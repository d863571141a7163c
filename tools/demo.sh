#!/usr/bin/env bash
# ./run demo: the real pATU.exe updates the emulated device, under Wine.
# The device emulator plays a device in update mode on COM 1 of a private Wine prefix
# (build/demo/wine). With a display ($DISPLAY set and answering), pATU.exe opens there and you
# do the update by hand; the script waits for the program to end. Without one, it runs on a
# private Xvfb and does what a person would (Atualiza, OK, wait, OK), with a screenshot of each
# stage in build/demo/. Either way it ends with the emulator's check of what the device holds:
# exit status 0 only when the device holds the complete update.
# Builds are ./run's job; PATU_NATIVE_BUILD and PATU_WIN64_BUILD name other build trees.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
native=${PATU_NATIVE_BUILD:-$repo/build/native}
win64=${PATU_WIN64_BUILD:-$repo/build/win64}
out=$repo/build/demo
# shellcheck source=wine-session.sh
source "$repo/tools/wine-session.sh"

WS_EMULATOR=$native/tools/emulator/patu-emulator
WS_WINTEXT=$win64/tests/e2e/wintext.exe
image_check=$native/tools/emulator/patu-image-check
patu=$win64/pATU.exe
for f in "$WS_EMULATOR" "$image_check" "$patu" "$WS_WINTEXT"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "demo: $f is missing: run ./run build first" >&2; exit 1; }
done

rm -rf "$out/texts" "$out"/*.png "$out"/*.dump "$out"/*.log
ws_begin "$out/wine" "$out"
[ -d "$WINEPREFIX" ] || echo "Making the Wine prefix (once): $WINEPREFIX"
ws_device device 1
echo "The emulated device is in update mode on COM 1 (serial number 0A1BFF)."

if ws_display_reachable; then
  echo "pATU.exe opens on display $DISPLAY. Keep COM 1, press \"Atualiza\", then \"OK\"."
  echo "The update takes two to three minutes; it ends with \"Atualização concluída com sucesso!!\"."
  ws_start "$patu"
  ws_wait_exit $((24 * 3600)) || true
else
  ws_xvfb
  echo "No display: pATU.exe runs on a private X display and this script works it."
  ws_patu_start "$patu"
  ws_shot 1-main-window "$(ws_window "$WS_MAIN")"
  echo "  the window is up with the package; pressing \"Atualiza\""
  ws_press_atualiza
  ws_shot 2-prompt
  echo "  the prompt asks for update mode; pressing \"OK\""
  ws_answer Mensagem OK
  ws_wait "the update under way" 60 ws_has "$WS_MAIN" Static "Atualização em andamento....330A1BFF"
  ws_shot 3-running
  echo "  updating (two to three minutes) ..."
  deadline=$((SECONDS + 900))
  until ws_find Mensagem >/dev/null || ws_find "$WS_APP" >/dev/null; do
    [ $SECONDS -lt $deadline ] || ws_fail "the update never ended"
    sleep 0.5
  done
  ws_snapshot
  ws_shot 4-end
  if ws_find Mensagem >/dev/null; then
    echo "  message 7: \"$(ws_memo Mensagem)\"; pressing \"OK\""
    ws_answer Mensagem OK
  else
    echo "  the update failed: \"$(ws_records "$WS_APP" | sed -n 's/^control .* class=Static .* text=\(..*\)/\1/p')\"; pressing \"OK\""
    ws_answer "$WS_APP" OK
  fi
  ws_wait_exit 60 || ws_fail "pATU.exe did not end after message 7"
  echo "  pATU.exe ended (status $WS_PROGRAM_STATUS)"
  echo "Screenshots: $out/[1-4]-*.png"
fi

ws_device_stop device
echo "What the device received: $(grep -c '^cmd ' "$out/device.dump") commands."
if "$image_check" "$repo/resources/pacote.txt" "$out/device.dump" >"$out/image-check.log"; then
  cat "$out/image-check.log"
  echo "Outcome: the device holds the complete update."
else
  head -n 6 "$out/image-check.log"
  [ "$(wc -l <"$out/image-check.log")" -le 6 ] || echo "  ... (all of them: $out/image-check.log)"
  echo "Outcome: the device does NOT hold the complete update (dump: $out/device.dump)."
  exit 1
fi
