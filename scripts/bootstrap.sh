#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the desktop
# program and the Debian package (man pages, icons, dpkg-shlibdeps and the
# checks of the installed files) need, and only those that are missing.
# Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  libfluidsynth-dev libglib2.0-dev timgm6mb-soundfont
  qt6-base-dev libgl-dev
  fonts-wqy-microhei
  xvfb xauth
  clang libclang-rt-14-dev
  scdoc librsvg2-bin gzip
  dpkg-dev file desktop-file-utils appstream man-db
  emscripten
  chromium
  g++-mingw-w64-x86-64 wine wine64 zip
)
# node and npm for the web build's packages and tests: Debian's, unless a
# node (18 or later) with its own npm is installed already.
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/tonvell-bootstrap.log 2>&1; then
  $sudo apt-get update -q >>/tmp/tonvell-bootstrap.log 2>&1
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/tonvell-bootstrap.log 2>&1 ||
    { cat /tmp/tonvell-bootstrap.log >&2; exit 1; }
fi
