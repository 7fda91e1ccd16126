#!/bin/sh
# Installs the Debian packages of a group, when missing:
#
#   scripts/install-deps.sh demo   building the launcher, miniunz and mkportable
#                                  (what `make demo` needs)
#   scripts/install-deps.sh test   the demo's packages, and what the test suite,
#                                  the sanitizer and fuzz builds, the Debian
#                                  package, the benchmark and the fresh-root
#                                  demo need (the default)
#
# Installing takes root: as root it runs apt-get itself, else through sudo.
set -eu

# Building the launcher, miniunz and mkportable for this machine.
demo_packages="cmake ninja-build g++ make binutils
zlib1g-dev libminizip-dev libdeflate-dev libbz2-dev nettle-dev libsodium-dev
libcli11-dev libtomlplusplus-dev nlohmann-json3-dev"

# The test suite, the 32-bit programs, the sanitizer and fuzz builds, the
# Debian package, `make format`, the benchmark and the fresh-root demo.
test_packages="pkgconf file util-linux
libgtest-dev
python3 python3-pyftpdlib libcurl4 e2fsprogs
clang libclang-rt-14-dev
g++-multilib lib32z1-dev qemu-user
libbz2-dev:i386 nettle-dev:i386 libsodium-dev:i386
hyperfine makeself unzip zip libarchive-tools minizip time minisign
jq busybox-static groff clang-format dpkg-dev man-db lintian
debootstrap"

# The ARM launcher and miniunz, cross-built statically by clang (Debian's
# g++-aarch64-linux-gnu cannot stay installed beside g++-multilib), and the
# static qemu-aarch64 that runs them in the tests (also in a root without the
# host's libraries). The build skips them when the toolchain is missing.
arm64_packages="binutils-aarch64-linux-gnu libc6-dev-arm64-cross libstdc++-12-dev-arm64-cross
zlib1g-dev:arm64 libbz2-dev:arm64 libdeflate-dev:arm64 nettle-dev:arm64 libsodium-dev:arm64 qemu-user-static"

group=${1:-test}
case "$group" in
demo) packages=$demo_packages ;;
test) packages="$demo_packages $test_packages $arm64_packages" ;;
*)
    echo "usage: $0 [demo|test]" >&2
    exit 2
    ;;
esac

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-deps: installing packages takes root, and sudo is not installed; run as root:" >&2
        echo "    su -c 'scripts/install-deps.sh $group'" >&2
        exit 1
    fi
    sudo="sudo"
fi
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
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
