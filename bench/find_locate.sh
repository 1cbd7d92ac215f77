#!/usr/bin/env bash
# `quarnel-cli find` and `search` against plocate and grep -F on the same names: a common word
# (about 4% of the names) and a rare one (one name of 50,000), at 1,000,000 and 5,000,000 entries
# (sites of 1,000,000). plocate reads a database built from the same paths with plocate-build
# (no updatedb: the names are not files, so it is told not to check that they can be seen) and
# matches base names (-b); grep reads the list of names. All case-insensitive, all writing into a
# file (not /dev/null: grep stops at its first match when its output goes nowhere). Whole
# processes, min/median/max wall and CPU time over the rounds, with the hit count each printed.
# Asserts nothing.
#
#   bench/find_locate.sh BUILD_DIR
# ROUNDS (default 5) and SIZES (default "1000000 5000000") may be set in the environment.
set -euo pipefail

source "$(dirname "$0")/lib/common.sh" find_locate "${1:-build}"
ROUNDS=${ROUNDS:-5}
SIZES=${SIZES:-1000000 5000000}
PLOCATE_BUILD=$(command -v plocate-build || echo /usr/sbin/plocate-build)
command -v plocate >/dev/null && [ -x "$PLOCATE_BUILD" ] ||
    { echo "find_locate.sh: plocate is not installed (scripts/install-deps test)" >&2; exit 1; }
export LC_ALL=C.UTF-8

# Runs a command (a shell snippet) ROUNDS times after one warm-up; prints the wall time and the
# CPU time (user + system, which the machine's other load does not inflate) as min, median, max
# in ms.
rounds() {
    local TIMEFORMAT='%R %U %S' out="$WORK/times"
    : >"$out"
    eval "$1" >"$WORK/out" || true
    for _ in $(seq 1 "$ROUNDS"); do
        { time eval "$1" >"$WORK/out" || true; } 2>>"$out"
    done
    awk '{ w[NR] = $1 * 1000; c[NR] = ($2 + $3) * 1000 }
        function fig(v, n,    i, j, t) {
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            return sprintf("%7.0f %7.0f %7.0f", v[1], v[int((n + 1) / 2)], v[n])
        }
        END { printf "%s   %s", fig(w, NR), fig(c, NR) }' "$out"
}

for size in $SIZES; do
    APP="$WORK/app-$size"
    PATHS="$WORK/paths-$size"
    NAMES="$WORK/names-$size"
    mkdir -p "$APP"
    : >"$PATHS"
    : >"$NAMES"
    sites=$(((size + 999999) / 1000000))
    for i in $(seq 1 "$sites"); do
        key="mirror$i.example"
        "$CLI" --dir "$APP" --quiet add --host "$key" --anonymous >/dev/null
        per=$((size / sites))
        "$PY" "$SRC/bench/lib/mirror_sites.py" "$APP" "$key" "$per" "$i" "$PATHS" "$NAMES"
    done
    "$PLOCATE_BUILD" -l no -p "$PATHS" "$WORK/plocate-$size.db"
    echo "$size entries in $sites sites (plocate database $(($(stat -c %s "$WORK/plocate-$size.db") / 1024)) KiB):"
    printf '  %-28s %7s   %-23s   %s\n' "command" "hits" "wall ms (min med max)" "CPU ms (min med max)"
    for word in linux concerto; do
        cmds=(
            "\"$CLI\" --dir \"$APP\" find $word"
            "\"$CLI\" --dir \"$APP\" search $word"
            "plocate -d \"$WORK/plocate-$size.db\" -i -b $word"
            "grep -F -i $word \"$NAMES\""
        )
        labels=("quarnel-cli find $word" "quarnel-cli search $word" "plocate -i -b $word" "grep -F -i $word")
        for i in "${!cmds[@]}"; do
            hits=$( (eval "${cmds[$i]}" || true) | wc -l)
            printf '  %-28s %7d   %s\n' "${labels[$i]}" "$hits" "$(rounds "${cmds[$i]}")"
        done
    done
done
