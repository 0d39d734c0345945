#!/usr/bin/env bash
# Checks the Debian package that `make package` builds.
#   check_package.sh contents DEB   lintian, the file list, the desktop entry, the AppStream data
#                                   and the manual pages
#   check_package.sh programs DEB   the unpacked programs, and D-Bus activation through the
#                                   packaged service file on a private session bus
set -euo pipefail
mode=$1
deb=$2
[ -f "$deb" ] || { echo "no package at $deb: build it with make package" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tobble-package.XXXXXX")
bus_pid=""
tobble_pid=""
cleanup() {
  if [ -n "$tobble_pid" ]; then kill "$tobble_pid" 2>/dev/null || true; fi
  if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root"

contents() {
  # Errors fail the check; warnings and notes are printed for the release notes to explain.
  local report
  report=$(lintian --display-info --tag-display-limit 0 "$deb" 2>&1) || true
  echo "lintian:"; echo "${report:-(nothing to report)}"
  if grep -q '^E: ' <<<"$report"; then echo "lintian reports errors" >&2; exit 1; fi

  local listing missing=0
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in usr/bin/tobble usr/bin/tobblectl \
      usr/share/applications/org.tobble.Tobble.desktop \
      usr/share/metainfo/org.tobble.Tobble.metainfo.xml \
      usr/share/icons/hicolor/scalable/apps/tobble.svg \
      usr/share/icons/hicolor/scalable/apps/tobble-symbolic.svg \
      usr/share/dbus-1/services/org.tobble.Tobble.service \
      usr/share/dbus-1/interfaces/org.tobble.Tobble1.xml \
      usr/share/man/man1/tobble.1.gz usr/share/man/man1/tobblectl.1.gz \
      usr/share/bash-completion/completions/tobblectl \
      usr/share/doc/tobble/copyright; do
    grep -qx "\./$path" <<<"$listing" || { echo "the package lacks /$path" >&2; missing=1; }
  done
  [ "$missing" = 0 ]

  desktop-file-validate "$root/usr/share/applications/org.tobble.Tobble.desktop"
  appstreamcli validate --no-net "$root/usr/share/metainfo/org.tobble.Tobble.metainfo.xml"

  local page warnings
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -ww -man -Tutf8 -z 2>&1)
    [ -z "$warnings" ] || { echo "${page##*/}: $warnings" >&2; exit 1; }
  done
}

programs() {
  local bin=$root/usr/bin
  "$bin/tobblectl" --version | grep -x "tobblectl [0-9.]*"
  "$bin/tobble" --version | grep -x "tobble [0-9.]* (build .*)"

  # The packaged service file, pointed at the unpacked program instead of /usr/bin/tobble.
  mkdir -p "$scratch/services" "$scratch/home" "$scratch/runtime"
  chmod 700 "$scratch/runtime"
  local service=$root/usr/share/dbus-1/services/org.tobble.Tobble.service
  grep -qx "Exec=/usr/bin/tobble" "$service" || { echo "unexpected Exec in $service" >&2; exit 1; }
  sed "s|^Exec=/usr/bin/tobble$|Exec=$bin/tobble|" "$service" \
    >"$scratch/services/org.tobble.Tobble.service"
  cat >"$scratch/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$scratch/bus</listen>
  <servicedir>$scratch/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  # Activated programs inherit the bus's environment: headless, simulated sound, scratch home.
  bus_pid=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen TOBBLE_AUDIO=sim \
    HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" \
    XDG_DATA_HOME="$scratch/home/.local/share" XDG_RUNTIME_DIR="$scratch/runtime" \
    dbus-daemon --config-file="$scratch/bus.conf" --fork --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$scratch/bus

  # Only `panel show` starts Tobble: a status bar's poll must not bring back one that was quit.
  local status=0
  "$bin/tobblectl" list 2>/dev/null || status=$?
  [ "$status" = 4 ] || { echo "tobblectl list exited $status with Tobble stopped, not 4" >&2; exit 1; }
  "$bin/tobblectl" panel show
  "$bin/tobblectl" list
  tobble_pid=$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID \
    string:org.tobble.Tobble | awk '{print $2}')
  [ "$(readlink "/proc/$tobble_pid/exe")" = "$bin/tobble" ] ||
    { echo "org.tobble.Tobble is not the unpacked tobble" >&2; exit 1; }
}

case $mode in
  contents | programs) "$mode" ;;
  *) echo "usage: check_package.sh contents|programs DEB" >&2; exit 2 ;;
esac
