#!/usr/bin/python3
"""Lists every source file that clang-format (with the repository's .clang-format) would change.

Usage: check_format.py CLANG_FORMAT SOURCE_DIR
Exit status 1 when any file drifts.
"""

import pathlib
import re
import subprocess
import sys

FOLDERS = ("platform", "model", "update", "ops", "ui", "cli", "tests", "bench")
VIOLATION = re.compile(r"^(.+?):(\d+):\d+: (?:error|warning): code should be clang-formatted")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    clang_format, root = argv[1], pathlib.Path(argv[2]).resolve()
    files = sorted(str(p.relative_to(root)) for folder in FOLDERS for p in (root / folder).rglob("*")
                   if p.suffix in (".cpp", ".h") and p.is_file())
    result = subprocess.run([clang_format, "--dry-run", "--Werror", *files], cwd=root,
                            capture_output=True, text=True)
    first_line = {}
    for line in result.stderr.splitlines():
        m = VIOLATION.match(line)
        if m:
            first_line.setdefault(m.group(1), m.group(2))
    for name, line in first_line.items():
        print(f"{name}:{line}: not formatted (clang-format -i {name})")
    if result.returncode != 0 and not first_line:
        print(result.stderr, end="")
    print(f"check_format: {len(first_line)} of {len(files)} files drift")
    return 1 if result.returncode != 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
