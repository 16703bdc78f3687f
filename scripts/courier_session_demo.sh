#!/usr/bin/env bash
# A scripted input-courier session, as a host application drives one: begin on
# our target window, a click, a drag, typed text, a shortcut, end.  Prints every
# request line (>>) and event line (<<), then what the target application
# received.  Starts a virtual desktop of its own (Xvfb + openbox) and stops
# everything it started when it ends, also on failure or Ctrl-C.
#   scripts/courier_session_demo.sh [BIN_DIR]    (default: build/default/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/default/bin}

work=$(mktemp -d /tmp/quorl-session-demo-XXXXXX)
pids=()
cleanup() {
  local p
  exec 7>&- 2>/dev/null || true
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    p=${pids[i]}
    kill -TERM "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The desktop: Xvfb picks a free display and names it on fd 3.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -1 "$work/display")"
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)
sleep 0.5

# Our target application logs every X event it receives as a JSON line.
"$bin/xlib-target" --title "courier session demo" --geometry 400x300+100+100 >"$work/target.log" 2>&1 &
target=$!
pids+=($target)
for _ in $(seq 200); do grep -q '"event":"ready"' "$work/target.log" 2>/dev/null && break; sleep 0.05; done
window=$(grep -o '"window":[0-9]*' "$work/target.log" | head -1 | cut -d: -f2)

# The host names the target by pid and start token (process start from /proc).
btime=$(awk '/^btime/ {print $2}' /proc/stat)
ticks=$(sed 's/.*) //' "/proc/$target/stat" | awk '{print $20}')
micros=$((btime * 1000000 + ticks * 1000000 / $(getconf CLK_TCK)))
start="$((micros / 1000000)):$((micros % 1000000))"

# input-courier serve, its lock files in a private runtime directory.
mkdir -m 700 "$work/run"
mkfifo "$work/requests"
XDG_RUNTIME_DIR="$work/run" "$bin/input-courier" serve <"$work/requests" >"$work/events.log" 2>"$work/courier.err" &
courier=$!
pids+=($courier)
exec 7>"$work/requests"
shown=0
# Sends one request, waits (up to 10 s) for a new event line matching $2, and
# prints the new event lines; the last one is left in $answer.
request() {
  echo ">> $1"
  echo "$1" >&7
  for _ in $(seq 1000); do
    tail -n +"$((shown + 1))" "$work/events.log" | grep -q "$2" && break
    sleep 0.01
  done
  local n
  n=$(wc -l <"$work/events.log")
  tail -n +"$((shown + 1))" "$work/events.log" | head -n "$((n - shown))" | sed 's/^/<< /'
  answer=$(sed -n "${n}p" "$work/events.log")
  shown=$n
}
s='"session":"demo","generation":1'
until grep -q '"event":"hello"' "$work/events.log"; do sleep 0.01; done
sed 's/^/<< /' "$work/events.log"
shown=1
# A fresh display counts as the user's latest input, and the target is in front:
# "begin" is refused "user_active_in_target" until 1.5 s have passed; a host retries.
for _ in $(seq 20); do
  request "{\"op\":\"begin\",$s,\"pid\":$target,\"process_start\":\"$start\"}" '"event":"ready"\|"op":"begin"'
  case "$answer" in *user_active_in_target*) sleep 0.5 ;; *) break ;; esac
done
request "{\"op\":\"act\",$s,\"seq\":1,\"window_id\":$window,\"action\":{\"kind\":\"click\",\"x\":200,\"y\":180}}" '"seq":1,'
request "{\"op\":\"act\",$s,\"seq\":2,\"window_id\":$window,\"action\":{\"kind\":\"drag\",\"x\":150,\"y\":150,\"to_x\":350,\"to_y\":300,\"duration_ms\":200}}" '"seq":2,'
request "{\"op\":\"act\",$s,\"seq\":3,\"window_id\":$window,\"action\":{\"kind\":\"type_text\",\"text\":\"Héllo, world!\\n\"}}" '"seq":3,'
request "{\"op\":\"act\",$s,\"seq\":4,\"window_id\":$window,\"action\":{\"kind\":\"press_key\",\"key\":\"s\",\"modifiers\":[\"ctrl\"]}}" '"seq":4,'
request "{\"op\":\"end\",$s}" '"event":"ended"'
exec 7>&-
wait "$courier" && echo "input-courier exited with status 0 at the end of its input"

echo
echo "What the target application received (buttons, keys, and the drag's motion):"
python3 - "$work/target.log" <<'PY'
import json, sys
motions = 0
for line in open(sys.argv[1]):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    kind = e.get("event")
    if kind == "MotionNotify" and e.get("state", 0) & 0x100:
        motions += 1
        continue
    if motions:
        print(f"  {motions} pointer motions with button 1 held")
        motions = 0
    if kind in ("ButtonPress", "ButtonRelease"):
        print(f"  {kind} button {e['button']} at ({e['x']}, {e['y']}) in the window")
    elif kind == "KeyPress":
        print(f"  KeyPress {e['keysym']} text {json.dumps(e.get('text', ''), ensure_ascii=False)} state {e['state']}")
PY
