#!/bin/sh
# Installs the Debian packages that building and testing need, when missing.
set -eu

packages="cmake ninja-build g++ make pkgconf file util-linux
libgtest-dev libminizip-dev zlib1g-dev libdeflate-dev
libcli11-dev libtomlplusplus-dev
python3 python3-pyftpdlib libcurl4 e2fsprogs"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
# shellcheck disable=SC2086
$sudo apt-get install -y --no-install-recommends $missing
