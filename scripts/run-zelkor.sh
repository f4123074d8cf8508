#!/usr/bin/env bash
# Starts the rotator window against the simulated control unit.
#
# Prepares ./run/ (language file and dial picture beside the program's
# settings), starts rotorsim with its device linked as ./run/COM1 and starts
# zelkor there. With a display it waits until the window is closed. Without
# one it runs both under Xvfb and goes through a short session as a person
# would: watch the poll, type 123 into the position field, press GO, wait
# for the needle, take a screenshot (run/screenshot.png), press Exit, and
# print the commands the simulated unit received. With ZK_BOTH_AXES=1 the
# window shows the elevation too (its view choice on) and the session also
# moves the elevation to 45 degrees.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZK_BUILD_DIR:-$root/build}"
zelkor="$build/app/zelkor"
rotorsim="$build/rotorsim/rotorsim"
work="$root/run"

for exe in "$zelkor" "$rotorsim"; do
  [ -x "$exe" ] || { echo "missing $exe: build first (./run.sh)"; exit 1; }
done

mkdir -p "$work"
# Files a user may have edited in run/ are kept.
for f in Zelkor_M_language.csv Windrose_AZ.jpg; do
  [ -e "$work/$f" ] || cp "$root/data/$f" "$work/"
done
log="$work/rotorsim.log"
rm -f "$log"

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null || true
  done
  for p in "${pids[@]}"; do
    wait "$p" 2>/dev/null || true
  done
}
trap cleanup EXIT

start_unit() {
  "$rotorsim" --link "$work/COM1" --log "$log" "$@" > "$work/rotorsim.out" 2>&1 &
  pids+=($!)
  local i
  for i in $(seq 100); do
    [ -L "$work/COM1" ] && return 0
    sleep 0.1
  done
  echo "rotorsim did not come up:"; cat "$work/rotorsim.out"; exit 1
}

if [ -n "${DISPLAY:-}" ]; then
  start_unit
  echo "Simulated unit on $(cat "$work/rotorsim.out"), linked as $work/COM1"
  (cd "$work" && "$zelkor")
  echo "Commands the simulated unit received:"
  cat "$log"
  exit 0
fi

# ---- no display: a short session under Xvfb
display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free X display number"; exit 1; }
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.out" 2>&1 &
pids+=($!)
export DISPLAY="$display"
for i in $(seq 100); do
  xdotool getdisplaygeometry > /dev/null 2>&1 && break
  sleep 0.1
done

# A quick unit so that the needle arrives within a few polls.
start_unit --az-speed 60 --el-speed 30
rm -f "$work/Zelkor_M.ini" # a first start: the settings file is created
both="${ZK_BOTH_AXES:-0}"
if [ "$both" = 1 ]; then
  printf 'ShowElevation=1\n' > "$work/Zelkor_M_extra.ini"
else
  rm -f "$work/Zelkor_M_extra.ini"
fi
(cd "$work" && exec "$zelkor") > "$work/zelkor.out" 2>&1 &
zpid=$!
pids+=($zpid)

# wait_for <seconds> <description> <command...>
wait_for() {
  local secs=$1 what=$2
  shift 2
  local i
  for i in $(seq $((secs * 10))); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "timed out waiting for $what"
  cat "$work/zelkor.out"
  exit 1
}
polls() { grep -c ' C2\?<CR>' "$log" 2>/dev/null || true; }
polls_above() { [ "$(polls)" -gt "$1" ]; }

wait_for 20 "the window" xdotool search --name "Zelkor G V1.0"
win=$(xdotool search --name "Zelkor G V1.0" | head -1)
echo "Window $win is up; waiting for the poll"
wait_for 10 "the first poll" polls_above 0
# The window takes its size once shown: click only when it has it.
full="201x370"
[ "$both" = 1 ] && full="405x406"
has_size() { xdotool getwindowgeometry "$win" | grep -q "Geometry: $full"; }
wait_for 10 "the window at $full" has_size

# Client coordinates: the position field and GO sit in "Manual 1" (42, 265).
xdotool windowfocus --sync "$win" 2>/dev/null || true
xdotool mousemove --window "$win" 60 323 click 1
xdotool type --delay 120 "123"
xdotool mousemove --window "$win" 99 322 click 1
wait_for 10 "the move command" grep -q 'M123<CR>' "$log"
echo "GO sent M123; waiting for the needle"
if [ "$both" = 1 ]; then
  # The elevation field and GO 2 sit in "Manual 2" (247, 300).
  xdotool mousemove --window "$win" 345 358 click 1
  xdotool type --delay 120 "45"
  xdotool mousemove --window "$win" 304 357 click 1
  wait_for 10 "the elevation move" grep -q 'MB045<CR>' "$log"
  echo "GO 2 sent MB045"
fi
# Move the pointer off the window (no tool tip, no dial under it).
xdotool mousemove 700 550
after=$(polls)
wait_for 15 "three more polls" polls_above $((after + 2))
sleep 0.5 # let the last report paint

import -window "$win" "$work/screenshot.png"
echo "Screenshot: run/screenshot.png"

# Exit, as a user would: the program closes the port and saves its settings.
xdotool mousemove --window "$win" 158 22 click 1
for i in $(seq 50); do
  kill -0 "$zpid" 2>/dev/null || break
  sleep 0.1
done
echo "Settings written by the program (run/Zelkor_M.ini):"
tr -d '\r' < "$work/Zelkor_M.ini" | paste -sd' '
echo "Commands the simulated unit received:"
cat "$log"
exit 0
