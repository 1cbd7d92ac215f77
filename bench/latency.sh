#!/usr/bin/env bash
# Crawl time when every round trip costs something: `quarnel-cli update` with one connection and
# with four, the single-connection floor (a minimal ftplib client: CWD and MLSD per directory, one
# after the other, on one connection) and lftp's `find`, each against bench/latency_server.py
# (pyftpdlib that delays every reply and every data connection) at 0 ms and at 50 ms. Prints a
# table; asserts nothing.
#
#   bench/latency.sh BUILD_DIR
#
# 0 ms: the medium tree of bench/crawl.sh (made by its generator). 50 ms: a part of that tree
# (one directory of 5,000 files and 8 of the 40 small subtrees), since the floor needs minutes for
# the whole tree at that delay; every contender of one delay crawls the same tree.
#
# Then, at 50 ms, the same part against a server of LIST alone (no MLSD): a LIST is sent only after
# changing to the directory, so each directory costs one round trip more than an MLSD by path.
# With OTHER_CLI=path/to/quarnel-cli, another build's figures on that server stand beside.
set -euo pipefail

source "$(dirname "$0")/lib/common.sh" latency "${1:-build}"

# ---- the trees: bench/crawl.sh's generator, taken from the script itself
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
chmod -R a+rX "$FULL" "$PART"
describe() {  # tree
    echo "$(find "$1" -type d | wc -l) directories (the root among them), $(find "$1" -type f | wc -l) files"
}

# ---- the floor: one connection, CWD then MLSD for every directory, one after the other
cat >"$WORK/floor.py" <<'PYEOF'
import ftplib, sys
ftp = ftplib.FTP()
ftp.encoding = 'latin-1'  # names pass as their bytes
ftp.connect('127.0.0.1', int(sys.argv[1]))
ftp.login()
dirs = entries = 0
todo = ['/']
while todo:
    path = todo.pop()
    ftp.cwd(path)
    dirs += 1
    for name, facts in ftp.mlsd():
        entries += 1
        if facts.get('type') == 'dir':
            todo.append(path.rstrip('/') + '/' + name)
ftp.quit()
print(dirs, entries)
PYEOF

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

start_server() {  # tree delay-ms [--no-mlsd]; sets SERVER_PORT
    local out="$WORK/server-$2${3:-}.port"
    "$PY" "$SRC/bench/latency_server.py" "$1" --delay-ms "$2" ${3:+"$3"} >"$out" 2>"$WORK/server-$2.err" &
    PIDS+=($!)
    for _ in $(seq 1 100); do [ -s "$out" ] && break; sleep 0.05; done
    [ -s "$out" ] || { echo "latency.sh: server did not start" >&2; exit 1; }
    SERVER_PORT=$(head -1 "$out")
}

quarnel() {  # port connections [cli]; prints seconds, leaves the catalogue in $WORK/app-N
    local app="$WORK/app-$2" cli="${3:-$CLI}"
    rm -rf "$app"; mkdir -p "$app"
    "$cli" --dir "$app" add --host 127.0.0.1 --port "$1" --anonymous --connections "$2" >/dev/null
    timed "$cli" --dir "$app" update --all
    cp "$WORK/last.out" "$WORK/quarnel-$2.out"
}

status_of() {  # connections: the site's last status line
    awk -F'\t' 'NF == 3 { s = $2 " " $3 } END { print s }' "$WORK/quarnel-$1.out" | tr '\n' ' '
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
rows=()
for delay in 0 50; do
    tree=$FULL
    [ "$delay" -gt 0 ] && tree=$PART
    start_server "$tree" "$delay"
    port=$SERVER_PORT
    one=$(quarnel "$port" 1)
    four=$(quarnel "$port" 4)
    same=no
    cmp -s "$WORK/app-1/Data/127.0.0.1/content.ct" "$WORK/app-4/Data/127.0.0.1/content.ct" && same=yes
    floor=$(timed "$PY" "$WORK/floor.py" "$port")
    counted=$(cat "$WORK/last.out")
    lftp=$(timed lftp -c "set ftp:passive-mode on; set net:max-retries 1; open ftp://127.0.0.1:$port; find / > /dev/null")
    stored=$("$CLI" --dir "$WORK/app-1" tree 127.0.0.1 | wc -l)
    echo "== $delay ms: $(describe "$tree")"
    echo "  quarnel-cli, 1 connection:   ${one}s ($(status_of 1))"
    echo "  quarnel-cli, 4 connections:  ${four}s ($(status_of 4)), same content.ct as with 1: $same"
    echo "  floor (ftplib CWD+MLSD):     ${floor}s ($counted: directories, entries)"
    echo "  lftp find:                   ${lftp}s"
    echo "  entries stored: $stored"
    rows+=("$(printf '%6s ms  %8s  %8s  %8s  %8s  %9s  %9s' "$delay" "$one" "$four" "$floor" "$lftp" \
        "$(ratio "$one" "$floor")" "$(ratio "$four" "$floor")")")
done

# A server of LIST alone, at 50 ms: CWD and LIST per directory.
start_server "$PART" 50 --no-mlsd
port=$SERVER_PORT
echo "== 50 ms, LIST alone: $(describe "$PART")"
list_rows=()
for cli in "$CLI" ${OTHER_CLI:+"$OTHER_CLI"}; do
    one=$(quarnel "$port" 1 "$cli")
    four=$(quarnel "$port" 4 "$cli")
    echo "  $cli: 1 connection ${one}s ($(status_of 1)), 4 connections ${four}s ($(status_of 4))"
    list_rows+=("$(printf '%9s  %8s  %8s  %s' "50 LIST" "$one" "$four" "$cli")")
done
echo
printf '%9s  %8s  %8s  %8s  %8s  %9s  %9s\n' "delay" "1 conn" "4 conn" "floor" "lftp" "1c/floor" "4c/floor"
for r in "${rows[@]}"; do echo "$r"; done
for r in "${list_rows[@]}"; do echo "$r"; done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
