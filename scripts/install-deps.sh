#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent: when all packages are
# present it does nothing; otherwise it refreshes the package lists once and installs what is missing.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config
  # Linux module
  libx11-dev libgl-dev libstb-dev fonts-roboto-unhinted
  # host tool
  libsndfile1-dev
  # tests
  libgtest-dev libgmock-dev libbenchmark-dev libebur128-dev xvfb xauth libgl1-mesa-dri qtractor
  xdotool libxtst-dev locales ardour
  # Windows cross build and its tests
  g++-mingw-w64-x86-64-posix wine wine64
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

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
