#!/usr/bin/env bash
# The main job on a virtual X display: installs what it needs, builds, then
# quorl-demo starts a desktop of its own (Xvfb + openbox), opens our target
# application, lets the programs of the suite work on it and explains each step.
# Everything the demo starts is stopped when it ends, also on failure or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the demo runs; a new step that needs another program adds it here.
TARGETS=(quorl-demo xlib-target gtk-target input-courier)

bash scripts/deps.sh
echo "demo: building ${TARGETS[*]} (preset default)" >&2
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target "${TARGETS[@]}" >/dev/null

demo_pid=
stop_demo() {
  # quorl-demo stops its own desktop; this only covers the script being killed.
  if [ -n "$demo_pid" ] && kill -0 "$demo_pid" 2>/dev/null; then
    kill -TERM "$demo_pid" 2>/dev/null || true
    wait "$demo_pid" 2>/dev/null || true
  fi
}
trap stop_demo EXIT
trap 'exit 130' INT TERM

build/default/bin/quorl-demo "$@" &
demo_pid=$!
wait "$demo_pid"

# --- input-courier session ---------------------------------------------------
# A scripted session with the real service on a desktop of its own: begin, a
# click, a drag, typed text, a shortcut, end; the request and event lines, then
# what the target application received.
echo
echo "== input-courier session"
bash scripts/courier_session_demo.sh build/default/bin
