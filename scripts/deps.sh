#!/usr/bin/env bash
# Installs the Debian 12 packages Tavrel needs to build, run and test, when
# they are missing. Runs as root, or through sudo.
set -euo pipefail
packages=(cmake g++ make pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libftdi1-dev
          # dusk and dawn for the steps tied to the sky; the tests look up time zones
          libnova-dev tzdata
          umockdev libumockdev-dev fonts-liberation xvfb xauth
          # tavrel-run --web: Qt's HTTP server, the QR code in the terminal;
          # the page's test in a real browser, headless
          qt6-httpserver-dev qt6-websockets-dev libqrencode-dev chromium chromium-driver
          # Qt's own words (context menus, standard buttons) in French
          qt6-translations-l10n
          # packaging test: validators, the Debian package tools and lintian
          desktop-file-utils appstream dpkg-dev fakeroot file lintian man-db
          # scripts/screenshots.sh: screen grabs and clicks on the menus
          imagemagick xdotool)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
