#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only when some are missing.
# Runs apt-get directly as root, through sudo otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev uuid-dev
  qt6-base-dev qt6-svg-dev qt6-wayland weston
  libxcb1-dev libxcb-keysyms1-dev libxcb-xinput-dev xvfb xauth xdotool openbox
  haskell-status-notifier-item-utils haskell-gtk-sni-tray-utils
  libpipewire-0.3-dev libspa-0.2-dev pipewire pipewire-bin wireplumber dbus
  pipewire-pulse pipewire-alsa pulseaudio-utils alsa-utils
  at-spi2-core python3-pyatspi
  dpkg-dev lintian desktop-file-utils appstream groff-base
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ...), or install sudo and run this again." >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
# Through env: sudo would drop the variable from the environment.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
