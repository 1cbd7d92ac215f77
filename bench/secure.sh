#!/usr/bin/env bash
# Crawl time over the secure protocols against plain FTP, on one tree, in one run: `quarnel-cli
# update` of the medium tree of bench/crawl.sh over plain FTP and FTP with explicit TLS from one
# vsftpd configuration, and over SFTP from OpenSSH's sshd serving the same directory. Each is
# timed three times (an update of a stored catalogue after the first); the median is printed, with
# the ratio to plain FTP. Asserts nothing. Needs root (vsftpd and sshd chroot their sessions).
#
#   bench/secure.sh BUILD_DIR [HOLD_SECONDS]
#
# With HOLD_SECONDS the servers and catalogues stay that long after the figures, and the update
# command of each is printed, for timing them with other tools.
set -euo pipefail

[ "$(id -u)" -eq 0 ] || { echo "secure.sh: skipped (vsftpd and sshd must start as root to chroot)"; exit 0; }
# sshd chroots only into a directory no one but root can write to, all the way up: not /tmp.
source "$(dirname "$0")/lib/common.sh" secure "${1:-build}" /run

# ---- the tree: bench/crawl.sh's generator, taken from the script itself
medium_tree_generator "$WORK/make_tree.py"
ROOT="$WORK/root"
"$PY" "$WORK/make_tree.py" "$ROOT"
chmod -R a+rX "$ROOT"

free_port() { "$PY" -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])"; }
wait_port() {
    for _ in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.05
    done
    echo "secure.sh: no server on port $1" >&2; exit 1
}

# ---- vsftpd: the same configuration, with TLS required and without
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
start_vsftpd() {  # name tls(yes|no); sets SERVER_PORT
    local dir="$WORK/$1" port
    port=$(free_port)
    mkdir -p "$dir/empty"
    cat >"$dir/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
anon_root=$ROOT
no_anon_password=YES
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
connect_from_port_20=NO
secure_chroot_dir=$dir/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
CONF
    if [ "$2" = yes ]; then
        cat >>"$dir/vsftpd.conf" <<CONF
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=YES
rsa_cert_file=$WORK/cert.pem
rsa_private_key_file=$WORK/key.pem
CONF
    fi
    /usr/sbin/vsftpd "$dir/vsftpd.conf" >/dev/null 2>"$dir/vsftpd.err" </dev/null &
    PIDS+=($!)
    wait_port "$port"
    SERVER_PORT=$port
}

# ---- sshd: SFTP only, chrooted into the tree, the user's key in a home of its own
start_sshd() {  # sets SERVER_PORT, KEY_HOME
    local dir="$WORK/sshd" port
    port=$(free_port)
    mkdir -p "$dir/home/.ssh" /run/sshd
    ssh-keygen -q -t ed25519 -N "" -f "$dir/host_key"
    ssh-keygen -q -t ed25519 -N "" -f "$dir/home/.ssh/id_ed25519"
    cp "$dir/home/.ssh/id_ed25519.pub" "$dir/authorized_keys"
    cat >"$dir/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $dir/host_key
PidFile none
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
Subsystem sftp internal-sftp
ForceCommand internal-sftp
ChrootDirectory $ROOT
LogLevel ERROR
CONF
    /usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.err" </dev/null &
    PIDS+=($!)
    wait_port "$port"
    SERVER_PORT=$port
    KEY_HOME="$dir/home"
}

median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
seconds() { "$PY" -c 'import time; print("%.6f" % time.time())'; }
ratio() { "$PY" -c "print('%.2f' % ($1 / $2))"; }

# One catalogue of one site: `add` arguments, the protocol, then three timed updates; prints the
# median. The server's identity is accepted first, by fingerprint, as a script would.
crawl() {  # name protocol port [add arguments...]
    local name=$1 protocol=$2 port=$3 app="$WORK/app-$1" key t0 t1 times=()
    shift 3
    mkdir -p "$app"
    HOME=$KEY_HOME "$CLI" --dir "$app" add --host 127.0.0.1 --port "$port" --protocol "$protocol" "$@" >/dev/null
    key=$("$CLI" --dir "$app" sites | cut -f1)
    if [ "$protocol" != ftp ]; then
        local fingerprint
        fingerprint=$(HOME=$KEY_HOME "$CLI" --dir "$app" trust "$key" 2>/dev/null | sed -n 's/^SHA-256 fingerprint: //p')
        HOME=$KEY_HOME "$CLI" --dir "$app" trust "$key" --yes --fingerprint "$fingerprint" >/dev/null
    fi
    for _ in 1 2 3; do
        t0=$(seconds)
        HOME=$KEY_HOME "$CLI" --dir "$app" --quiet update --all >"$WORK/$name.out" 2>&1 || true
        t1=$(seconds)
        times+=("$("$PY" -c "print('%.3f' % ($t1 - $t0))")")
    done
    median3 "${times[@]}"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
start_vsftpd plain no
PLAIN_PORT=$SERVER_PORT
start_vsftpd tls yes
TLS_PORT=$SERVER_PORT
start_sshd
SFTP_PORT=$SERVER_PORT

plain=$(crawl plain ftp "$PLAIN_PORT" --anonymous)
ftpes=$(crawl ftpes ftpes "$TLS_PORT" --anonymous)
sftp=$(crawl sftp sftp "$SFTP_PORT" --user root --password-file /dev/null)

same() { cmp -s "$WORK/app-plain/Data/127.0.0.1/content.ct" "$1" && echo yes || echo no; }
echo "tree: $("$CLI" --dir "$WORK/app-plain" tree 127.0.0.1 | wc -l) entries stored"
echo "  plain FTP (vsftpd):         ${plain}s  ($(tail -1 "$WORK/plain.out" | cut -f2-))"
echo "  FTP, explicit TLS (vsftpd): ${ftpes}s  ratio $(ratio "$ftpes" "$plain"), same content.ct: $(same "$WORK/app-ftpes/Data/127.0.0.1/content.ct")"
echo "  SFTP (sshd):                ${sftp}s  ratio $(ratio "$sftp" "$plain"), same content.ct: $(same "$WORK/app-sftp/Data/127.0.0.1@root/content.ct")"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "${2:-}" ]; then
    for name in plain ftpes sftp; do
        echo "hold: HOME=$KEY_HOME $CLI --dir $WORK/app-$name --quiet update --all"
    done
    sleep "$2"
fi
