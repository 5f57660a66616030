#!/usr/bin/env bash
# Fetches real format-1 songs (Debian's openttd-openmsx package) into the
# folder given as $1, for the tests and benchmarks. Does nothing if present.
set -euo pipefail
dest=${1:-build/songs}
[ -n "$(ls "$dest"/*.mid 2>/dev/null)" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
( cd "$work" && apt-get download -q openttd-openmsx >/dev/null 2>&1 ) ||
  { sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo; $sudo apt-get update -q >/dev/null 2>&1;
    ( cd "$work" && apt-get download -q openttd-openmsx >/dev/null ); }
dpkg -x "$work"/openttd-openmsx_*.deb "$work/x"
mkdir -p "$dest"
find "$work/x" -name '*.mid' -exec cp {} "$dest"/ \;
echo "fetch-songs: $(ls "$dest"/*.mid | wc -l) songs in $dest" >&2
