# What the crawl benchmarks share: the build's quarnel-cli, a work directory removed at the end
# with every server the script started (by the ids it kept in PIDS), and the medium tree's
# generator from bench/crawl.sh.
#
#   source "$(dirname "$0")/lib/common.sh" NAME BUILD_DIR [WORK_PARENT]
# sets BUILD, CLI, SRC, PY, WORK and PIDS, and stops with a message when quarnel-cli is not built.

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
