#!/bin/sh
# The benchmark of the package against Info-ZIP unzip, bsdtar, Debian's
# miniunzip and makeself, and of mkportable build against zip, bsdtar and
# makeself packing the same tree.
#
#   bench/run.sh [--short] [--runs N] [--pack-runs N] [BUILD_DIR]
#
# Uses BUILD_DIR/bin/{mkportable,launcher,miniunz} (default BUILD_DIR: build).
# Each payload is also packed with --cache, timed at its first (filling)
# start and at later starts from the cache.
# Payloads are made from a fixed seed under BUILD_DIR/bench and kept for the
# next run while bench/payload.py stays the same. The full run measures the
# small and the large payload (the large one also signed, under a
# signature policy, when run as root) and writes docs/performance.md; --short
# measures the small payload only, with two runs of each, and writes its table to
# BUILD_DIR/bench/performance-short.md.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
short=0
runs=5
pack_runs=3
while [ $# -gt 0 ]; do
    case $1 in
    --short) short=1; runs=2; pack_runs=2; shift ;;
    --runs) runs=$2; shift 2 ;;
    --pack-runs) pack_runs=$2; shift 2 ;;
    -*) echo "usage: $0 [--short] [--runs N] [--pack-runs N] [BUILD_DIR]" >&2; exit 2 ;;
    *) break ;;
    esac
done
build_dir=$(cd "${1:-$root/build}" && pwd)

missing=""
for program in "$build_dir/bin/mkportable" "$build_dir/bin/launcher" "$build_dir/bin/miniunz"; do
    [ -x "$program" ] || missing="$missing $program"
done
for program in python3 hyperfine unzip zip bsdtar miniunzip makeself unshare /usr/bin/time; do
    command -v "$program" >/dev/null 2>&1 || missing="$missing $program"
done
if [ -n "$missing" ]; then
    echo "bench: missing:$missing (build the project and run scripts/install-deps.sh test)" >&2
    exit 1
fi

payloads="small large"
report="$root/docs/performance.md"
if [ "$short" = 1 ]; then
    payloads="small"
    report="$build_dir/bench/performance-short.md"
fi

work="$build_dir/bench"
mkdir -p "$work"
policy_root=""
stamp=$(cksum <"$root/bench/payload.py")
for payload in $payloads; do
    dir="$work/$payload"
    if [ "$(cat "$dir/stamp" 2>/dev/null)" != "$stamp" ]; then
        echo "bench: making the $payload payload in $dir" >&2
        rm -rf "$dir"
        mkdir -p "$dir"
        python3 "$root/bench/payload.py" "$payload" "$dir/tree" "$dir/image.zip"
        makeself --quiet --nox11 --gzip "$dir/tree" "$dir/makeself.run" "bench $payload" true >/dev/null
        echo "$stamp" >"$dir/stamp"
    fi
    # Packed anew every time: the launcher and miniunz may have changed.
    "$build_dir/bin/mkportable" build -q -o "$dir/package.run" --image "$dir/image.zip" \
        --command true 2>/dev/null
    "$build_dir/bin/mkportable" build -q -o "$dir/cached.run" --image "$dir/image.zip" \
        --command true --cache 2>/dev/null
    # The same package for ARM machines, when the build has the ARM
    # launcher: it runs emulated here (bench.py says so).
    rm -f "$dir/package-arm64.run"
    if [ -x "$build_dir/libexec/mkportable/aarch64/launcher" ]; then
        "$build_dir/bin/mkportable" build -q -o "$dir/package-arm64.run" --image "$dir/image.zip" \
            --command true --target arm64 2>/dev/null
    fi
    # The large package runs once more signed, on a machine whose policy
    # requires the signature: a private mount namespace lays the policy
    # directory over /etc for that run alone, which takes root.
    if [ "$payload" = large ] && [ "$(id -u)" = 0 ]; then
        [ -e "$dir/bench-key.key" ] || "$build_dir/bin/mkportable" key generate "$dir/bench-key" >/dev/null
        "$build_dir/bin/mkportable" build -q -o "$dir/signed.run" --image "$dir/image.zip" \
            --command true --sign "$dir/bench-key.key" 2>/dev/null
        rm -rf "$dir/policy" "$dir/nopolicy"
        mkdir -p "$dir/nopolicy"
        mkdir -p "$dir/policy/quarn-portable/trusted-keys"
        cp "$dir/bench-key.pub" "$dir/policy/quarn-portable/trusted-keys/"
        echo require-signature >"$dir/policy/quarn-portable/policy"
        chmod -R go-w "$dir/policy"
        policy_root="$dir/policy"
    fi
done

# Every tool unpacks below /tmp, where the launcher makes its working
# directory, so that all of them write to the same file system.
out_root=$(mktemp -d /tmp/portable-bench.XXXXXX)
trap 'rm -rf "$out_root"' EXIT INT TERM
# The launcher takes the package's only command record without matching
# the platform (and without the pause that a mismatch costs).
export VESK_PORTABLE_INTERACTIVE=1
set -- --work "$work" --out-root "$out_root" --miniunz "$build_dir/bin/miniunz" \
    --mkportable "$build_dir/bin/mkportable" --runs "$runs" --pack-runs "$pack_runs" \
    --report "$report"
for payload in $payloads; do
    set -- "$@" --payload "$payload"
done
if [ -n "$policy_root" ]; then
    set -- "$@" --policy "$policy_root"
fi
# The cached package's entries live below the work directory: root's cache
# (/var/cache) is laid over by it in a private mount namespace, another
# user's is named by XDG_CACHE_HOME.
rm -rf "$work/cache"
mkdir -m 700 "$work/cache"
if [ "$(id -u)" = 0 ]; then
    unshare -m sh -c 'mount --bind "$0" /var/cache && exec "$@"' "$work/cache" \
        python3 "$root/bench/bench.py" "$@"
else
    XDG_CACHE_HOME="$work/cache" python3 "$root/bench/bench.py" "$@"
fi
echo "bench: table written to $report" >&2
