#!/bin/sh
# Installs the Debian packages that building, testing and packaging need, when
# missing.
set -eu

packages="cmake ninja-build g++ make pkgconf file util-linux
libgtest-dev libminizip-dev zlib1g-dev libdeflate-dev
libcli11-dev libtomlplusplus-dev
python3 python3-pyftpdlib libcurl4 e2fsprogs
clang libclang-rt-14-dev binutils
g++-multilib lib32z1-dev qemu-user
hyperfine makeself unzip zip libarchive-tools minizip time
libbz2-dev libbz2-dev:i386 nettle-dev nettle-dev:i386 libsodium-dev libsodium-dev:i386 minisign nlohmann-json3-dev
jq busybox-static groff clang-format dpkg-dev man-db lintian"

# The ARM launcher and miniunz, cross-built statically by clang (Debian's
# g++-aarch64-linux-gnu cannot stay installed beside g++-multilib), and the
# static qemu-aarch64 that runs them in the tests (also in a root without the
# host's libraries). The build skips them when the toolchain is missing.
arm64_packages="binutils-aarch64-linux-gnu libc6-dev-arm64-cross libstdc++-12-dev-arm64-cross
zlib1g-dev:arm64 libbz2-dev:arm64 libdeflate-dev:arm64 nettle-dev:arm64 libsodium-dev:arm64 qemu-user-static"
packages="$packages $arm64_packages"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# The 32-bit miniunz links Debian's i386 zlib and libbz2; qemu-user runs
# them in the tests on kernels without 32-bit support.
case "$missing" in
*:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
esac
case "$missing" in
*:arm64*) dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64 ;;
esac
$sudo apt-get update
# shellcheck disable=SC2086
$sudo apt-get install -y --no-install-recommends $missing
