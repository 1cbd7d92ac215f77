#!/usr/bin/python3
"""Installs the build into a DESTDIR and checks it as a user would meet it: the files and their
modes, the desktop entry, the manual pages, and the installed quarnel-cli run from a read-only
prefix with a temporary HOME (where the catalogue goes, and in which order the choices count).

As root the installed programs run as "nobody", so that the read-only prefix really is one.

usage: install_layout.py CMAKE BUILD_DIR VERSION GUI(ON|OFF)
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

CLI_FILES = {
    "bin/quarnel-cli": 0o755,
    "share/man/man1/quarnel-cli.1": 0o644,
    "share/bash-completion/completions/quarnel-cli": 0o644,
}
GUI_FILES = {
    "bin/quarnel": 0o755,
    "share/man/man1/quarnel.1": 0o644,
    "share/applications/quarnel.desktop": 0o644,
    "share/icons/hicolor/scalable/apps/quarnel.svg": 0o644,
    "share/icons/hicolor/48x48/apps/quarnel.png": 0o644,
    "share/doc/quarnel/help.pdf": 0o644,
}
NOBODY = 65534

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def tree(root):
    """Every path below root with its mode, size and modification time."""
    found = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(base, name)
            st = os.lstat(path)
            found[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return found


class Installed:
    def __init__(self, work, prefix):
        self.work = work
        self.prefix = prefix
        self.as_nobody = os.geteuid() == 0
        self.home = self.user_dir("home")

    def user_dir(self, name):
        """A directory the programs may write to."""
        path = os.path.join(self.work, name)
        os.mkdir(path)
        if self.as_nobody:
            os.chown(path, NOBODY, NOBODY)
        return path

    def run(self, argv, env=None, program=None):
        environment = {"PATH": self.prefix + "/bin:/usr/bin:/bin", "HOME": self.home, "LANG": "C.UTF-8"}
        environment.update(env or {})
        command = [program or self.prefix + "/bin/quarnel-cli"] + argv
        if self.as_nobody:
            command = ["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups"] + command
        return subprocess.run(command, env=environment, capture_output=True, text=True, timeout=60, cwd="/")

    def sites(self, argv=(), env=None, program=None):
        """The keys `sites` lists, or None when it failed."""
        result = self.run(list(argv) + ["sites"], env, program)
        if result.returncode != 0:
            print(result.stderr, end="")
            return None
        return [line.split("\t")[0] for line in result.stdout.splitlines()]


def check_files(prefix, gui):
    expected = dict(CLI_FILES)
    if gui:
        expected.update(GUI_FILES)
    found = {path for path, (mode, _, _) in tree(prefix).items() if not stat.S_ISDIR(mode)}
    check(found == set(expected), f"installed files: missing {set(expected) - found}, extra {found - set(expected)}")
    for path, mode in expected.items():
        full = os.path.join(prefix, path)
        if os.path.exists(full):
            check(stat.S_IMODE(os.stat(full).st_mode) == mode, f"{path} has mode {mode:o}")
    if not gui:
        return
    validate = subprocess.run(["desktop-file-validate", prefix + "/share/applications/quarnel.desktop"],
                              capture_output=True, text=True)
    check(validate.returncode == 0 and not validate.stdout.strip(), "desktop entry valid: " + validate.stdout)
    with open(prefix + "/share/doc/quarnel/help.pdf", "rb") as f:
        check(f.read(5) == b"%PDF-", "help.pdf is a PDF")
    with open(prefix + "/share/icons/hicolor/48x48/apps/quarnel.png", "rb") as f:
        header = f.read(24)
    check(header[:8] == b"\x89PNG\r\n\x1a\n", "48 px icon is a PNG")
    check(int.from_bytes(header[16:20], "big") == 48 and int.from_bytes(header[20:24], "big") == 48,
          "48 px icon is 48x48")


def check_manual_pages(prefix, gui):
    if not shutil.which("man"):
        print("man is not installed: manual pages not rendered")
        return
    for name in ["quarnel-cli"] + (["quarnel"] if gui else []):
        page = f"{prefix}/share/man/man1/{name}.1"
        result = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", page], capture_output=True, text=True,
                                env=dict(os.environ, MANWIDTH="80"))
        check(result.returncode == 0 and not result.stderr.strip(), f"{name}(1) renders cleanly: {result.stderr}")
        text = re.sub(".\b", "", result.stdout)  # overstrike bold and underline
        check("EXIT STATUS" in text, f"{name}(1) has an EXIT STATUS section")


def check_programs(inst, version, gui):
    r = inst.run(["--version"])
    check(r.returncode == 0 and r.stdout == f"quarnel-cli {version}\n", f"quarnel-cli --version: {r.stdout!r}")
    if gui:
        r = inst.run(["--version"], program=inst.prefix + "/bin/quarnel")
        check(r.returncode == 0 and r.stdout == f"quarnel {version}\n", f"quarnel --version: {r.stdout!r}")
        r = inst.run(["--dir", ""], program=inst.prefix + "/bin/quarnel")
        check(r.returncode == 2, f"quarnel --dir '' is a usage error: {r.returncode}")
        # No DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM here: one line, not Qt's abort.
        r = inst.run([], program=inst.prefix + "/bin/quarnel")
        check(r.returncode == 1 and r.stderr.startswith("quarnel: no display") and r.stderr.count("\n") == 1,
              f"quarnel without a display: {r.returncode} {r.stderr!r}")

    # Nothing yet: reading commands see an empty catalogue and create nothing.
    r = inst.run(["sites"])
    check(r.returncode == 0 and r.stdout == "", f"sites on no catalogue: {r.returncode} {r.stdout!r} {r.stderr!r}")
    check(os.listdir(inst.home) == [], f"sites created {os.listdir(inst.home)}")
    r = inst.run(["--dir", "", "sites"])
    check(r.returncode == 2, f"--dir '' is a usage error: {r.returncode}")

    # The first site stored makes the XDG data directory, readable by its owner only.
    r = inst.run(["add", "--host", "h", "--anonymous"])
    check(r.returncode == 0, f"add: {r.returncode} {r.stderr!r}")
    data = os.path.join(inst.home, ".local/share/quarnel")
    check(os.path.isfile(os.path.join(data, "site.ds")), "add stored site.ds in ~/.local/share/quarnel")
    if os.path.isdir(data):
        check(stat.S_IMODE(os.stat(data).st_mode) == 0o700, "~/.local/share/quarnel has mode 0700")
    check(inst.sites() == ["h"], "sites lists the added site")

    xdg = inst.user_dir("xdg")
    check(inst.run(["add", "--host", "x", "--anonymous"], {"XDG_DATA_HOME": xdg}).returncode == 0, "add under XDG")
    check(os.path.isfile(os.path.join(xdg, "quarnel/site.ds")), "XDG_DATA_HOME/quarnel holds the catalogue")
    check(inst.sites(env={"XDG_DATA_HOME": "relative"}) == ["h"], "a relative XDG_DATA_HOME is ignored")

    env_dir = inst.user_dir("env")
    check(inst.run(["add", "--host", "e", "--anonymous"], {"QUARNEL_DIR": env_dir}).returncode == 0, "add in env")
    check(inst.sites(env={"QUARNEL_DIR": env_dir, "XDG_DATA_HOME": xdg}) == ["e"], "QUARNEL_DIR before XDG")
    check(inst.sites(env={"QUARNEL_DIR": ""}) == ["h"], "an empty QUARNEL_DIR counts as unset")

    option_dir = inst.user_dir("option")
    r = inst.run(["--dir", option_dir, "add", "--host", "o", "--anonymous"], {"QUARNEL_DIR": env_dir})
    check(r.returncode == 0, f"add with --dir: {r.stderr!r}")
    check(inst.sites(["--dir", option_dir], {"QUARNEL_DIR": env_dir}) == ["o"], "--dir before QUARNEL_DIR")
    check(inst.sites(env={"QUARNEL_DIR": env_dir}) == ["e"], "--dir left QUARNEL_DIR's catalogue alone")

    # A copy of the program with a site.ds beside it keeps its catalogue there.
    portable = inst.user_dir("portable")
    copy = os.path.join(portable, "quarnel-cli")
    shutil.copy(inst.prefix + "/bin/quarnel-cli", copy)
    check(inst.run(["--dir", portable, "add", "--host", "p", "--anonymous"]).returncode == 0, "add portable")
    check(inst.sites(program=copy) == ["p"], "portable copy uses the site.ds beside it")
    check(inst.sites(env={"QUARNEL_DIR": env_dir}, program=copy) == ["e"], "QUARNEL_DIR before portable")

    # Completion offers the commands and the keys `sites` lists.
    completion = inst.prefix + "/share/bash-completion/completions/quarnel-cli"
    script = 'source "$1"; COMP_WORDS=(quarnel-cli "$2" ""); COMP_CWORD=2; _quarnel_cli; printf "%s\\n" "${COMPREPLY[@]}"'
    r = inst.run(["-c", script, "bash", completion, "tree"], program="/bin/bash")
    check(r.stdout.split() == ["h"], f"completion of a site key: {r.stdout!r} {r.stderr!r}")
    script = 'source "$1"; COMP_WORDS=(quarnel-cli ""); COMP_CWORD=1; _quarnel_cli; printf "%s\\n" "${COMPREPLY[@]}"'
    r = inst.run(["-c", script, "bash", completion], program="/bin/bash")
    check({"sites", "add", "update", "search"} <= set(r.stdout.split()), f"completion of commands: {r.stdout!r}")
    # Bash splits "h@b" at the "@": the key is still completed from the whole word.
    check(inst.run(["add", "--host", "h", "--user", "bob", "--password", "x"]).returncode == 0, "add h@bob")
    script = ('source "$1"; COMP_LINE="quarnel-cli tree h@b"; COMP_POINT=${#COMP_LINE}; '
              'COMP_WORDS=(quarnel-cli tree h @ b); COMP_CWORD=4; _quarnel_cli; printf "%s\\n" "${COMPREPLY[@]}"')
    r = inst.run(["-c", script, "bash", completion], program="/bin/bash")
    check(r.stdout.split() == ["bob"], f"completion of a key with @: {r.stdout!r} {r.stderr!r}")


def main():
    cmake, build, version, gui = sys.argv[1:5]
    gui = gui.upper() in ("ON", "1", "TRUE", "YES")
    work = tempfile.mkdtemp(prefix="quarnel-install-")
    dest = os.path.join(work, "dest")
    try:
        os.chmod(work, 0o755)
        subprocess.run([cmake, "--install", build, "--prefix", "/usr"], env=dict(os.environ, DESTDIR=dest),
                       check=True, stdout=subprocess.DEVNULL)
        prefix = dest + "/usr"
        check_files(prefix, gui)
        check_manual_pages(prefix, gui)

        subprocess.run(["chmod", "-R", "a-w", dest], check=True)
        before = tree(dest)
        check_programs(Installed(work, prefix), version, gui)
        check(tree(dest) == before, "the installed tree was left as it was")
    finally:
        subprocess.run(["chmod", "-R", "u+w", work])
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} checks failed")
        return 1
    print("install layout: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
