#!/usr/bin/env bash
# ./run bench: the full update of the shipped package against the device emulator paced at
# 9600 baud, (a) by pATU.exe under Wine on a private Xvfb, driven as a person would, and
# (b) by the native core (POSIX serial backend, real pauses). Each run is set against the
# line's limit worked out from the emulator's own log of that run (bench/line_limit.cpp).
# Then (c): the native protocol waiting out its 5 s for a reply on a dead line.
# Writes build/bench/report.md and prints it. Measures; fails only when a run goes wrong.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$repo/build/bench
release=$repo/build/native-release
win64=${PATU_WIN64_BUILD:-$repo/build/win64}
package=$repo/resources/pacote.txt

echo "== build the native side, optimised ($release)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target patu-emulator patu-image-check patu-bench-update \
  patu-bench-line patu-bench-dead-line

# shellcheck source=../tools/wine-session.sh
source "$repo/tools/wine-session.sh"
WS_EMULATOR=$release/tools/emulator/patu-emulator
WS_WINTEXT=$win64/tests/e2e/wintext.exe
for f in "$win64/pATU.exe" "$WS_WINTEXT"; do
  [ -f "$f" ] || { echo "bench: $f is missing: run ./run build first" >&2; exit 1; }
done
rm -rf "$out/texts" "$out"/*.dump "$out"/*.log "$out"/*.out "$out"/*.png "$out/report.md"
ws_begin "$out/wine" "$out"
ws_xvfb

hz=$(getconf CLK_TCK)
now() { date +%s.%N; }
vmhwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
calc() { awk "BEGIN { printf \"$1\n\", $2 }"; }
field() { sed -n "s/^$1=//p" "$2"; }

echo "== (a) pATU.exe under Wine, the device at 9600 baud"
# The prefix is made, and Wine's first boot in it paid, before anything is timed.
ws_start "$WS_WINTEXT"
ws_wait_exit 300 || ws_fail "Wine did not make its prefix"
ws_wine_stop
ws_device wine 1 --baud 9600
t_device=$(now)  # the device's clock started a few ms before

t_launch=$(now)
ws_start "$win64/pATU.exe"
deadline=$((SECONDS + 120))
until ws_find "$WS_MAIN" >/dev/null; do
  [ $SECONDS -lt $deadline ] || ws_fail "pATU.exe showed no window"
  sleep 0.02
done
t_shown=$(now)
ws_wait "the package shown" 30 ws_main_idle "$WS_IDLE"
ws_press_atualiza
patu_pid=$WS_PROGRAM_PID
server_pid=$(ws_wineserver_pid) || ws_fail "no wineserver for $WINEPREFIX"

ws_click_control Mensagem Button OK
t_ok=$(now)
cpu_ok=$(ws_cpu_ticks "$patu_pid")
server_ok=$(ws_cpu_ticks "$server_pid")
ws_gone Mensagem
deadline=$((SECONDS + 1800))
until ws_find Mensagem >/dev/null || ws_find "$WS_APP" >/dev/null; do
  [ $SECONDS -lt $deadline ] || ws_fail "the update never ended"
  sleep 0.1
done
t_done=$(now)
cpu_done=$(ws_cpu_ticks "$patu_pid")
server_done=$(ws_cpu_ticks "$server_pid")
hwm_a=$(vmhwm_kb "$patu_pid")
ws_wait "message 7" 30 ws_dialog_shows Mensagem 1 0 "${WS_DONE_LINES[@]}"
ws_answer Mensagem OK
ws_wait_exit 60 || ws_fail "pATU.exe did not end"
ws_device_stop wine
"$release/tools/emulator/patu-image-check" "$package" "$out/wine.dump" >"$out/wine-check.out" ||
  ws_fail "(a) left the device without the complete image: $(cat "$out/wine-check.out")"
"$release/bench/patu-bench-line" "$out/wine.dump" >"$out/wine-line.out"

echo "== (b) the native core, the device at 9600 baud"
ws_device native 2 --baud 9600
"$release/bench/patu-bench-update" "$WS_WINE_DIR/ports/com2" >"$out/native.out" ||
  ws_fail "(b) the update did not complete: $(cat "$out/native.out")"
ws_device_stop native
"$release/tools/emulator/patu-image-check" "$package" "$out/native.dump" >"$out/native-check.out" ||
  ws_fail "(b) left the device without the complete image: $(cat "$out/native-check.out")"
"$release/bench/patu-bench-line" "$out/native.dump" >"$out/native-line.out"

echo "== (c) the native core waiting for a reply on a dead line"
"$release/bench/patu-bench-dead-line" >"$out/dead-line.out" ||
  ws_fail "(c) the wait on the dead line did not end in a time-out: $(cat "$out/dead-line.out")"

# --- the table ------------------------------------------------------------------------------
wall_a=$(calc %.3f "$t_done - $t_ok")
wall_b=$(calc %.3f "$(field job_ms "$out/native.out") / 1000")
cpu_a=$(calc %.2f "($cpu_done - $cpu_ok) / $hz")
cpu_b=$(calc %.2f "$(field cpu_ms "$out/native.out") / 1000")
la=$out/wine-line.out lb=$out/native-line.out
row() { printf '| %s | %s | %s |\n' "$@"; }
seconds() { calc %.1f "$(field "$1" "$2") / 1000"; }
# ratio WALL LINE_FILE FIELD: the wall time over a figure of the line.
ratio() { calc %.3f "$1 / ($(field "$3" "$2") / 1000)"; }
# The host's own time: the line waiting for it between exchanges, plus the wall time outside
# the exchanges (before the probe, after the last reply).
own() {
  local gaps outside
  gaps=$(calc %.3f "$(field host_ms "$2") / 1000")
  outside=$(calc %.3f "$1 - $(field span_ms "$2") / 1000")
  calc '%.2f s + %.2f s = %.2f s (%.1f %%)' "$gaps, $outside, $gaps + $outside, 100 * ($gaps + $outside) / $1"
}
# (a) only, where the device's clock and this script's can be set side by side.
before_probe=$(calc %.2f "$(field start_ms "$la") / 1000 - ($t_ok - $t_device)")
after_last=$(calc %.2f "($t_done - $t_device) - $(field end_ms "$la") / 1000")
{
  echo "# pATU at 9600 baud: measured against the line's limit"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average before the runs:" \
    "$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '/'). Device emulator paced at 9600 baud 8N1," \
    "$(field byte_us "$la") µs a byte; shipped package; both runs left the device with the" \
    "complete image (patu-image-check)."
  echo
  row "" "(a) pATU.exe, Wine + Xvfb" "(b) native core, POSIX port"
  row "---" "---" "---"
  row "commands exchanged" "$(field commands "$la")" "$(field commands "$lb")"
  row "wall time, the prompt's OK to message 7 (s)" "$(calc %.1f "$wall_a")" "$(calc %.1f "$wall_b")"
  row "device's clock, the probe to the last reply (s)" "$(seconds span_ms "$la")" "$(seconds span_ms "$lb")"
  row "line limit (s)" "$(seconds limit_ms "$la")" "$(seconds limit_ms "$lb")"
  row "**ratio** wall time / line limit (target ≤ 1.03)" "**$(ratio "$wall_a" "$la" limit_ms)**" "**$(ratio "$wall_b" "$lb" limit_ms)**"
  row "floor of this pseudo-terminal link (s)" "$(seconds floor_ms "$la")" "$(seconds floor_ms "$lb")"
  row "ratio wall time / floor of this link" "$(ratio "$wall_a" "$la" floor_ms)" "$(ratio "$wall_b" "$lb" floor_ms)"
  row "host's own time: between exchanges + outside them" "$(own "$wall_a" "$la")" "$(own "$wall_b" "$lb")"
  row "of which outside: OK to the probe / the last reply to message 7 (s)" "$before_probe / $after_last" "-"
  row "CPU time of the program (s)" "$cpu_a" "$cpu_b"
  row "**CPU share** of the wall time (target ≤ 2 %)" "**$(calc %.2f "100 * $cpu_a / $wall_a") %**" "**$(calc %.2f "100 * $cpu_b / $wall_b") %**"
  row "wineserver's CPU share (not counted above)" "$(calc %.2f "100 * ($server_done - $server_ok) / $hz / $wall_a") %" "-"
  row "peak memory, VmHWM (MiB)" "$(calc %.1f "$hwm_a / 1024")" "$(calc %.1f "$(field vmhwm_kb "$out/native.out") / 1024")"
  row "size of pATU.exe (bytes)" "$(stat -c %s "$win64/pATU.exe")" "-"
  row "start to the window shown (s)" "$(calc %.2f "$t_shown - $t_launch")" "-"
  echo
  dead=$out/dead-line.out
  echo "(c) A 5-second wait for a reply on a dead line (native core, system clock, every read" \
    "failing at once): $(calc %.2f "$(field wait_ms "$dead") / 1000") s in $(field polls "$dead")" \
    "one-byte polls, $(calc %.1f "$(field cpu_ms "$dead")") ms of CPU" \
    "($(calc %.2f "100 * $(field cpu_ms "$dead") / $(field wait_ms "$dead")") %)."
  echo
  echo "How to read it: README.md, section \"Benchmark\"."
} >"$out/report.md"
echo
cat "$out/report.md"
