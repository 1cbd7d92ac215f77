#!/usr/bin/env bash
# Whether a crawl's cost grows with the tree and no faster: `quarnel-cli update` of trees of
# 10,000, 100,000 and 420,000 entries (directories of 20 entries: one data connection per 20
# entries), served by vsftpd on 127.0.0.1. Prints the client's CPU time (user + sys, from
# /usr/bin/time: the machine may be shared, so wall time is printed but not compared) and its
# cost per entry in microseconds, min/median/max over the rounds. The per-entry cost should stay
# flat from the smallest tree to the largest. Asserts nothing.
#
#   bench/scaling.sh BUILD_DIR [OTHER_CLI]
# With OTHER_CLI (another build's quarnel-cli) the two are run in turn on the same trees, their
# stored trees compared, and the ratio this build / other printed.
# ROUNDS (default 3) and SIZES (default "10000 100000 420000") may be set in the environment.
set -euo pipefail

source "$(dirname "$0")/lib/common.sh" scaling "${1:-build}"
OTHER=${2:-}
ROUNDS=${ROUNDS:-3}
SIZES=${SIZES:-10000 100000 420000}
[ -z "$OTHER" ] || [ -x "$OTHER" ] || { echo "scaling.sh: $OTHER is not a program" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "scaling.sh: vsftpd must be started as root to serve a chroot" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "scaling.sh: /usr/bin/time is missing" >&2; exit 1; }

# ---- the trees: top directories of 19 files and one subdirectory of 19 files, so every
# directory holds 20 entries or fewer; sizes counted in entries (files and directories).
make_tree() {  # root entries
    "$PY" - "$1" "$2" <<'PYEOF'
import os, sys
root, want = sys.argv[1], int(sys.argv[2])
os.makedirs(root, exist_ok=True)
made = t = 0
while made < want:
    top = os.path.join(root, 'd%05d' % t); os.mkdir(top); made += 1; t += 1
    for where in (top, os.path.join(top, 'sub')):
        if where != top:
            if made >= want:
                break
            os.mkdir(where); made += 1
        for i in range(19):
            if made >= want:
                break
            with open(os.path.join(where, 'file%02d.dat' % i), 'wb') as f:
                f.truncate(i * 13)
            made += 1
print('tree of %d entries: %d top directories' % (made, t))
PYEOF
    chmod -R a+rX "$1"
}

start_vsftpd() {  # root; sets SERVER_PORT
    local root=$1 port dir
    port=$(free_port)
    dir="$WORK/vsftpd-$port"
    vsftpd_conf "$dir" "$port" "$root"
    /usr/sbin/vsftpd "$dir/vsftpd.conf" >/dev/null 2>"$dir/vsftpd.err" </dev/null &
    PIDS+=($!)
    wait_port "$port"
    SERVER_PORT=$port
}

# One update of a new catalogue; appends "cpu_seconds wall_seconds" to FILE and leaves the
# stored tree in $WORK/tree-LABEL.
crawl() {  # cli port label file
    local cli=$1 port=$2 label=$3 app="$WORK/app"
    rm -rf "$app"; mkdir -p "$app"
    "$cli" --dir "$app" add --host 127.0.0.1 --port "$port" --anonymous >/dev/null
    /usr/bin/time -f '%U %S %e' -o "$WORK/time" "$cli" --dir "$app" update --all >"$WORK/update.out" 2>&1 || true
    awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' "$WORK/time" >>"$4"
    "$cli" --dir "$app" tree 127.0.0.1 >"$WORK/tree-$label"
}

# min/median/max of the first column of FILE, each divided by DIVISOR and times SCALE.
stats() {  # file divisor scale
    sort -n "$1" | awk -v d="$2" -v s="$3" '{ v[NR] = $1 / d * s }
        END { printf "%.2f / %.2f / %.2f", v[1], v[int((NR + 1) / 2)], v[NR] }'
}
ratios() {  # fileA fileB: min/median/max of A/B round by round
    paste -d' ' "$1" "$2" | awk '{ print $1 / $3 }' >"$WORK/ratios"
    stats "$WORK/ratios" 1 1
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $ROUNDS rounds; CPU = user + sys of quarnel-cli"
for size in $SIZES; do
    root="$WORK/root-$size"
    make_tree "$root" "$size"
    start_vsftpd "$root"
    : >"$WORK/this.times"; : >"$WORK/other.times"
    same=yes
    for _ in $(seq 1 "$ROUNDS"); do
        crawl "$CLI" "$SERVER_PORT" this "$WORK/this.times"
        if [ -n "$OTHER" ]; then
            crawl "$OTHER" "$SERVER_PORT" other "$WORK/other.times"
            cmp -s "$WORK/tree-this" "$WORK/tree-other" || same=no
        fi
    done
    echo "== $size entries ($(wc -l <"$WORK/tree-this") stored)"
    echo "  this build:  CPU s $(stats "$WORK/this.times" 1 1), per entry us $(stats "$WORK/this.times" "$size" 1000000)," \
         "wall s $(cut -d' ' -f2 "$WORK/this.times" | sort -n | sed -n "$(((ROUNDS + 1) / 2))p") (median)"
    if [ -n "$OTHER" ]; then
        echo "  other build: CPU s $(stats "$WORK/other.times" 1 1), per entry us $(stats "$WORK/other.times" "$size" 1000000)," \
             "wall s $(cut -d' ' -f2 "$WORK/other.times" | sort -n | sed -n "$(((ROUNDS + 1) / 2))p") (median)"
        echo "  CPU this/other, round by round: $(ratios "$WORK/this.times" "$WORK/other.times"); stored trees identical: $same"
    fi
    kill "${PIDS[-1]}" 2>/dev/null || true
    rm -rf "$root"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
