#!/usr/bin/env bash
# Runs a command on a fresh virtual display under a real window manager (openbox with a tall title
# bar), so that the window gets a real frame. Usage: with_window_manager.sh COMMAND [ARGS...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ -z "${TQ330_INSIDE_XVFB:-}" ]; then
  exec env TQ330_INSIDE_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
openbox --config-file "$here/openbox-tall-title.xml" >/dev/null 2>&1 &
wm=$!
trap 'kill $wm 2>/dev/null || true' EXIT
# The window manager announces itself on the root window once it manages windows.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done
QT_QPA_PLATFORM=xcb "$@"
