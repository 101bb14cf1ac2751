#!/usr/bin/env bash
# Installs what Kestrix needs on Debian 12: compilers, CMake, the libraries
# it links and the programs its tests drive. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake pkg-config clang clang-format clang-tidy libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev qt6-base-dev qt6-base-private-dev qt6-qpa-plugins libcurl4-openssl-dev fonts-dejavu-core fonts-dejavu-extra
  curl python3 python3-requests iproute2 chromium firefox-esr nodejs wget
  dpkg-dev fakeroot desktop-file-utils systemd man-db
  libxcb1-dev xvfb openbox xdotool x11-utils trayer xterm
  dbus-daemon at-spi2-core python3-pyatspi
  libseccomp-dev golang-go busybox-static
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
