#!/usr/bin/env bash
# Starts the window program under a virtual display (Xvfb) with a small prepared catalogue and
# saves screenshots of the whole screen:
#   start.png    the window as it comes up (sites in the tree, welcome rows in the list)
#   browse.png   after the updated site and its third directory have been opened with the keyboard
# The catalogue comes from a real update against a local pyftpdlib server on 127.0.0.1, made
# with quarnel-cli, then a second update after the served tree grew, so there are new entries.
#
#   tests/screenshot.sh [BUILD_DIR] [OUTPUT_DIR]     (defaults: build, BUILD_DIR/screenshots)
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
OUT=${2:-$BUILD/screenshots}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

for tool in Xvfb import xdotool; do
    command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing (scripts/install-deps)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/quarnel-shot.XXXXXX)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

# The program directory: a copy of the executables, so the catalogue lives beside them.
APP=$WORK/app
mkdir -p "$APP"
cp "$BUILD/bin/quarnel" "$BUILD/bin/quarnel-cli" "$APP/"
[ -f "$BUILD/bin/help.pdf" ] && cp "$BUILD/bin/help.pdf" "$APP/"
CLI=("$APP/quarnel-cli" --dir "$APP")

# The served tree: a few directories, files of several types, Chinese names (UTF-8 and GBK).
ROOT=$WORK/root
mkdir -p "$ROOT/pub/linux/debian" "$ROOT/pub/软件" "$ROOT/docs" "$ROOT/incoming"
truncate -s 734003200 "$ROOT/pub/linux/debian/debian-12.iso"
truncate -s 2048 "$ROOT/pub/linux/README.txt"
truncate -s 1536 "$ROOT/docs/manual.pdf"
truncate -s 123456 "$ROOT/docs/photo.jpg"
truncate -s 99 "$ROOT/docs/index.html"
truncate -s 5368709120 "$ROOT/pub/big-archive.tar.gz"
truncate -s 1048575 "$ROOT/pub/软件/安装程序.exe"
truncate -s 3000 "$ROOT/pub/软件/说明.doc"
truncate -s 700 "$ROOT/welcome.msg"
truncate -s 4096 "$ROOT/$(printf '\xd6\xd0\xce\xc4')-gbk.txt"
mkdir -p "$ROOT/$(printf '\xc4\xbf\xc2\xbc')"   # 目录 in GBK: its bytes are also valid UTF-8
truncate -s 100 "$ROOT/$(printf '\xc4\xbf\xc2\xbc')/$(printf '\xd1\xa7\xcf\xb0').txt"

/usr/bin/python3 "$SRC/tests/support/ftp_server.py" "$ROOT" --port 0 >"$WORK/ftp.port" 2>"$WORK/ftp.err" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/ftp.port" ] && break; sleep 0.1; done
PORT=$(head -1 "$WORK/ftp.port")
[ -n "$PORT" ] || { echo "screenshot.sh: FTP server did not start" >&2; cat "$WORK/ftp.err" >&2; exit 1; }

"${CLI[@]}" add --host 127.0.0.1 --port "$PORT" --anonymous --nickname "本地镜像" >/dev/null
"${CLI[@]}" update --all >/dev/null
# The tree grows: the next update marks these new.
mkdir -p "$ROOT/pub/新目录"
truncate -s 10240 "$ROOT/pub/新目录/new-file.zip"
truncate -s 512 "$ROOT/pub/changes.txt"
"${CLI[@]}" update --all >/dev/null
# Sites never updated: the tree shows them with the star.
"${CLI[@]}" add --host ftp.example.org --anonymous >/dev/null
"${CLI[@]}" add --host files.example.net --user alice --password pw >/dev/null

# A display of our own: :99 unless taken.
NUM=99
while [ -e "/tmp/.X$NUM-lock" ]; do NUM=$((NUM + 1)); done
Xvfb ":$NUM" -screen 0 1280x800x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
export DISPLAY=":$NUM"
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

(cd "$WORK" && "$APP/quarnel" >"$WORK/quarnel.log" 2>&1) &
PIDS+=($!)
WID=""
for _ in $(seq 100); do
    WID=$(xdotool search --onlyvisible --name '^Quarnel$' 2>/dev/null | head -1 || true)
    [ -n "$WID" ] && break
    sleep 0.1
done
[ -n "$WID" ] || { echo "screenshot.sh: the window did not appear" >&2; cat "$WORK/quarnel.log" >&2; exit 1; }
xdotool windowmove "$WID" 0 0 windowsize "$WID" 1280 800
sleep 1.5
import -window root "$OUT/start.png"

# The keys go down the sites to the third (the updated one); then expand it and open its third
# directory; then hover the first toolbar button to show its prompt.
xdotool mousemove 120 700 click 1
sleep 0.3
for _ in 1 2 3; do
    xdotool key Down
    sleep 0.4
done
xdotool key Right
sleep 0.3
for _ in 1 2 3; do
    xdotool key Down
    sleep 0.4
done
sleep 0.4
xdotool mousemove 22 60
sleep 0.8
import -window root "$OUT/browse.png"

echo "screenshots: $OUT/start.png $OUT/browse.png"
