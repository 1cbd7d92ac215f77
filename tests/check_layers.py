#!/usr/bin/python3
"""Checks the layering of the sources and prints file:line for every offence.

  * A project header may be included from its own layer and the layers below:
    platform -> model -> update -> ops -> {ui, cli}; ui and cli never include each other.
    tests/ and bench/ may include anything.
  * Qt headers only in ui/, tests/ui/ and bench/ui/.
  * With --links FILE (written by tests/CMakeLists.txt): the project libraries the model tests
    link are the model library and what lies below it.

Usage: check_layers.py SOURCE_DIR [--links FILE]
Exit status 1 when anything is found.
"""

import pathlib
import re
import sys

LAYERS = {"platform": 0, "model": 1, "update": 2, "ops": 3, "ui": 4, "cli": 4}
FREE = ("tests", "bench")  # may include any layer
QT_ALLOWED = ("ui/", "tests/ui/", "bench/ui/")
SOURCE_SUFFIXES = {".cpp", ".h"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# <QWidget>, <QtCore/QString>, <QtTest>: Qt's own header names.
QT_HEADER = re.compile(r"^(Q[A-Z]\w*|Qt[A-Z]?\w*(/.*)?)$")

# Project libraries the model tests may link, besides the non-project ones.
MODEL_TEST_LIBS = {"quarnel_model", "quarnel_platform", "quarnel_settings", "quarnel_testsupport"}


def top_folder(root, path):
    rel = path.relative_to(root)
    return rel.parts[0] if len(rel.parts) > 1 else ""


def resolve(root, including, name):
    """The project file a quoted include names, or None (system or generated header)."""
    for base in (including.parent, root):
        candidate = (base / name).resolve()
        if candidate.is_file() and root in candidate.parents:
            return candidate
    return None


def check_file(root, path):
    rel = path.relative_to(root).as_posix()
    layer = top_folder(root, path)
    qt_ok = rel.startswith(QT_ALLOWED)
    offences = []
    text = path.read_text(encoding="utf-8", errors="replace")
    for lineno, line in enumerate(text.splitlines(), 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        quote, name = m.groups()
        if QT_HEADER.match(name) and not qt_ok:
            offences.append(f"{rel}:{lineno}: Qt header <{name}> outside ui/")
            continue
        if quote != '"' or layer in FREE or layer not in LAYERS:
            continue
        target = resolve(root, path, name)
        if target is None:
            continue
        target_layer = top_folder(root, target)
        if target_layer in FREE:
            offences.append(f"{rel}:{lineno}: {layer}/ includes test or bench code \"{name}\"")
        elif target_layer not in LAYERS:
            continue
        elif target_layer != layer and LAYERS[target_layer] >= LAYERS[layer]:
            offences.append(f"{rel}:{lineno}: {layer}/ includes \"{name}\" from {target_layer}/, "
                            f"which is not below it")
    return offences


def check_links(links_file):
    offences = []
    for line in pathlib.Path(links_file).read_text().splitlines():
        target, _, libs = line.partition(":")
        for lib in libs.split():
            if lib.startswith("quarnel_") and lib not in MODEL_TEST_LIBS:
                offences.append(f"{links_file}: {target} links {lib}; the model tests link the model "
                                f"library and the layers below it only")
    return offences


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--links"):
        print(__doc__, file=sys.stderr)
        return 2
    root = pathlib.Path(argv[1]).resolve()
    offences = []
    folders = list(LAYERS) + list(FREE)
    for folder in folders:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix in SOURCE_SUFFIXES and path.is_file():
                offences += check_file(root, path)
    if len(argv) == 4:
        offences += check_links(argv[3])
    for offence in offences:
        print(offence)
    print(f"check_layers: {len(offences)} offence(s)")
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
