#!/usr/bin/env bash
# Installs every Debian package that building, testing, benchmarking and the demo need.
# Quick when everything is already there: dpkg is asked first, apt only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libicu-dev
  libx11-dev libx11-xcb-dev libxcb1-dev libxcb-res0-dev libxcb-xinput-dev libxcb-xtest0-dev
  libxcb-shape0-dev libxcb-screensaver0-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-xfixes0-dev
  libxi-dev libxtst-dev libxss-dev libxext-dev libxrender-dev libxkbcommon-dev libxcb-xkb-dev
  libcairo2-dev libpango1.0-dev libglib2.0-dev libgtk-3-dev libatspi2.0-dev
  libtesseract-dev libleptonica-dev tesseract-ocr tesseract-ocr-eng
  xvfb xauth openbox xdotool x11-utils x11-xserver-utils xinput xcompmgr imagemagick
  dbus dbus-x11 at-spi2-core fonts-dejavu-core
  procps psmisc python3 python3-psutil
  libclang-rt-14-dev clang-14
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
