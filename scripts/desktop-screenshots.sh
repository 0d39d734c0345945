#!/usr/bin/env bash
# Screenshots of tobble on a real X11 desktop (Xvfb + openbox, a private session bus), for
# docs/screenshots: the panel as a window where there is no tray, and the floating panel over a
# StatusNotifier tray. Needs the build (build/debug), imagemagick's `import` and the tray programs
# scripts/install-deps.sh installs.
#   scripts/desktop-screenshots.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
build=build/debug
work=$(mktemp -d)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; sleep 0.5; rm -rf "$work"; }
trap cleanup EXIT

export DISPLAY=:71 XDG_SESSION_TYPE=x11 WAYLAND_DISPLAY=
Xvfb "$DISPLAY" -screen 0 1024x640x24 -nolisten tcp & pids+=($!)
sleep 1
export DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$work/bus.pid" | head -1)
pids+=("$(cat "$work/bus.pid")")
openbox >/dev/null 2>&1 & pids+=($!)
xsetroot -solid '#5b6b7b' 2>/dev/null || true
mkdir -p "$work/config/Tobble" "$work/runtime" && chmod 700 "$work/runtime"
printf '[General]\nonboardingCompleted=bool:true\n' >"$work/config/Tobble/Tobble.ini"
run_tobble() {
  XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" \
    TOBBLE_AUDIO=sim QT_QPA_PLATFORM=xcb "$build/shell/tobble" >"$work/tobble.log" 2>&1 &
  pids+=($!)
}

# No tray: the panel is a window.
run_tobble
sleep 3
import -window root "$out/x11-no-tray-window.png"
kill "${pids[-1]}"; sleep 1

# A StatusNotifier tray at the bottom; the panel floats above it.
status-notifier-watcher >/dev/null 2>&1 & pids+=($!)
sleep 1
gtk-sni-tray-standalone --bottom >/dev/null 2>&1 & pids+=($!)
sleep 1
run_tobble
sleep 3
"$build/tools/tobblectl/tobblectl" panel show
sleep 1.5
import -window root "$out/x11-tray-panel.png"
echo "wrote $out/x11-no-tray-window.png and $out/x11-tray-panel.png"
