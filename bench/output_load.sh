#!/usr/bin/env bash
# Printing and loading a 1,000,000-entry site against ncdu, on one tree: a directory tree on disk
# (for ncdu) and the same names and shape as a stored site (content.ct and state.st, for
# quarnel-cli). Whole processes, each the fastest of RUNS runs. Prints figures; asserts nothing.
#
#   bench/output_load.sh BUILD_DIR [ENTRIES] [RUNS] [OTHER_CLI]
#
# OTHER_CLI, another build's quarnel-cli (an older one, say), is timed on the same commands, and
# its output compared with this build's byte for byte.
#
# The pairs:
#   export  `quarnel-cli tree` and `export` (read the stored site, print every entry) against
#           `ncdu -f FILE -o OUT` (read ncdu's stored export, print every entry as it reads: ncdu
#           streams and keeps no tree), both into a file. `ncdu -o` of the directory tree is shown
#           too: it stats every file, so it says more about the file system than about printing.
#   import  `quarnel-cli url --escaped` of one location (read the stored site into memory, look
#           the path up, print one line) against `ncdu -f FILE -o /dev/null` (parse the export
#           and format every entry into nothing: ncdu cannot import without writing or browsing,
#           and it keeps nothing, so its figure is a floor for any loader that builds a tree).
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
ENTRIES=${2:-1000000}
RUNS=${3:-3}
OTHER=${4:-}
CLI="$BUILD/bin/quarnel-cli"
PY=/usr/bin/python3
[ -x "$CLI" ] || { echo "output_load.sh: $CLI not built" >&2; exit 1; }
command -v ncdu >/dev/null || { echo "output_load.sh: ncdu is not installed (scripts/install-deps test)" >&2; exit 1; }

# In memory where there is a tmpfs: a million files made on a disk take minutes.
TMP=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && TMP=/dev/shm
WORK=$(mktemp -d "$TMP/quarnel-outload.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
APP="$WORK/app"
mkdir "$APP"
KEY=bench.example

"$CLI" --dir "$APP" --quiet add --host "$KEY" --anonymous >/dev/null

# ---- the tree: one directory per 20 entries, names of 8 to 40 bytes, one in ten with GBK bytes
"$PY" - "$WORK/root" "$APP/Data/$KEY" "$ENTRIES" <<'PYEOF'
import os, random, struct, sys
root, data, entries = sys.argv[1].encode(), sys.argv[2], int(sys.argv[3])
rng = random.Random(20240501)
letters = b'abcdefghijklmnopqrstuvwxyz'
def name(serial):
    n = rng.randint(8, 40)
    out = bytearray()
    gbk = rng.random() < 0.1
    while len(out) < n:
        if gbk and n - len(out) >= 2 and rng.random() < 0.5:
            out += bytes((rng.randint(0xB0, 0xF7), rng.randint(0xA1, 0xFE)))
        else:
            out.append(letters[rng.randrange(26)])
    return bytes(out) + b'.%d' % serial  # unique within a directory
ndirs = entries // 20
# dirs[i] = (parent index, name); 0 is the root. Recent directories are the likelier parents,
# up to a depth of 12.
dirs = [(-1, b'')]
depth = [0]
for i in range(ndirs):
    span = min(len(dirs), 64)
    parent = rng.randrange(len(dirs)) if rng.random() < 0.125 else len(dirs) - 1 - rng.randrange(span)
    while depth[parent] >= 12:
        parent = dirs[parent][0]
    dirs.append((parent, name(i)))
    depth.append(depth[parent] + 1)
subdirs = [[] for _ in dirs]
for i, (p, _) in enumerate(dirs):
    if p >= 0:
        subdirs[p].append(i)
files = [[] for _ in dirs]
for i in range(entries - ndirs):
    files[rng.randrange(len(dirs))].append((name(i), rng.randrange(100000000)))

paths = [root] + [None] * ndirs
ct = bytearray()
st = bytearray()
def s(b):
    n = len(b)
    return bytes((n,)) + b if n < 255 else b'\xff' + struct.pack('<H', n) + b
def count(n):
    return struct.pack('<H', n) if n < 0xFFFF else b'\xff\xff' + struct.pack('<I', n)
index = [0]
classes = {}
def tag(cls):
    if cls in classes:
        index[0] += 1
        i = classes[cls]
        return struct.pack('<H', 0x8000 | i) if i < 0x7FFF else b'\xff\x7f' + struct.pack('<I', 0x80000000 | i)
    index[0] += 2
    classes[cls] = index[0] - 1
    return b'\xff\xff\x01\x00' + struct.pack('<H', len(cls)) + cls
os.makedirs(root)
# Pre-order, sub-directories before files, as content.ct and state.st store them.
ct += s(b'') + count(len(subdirs[0]))
stack = [[0, 0]]
while stack:
    top = stack[-1]
    d = top[0]
    if top[1] < len(subdirs[d]):
        c = subdirs[d][top[1]]
        top[1] += 1
        paths[c] = paths[d] + b'/' + dirs[c][1]
        os.mkdir(paths[c])
        ct += tag(b'CFTPDir') + s(dirs[c][1]) + count(len(subdirs[c]))
        st += struct.pack('<i', c & 1)
        stack.append([c, 0])
        continue
    ct += count(len(files[d]))
    for fname, size in files[d]:
        os.close(os.open(paths[d] + b'/' + fname, os.O_CREAT | os.O_WRONLY, 0o644))
        ct += tag(b'CFTPFile') + struct.pack('<Q', size) + s(fname)
        st += struct.pack('<i', size & 1)
    stack.pop()
os.makedirs(data, exist_ok=True)
open(os.path.join(data, 'content.ct'), 'wb').write(ct)
open(os.path.join(data, 'state.st'), 'wb').write(st)
print('tree: %d directories, %d files, depth up to %d; content.ct %d bytes' % (ndirs, entries - ndirs, max(depth), len(ct)))
PYEOF

# The fastest of RUNS runs of a command (a shell snippet), in seconds.
best() {
    local fastest="" t0 t1 t
    for _ in $(seq 1 "$RUNS"); do
        t0=$(date +%s.%N)
        eval "$1"
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$fastest" ] || [ "$(echo "$t < $fastest" | bc -l)" = 1 ]; then fastest=$t; fi
    done
    printf '%.3f' "$fastest"
}
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

# Warm every cache once: the page cache for both, the dentry cache for ncdu's scan.
"$CLI" --dir "$APP" tree "$KEY" >/dev/null
ncdu -0 -x -o "$WORK/ncdu.json" "$WORK/root"
echo "entries printed: quarnel-cli $("$CLI" --dir "$APP" tree "$KEY" | wc -l), ncdu export $(wc -c <"$WORK/ncdu.json") bytes"

tree=$(best "\"$CLI\" --dir \"$APP\" tree $KEY >\"$WORK/tree.out\"")
tree_null=$(best "\"$CLI\" --dir \"$APP\" tree $KEY >/dev/null")
tsv=$(best "\"$CLI\" --dir \"$APP\" export $KEY >\"$WORK/export.out\"")
urls=$(best "\"$CLI\" --dir \"$APP\" export $KEY --format urls >\"$WORK/urls.out\"")
ncdu_out=$(best "ncdu -0 -f \"$WORK/ncdu.json\" -o \"$WORK/ncdu.out\"")
ncdu_scan=$(best "ncdu -0 -x -o \"$WORK/ncdu.scan\" \"$WORK/root\"")
load=$(best "\"$CLI\" --dir \"$APP\" url --escaped ftp://$KEY/x >/dev/null")
ncdu_in=$(best "ncdu -0 -f \"$WORK/ncdu.json\" -o /dev/null")

# Every line of tree carries the entry's whole location, so it writes several times the bytes of
# ncdu's nested export: into /dev/null the two compare the work, into a file also the writing.
echo "export (fastest of $RUNS; output: quarnel-cli tree $(wc -c <"$WORK/tree.out") bytes, ncdu $(wc -c <"$WORK/ncdu.out") bytes):"
echo "  quarnel-cli tree >/dev/null:   ${tree_null}s  ($(ratio "$tree_null" "$ncdu_in")x ncdu -f FILE -o /dev/null)"
echo "  quarnel-cli tree:              ${tree}s  ($(ratio "$tree" "$ncdu_out")x ncdu)"
echo "  quarnel-cli export (tsv):      ${tsv}s  ($(ratio "$tsv" "$ncdu_out")x ncdu)"
echo "  quarnel-cli export urls:       ${urls}s  ($(ratio "$urls" "$ncdu_out")x ncdu)"
echo "  ncdu -f FILE -o OUT:           ${ncdu_out}s"
echo "  ncdu -o of the directory tree: ${ncdu_scan}s"
echo "import (fastest of $RUNS):"
echo "  quarnel-cli url --escaped:     ${load}s  ($(ratio "$load" "$ncdu_in")x ncdu)"
echo "  ncdu -f FILE -o /dev/null:     ${ncdu_in}s"

if [ -n "$OTHER" ]; then
    o_tree=$(best "\"$OTHER\" --dir \"$APP\" tree $KEY >\"$WORK/tree.other\"")
    o_urls=$(best "\"$OTHER\" --dir \"$APP\" export $KEY --format urls >\"$WORK/urls.other\"")
    o_load=$(best "\"$OTHER\" --dir \"$APP\" url --escaped ftp://$KEY/x >/dev/null")
    "$OTHER" --dir "$APP" export $KEY --format uris >"$WORK/uris.other"
    "$CLI" --dir "$APP" export $KEY --format uris >"$WORK/uris.out"
    same() { cmp -s "$1" "$2" && echo "same output" || echo "OUTPUT DIFFERS"; }
    echo "$OTHER:"
    echo "  tree:        ${o_tree}s  ($(same "$WORK/tree.out" "$WORK/tree.other"))"
    echo "  export urls: ${o_urls}s  ($(same "$WORK/urls.out" "$WORK/urls.other"); uris: $(same "$WORK/uris.out" "$WORK/uris.other"))"
    echo "  url (load):  ${o_load}s"
fi
