#!/usr/bin/env bash
# Installs the Debian 12 packages the station needs to build, test and run its demo.
# Idempotent: asks apt-get only for what is missing; uses sudo when not root.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-serialport-dev qt6-serialbus-dev
  libqt6sql6-sqlite libqcustomplot-dev libgl-dev
  fonts-noto-cjk sqlite3
  xvfb xauth openbox imagemagick xdotool poppler-utils
  clang-14 libclang-rt-14-dev lld
  # the install check: desktop-file-validate, systemd-analyze and a user manager, man
  desktop-file-utils systemd man-db
  # the site network: broker and client library, PostgreSQL server and client library
  mosquitto libmosquitto-dev postgresql-15 libpq-dev
  # the site network tests' and the web view's TLS certificates
  openssl
  # the web view: Qt WebSockets, the chart library it serves, the browser its tests drive
  qt6-websockets-dev libjs-dygraphs chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "bootstrap: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
