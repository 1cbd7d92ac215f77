#!/usr/bin/env bash
# `quarnel-cli find` and `search` against plocate and grep -F on the same names: a common word
# (about 4% of the names) and a rare one (one name of 50,000), at 1,000,000 and 5,000,000 entries
# (sites of 1,000,000). plocate reads a database built from the same paths with plocate-build
# (no updatedb: the names are not files, so it is told not to check that they can be seen) and
# matches base names (-b); grep reads the list of names. All case-insensitive, all printing into
# /dev/null. Whole processes, min/median/max wall time over the rounds, with the hit count each
# printed. Asserts nothing.
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

# Runs a command (a shell snippet) ROUNDS times after one warm-up; prints "min median max" in ms.
rounds() {
    local t0 t1 times=()
    eval "$1" >/dev/null
    for _ in $(seq 1 "$ROUNDS"); do
        t0=$(date +%s%N)
        eval "$1" >/dev/null || true
        t1=$(date +%s%N)
        times+=($(((t1 - t0) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 }
        END { printf "%8.1f %8.1f %8.1f", v[1] / 1000, v[int((NR + 1) / 2)] / 1000, v[NR] / 1000 }'
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
    printf '  %-34s %7s %8s %8s %8s\n' "command" "hits" "min" "median" "max ms"
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
            printf '  %-34s %7d %s\n' "${labels[$i]}" "$hits" "$(rounds "${cmds[$i]}")"
        done
    done
done
