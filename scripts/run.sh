#!/usr/bin/env bash
# Starts the window program. Where there is no display (no DISPLAY and no WAYLAND_DISPLAY), it
# runs the real program on a virtual screen (Xvfb) for a few seconds instead and saves a
# screenshot of its window.
# Usage: scripts/run.sh [BUILD_DIR]
set -euo pipefail

build_dir=${1:-build}
program=$build_dir/morvane
seconds=5
screenshot=$build_dir/morvane-screenshot.png

if [ ! -x "$program" ]; then
  echo "run: $program is not built; run 'make run'" >&2
  exit 1
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || [ -n "${SDL_VIDEODRIVER:-}" ]; then
  exec "$program"
fi

echo "run: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)."
echo "run: running Morvane on a virtual 1920x1080 screen (Xvfb) for $seconds seconds instead."

work=$(mktemp -d)
xvfb_pid=
program_pid=
cleanup() {
  for pid in $program_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $program_pid $xvfb_pid; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to fd 3 once it is ready.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "run: the virtual screen did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
display=":$(head -n1 "$work/display")"

DISPLAY=$display "$program" 2>"$work/morvane.err" &
program_pid=$!
sleep "$seconds"
if ! kill -0 "$program_pid" 2>/dev/null; then
  status=0
  wait "$program_pid" || status=$?
  program_pid=
  echo "run: Morvane ended early with exit code $status:" >&2
  cat "$work/morvane.err" >&2
  exit 1
fi

window=$(DISPLAY=$display timeout 10 xdotool search --onlyvisible --classname tilvex | head -n1 || true)
DISPLAY=$display timeout 20 import -window "${window:-root}" "png:$screenshot"

# SIGTERM is a clean quit, like Esc.
kill -TERM "$program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=
echo "run: Morvane ran for $seconds seconds and quit with exit code $status."
echo "run: screenshot of its window: $screenshot"
