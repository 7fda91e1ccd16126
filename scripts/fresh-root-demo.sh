#!/bin/sh
# Tries README's first command as a new user would: makes a fresh Debian 12
# minimal root with debootstrap, copies this checkout into it, and there, as
# root and with nothing cached, runs what README says a minimal system takes
# first and then `make demo`. Fails when any of it fails; prints how long each
# step took (a measurement for README, not a time limit).
#
#   scripts/fresh-root-demo.sh [WORK_DIR]
#
# The root is made in a fresh directory below WORK_DIR (default /var/tmp) and
# removed afterwards. Its mounts live in a private mount namespace and its
# processes in a PID namespace of their own: both go away with the run, also
# when it fails or is interrupted.
#
# Exits 77 with "skipped: REASON" when it cannot run here: not root, no
# debootstrap, no namespaces, a directory where devices or programs do not
# work, or the package archive out of reach.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
mirror=http://deb.debian.org/debian
suite=bookworm
# README's words, run as they stand there.
setup='apt-get update && apt-get install -y make git'
command='make demo'

skip() {
    echo "skipped: $*"
    exit 77
}

seconds() {
    date +%s
}

# The namespaces' side: debootstrap, the copy, the mounts and the two steps.
if [ "${1:-}" = "--inside" ]; then
    target=$2
    start=$(seconds)
    echo "==> debootstrap --variant=minbase $suite $target $mirror"
    debootstrap --variant=minbase "$suite" "$target" "$mirror" >"$target.debootstrap.log" 2>&1 || {
        tail -n 30 "$target.debootstrap.log"
        echo "fresh-root demo: debootstrap failed" >&2
        exit 1
    }
    debootstrap_time=$(($(seconds) - start))

    echo "==> copying $root to /root/project"
    mkdir -p "$target/root/project"
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        # The files of the checkout as they stand, without build trees.
        git -C "$root" ls-files -z --cached --others --exclude-standard |
            (cd "$root" && tar --null --no-recursion --ignore-failed-read -T - -cf -) |
            tar -xf - -C "$target/root/project"
    else
        (cd "$root" && tar --exclude='./build*' -cf - .) | tar -xf - -C "$target/root/project"
    fi
    cp /etc/resolv.conf "$target/etc/resolv.conf"

    mount -t proc proc "$target/proc"
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$target/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$target/dev/shm"

    # A root login's environment, nothing of the caller's.
    in_root() {
        chroot "$target" /usr/bin/env -i HOME=/root USER=root LOGNAME=root TERM=dumb \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            /bin/sh -c "cd /root/project && $1" </dev/null
    }

    # The processor time (user and system, whole seconds) of every finished
    # child so far, as `times` wrote it to $target.times (in this shell: a
    # subshell starts from nothing): with the wall time it tells a busy
    # machine from a slow step.
    children_cpu() {
        awk 'NR == 2 { split($1, u, "m"); split($2, s, "m"); printf "%d\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' \
            "$target.times"
    }

    echo "==> (as README says for a minimal system) $setup"
    start=$(seconds)
    in_root "$setup"
    setup_time=$(($(seconds) - start))

    echo "==> $command"
    start=$(seconds)
    times >"$target.times"
    cpu=$(children_cpu)
    status=0
    in_root "$command" || status=$?
    command_time=$(($(seconds) - start))
    times >"$target.times"
    command_cpu=$(($(children_cpu) - cpu))

    echo
    echo "fresh-root demo: '$command' took $((command_time / 60)) min $((command_time % 60)) s," \
        "$((command_cpu / 60)) min $((command_cpu % 60)) s of processor time" \
        "($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg));" \
        "before it: debootstrap $debootstrap_time s, '$setup' $setup_time s"
    if [ "$status" -ne 0 ]; then
        echo "fresh-root demo: '$command' failed with status $status" >&2
        exit 1
    fi
    exit 0
fi

# The README must still say what this script runs.
for words in "$setup" "$command"; do
    grep -qF -- "$words" "$root/README.md" || {
        echo "fresh-root demo: README.md no longer says '$words'; update this script with it" >&2
        exit 1
    }
done

[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot and mounts)"
for program in debootstrap unshare chroot wget tar; do
    command -v "$program" >/dev/null 2>&1 || skip "$program is not installed (scripts/install-deps.sh test)"
done
unshare --mount --pid --fork true 2>/dev/null || skip "cannot make mount and PID namespaces here"
wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/$suite/Release" || skip "the package archive $mirror is not reachable"

work=$(mktemp -d "${1:-/var/tmp}/fresh-root.XXXXXX")
child=""
# shellcheck disable=SC2317 # run by the traps below
cleanup() {
    trap - EXIT INT TERM HUP
    if [ -n "$child" ]; then
        # unshare takes its namespaces' processes with it.
        kill -KILL "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    # Processes of the namespace may still be dying: try again for a while.
    tries=0
    until rm -rf --one-file-system "$work" 2>/dev/null || [ "$tries" -ge 30 ]; do
        tries=$((tries + 1))
        sleep 1
    done
    [ ! -e "$work" ] || echo "fresh-root demo: could not remove $work" >&2
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM HUP

# debootstrap makes device nodes and runs the root's programs.
if ! mknod "$work/null" c 1 3 2>/dev/null || ! echo >"$work/null" 2>/dev/null; then
    skip "cannot make or use device nodes in ${1:-/var/tmp}"
fi
if ! cp /bin/true "$work/true" || ! "$work/true"; then
    skip "cannot run programs from ${1:-/var/tmp}"
fi
rm -f "$work/null" "$work/true"

# The run waits in the background, so that a signal reaches the trap at once.
unshare --mount --pid --fork --kill-child --propagation private -- /bin/sh "$root/scripts/fresh-root-demo.sh" --inside "$work/root" &
child=$!
status=0
wait "$child" || status=$?
child=""
exit "$status"
