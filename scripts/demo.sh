#!/bin/sh
# Packs examples/hello from its manifest, shows and checks the package, and
# runs it.
#
#   scripts/demo.sh BUILD_DIR
#
# Uses BUILD_DIR/bin/mkportable (which finds the launcher and miniunz beside
# it), writes BUILD_DIR/demo/hello.run and exits with the package's exit
# status.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build_dir=$1
root=$(cd "$(dirname "$0")/.." && pwd)
mkportable="$build_dir/bin/mkportable"
manifest="$root/examples/hello.toml"
package="$build_dir/demo/hello.run"

if [ ! -x "$mkportable" ]; then
    echo "demo: $mkportable is missing; build the project first (make build)" >&2
    exit 1
fi

echo "==> Packing $root/examples/hello as $manifest describes it, into $package"
mkdir -p "$build_dir/demo"
"$mkportable" build "$manifest" -o "$package"
echo

echo "==> mkportable info $package"
"$mkportable" info "$package"
echo

echo "==> mkportable verify $package"
"$mkportable" verify "$package"
echo

# The example's last record is for any machine, so the demo runs on any
# Linux machine without a warning.
echo "==> Running: $package \"first argument\" second"
echo "    (the launcher unpacks the image into a fresh directory and runs ./hello.sh there)"
echo
status=0
"$package" "first argument" second || status=$?
echo
echo "==> $package exited with status $status"
exit "$status"
