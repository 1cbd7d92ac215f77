#!/usr/bin/env bash
# Crawl speed of `quarnel-cli update` against lftp's `find` on the same synthetic tree, served on
# 127.0.0.1 by pyftpdlib and by vsftpd; then five sites updated at once, served by five pyftpdlib processes and by five vsftpd processes
# against one. Prints figures; asserts nothing.
#
#   bench/crawl.sh BUILD_DIR
set -euo pipefail

source "$(dirname "$0")/lib/common.sh" crawl "${1:-build}"

# ---- the tree: ~2,000 directories, ~40,000 files, four directories of 5,000 entries, GBK and UTF-8 names
ROOT="$WORK/root"
"$PY" - "$ROOT" <<'PYEOF'
import os, sys
root = sys.argv[1].encode()
def mk(path):
    os.makedirs(path, exist_ok=True)
def touch(path, size):
    with open(path, 'wb') as f:
        if size:
            f.truncate(size)
gbk = '中文目录'.encode('gbk')
utf8 = '更新文件'.encode('utf-8')
dirs = files = 0
for b in range(4):                                   # 4 big directories, 5,000 files each
    d = os.path.join(root, b'big%d' % b); mk(d); dirs += 1
    for i in range(5000):
        name = (utf8 if i % 50 == 0 else b'file') + b'%05d.dat' % i
        touch(os.path.join(d, name), i * 7); files += 1
for t in range(40):                                  # 40 x 49 small directories, 10 files each
    top = os.path.join(root, (gbk if t % 5 == 0 else b'tree') + b'%02d' % t); mk(top); dirs += 1
    for s in range(49):
        sub = os.path.join(top, b'sub%02d' % s); mk(sub); dirs += 1
        for i in range(10):
            name = (gbk + b'%d.txt' % i) if (s + i) % 17 == 0 else b'f%d.bin' % i
            touch(os.path.join(sub, name), 1000 + i); files += 1
print('tree: %d directories, %d files' % (dirs, files))
PYEOF
chmod -R a+rX "$ROOT"

# ---- servers
wait_port() {  # file with the port on its first line
    for _ in $(seq 1 100); do [ -s "$1" ] && return 0; sleep 0.05; done
    echo "crawl.sh: server did not start" >&2; exit 1
}
# Each sets SERVER_PORT (not run in a subshell, so that the server is remembered for cleanup).
start_pyftpd() {  # name [user password]
    local out="$WORK/$1.port"
    if [ $# -ge 3 ]; then
        "$PY" "$SRC/tests/support/ftp_server.py" "$ROOT" --user "$2" --password "$3" >"$out" 2>"$WORK/$1.err" &
    else
        "$PY" "$SRC/tests/support/ftp_server.py" "$ROOT" >"$out" 2>"$WORK/$1.err" &
    fi
    PIDS+=($!)
    wait_port "$out"
    SERVER_PORT=$(head -1 "$out")
}
start_vsftpd() {  # [address]: another loopback address gives an anonymous site a key of its own
    local addr=${1:-127.0.0.1} port dir="$WORK/vsftpd-${1:-127.0.0.1}"
    port=$("$PY" -c "import socket; s=socket.socket(); s.bind(('$addr',0)); print(s.getsockname()[1])")
    mkdir -p "$dir/empty"
    cat >"$dir/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=$addr
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
anon_root=$ROOT
no_anon_password=YES
write_enable=NO
pasv_enable=YES
pasv_address=$addr
connect_from_port_20=NO
secure_chroot_dir=$dir/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
max_clients=64
max_per_ip=64
CONF
    /usr/sbin/vsftpd "$dir/vsftpd.conf" >/dev/null 2>"$dir/vsftpd.err" </dev/null &
    PIDS+=($!)
    for _ in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/$addr/$port") 2>/dev/null; then
            SERVER_PORT=$port
            return 0
        fi
        sleep 0.05
    done
    echo "crawl.sh: vsftpd did not start" >&2; exit 1
}

seconds() { "$PY" -c 'import time; print("%.6f" % time.time())'; }
elapsed() { "$PY" -c "print('%.2f' % ($2 - $1))"; }
ratio() { "$PY" -c "print('%.2f' % ($1 / $2))"; }

# Times one command, its output kept in $WORK/last.out; prints seconds.
timed() {
    local t0 t1
    t0=$(seconds)
    "$@" >"$WORK/last.out" 2>&1 || true
    t1=$(seconds)
    elapsed "$t0" "$t1"
}

# How the last update ended: its sites' final status codes, and the re-queues after losses.
outcome() {
    local codes requeues
    codes=$(awk -F'\t' 'NF == 3 { last[$1] = $2 } END { for (k in last) printf "%s ", last[k] }' "$WORK/last.out")
    requeues=$(grep -c '等待继续更新' "$WORK/last.out" || true)
    echo "codes ${codes% }, re-queues $requeues"
}

new_app() {  # dir, then add arguments for each site: "port" or "port user password"
    local app=$1; shift
    rm -rf "$app"; mkdir -p "$app"
    for site_args in "$@"; do
        set -- $site_args
        if [ $# -eq 1 ]; then
            "$CLI" --dir "$app" add --host 127.0.0.1 --port "$1" --anonymous >/dev/null
        else
            "$CLI" --dir "$app" add --host 127.0.0.1 --port "$1" --user "$2" --password "$3" >/dev/null
        fi
    done
}

compare() {  # label port
    local label=$1 port=$2 app="$WORK/app-$1"
    new_app "$app" "$port"
    local first second lftp first_outcome second_outcome entries
    first=$(timed "$CLI" --dir "$app" update --all); first_outcome=$(outcome)
    second=$(timed "$CLI" --dir "$app" update --all); second_outcome=$(outcome)
    lftp=$(timed lftp -c "set ftp:passive-mode on; open ftp://127.0.0.1:$port; find / > /dev/null")
    entries=$("$CLI" --dir "$app" tree 127.0.0.1 | wc -l)
    echo "$label: $entries entries stored"
    echo "  quarnel-cli update, empty catalogue:  ${first}s ($first_outcome)"
    echo "  quarnel-cli update, stored catalogue: ${second}s ($second_outcome)"
    echo "  lftp find:                            ${lftp}s"
    echo "  ratio quarnel/lftp: $(ratio "$first" "$lftp") (empty), $(ratio "$second" "$lftp") (stored)"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== one site, one connection"
start_pyftpd py0
compare pyftpdlib "$SERVER_PORT"
if [ "$(id -u)" -eq 0 ]; then
    start_vsftpd
    compare vsftpd "$SERVER_PORT"
else
    echo "vsftpd: skipped (it must be started as root to serve a chroot)"
fi

echo "== five sites at once (five pyftpdlib processes) against one"
specs=()
for i in 1 2 3 4 5; do
    start_pyftpd "five$i" "user$i" "pw$i"
    specs+=("$SERVER_PORT user$i pw$i")
done
new_app "$WORK/app-one" "${specs[0]}"
one=$(timed "$CLI" --dir "$WORK/app-one" update --all); one_outcome=$(outcome)
new_app "$WORK/app-five" "${specs[@]}"
five=$(timed "$CLI" --dir "$WORK/app-five" update --threads 5 --all); five_outcome=$(outcome)
echo "  one site:            ${one}s ($one_outcome)"
echo "  five sites at once:  ${five}s ($five_outcome)"
echo "  ratio five/one: $(ratio "$five" "$one") on $(nproc) cores (each pyftpdlib process needs most of a core)"
if [ "$(id -u)" -eq 0 ]; then
    echo "== five sites at once (five vsftpd processes on 127.0.0.2 to 127.0.0.6) against one"
    hosts=()
    for i in 2 3 4 5 6; do
        start_vsftpd "127.0.0.$i"
        hosts+=("127.0.0.$i:$SERVER_PORT")
    done
    rm -rf "$WORK/app-v1" "$WORK/app-v5"; mkdir -p "$WORK/app-v1" "$WORK/app-v5"
    for h in "${hosts[@]}"; do
        "$CLI" --dir "$WORK/app-v5" add --host "${h%:*}" --port "${h#*:}" --anonymous >/dev/null
    done
    "$CLI" --dir "$WORK/app-v1" add --host "${hosts[0]%:*}" --port "${hosts[0]#*:}" --anonymous >/dev/null
    one=$(timed "$CLI" --dir "$WORK/app-v1" update --all); one_outcome=$(outcome)
    five=$(timed "$CLI" --dir "$WORK/app-v5" update --threads 5 --all); five_outcome=$(outcome)
    echo "  one site:            ${one}s ($one_outcome)"
    echo "  five sites at once:  ${five}s ($five_outcome)"
    echo "  ratio five/one: $(ratio "$five" "$one") on $(nproc) cores"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
