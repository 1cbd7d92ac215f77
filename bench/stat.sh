#!/usr/bin/env bash
# Listings over the control connection at a 50 ms round trip, one connection. vsftpd (LIST only,
# STAT with a path) behind bench/delay_proxy.py, which delays every byte half a round trip each
# way, data connections included. Timed in turn, ROUNDS times, each figure min/median/max:
#   - `quarnel-cli update`, which lists with STAT, many directories a round trip;
#   - a lean client that lists by path: one connection, TYPE A once, then EPSV and "LIST /path"
#     per directory (vsftpd takes the whole argument as one path), no CWD;
#   - `quarnel-cli update` against the same vsftpd with STAT denied (cmds_denied): the ordinary
#     walk of a server without STAT (CWD, EPSV, LIST);
#   - one "LIST -R /" (ls_recurse_enable), what a recursive listing would cost.
# The stored trees of the two quarnel runs are compared. Asserts nothing.
#
#   bench/stat.sh BUILD_DIR [ROUNDS]
#
# The tree is the part of bench/crawl.sh's medium tree that bench/latency.sh uses at 50 ms.
set -euo pipefail

[ "$(id -u)" -eq 0 ] || { echo "stat.sh: skipped (vsftpd must start as root to chroot)"; exit 0; }
source "$(dirname "$0")/lib/common.sh" stat "${1:-build}"
ROUNDS=${2:-3}
VSFTPD=$(command -v vsftpd || echo "$SRC/.cache/test-servers/usr/sbin/vsftpd")

medium_tree_generator "$WORK/make_tree.py"
FULL="$WORK/full"
"$PY" "$WORK/make_tree.py" "$FULL" >/dev/null
PART="$WORK/part"
"$PY" - "$FULL" "$PART" <<'PYEOF'
import os, shutil, sys
src, dst = (os.fsencode(a) for a in sys.argv[1:])
os.makedirs(dst)
for name in sorted(os.listdir(src)):
    small = not name.startswith(b'big') and int(name[-2:]) < 8
    if name == b'big0' or small:
        shutil.copytree(os.path.join(src, name), os.path.join(dst, name), copy_function=os.link)
PYEOF
rm -rf "$FULL"
chmod -R a+rX "$PART"

start_vsftpd() {  # name extra-config-line; sets SERVER_PORT (the proxy's)
    local dir="$WORK/$1" port proxy
    port=$(free_port)
    vsftpd_conf "$dir" "$port" "$PART" "$2"
    "$VSFTPD" "$dir/vsftpd.conf" >/dev/null 2>"$dir/vsftpd.err" </dev/null &
    PIDS+=($!)
    wait_port "$port"
    "$PY" "$SRC/bench/delay_proxy.py" "$port" --rtt-ms 50 >"$dir/proxy.port" 2>"$dir/proxy.err" &
    PIDS+=($!)
    for _ in $(seq 1 100); do [ -s "$dir/proxy.port" ] && break; sleep 0.05; done
    SERVER_PORT=$(head -1 "$dir/proxy.port")
}

cat >"$WORK/lean.py" <<'PYEOF'
import ftplib, sys
ftp = ftplib.FTP()
ftp.encoding = 'latin-1'  # names pass as their bytes
ftp.connect('127.0.0.1', int(sys.argv[1]))
ftp.login()
ftp.voidcmd('TYPE A')
if sys.argv[2:] == ['-R']:
    conn = ftp.transfercmd('LIST -R /')
    data = b''.join(iter(lambda: conn.recv(65536), b''))
    conn.close()
    ftp.voidresp()
    print(len(data.split(b'\r\n')) - 1, 'lines', len(data), 'bytes')
    sys.exit(0)
dirs = entries = 0
todo = ['/']
while todo:
    path = todo.pop()
    conn = ftp.transfercmd('LIST ' + path)
    data = b''.join(iter(lambda: conn.recv(65536), b''))
    conn.close()
    ftp.voidresp()
    dirs += 1
    for line in data.split(b'\r\n'):
        parts = line.split(None, 8)
        if len(parts) < 9:
            continue
        entries += 1
        if line.startswith(b'd'):
            todo.append(path.rstrip('/') + '/' + parts[8].decode('latin-1'))
print(dirs, entries)
PYEOF

seconds() { "$PY" -c 'import time; print("%.6f" % time.time())'; }
timed() {  # command...: seconds; its output in $WORK/last.out
    local t0 t1
    t0=$(seconds)
    "$@" >"$WORK/last.out" 2>&1 || true
    t1=$(seconds)
    "$PY" -c "print('%.3f' % ($t1 - $t0))"
}
stats() { printf '%s\n' "$@" | "$PY" -c '
import sys, statistics
v = [float(x) for x in sys.stdin.read().split()]
print("%.2f / %.2f / %.2f" % (min(v), statistics.median(v), max(v)))'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
start_vsftpd stat "ls_recurse_enable=YES"
STAT_PORT=$SERVER_PORT
start_vsftpd nostat "cmds_denied=STAT"
NOSTAT_PORT=$SERVER_PORT
for name in stat nostat; do
    mkdir -p "$WORK/app-$name"
    port=$STAT_PORT
    [ $name = nostat ] && port=$NOSTAT_PORT
    "$CLI" --dir "$WORK/app-$name" add --host 127.0.0.1 --port "$port" --anonymous --connections 1 >/dev/null
done

q=() lean=() nostat=() rec=() ratio=() ratio_nostat=()
for round in $(seq 1 "$ROUNDS"); do
    rm -rf "$WORK/app-stat/Data" "$WORK/app-nostat/Data"
    q+=("$(timed "$CLI" --dir "$WORK/app-stat" --quiet update --all)")
    qstatus=$(tail -1 "$WORK/last.out" | cut -f2-)
    lean+=("$(timed "$PY" "$WORK/lean.py" "$STAT_PORT")")
    counted=$(cat "$WORK/last.out")
    nostat+=("$(timed "$CLI" --dir "$WORK/app-nostat" --quiet update --all)")
    rec+=("$(timed "$PY" "$WORK/lean.py" "$STAT_PORT" -R)")
    recounted=$(cat "$WORK/last.out")
    ratio+=("$("$PY" -c "print('%.4f' % (${q[-1]} / ${lean[-1]}))")")
    ratio_nostat+=("$("$PY" -c "print('%.4f' % (${nostat[-1]} / ${lean[-1]}))")")
done
same=no
cmp -s "$WORK/app-stat/Data/127.0.0.1/content.ct" "$WORK/app-nostat/Data/127.0.0.1/content.ct" && same=yes
echo "== 50 ms round trip, one connection: $(find "$PART" -type d | wc -l) directories, $(find "$PART" -type f | wc -l) files; $ROUNDS rounds, min / median / max seconds"
echo "  quarnel-cli, STAT:              $(stats "${q[@]}")  ($qstatus)"
echo "  lean client, LIST by path:      $(stats "${lean[@]}")  ($counted: directories, entries)"
echo "  quarnel-cli, STAT denied:       $(stats "${nostat[@]}")  same content.ct as with STAT: $same"
echo "  one LIST -R /:                  $(stats "${rec[@]}")  ($recounted)"
echo "  quarnel STAT / lean, paired:    $(stats "${ratio[@]}")"
echo "  quarnel no STAT / lean, paired: $(stats "${ratio_nostat[@]}")"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
