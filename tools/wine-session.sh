# shellcheck shell=bash
# A session of pATU.exe under Wine, against the device emulator, driven as a person would:
# a private X display, devices plugged into COM ports, real X key presses and clicks, and
# what the windows show read back by wintext.exe. Sourced by the end-to-end tests, the demo
# and the benchmark.
#
# Set before ws_begin: WS_EMULATOR (patu-emulator), WS_WINTEXT (wintext.exe, for the ws_*
# functions that read window texts).
#
#   ws_begin WINE_DIR ARTIFACTS  WINE_DIR as for cmake/wine-run (its prefix and COM links);
#                                ARTIFACTS receives logs, dumps, text snapshots, screenshots.
#                                Registers ws_end on EXIT.
#   ws_xvfb                      a private X display (DISPLAY is exported)
#   ws_device NAME N [OPTS...]   the emulator plugged in as COM N, dumping to ARTIFACTS/NAME.dump
#   ws_device_stop NAME          unplugs it; its dump is then complete
#   ws_unplug N                  COM N cannot be opened
#   ws_start PROGRAM [ARGS...]   starts a Windows program in the prefix
#   ws_wait_exit SECONDS         waits for it to end; its status in WS_PROGRAM_STATUS
#   ws_other_program TITLE       another program's window takes the foreground (wintext.exe)
#   ws_end_session               asks every program of the prefix to end, as a shutdown does;
#                                the status is 1 when a window refused
#   ws_cpu_ticks PID, ws_wineserver_pid  CPU time used so far; the prefix's wineserver
#   ws_window TITLE [SECONDS]    prints the X window of the shown window titled exactly TITLE
#   ws_gone TITLE [SECONDS]      waits until no window titled TITLE is shown
#   ws_key XID KEY, ws_click_control TITLE CLASS TEXT, ws_pixel TITLE CLASS TEXT DX DY
#   ws_paint_current NAME TITLE CLASS TEXT  the control on screen is freshly painted
#   ws_snapshot                  reads every window of pATU.exe into WS_TEXTS (a file)
#   ws_records/ws_memo/ws_has/ws_progress  questions about the last snapshot
#   ws_wait WHAT SECONDS CMD...  snapshots until CMD succeeds, or fails the session
#   ws_check WHAT CMD...         CMD must succeed, or the session fails
#   ws_expect WHAT CMD...        the same, but the session goes on (WS_FAILURES counts)
#   ws_shot NAME [XID]           a screenshot, ARTIFACTS/NAME.png
#   ws_fail WHY                  prints what the windows show and the logs, exits 1
# and, for pATU.exe as a person sees it:
#   ws_patu_start EXE            starts it and waits for its window, the package shown
#   ws_press_atualiza            presses "Atualiza" and waits for the prompt
#   ws_answer TITLE BUTTON       closes a dialog with one of its buttons
#   ws_dialog_shows, ws_main_idle  what the windows show, for ws_wait and ws_check
#
# Every wait polls a condition under a time-out; nothing waits a fixed time for a condition
# that can be observed.

WS_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WS_WINE_RUN=$WS_REPO/cmake/wine-run
declare -gA WS_DEVICE_PID=()
WS_PROGRAM_PID=
WS_OTHER_PID=
WS_PROGRAM_STATUS=
WS_XVFB_PID=
WS_TEXTS=
WS_SNAPSHOTS=0
WS_FAILURES=0

ws_begin() {
  WS_WINE_DIR=$(realpath -m "$1")
  WS_ART=$(realpath -m "$2")
  mkdir -p "$WS_ART" "$WS_WINE_DIR/ports"
  export WINEPREFIX=$WS_WINE_DIR/prefix WINEDEBUG=${WINEDEBUG:--all}
  trap ws_end EXIT
  trap 'exit 130' INT TERM
  # A command that fails outside any test of it ends the session with its story told.
  set -o errtrace
  trap 'if [ "$BASH_SUBSHELL" -eq 0 ]; then ws_fail "failed: $BASH_COMMAND (line $LINENO)"; fi' ERR
  ws_wine_stop  # what an earlier session of this prefix may have left running
  ws_frames
}

# With no window manager, Wine draws the windows' frames and title bars itself, their
# buttons in the Marlett font: windows and screenshots then look as they do on Windows.
ws_frames() {
  [ -f "$WINEPREFIX/.patu-frames" ] && return 0
  "$WS_WINE_RUN" "$WS_WINE_DIR" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    >/dev/null 2>&1 || ws_fail "could not set up the Wine prefix $WINEPREFIX"
  if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  ws_wine_stop
  touch "$WINEPREFIX/.patu-frames"
}

# Ends every program of the prefix, and its wineserver.
ws_wine_stop() {
  [ -d "$WINEPREFIX" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  timeout 20 wineserver -w >/dev/null 2>&1 || true
}

ws_end() {
  local status=$? name
  ws_wine_stop
  local pid
  for pid in $WS_PROGRAM_PID $WS_OTHER_PID; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  for name in "${!WS_DEVICE_PID[@]}"; do ws_device_kill "$name"; done
  if [ -n "$WS_XVFB_PID" ]; then
    kill "$WS_XVFB_PID" 2>/dev/null || true
    wait "$WS_XVFB_PID" 2>/dev/null || true
    WS_XVFB_PID=
  fi
  exit "$status"
}

ws_xvfb() {
  local number_file=$WS_ART/.display
  rm -f "$number_file"
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$number_file" \
    >"$WS_ART/xvfb.log" 2>&1 &
  WS_XVFB_PID=$!
  local deadline=$((SECONDS + 20))
  until [ -s "$number_file" ]; do
    kill -0 "$WS_XVFB_PID" 2>/dev/null || { cat "$WS_ART/xvfb.log" >&2; ws_fail "Xvfb did not start"; }
    [ $SECONDS -lt $deadline ] || ws_fail "Xvfb gave no display number"
    sleep 0.05
  done
  DISPLAY=:$(head -n1 "$number_file")
  export DISPLAY
}

# True when DISPLAY names an X server that answers.
ws_display_reachable() {
  [ -n "${DISPLAY:-}" ] && timeout 10 xdpyinfo >/dev/null 2>&1
}

ws_device() {
  local name=$1 n=$2
  shift 2
  local link=$WS_WINE_DIR/ports/com$n pty_file=$WS_ART/$name.pty
  rm -f "$pty_file" "$WS_ART/$name.dump"
  "$WS_EMULATOR" --link "$link" --dump "$WS_ART/$name.dump" --path-file "$pty_file" "$@" \
    >"$WS_ART/$name.log" 2>&1 &
  WS_DEVICE_PID[$name]=$!
  local deadline=$((SECONDS + 20))
  until [ -s "$pty_file" ] && [ "$(readlink "$link")" = "$(head -n1 "$pty_file")" ]; do
    kill -0 "${WS_DEVICE_PID[$name]}" 2>/dev/null ||
      { cat "$WS_ART/$name.log" >&2; ws_fail "device $name ended at start"; }
    [ $SECONDS -lt $deadline ] || ws_fail "device $name never appeared as COM $n"
    sleep 0.05
  done
}

# SIGTERM: the emulator writes its dump and ends.
ws_device_kill() {
  local pid=${WS_DEVICE_PID[$1]:-}
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  unset "WS_DEVICE_PID[$1]"
}

ws_device_stop() {
  ws_device_kill "$1"
  [ "$(tail -n1 "$WS_ART/$1.dump" 2>/dev/null)" = end ] || ws_fail "device $1 left no complete dump"
}

ws_unplug() {
  local link=$WS_WINE_DIR/ports/com$1
  if [ -L "$link" ]; then rm -f "$link"; fi
}

ws_start() {
  "$WS_WINE_RUN" "$WS_WINE_DIR" "$@" >"$WS_ART/program.log" 2>&1 &
  WS_PROGRAM_PID=$!
}

ws_wait_exit() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$WS_PROGRAM_PID" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
  WS_PROGRAM_STATUS=0
  wait "$WS_PROGRAM_PID" || WS_PROGRAM_STATUS=$?
  WS_PROGRAM_PID=
}

ws_other_program() {
  "$WS_WINE_RUN" "$WS_WINE_DIR" "$WS_WINTEXT" --foreground "$1" >"$WS_ART/other-program.log" 2>&1 &
  WS_OTHER_PID=$!
  local deadline=$((SECONDS + 60))
  until grep -q '^foreground' "$WS_ART/other-program.log"; do
    [ $SECONDS -lt $deadline ] || ws_fail "the other program never held the foreground"
    sleep 0.1
  done
}

ws_end_session() {
  timeout 60 wineboot --end-session >>"$WS_ART/wineboot.log" 2>&1
}

# In clock ticks (getconf CLK_TCK a second), user and system.
ws_cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

ws_wineserver_pid() {
  local p
  for p in $(pgrep wineserver); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

# The window's title as an anchored regular expression for xdotool.
ws_title_regex() {
  printf '^%s$' "$(sed 's/[][\\.*^$()+?{}|]/\\&/g' <<<"$1")"
}

# The shown X window titled TITLE, if any. A 1x1 window is the application's hidden owner,
# which carries the application title as well.
ws_find() {
  local id
  for id in $(xdotool search --onlyvisible --name "$(ws_title_regex "$1")" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    if [ "$WIDTH" -gt 1 ] && [ "$HEIGHT" -gt 1 ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

ws_window() {
  local deadline=$((SECONDS + ${2:-30}))
  until ws_find "$1"; do
    [ $SECONDS -lt $deadline ] || ws_fail "no window \"$1\" shown"
    sleep 0.1
  done
}

ws_gone() {
  local deadline=$((SECONDS + ${2:-30}))
  while ws_find "$1" >/dev/null; do
    [ $SECONDS -lt $deadline ] || ws_fail "window \"$1\" still shown"
    sleep 0.1
  done
}

ws_key() {
  timeout 10 xdotool windowfocus --sync "$1" key "$2" || ws_fail "could not press $2 in window $1"
}

# "X Y W H" of a control of the window titled TITLE on the screen, as the last snapshot
# placed it (the window's client area plus the control's place in it).
ws_control_rect() {
  ws_records "$1" | awk -v c="$2" -v t="$3" '
    function rect(line, r) { sub(/.* rect=/, "", line); sub(/ .*/, "", line); split(line, r, ",") }
    /^window / { rect($0, w) }
    /^control / {
      text = $0; sub(/.* text=/, "", text)
      if ($0 ~ (" class=" c " ") && text == t) {
        rect($0, r); print w[1] + r[1], w[2] + r[2], r[3], r[4]; found = 1; exit
      }
    }
    END { exit found ? 0 : 1 }'
}

# Clicks the middle of a control of the window titled TITLE.
ws_click_control() {
  local x y w h
  read -r x y w h < <(ws_control_rect "$@") || ws_fail "no $2 \"$3\" in window \"$1\""
  timeout 10 xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1 ||
    ws_fail "could not click $2 \"$3\" in window \"$1\""
}

# ws_pixel TITLE CLASS TEXT DX DY: the colour, as RRGGBB, of the pixel DX, DY into a control.
ws_pixel() {
  local x y w h
  read -r x y w h < <(ws_control_rect "$1" "$2" "$3") || return 1
  import -window root -crop "1x1+$((x + $4))+$((y + $5))" -depth 8 txt:- 2>/dev/null |
    sed -n 's/.*#\([0-9A-Fa-f]\{6\}\).*/\1/p' | head -n1
}

# True when a control of the window titled TITLE shows on screen what the program draws when
# asked to paint it afresh: a control changed or resized without being redrawn fails. The
# two pictures are kept as ARTIFACTS/NAME-before.png and NAME-after.png.
ws_paint_current() {
  local name=$1 x y w h crop before after
  shift
  read -r x y w h < <(ws_control_rect "$@") || return 1
  crop=${w}x${h}+$x+$y
  before=$(import -window root -crop "$crop" -depth 8 rgb:- | md5sum)
  import -window root -crop "$crop" "$WS_ART/$name-before.png"
  timeout 60 "$WS_WINE_RUN" "$WS_WINE_DIR" "$WS_WINTEXT" --repaint >/dev/null 2>&1 || return 1
  # The program paints when it next handles its messages; a job does so several times a second.
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    sleep 0.2
    after=$(import -window root -crop "$crop" -depth 8 rgb:- | md5sum)
    if [ "$after" != "$before" ]; then
      import -window root -crop "$crop" "$WS_ART/$name-after.png"
      return 1
    fi
  done
}

ws_snapshot() {
  WS_SNAPSHOTS=$((WS_SNAPSHOTS + 1))
  mkdir -p "$WS_ART/texts"
  WS_TEXTS=$WS_ART/texts/$(printf %04d "$WS_SNAPSHOTS").txt
  timeout 60 "$WS_WINE_RUN" "$WS_WINE_DIR" "$WS_WINTEXT" >"$WS_TEXTS" 2>/dev/null ||
    ws_fail "wintext did not answer"
}

# The records of the shown top-level window titled TITLE in the last snapshot: its window
# line, its controls and their further lines.
ws_records() {
  awk -v title="$1" '
    /^window / {
      inside = 0
      t = $0; sub(/.* title=/, "", t)
      r = $0; sub(/.* rect=/, "", r); sub(/ .*/, "", r); split(r, s, ",")
      inside = (t == title && $0 ~ / visible=1 / && s[3] > 0 && s[4] > 0)
    }
    inside' "$WS_TEXTS"
}

# The lines of the multi-line text areas of that window.
ws_memo() {
  ws_records "$1" | awk '
    /^control / { inside = / class=Edit /; if (inside) { t = $0; sub(/.* text=/, "", t); print t } }
    /^\+ / { if (inside) print substr($0, 3) }'
}

# True when the window titled TITLE shows a control of CLASS whose text is exactly TEXT and
# whose record holds every FLAG (such as enabled=0, focus=1).
ws_has() {
  local title=$1 class=$2 text=$3
  shift 3
  ws_records "$title" | awk -v c="$class" -v t="$text" -v flags="$*" '
    /^control / {
      x = $0; sub(/.* text=/, "", x)
      if ($0 !~ (" class=" c " ") || x != t) next
      n = split(flags, f, " "); ok = 1
      for (i = 1; i <= n; ++i) if (index($0, " " f[i] " ") == 0) ok = 0
      if (ok) found = 1
    }
    END { exit found ? 0 : 1 }'
}

# "POS MAX" of the window's progress bar.
ws_progress() {
  ws_records "$1" | sed -n 's/^control .* class=msctls_progress32 .* pos=\([0-9]*\) max=\([0-9]*\) .*/\1 \2/p'
}

# True when the window titled TITLE is shown and takes input.
ws_enabled() {
  ws_records "$1" | head -n1 | grep -q ' enabled=1 '
}

ws_wait() {
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  while :; do
    ws_snapshot
    if "$@"; then
      echo "seen: $what"
      return 0
    fi
    [ $SECONDS -lt $deadline ] || ws_fail "timed out waiting for: $what"
    sleep 0.2
  done
}

ws_check() {
  local what=$1
  shift
  "$@" || ws_fail "$what"
  echo "ok: $what"
}

# Like ws_check, but the session goes on: a failure is told at once and counted in
# WS_FAILURES, for checks whose failure leaves the rest of a run worth judging.
ws_expect() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAIL: $what" >&2
    WS_FAILURES=$((WS_FAILURES + 1))
  fi
}

ws_shot() {
  import -window "${2:-root}" "$WS_ART/$1.png" 2>/dev/null || echo "(no screenshot $1)" >&2
}

ws_fail() {
  trap - ERR
  echo "FAIL: $*" >&2
  if [ -n "${DISPLAY:-}" ] && [ -n "${WS_WINTEXT:-}" ] && [ -n "$WS_PROGRAM_PID" ]; then
    WS_SNAPSHOTS=$((WS_SNAPSHOTS + 1))
    WS_TEXTS=$WS_ART/texts/failure.txt
    mkdir -p "$WS_ART/texts"
    timeout 20 "$WS_WINE_RUN" "$WS_WINE_DIR" "$WS_WINTEXT" >"$WS_TEXTS" 2>/dev/null || true
    echo "--- what the windows show (long texts cut):" >&2
    awk '/^\+ / { if (++more[last] > 8) next } /^(window|control) / { last = NR } { print }' \
      "$WS_TEXTS" >&2
    ws_shot failure
  fi
  local log
  for log in "$WS_ART"/*.log; do
    [ -s "$log" ] || continue
    echo "--- $(basename "$log"):" >&2
    tail -n 20 "$log" >&2
  done
  echo "(artifacts: $WS_ART)" >&2
  exit 1
}

# --- pATU.exe as a person sees it ---------------------------------------------------------

WS_MAIN="Atualização Cartucho V2 (Vorn/Tasl.)"
WS_APP="Atualização Cartucho VORN"
WS_IDLE="Atualização não executada"
WS_PROMPT_LINES=(
  "Para iniciar a atualização deste cartucho, coloque-o"
  "em MODO DE ATUALIZAÇÃO e pressione OK para"
  "iniciar o procedimento."
  ""
  "MODO DE ATUALIZAÇÃO: ligue o aparelho com as"
  "duas setas pressionadas (<- e ->)."
)
WS_DONE_LINES=("Atualização concluída com sucesso!!")

# ws_dialog_shows TITLE OK CANCEL LINES...: the message dialog titled TITLE is up, the main
# window waits for it, it shows exactly LINES, and "OK" and "Cancelar" are enabled (1) or
# not (0) as given.
ws_dialog_shows() {
  local title=$1 ok=$2 cancel=$3
  shift 3
  ws_has "$title" Button OK "enabled=$ok" && ws_has "$title" Button Cancelar "enabled=$cancel" &&
    [ "$(ws_memo "$title")" = "$(printf '%s\n' "$@")" ] && ! ws_enabled "$WS_MAIN"
}

# ws_main_idle STATUS: the main window takes input, no message dialog is up, and the status
# line reads STATUS.
ws_main_idle() {
  ws_enabled "$WS_MAIN" && ws_has "$WS_MAIN" Static "$1" && ! ws_find Mensagem >/dev/null &&
    ! ws_find "Erro de comunicação" >/dev/null && ! ws_find "Incompatibilidade de Versão" >/dev/null
}

ws_patu_start() {
  ws_start "$1"
  ws_window "$WS_MAIN" 120 >/dev/null
  ws_wait "the package shown and the status line idle" 30 ws_main_idle "$WS_IDLE"
}

# "Atualiza" holds the focus whenever the main window is active: a space presses it.
ws_press_atualiza() {
  ws_key "$(ws_window "$WS_MAIN")" space
  ws_wait "the prompt (message 0)" 30 ws_dialog_shows Mensagem 1 1 "${WS_PROMPT_LINES[@]}"
}

# By mouse, as a person would; waits until the dialog is gone.
ws_answer() {
  ws_click_control "$1" Button "$2"
  ws_gone "$1"
}
