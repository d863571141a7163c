#!/usr/bin/env bash
# End-to-end runs of pATU.exe under Wine and a private Xvfb against the device emulator:
# driven by X key presses and clicks, judged by what the windows show and what the device
# ends up holding.
#   e2e.sh SCENARIO      full_update | port_choice | nak_mid_module | lost_device
# Environment: PATU_EXE, PATU_EMULATOR, PATU_IMAGE_CHECK, PATU_WINTEXT, PATU_PACKAGE,
# PATU_E2E_WINE (the Wine directory for cmake/wine-run), PATU_E2E_ARTIFACTS (per scenario:
# logs, device dumps, window texts and a screenshot of every stage).
set -euo pipefail
scenario=${1:?usage: e2e.sh full_update|port_choice|nak_mid_module|lost_device}
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

# True when the bar has gone past step $1.
bar_past() {
  [ "$(ws_progress "$main" | cut -d' ' -f1)" -gt "$1" ]
}

# The bar's step at the first module page: one before the firmware blocks and one for the
# module area's erase (the firmware sections are the package's third and fourth groups).
first_page_step() {
  awk '$0 == "*" { ++m; next } m == 2 || m == 3 { ++n } END { print n + 2 }' "$PATU_PACKAGE"
}

# "LEFT RIGHT": the colours of the bar 3 pixels in from either end, on its middle line.
bar_ends() {
  local w h
  read -r _ _ w h < <(ws_control_rect "$main" msctls_progress32 "") || return 1
  echo "$(ws_pixel "$main" msctls_progress32 "" 3 $((h / 2))) $(ws_pixel "$main" msctls_progress32 "" $((w - 4)) $((h / 2)))"
}

# The bar's right end as drawn is the colour of its left end, not EMPTY (what it showed there
# while short).
bar_drawn_full() {
  local ends
  ends=$(bar_ends) || return 1
  [ "${ends% *}" = "${ends#* }" ] && [ "${ends#* }" != "$1" ]
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

# Firmware and the pages before page $2 written as the package says, the info block as it
# was, not finalized; nothing else.
written_before_page() {
  local differences expected
  differences=$("$PATU_IMAGE_CHECK" "$PATU_PACKAGE" "$art/$1.dump" | tail -n +2 | sed 's/^  //' || true)
  expected=$(
    echo "block 8000 holds other bytes"
    for ((p = $2; p <= 508; ++p)); do printf 'page %04X never written\n' "$p"; done
    echo "the update was not finalized"
  )
  [ "$differences" = "$expected" ] && info_unchanged "$1"
}

# Nothing erased or written, no protocol violation.
device_untouched() {
  ! dump "$1" | grep -qE '^(page|erase|violation) ' &&
    [ "$(dump "$1" | grep '^block ' | cut -d' ' -f2)" = 8000 ] && info_unchanged "$1"
}

# --- scenarios ----------------------------------------------------------------------------

# The shipped package onto a device on COM 1: a prompt cancelled first and the session ended
# with the window idle, then the update, with a second press of "Atualiza" while it runs,
# the end of the session refused during the module pages, and another program's window in
# the foreground when message 7 shows.
full_update() {
  ws_device idle-device 1
  ws_patu_start "$PATU_EXE"
  ws_shot main-window "$(ws_window "$main")"

  ws_press_atualiza
  ws_shot dialog-0 "$(ws_window Mensagem)"
  ws_answer Mensagem Cancelar
  ws_wait "the window idle after the cancelled prompt" 10 ws_main_idle "$idle"
  ws_check "the bar stays at its start" progress_is start
  ws_check "with the window idle, the end of the session is agreed to" ws_end_session
  ws_check "and it ends pATU.exe" ends_with_status_0
  ws_device_stop idle-device
  ws_check "neither the cancelled prompt nor the end of the session sent anything" \
    [ -z "$(exchanges idle-device)" ]

  ws_patu_start "$PATU_EXE"
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
  ws_wait "the bar moving on" 30 bar_past "$start_pos"
  local empty_end
  empty_end=$(bar_ends | cut -d' ' -f2)

  ws_wait "the module pages under way" 120 bar_past $(($(first_page_step) + 10))
  local refused=0
  ws_end_session || refused=$?
  ws_check "the end of the session refused while the device is written" [ "$refused" = 1 ]
  ws_check "pATU.exe runs on" kill -0 "$WS_PROGRAM_PID"
  start_pos=$(ws_progress "$main" | cut -d' ' -f1)
  ws_wait "the bar moving on after the refusal" 30 bar_past "$start_pos"

  # Someone reads mail while the update runs: message 7 must still show its own text.
  ws_other_program "Outro programa"
  ws_wait "message 7" 600 ws_dialog_shows Mensagem 1 0 "${WS_DONE_LINES[@]}"
  echo "the X focus as message 7 shows: $(xdotool getwindowfocus getwindowname 2>/dev/null || echo none)"
  ws_check "the status line reports the end" ws_has "$main" Static "Atualização concluída!"
  ws_check "the bar is full" progress_is full
  ws_check "the bar drawn full as message 7 opens" bar_drawn_full "$empty_end"
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
  ws_check "firmware and pages 0 to 99 written as the package says, the info block unchanged" \
    written_before_page device 100
  ws_check "the NAKed page is the last command" \
    [ "$(exchanges device | tail -n1 | field arg),$(exchanges device | tail -n1 | field fault)" = "0064:00,nak" ]
}

# The device lost at module page 3 by FAULT (hangup: the cable pulled; poweroff: the power
# lost): the failure is reported within 15 s, and the time it took is printed with what
# pATU.exe and wineserver used of the CPU meanwhile; the program ends after the box, with
# the pages before the fault written, the info block as it was and no 'G'.
lost_at_page_3() {
  local fault=$1
  ws_device "$fault" 1 --fault "$fault@F:0003"
  ws_patu_start "$PATU_EXE"
  ws_press_atualiza
  local patu=$WS_PROGRAM_PID server
  server=$(ws_wineserver_pid) || ws_fail "no wineserver for $WINEPREFIX"
  ws_answer Mensagem OK

  # Until the box, nothing but pATU.exe runs in the prefix: what wineserver does is for it.
  local deadline=$((SECONDS + 120))
  until grep -q '^dead ' "$art/$fault.log"; do
    [ $SECONDS -lt $deadline ] || ws_fail "the $fault never struck"
    sleep 0.02
  done
  local seen patu_cpu server_cpu boxed
  seen=$(date +%s.%N)
  patu_cpu=$(ws_cpu_ticks "$patu")
  server_cpu=$(ws_cpu_ticks "$server")
  deadline=$((SECONDS + 60))
  until ws_find "$app" >/dev/null; do
    [ $SECONDS -lt $deadline ] || ws_fail "no box within 60 s of the $fault"
    sleep 0.05
  done
  boxed=$(date +%s.%N)
  patu_cpu=$(($(ws_cpu_ticks "$patu") - patu_cpu))
  server_cpu=$(($(ws_cpu_ticks "$server") - server_cpu))
  local struck took waited patu_share server_share
  struck=$(sed -n 's/^dead .* unix=//p' "$art/$fault.log")
  took=$(awk -v a="$struck" -v b="$boxed" 'BEGIN { printf "%.1f", b - a }')
  # Percent of a core over the wait on the dead line.
  read -r waited patu_share server_share < <(awk -v p="$patu_cpu" -v s="$server_cpu" \
    -v hz="$(getconf CLK_TCK)" -v a="$seen" -v b="$boxed" \
    'BEGIN { printf "%.1f %.1f %.1f\n", b - a, 100 * p / hz / (b - a), 100 * s / hz / (b - a) }')
  echo "measured: $fault at page 3: the box $took s after the fault; waiting on the dead line" \
    "($waited s), pATU.exe used $patu_share % of a core and wineserver $server_share %" |
    tee -a "$art/measured.txt"
  ws_check "the box within 15 s of the $fault" awk -v t="$took" 'BEGIN { exit !(t <= 15) }'
  # A poll that the dead line fails at once must still take its time: a loop spinning on it
  # kept a third of a core busy.
  ws_expect "no busy waiting: pATU.exe under 10 % of a core on the dead line" \
    awk -v p="$patu_share" 'BEGIN { exit !(p < 10) }'

  ws_wait "the failure message box" 10 ws_has "$app" Static "$failed_box"
  ws_check "the status line reports the failure" ws_has "$main" Static "Atualização não concluída!"
  ws_check "no message 7" eval '! ws_find Mensagem >/dev/null'
  ws_shot "$fault-box"
  ws_key "$(ws_window "$app")" space
  ws_check "pATU.exe ends with status 0 after the box" ends_with_status_0

  ws_device_stop "$fault"
  ws_check "firmware and pages 0 to 2 written as the package says, the info block unchanged" \
    written_before_page "$fault" 3
  ws_check "the page the $fault hit is the last command: no 'G', nothing sent after it" \
    [ "$(exchanges "$fault" | tail -n1 | field arg),$(exchanges "$fault" | tail -n1 | field fault)" = "0003:00,$fault" ]
}

# The device lost after it was identified: its second reading fails (message 3, nothing
# written, then the program ends), the cable pulled and the power lost in the module pages.
lost_device() {
  ws_device quiet 1 --fault shortlen@D#2
  ws_patu_start "$PATU_EXE"
  ws_press_atualiza
  ws_answer Mensagem OK
  ws_wait "message 3 when the second reading fails" 30 \
    ws_dialog_shows "Erro de comunicação" 0 1 "${no_device_lines[@]}"
  ws_answer "Erro de comunicação" Cancelar
  ws_check "then pATU.exe ends with status 0" ends_with_status_0
  ws_device_stop quiet
  ws_check "two readings, nothing written" \
    [ "$(exchanges quiet | grep '^cmd ' | field letter | tr -d '\n')" = DD ]
  ws_check "the device untouched" device_untouched quiet

  lost_at_page_3 hangup
  lost_at_page_3 poweroff
}

case "$scenario" in
  full_update | port_choice | nak_mid_module | lost_device) "$scenario" ;;
  *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
if [ "$WS_FAILURES" -gt 0 ]; then
  echo "FAIL: $scenario: $WS_FAILURES check(s) failed (artifacts: $art)" >&2
  exit 1
fi
echo "PASS: $scenario (artifacts: $art)"
