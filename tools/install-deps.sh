#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: does nothing when all are present.
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libqt6opengl6-dev libglu1-mesa-dev libegl-dev libegl-mesa0 libgl1-mesa-dri
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-multimedia-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  xauth xvfb xdotool
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}"
  echo "Run as root:  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
