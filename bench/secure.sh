#!/usr/bin/env bash
# Crawl time over the secure protocols against plain FTP, on one tree, in one run: `quarnel-cli
# update` of the medium tree of bench/crawl.sh over plain FTP and FTP with explicit TLS from one
# vsftpd configuration (one connection: vsftpd answers STAT, so both list over the control
# connection), and over SFTP from OpenSSH's sshd serving the same directory; beside them lftp's
# `find` over plain FTP and over FTP with TLS. Each is timed three times in turn (an update of a
# stored catalogue after the first); min / median / max are printed, with the ratio to plain FTP
# paired round by round. Asserts nothing. Needs root (vsftpd and sshd chroot their sessions).
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

# ---- vsftpd: the same configuration, with TLS required and without
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
start_vsftpd() {  # name tls(yes|no); sets SERVER_PORT
    local dir="$WORK/$1" port
    port=$(free_port)
    vsftpd_conf "$dir" "$port" "$ROOT"
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

seconds() { "$PY" -c 'import time; print("%.6f" % time.time())'; }
stats() { printf '%s\n' "$@" | "$PY" -c '
import sys, statistics
v = [float(x) for x in sys.stdin.read().split()]
print("%.2f / %.2f / %.2f" % (min(v), statistics.median(v), max(v)))'; }
timed() {  # name command...: seconds; the output in $WORK/name.out
    local name=$1 t0 t1
    shift
    t0=$(seconds)
    HOME=$KEY_HOME "$@" >"$WORK/$name.out" 2>&1 || true
    t1=$(seconds)
    "$PY" -c "print('%.3f' % ($t1 - $t0))"
}

# One catalogue of one site, one connection; the server's identity is accepted first, by
# fingerprint, as a script would.
site() {  # name protocol port [add arguments...]
    local name=$1 protocol=$2 port=$3 app="$WORK/app-$1" key
    shift 3
    mkdir -p "$app"
    HOME=$KEY_HOME "$CLI" --dir "$app" add --host 127.0.0.1 --port "$port" --protocol "$protocol" \
        --connections 1 "$@" >/dev/null
    key=$("$CLI" --dir "$app" sites | cut -f1)
    if [ "$protocol" != ftp ]; then
        local fingerprint
        fingerprint=$(HOME=$KEY_HOME "$CLI" --dir "$app" trust "$key" 2>/dev/null | sed -n 's/^SHA-256 fingerprint: //p' || true)
        HOME=$KEY_HOME "$CLI" --dir "$app" trust "$key" --yes --fingerprint "$fingerprint" >/dev/null
    fi
}
lftp_find() {  # port tls(yes|no)
    local tls="set ftp:ssl-allow no"
    [ "$2" = yes ] && tls="set ftp:ssl-force true; set ftp:ssl-allow-anonymous true; set ftp:ssl-protect-data true; set ftp:ssl-protect-list true; set ssl:verify-certificate no"
    lftp -c "$tls; set ftp:passive-mode on; set net:max-retries 1; open ftp://127.0.0.1:$1; find / > /dev/null"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
start_vsftpd plain no
PLAIN_PORT=$SERVER_PORT
start_vsftpd tls yes
TLS_PORT=$SERVER_PORT
start_sshd
SFTP_PORT=$SERVER_PORT

site plain ftp "$PLAIN_PORT" --anonymous
site ftpes ftpes "$TLS_PORT" --anonymous
site sftp sftp "$SFTP_PORT" --user root --password-file /dev/null
plain=() ftpes=() sftp=() lplain=() ltls=() r_ftpes=() r_sftp=() r_lplain=() r_ltls=()
for round in 1 2 3; do
    plain+=("$(timed plain "$CLI" --dir "$WORK/app-plain" --quiet update --all)")
    ftpes+=("$(timed ftpes "$CLI" --dir "$WORK/app-ftpes" --quiet update --all)")
    sftp+=("$(timed sftp "$CLI" --dir "$WORK/app-sftp" --quiet update --all)")
    lplain+=("$(timed lftp-plain lftp_find "$PLAIN_PORT" no)")
    ltls+=("$(timed lftp-tls lftp_find "$TLS_PORT" yes)")
    r_ftpes+=("$("$PY" -c "print(${ftpes[-1]} / ${plain[-1]})")")
    r_sftp+=("$("$PY" -c "print(${sftp[-1]} / ${plain[-1]})")")
    r_lplain+=("$("$PY" -c "print(${lplain[-1]} / ${plain[-1]})")")
    r_ltls+=("$("$PY" -c "print(${ltls[-1]} / ${plain[-1]})")")
done

same() { cmp -s "$WORK/app-plain/Data/127.0.0.1/content.ct" "$1" && echo yes || echo no; }
echo "tree: $("$CLI" --dir "$WORK/app-plain" tree 127.0.0.1 | wc -l) entries stored; seconds min / median / max, then the ratio to plain FTP paired by round"
echo "  plain FTP (vsftpd):         $(stats "${plain[@]}")  ($(tail -1 "$WORK/plain.out" | cut -f2-))"
echo "  FTP, explicit TLS (vsftpd): $(stats "${ftpes[@]}")  ratio $(stats "${r_ftpes[@]}"), same content.ct: $(same "$WORK/app-ftpes/Data/127.0.0.1/content.ct")"
echo "  SFTP (sshd):                $(stats "${sftp[@]}")  ratio $(stats "${r_sftp[@]}"), same content.ct: $(same "$WORK/app-sftp/Data/127.0.0.1@root/content.ct")"
echo "  lftp find, plain FTP:       $(stats "${lplain[@]}")  ratio $(stats "${r_lplain[@]}")"
echo "  lftp find, explicit TLS:    $(stats "${ltls[@]}")  ratio $(stats "${r_ltls[@]}")"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "${2:-}" ]; then
    for name in plain ftpes sftp; do
        echo "hold: HOME=$KEY_HOME $CLI --dir $WORK/app-$name --quiet update --all"
    done
    sleep "$2"
fi
