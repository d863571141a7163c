#!/usr/bin/env bash
# End-to-end runs of pATU.exe under Wine and a private Xvfb against the device emulator:
# driven by X key presses and clicks, judged by what the windows show and what the device
# ends up holding.
#   e2e.sh SCENARIO      full_update | port_choice | nak_mid_module
# Environment: PATU_EXE, PATU_EMULATOR, PATU_IMAGE_CHECK, PATU_WINTEXT, PATU_PACKAGE,
# PATU_E2E_WINE (the Wine directory for cmake/wine-run), PATU_E2E_ARTIFACTS (per scenario:
# logs, device dumps, window texts and a screenshot of every stage).
set -euo pipefail
scenario=${1:?usage: e2e.sh full_update|port_choice|nak_mid_module}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/wine-session.sh
source "$here/../../tools/wine-session.sh"

WS_EMULATOR=$PATU_EMULATOR
WS_WINTEXT=$PATU_WINTEXT
art=$PATU_E2E_ARTIFACTS/$scenario
rm -rf "$art"
ws_begin "$PATU_E2E_WINE" "$art"
ws_xvfb

main=$WS_MAIN
app=$WS_APP
idle=$WS_IDLE
port_lines=(
  "Não foi possível abrir a porta serial definida para"
  "a comunicação com o aparelho. Verifique se a porta"
  "está correta ou se ela não está sendo utilizada por"
  "outro software."
)
no_device_lines=(
  "Não foi possível comunicar com o aparelho."
  "Verifique:"
  ""
  "1. Se o aparelho está alimentado corretamente"
  "2. Se a conexão com o computador está correta"
  "3. Se a porta serial foi definida corretamente."
)
version_lines=(
  "Esta atualização não pode ser executada neste"
  "aparelho por incompatibilidade de versões."
)
failed_box="A atualização não foi concluída. Coloque o aparelho novamente em MODO DE ATUALIZAÇÃO e repita o procedimento."

# The progress bar at its start, full, or in between.
progress_is() {
  local pos max
  read -r pos max <<<"$(ws_progress "$main")"
  case $1 in
    start) [ "$pos" = 0 ] ;;
    full) [ "$pos" = "$max" ] && [ "$max" -gt 0 ] ;;
    short) [ "$pos" -gt 0 ] && [ "$pos" -lt "$max" ] ;;
  esac
}

ends_with_status_0() {
  ws_wait_exit 60 || ws_fail "pATU.exe did not end"
  [ "$WS_PROGRAM_STATUS" = 0 ]
}

# --- what the device saw ------------------------------------------------------------------

dump() { cat "$art/$1.dump"; }
# The command log: probe, ignored and cmd records.
exchanges() { dump "$1" | grep -E '^(probe|ignored|cmd) ' || true; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }

# The info block as the device started with it, and no 'G' taken.
info_unchanged() {
  [ "$(dump "$1" | grep '^block 8000' | cut -d' ' -f3)" = "$(dump "$1" | grep '^initial-info' | cut -d' ' -f2)" ] &&
    dump "$1" | grep -qx 'finalized 0'
}

# Nothing erased or written, no protocol violation.
device_untouched() {
  ! dump "$1" | grep -qE '^(page|erase|violation) ' &&
    [ "$(dump "$1" | grep '^block ' | cut -d' ' -f2)" = 8000 ] && info_unchanged "$1"
}

# --- scenarios ----------------------------------------------------------------------------

# The shipped package onto a device on COM 1: a prompt cancelled first, then the update,
# with a second press of "Atualiza" while it runs.
full_update() {
  ws_device idle-device 1
  ws_patu_start "$PATU_EXE"
  ws_shot main-window "$(ws_window "$main")"

  ws_press_atualiza
  ws_shot dialog-0 "$(ws_window Mensagem)"
  ws_answer Mensagem Cancelar
  ws_wait "the window idle after the cancelled prompt" 10 ws_main_idle "$idle"
  ws_check "the bar stays at its start" progress_is start
  ws_device_stop idle-device
  ws_check "a cancelled prompt sends nothing to the device" [ -z "$(exchanges idle-device)" ]

  ws_device device 1
  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "the status line naming the device" 60 ws_has "$main" Static "Atualização em andamento....330A1BFF"
  ws_shot running "$(ws_window "$main")"
  ws_expect "the status line on screen is what a fresh paint shows" \
    ws_paint_current status-line "$main" Static "Atualização em andamento....330A1BFF"

  # A second press while the job runs, with the keyboard and with the mouse: no prompt may
  # come up, the job goes on.
  ws_key "$(ws_window "$main")" space
  ws_snapshot
  ws_click_control "$main" Button Atualiza
  local start_pos watch_end=$((SECONDS + 4))
  start_pos=$(ws_progress "$main" | cut -d' ' -f1)
  while [ $SECONDS -lt $watch_end ]; do
    if ws_find Mensagem >/dev/null; then ws_fail "a second press brought up a prompt"; fi
    sleep 0.2
  done
  echo "ok: no second prompt during the job"
  ws_wait "the bar moving on" 30 eval '[ "$(ws_progress "$main" | cut -d" " -f1)" -gt "$start_pos" ]'

  ws_wait "message 7" 600 ws_dialog_shows Mensagem 1 0 "${WS_DONE_LINES[@]}"
  ws_check "the status line reports the end" ws_has "$main" Static "Atualização concluída!"
  ws_check "the bar is full" progress_is full
  ws_shot dialog-7 "$(ws_window Mensagem)"
  ws_shot done
  ws_answer Mensagem OK
  ws_check "pATU.exe ends with status 0 after message 7" ends_with_status_0

  ws_device_stop device
  ws_check "the device holds the complete image" "$PATU_IMAGE_CHECK" "$PATU_PACKAGE" "$art/device.dump"
  ws_check "one probe only: no second job" [ "$(exchanges device | grep -c '^probe ')" = 1 ]
  ws_check "nothing ignored by the device" [ -z "$(exchanges device | grep '^ignored ')" ]
  ws_check "every command acknowledged, none faulted" \
    [ -z "$(exchanges device | grep '^cmd ' | grep -v ' status=AA fault=- ')" ]
  ws_check "identification, the second reading, then the first block" \
    [ "$(exchanges device | grep '^cmd ' | head -n3 | field letter | tr -d '\n')" = DDE ]
  ws_check "'G' comes last" [ "$(exchanges device | tail -n1 | field letter)" = G ]
}

# COM 1 not there, then COM 3 chosen by a click: a device of another version, a device that
# does not answer the probe, one that answers nothing but the probe. Closing the window ends
# the program.
port_choice() {
  ws_unplug 1
  ws_device other-version 3 --sync85-only
  ws_patu_start "$PATU_EXE"
  local w
  w=$(ws_window "$main")

  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "message 1" 30 ws_dialog_shows "Erro de comunicação" 0 1 "${port_lines[@]}"
  ws_check "\"Cancelar\" has the focus" ws_has "Erro de comunicação" Button Cancelar focus=1
  ws_shot dialog-1 "$(ws_window "Erro de comunicação")"
  ws_answer "Erro de comunicação" Cancelar
  ws_wait "the window idle after message 1" 10 ws_main_idle "$idle"

  ws_click_control "$main" pATU.Panel "COM 3"
  ws_wait "COM 3 marked yellow, COM 1 white" 10 eval \
    '[ "$(ws_pixel "$main" pATU.Panel "COM 3" 3 3)" = FFFF00 ] &&
     [ "$(ws_pixel "$main" pATU.Panel "COM 1" 3 3)" = FFFFFF ]'
  ws_shot com3-chosen "$w"

  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "message 4" 30 ws_dialog_shows "Incompatibilidade de Versão" 0 1 "${version_lines[@]}"
  ws_shot dialog-4 "$(ws_window "Incompatibilidade de Versão")"
  ws_answer "Incompatibilidade de Versão" Cancelar
  ws_wait "the window idle after message 4" 10 ws_main_idle "$idle"
  ws_device_stop other-version
  ws_check "the other version saw the probe, 0x86 ignored, one 'D' with 0x85" \
    [ "$(exchanges other-version | sed -E 's/ t(_[a-z]+)?=[0-9-]+//g; s/ (n|frame|rx|reply|sent|noise)=[^ ]*//g')" = \
      "$(printf '%s\n' 'probe answer=54' 'ignored byte=86' \
        'cmd sync=85 letter=D arg=8000 status=AA fault=-')" ]
  ws_check "nothing written to the other version" device_untouched other-version

  ws_device mute 3 --probe-answer ''
  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "message 4 for a device that does not answer" 30 \
    ws_dialog_shows "Incompatibilidade de Versão" 0 1 "${version_lines[@]}"
  ws_answer "Incompatibilidade de Versão" Cancelar
  ws_wait "the window idle after message 4" 10 ws_main_idle "$idle"
  ws_device_stop mute
  ws_check "the mute device saw the probe only" \
    [ "$(exchanges mute | sed -E 's/ t(_[a-z]+)?=[0-9-]+//g')" = 'probe answer=-' ]

  ws_device deaf 3 --silent-after-probe
  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "message 3 for a device that answers the probe only" 30 \
    ws_dialog_shows "Erro de comunicação" 0 1 "${no_device_lines[@]}"
  ws_shot dialog-3 "$(ws_window "Erro de comunicação")"
  ws_answer "Erro de comunicação" Cancelar
  ws_wait "the window idle after message 3" 10 ws_main_idle "$idle"
  ws_device_stop deaf
  ws_check "the deaf device saw the probe, then 0x86 and 0x85 went unanswered" \
    [ "$(exchanges deaf | sed -E 's/ t(_[a-z]+)?=[0-9-]+//g')" = \
      "$(printf '%s\n' 'probe answer=54' 'ignored byte=86' 'ignored byte=85')" ]

  ws_key "$w" alt+F4
  ws_check "closing the window ends pATU.exe with status 0" ends_with_status_0
}

# A NAK in the middle of the module data: the failure is reported and the program ends,
# with the pages before it written and the info block as it was.
nak_mid_module() {
  ws_device device 1 --fault nak@F:0064
  ws_patu_start "$PATU_EXE"
  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "the failure message box" 300 ws_has "$app" Static "$failed_box"
  ws_check "the status line reports the failure" ws_has "$main" Static "Atualização não concluída!"
  ws_check "no message 7" eval '! ws_find Mensagem >/dev/null'
  ws_check "the bar stays short of full" progress_is short
  ws_shot failure-box "$(ws_window "$app")"
  ws_shot failed
  ws_key "$(ws_window "$app")" space
  ws_check "pATU.exe ends with status 0 after the box" ends_with_status_0

  ws_device_stop device
  local differences expected
  differences=$("$PATU_IMAGE_CHECK" "$PATU_PACKAGE" "$art/device.dump" | tail -n +2 | sed 's/^  //' || true)
  expected=$(
    echo "block 8000 holds other bytes"
    for ((p = 100; p <= 508; ++p)); do printf 'page %04X never written\n' "$p"; done
    echo "the update was not finalized"
  )
  ws_check "firmware and pages 0 to 99 written as the package says; nothing else" \
    [ "$differences" = "$expected" ]
  ws_check "the info block unchanged, not finalized" info_unchanged device
  ws_check "the NAKed page is the last command" \
    [ "$(exchanges device | tail -n1 | field arg),$(exchanges device | tail -n1 | field fault)" = "0064:00,nak" ]
}

case "$scenario" in
  full_update | port_choice | nak_mid_module) "$scenario" ;;
  *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
if [ "$WS_FAILURES" -gt 0 ]; then
  echo "FAIL: $scenario: $WS_FAILURES check(s) failed (artifacts: $art)" >&2
  exit 1
fi
echo "PASS: $scenario (artifacts: $art)"
