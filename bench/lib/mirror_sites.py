# Stored sites of mirror-like names, written as updates leave them (content.ct and state.st in
# APP/Data/KEY), with the same names as plain lists for other tools.
#
#   python3 mirror_sites.py APP KEY ENTRIES SEED PATHS NAMES
#
# The site KEY must exist in APP already (quarnel-cli add). Its tree: 100 directories of 10
# directories of files, ENTRIES entries in all. Names are two or three words of a small vocabulary
# (the common word "linux" is in about 4% of them), a serial number and an extension; the rare
# word "concerto" is in one name of 50,000. Appends each entry's path, /KEY/..., to PATHS, and its
# name alone to NAMES, one a line.
import os
import random
import struct
import sys

WORDS = ('ubuntu debian linux kernel firefox python gnome server desktop backup photos music video '
         'movie drivers windows office source release update tools games docs manual setup player '
         'studio library archive project client mirror images fonts themes network android mobile '
         'build nightly stable testing contrib extras sample demo report lecture course slides paper '
         'thesis dataset models weights config scripts plugin addon patch').split()
EXTENSIONS = ('.tar.gz', '.iso', '.txt', '.zip', '.deb', '.pdf', '.mkv', '')

app, key, entries, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
paths_out = open(sys.argv[5], 'ab')
names_out = open(sys.argv[6], 'ab')
rng = random.Random(seed)
serial = 0


def name():
    global serial
    serial += 1
    words = [rng.choice(WORDS) for _ in range(rng.randint(2, 3))]
    if rng.randrange(50000) == 0:
        words[rng.randrange(len(words))] = 'concerto'
    sep = rng.choice('-_')
    return ('%s-%d%s' % (sep.join(words), serial, rng.choice(EXTENSIONS))).encode()


def s(b):
    return bytes((len(b),)) + b if len(b) < 255 else b'\xff' + struct.pack('<H', len(b)) + b


def count(n):
    return struct.pack('<H', n) if n < 0xFFFF else b'\xff\xff' + struct.pack('<I', n)


classes = {}
objects = [0]


def tag(cls):
    # The archive's class tags: the first use of a class names it, later ones refer to it.
    if cls in classes:
        objects[0] += 1
        i = classes[cls]
        return struct.pack('<H', 0x8000 | i) if i < 0x7FFF else b'\xff\x7f' + struct.pack('<I', 0x80000000 | i)
    objects[0] += 2
    classes[cls] = objects[0] - 1
    return b'\xff\xff\x01\x00' + struct.pack('<H', len(cls)) + cls


files_per_dir = max(1, (entries - 1100) // 1000)
ct = bytearray(s(b'') + count(100))
st = bytearray()
paths = []
names = []
prefix = b'/' + key.encode()
for top in range(100):
    top_name = name()
    ct += tag(b'CFTPDir') + s(top_name) + count(10)
    st += struct.pack('<i', 0)
    top_path = prefix + b'/' + top_name
    paths.append(top_path)
    names.append(top_name)
    for sub in range(10):
        sub_name = name()
        ct += tag(b'CFTPDir') + s(sub_name) + count(0)
        st += struct.pack('<i', 0)
        sub_path = top_path + b'/' + sub_name
        paths.append(sub_path)
        names.append(sub_name)
        ct += count(files_per_dir)
        for _ in range(files_per_dir):
            file_name = name()
            ct += tag(b'CFTPFile') + struct.pack('<Q', rng.randrange(100000000)) + s(file_name)
            st += struct.pack('<i', 0)
            paths.append(sub_path + b'/' + file_name)
            names.append(file_name)
    ct += count(0)  # the top directory's files
ct += count(0)  # the root's files
data = os.path.join(app, 'Data', key)
os.makedirs(data, exist_ok=True)
open(os.path.join(data, 'content.ct'), 'wb').write(ct)
open(os.path.join(data, 'state.st'), 'wb').write(st)
paths_out.write(b'\n'.join(paths) + b'\n')
names_out.write(b'\n'.join(names) + b'\n')
