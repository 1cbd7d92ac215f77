# What the crawl benchmarks share: the build's quarnel-cli, a work directory removed at the end
# with every server the script started (by the ids it kept in PIDS), and the medium tree's
# generator from bench/crawl.sh.
#
#   source "$(dirname "$0")/lib/common.sh" NAME BUILD_DIR [WORK_PARENT]
# sets BUILD, CLI, SRC, PY, WORK and PIDS, and stops with a message when quarnel-cli is not built.
# Also: free_port, wait_port PORT, and vsftpd_conf for a read-only anonymous vsftpd on loopback.

BENCH_NAME=$1
BUILD=$(cd "${2:-build}" && pwd)
CLI="$BUILD/bin/quarnel-cli"
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
PY=/usr/bin/python3
[ -x "$CLI" ] || { echo "$BENCH_NAME: $CLI not built" >&2; exit 1; }

WORK=$(mktemp -d "${3:-/tmp}/quarnel-$BENCH_NAME.XXXXXX")
chmod 755 "$WORK"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

# Writes bench/crawl.sh's tree generator to FILE: `python3 FILE ROOT` makes the medium tree.
medium_tree_generator() {
    sed -n "/<<'PYEOF'/,/^PYEOF\$/p" "$SRC/bench/crawl.sh" | sed '1d;$d' >"$1"
    [ -s "$1" ] || { echo "$BENCH_NAME: no tree generator in bench/crawl.sh" >&2; exit 1; }
}

# A port free on 127.0.0.1 when asked (the server binds it a moment later).
free_port() { "$PY" -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])"; }

# Waits up to 5 s for something to accept on 127.0.0.1:PORT; stops the script if nothing does.
wait_port() {
    for _ in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.05
    done
    echo "$BENCH_NAME: no server on port $1" >&2; exit 1
}

# Writes to DIR/vsftpd.conf the configuration of an anonymous, read-only vsftpd in the foreground
# on 127.0.0.1:PORT serving ROOT, with DIR/empty as its chroot directory; EXTRA lines are added.
vsftpd_conf() {  # DIR PORT ROOT [EXTRA]
    mkdir -p "$1/empty"
    {
        cat <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$2
background=NO
anonymous_enable=YES
local_enable=NO
anon_root=$3
no_anon_password=YES
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
connect_from_port_20=NO
secure_chroot_dir=$1/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
CONF
        [ -z "${4:-}" ] || printf '%s\n' "$4"
    } >"$1/vsftpd.conf"
}
