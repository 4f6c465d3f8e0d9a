# Sourced by the scripts that run against the ALSA stand-in (tests, bench),
# with $build and $cli set: re-runs the caller inside a private mount
# namespace (or exits 77 where that cannot be), then gives it a /dev of its
# own with the few real nodes bound in and an empty /dev/snd, and defines
# start_standin [options...] (the stand-in on /dev/snd, commands through
# "$control"), stop_standin, fail, now, seconds and below.
standin=$build/tests/alsa_standin/q9-alsa-standin
skip() { echo "SKIP: $*"; exit 77; }

if [ -z "${Q9_ALSA_NAMESPACE:-}" ]; then
    [ -x "$cli" ] || skip "$cli is not built"
    [ -x "$standin" ] || skip "the stand-in is not built (libfuse3-dev missing)"
    [ -c /dev/fuse ] || skip "no /dev/fuse"
    command -v unshare >/dev/null || skip "no unshare"
    [ "$(id -u)" = 0 ] || skip "mounting FUSE on /dev/snd needs root"
    unshare -m --propagation private true 2>/dev/null || skip "unshare -m is not allowed here"
    exec env Q9_ALSA_NAMESPACE=1 unshare -m --propagation private bash "$0" "$@"
fi

# --- Inside the namespace: a /dev of our own with the few real nodes in it.
# The real /dev is reached through a bind mount only while the nodes are
# bound, and removed at once: nothing below may ever delete through it.
work=$(mktemp -d)
realdev=$(mktemp -d)
mount --bind /dev "$realdev" || { echo "FAIL: cannot bind /dev"; exit 1; }
mount -t tmpfs -o mode=755 q9dev /dev
for node in null zero full random urandom tty fuse; do
    [ -c "$realdev/$node" ] || continue
    touch "/dev/$node"
    mount --bind "$realdev/$node" "/dev/$node"
done
umount "$realdev" && rmdir "$realdev" || { echo "FAIL: cannot let go of the real /dev"; exit 1; }
mkdir /dev/snd /dev/shm
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"

standin_pid=""
fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $(basename "$log")" >&2; tail -n 15 "$log" >&2; }
    done
    exit 1
}
stop_standin() {
    [ -n "$standin_pid" ] || return 0
    umount -l /dev/snd 2>/dev/null
    wait "$standin_pid" 2>/dev/null
    standin_pid=""
}
trap 'stop_standin; rm -rf --one-file-system "$work"' EXIT
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

# start_standin [stand-in options...]; control: echo "unplug 0" >"$control"
control=$work/control
mkfifo "$control"
start_standin() {
    "$standin" /dev/snd --control "$control" --drain-limit-ms "${drain_limit_ms:-3000}" "$@" 2>"$work/standin.log" &
    standin_pid=$!
    for _ in $(seq 100); do
        [ -e /dev/snd/controlC0 ] && return 0
        sleep 0.05
    done
    fail "the stand-in did not come up"
}

