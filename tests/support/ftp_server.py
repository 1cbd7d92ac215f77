#!/usr/bin/python3
"""A pyftpdlib server for the tests, on 127.0.0.1 only.

    ftp_server.py ROOT [--port N] [--user NAME --password PW] [--no-anonymous]
                       [--no-mlsd] [--unique on|off|none] [--faults FILE] [--log FILE]
                       [--max-cons-per-ip N]
                       [--verbose]
                       [--exit-on-stdin-eof]

Serves ROOT read-only (anonymous, plus one user account), names byte for byte (GBK or
UTF-8), and prints the chosen port on one line of stdout once it accepts connections.

--faults FILE is a JSON file, read again whenever it changes (which resets the counters):
    {"faults": [{"dir": "name" | "dir_hex": "6e616d65", "action": ACTION, "times": N,
                 "keep": K, "reply_hex": "353330..."}]}
"dir" matches a directory's whole path when it starts with "/", else its last component.
"times" > 0 makes the fault fire only the first N times, then the server behaves normally.
ACTION is one of
    refuse_cwd     550 to a CWD into the directory
    drop_cwd       close the control connection on that CWD, without a reply
    close421_cwd   421 to that CWD, then close
    hangup_cwd     a normal reply to that CWD, then close the control connection
    refuse_list    550 to a listing (LIST, MLSD, NLST) of the directory
    busy_list      450 to the listing
    drop_list      close the control connection on the listing, without a reply
    close421_list  421 to the listing, then close
    stall_list     no reply at all to the listing (the client times out)
    stall_data     150, then a data connection that sends nothing
    reject_mlsd    500 to MLSD (as if unknown, though FEAT offers it); LIST works
    truncate_list  only the first "keep" names (default 1, in sorted order), then pure-ftpd's
                   "226 Output truncated to K matches" (after "226-Options: -l" for LIST; as
                   "213 Output truncated to K matches" for STAT)
    reply425_list  425 to the listing (the server could not open the data connection)
    reply426_list  426 to the listing (the transfer was aborted before it began)
    abort_data     150, the first half of the listing's bytes, then the data connection is
                   closed and 426 sent
    refuse_data    EPSV and PASV in the directory name a port nobody listens on; each of them
                   counts as one firing (a client falls back from EPSV to PASV)
    endless_list   150, then a listing that never ends (the data connection sends for ever)
    trickle_list   150, then the listing at one byte every half second
    long_name      the listing also shows a directory named "L" * keep bytes, which does not
                   exist (no file system holds such a name)
    many_names     the listing also shows "keep" made-up files, "n0000000" upwards, of 1 byte
    long_lines     the listing also shows "keep" made-up links, "k0000000" upwards, each with a
                   target of 4,000 bytes: lines of about 4 KB, 70 MB of listing for 17,500
    stall_greeting no 220 greeting once connected (the client times out)
    stall_login    no reply at all to PASS
    reply_login    PASS is answered with the bytes of "reply_hex" as they are (a reply of a
                   hostile server: escape sequences, the password echoed back), and refused
    stat_reply     "STAT path" of the directory is answered with the bytes of "reply_hex" as
                   they are (a whole reply, or several, line ends included)
"STAT path" lists the directory over the control connection, as pyftpdlib does; the refusals,
drops and stalls of a listing (refuse_list, busy_list, drop_list, close421_list, stall_list)
apply to it too, as they would on a server that cannot list the directory.
The login actions (stall_greeting, stall_login, reply_login) are given "dir": "/", where every
session starts.

--unique sets MLSD's unique fact: on by default (pyftpdlib's own), offered but off until
"OPTS MLST" asks for it, or not offered at all (as on servers without identity).

--max-cons-per-ip N answers a control connection beyond N at once from one address with
pyftpdlib's "421 Too many connections from the same IP address." and closes it.

--log FILE appends one line per command that reaches a directory: "CWD /path",
"LIST /path", "MLSD /path", "NLST /path", "STAT /path", plus "USER name" at each login and "OPTS args", raw bytes, and
"FAULT action" when a login action fires.
"""

import argparse
import warnings

warnings.simplefilter('ignore', DeprecationWarning)
import asynchat  # noqa: E402  (pyftpdlib 1.5 is built on it)
import json
import logging
import os
import socket
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

ENCODING_ERRORS = 'surrogateescape'


def to_bytes(text):
    return text.encode('utf8', ENCODING_ERRORS)


class FaultTable:
    """The faults of the --faults file, with the number of times each has fired."""

    def __init__(self, path):
        self.path = path
        self.stamp = None
        self.faults = []

    def _reload(self):
        if not self.path:
            return
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        except OSError:
            stamp = None
        if stamp == self.stamp:
            return
        self.stamp = stamp
        self.faults = []
        if stamp is None:
            return
        with open(self.path, 'rb') as f:
            data = json.loads(f.read().decode('utf8'))
        for item in data.get('faults', []):
            if 'dir_hex' in item:
                name = bytes.fromhex(item['dir_hex'])
            else:
                name = item['dir'].encode('utf8')
            self.faults.append({'dir': name, 'action': item['action'],
                                'times': int(item.get('times', 0)), 'fired': 0,
                                'keep': int(item.get('keep', 1)),
                                'reply': bytes.fromhex(item.get('reply_hex', ''))})

    def take(self, ftp_path, actions):
        """The action of the first live fault for this directory among `actions`, or None."""
        fault = self.take_fault(ftp_path, actions)
        return fault['action'] if fault else None

    def take_fault(self, ftp_path, actions):
        """The first live fault for this directory among `actions`, or None."""
        self._reload()
        path = to_bytes(ftp_path)
        last = path.rstrip(b'/').rsplit(b'/', 1)[-1]
        for fault in self.faults:
            if fault['action'] not in actions:
                continue
            wanted = fault['dir']
            if wanted.startswith(b'/'):
                if wanted.rstrip(b'/') != path.rstrip(b'/') and wanted != path:
                    continue
            elif wanted != last:
                continue
            if fault['times'] > 0 and fault['fired'] >= fault['times']:
                continue
            fault['fired'] += 1
            return fault
        return None


class EndlessListing:
    """A producer of listing lines that never runs out."""

    def __init__(self, mlsd):
        self.mlsd = mlsd
        self.count = 0

    def more(self):
        lines = []
        for _ in range(1000):
            self.count += 1
            if self.mlsd:
                lines.append(b'type=file;size=%d;modify=20200101000000;unique=801g%x; file%09d.dat\r\n'
                             % (self.count, self.count, self.count))
            else:
                lines.append(b'-rw-r--r--   1 ftp      ftp      %10d Jan 01  2020 file%09d.dat\r\n'
                             % (self.count, self.count))
        return b''.join(lines)


def abort_data_script(handler, verb, fault):
    """Half of the listing, then the data connection closes and 426 follows."""
    def run(channel, payload):
        channel.push(payload[:max(1, len(payload) // 2)])

        def cut():
            if channel._closed:
                return
            if channel.producer_fifo:  # not all sent yet
                channel.ioloop.call_later(0.05, cut)
                return
            channel._resp = ('426 Connection closed; transfer aborted.', logging.getLogger().debug)
            channel.close()
        channel.ioloop.call_later(0.1, cut)
    return run


def endless_list_script(handler, verb, fault):
    def run(channel, payload):
        channel.push_with_producer(EndlessListing(verb == 'MLSD'))
    return run


def trickle_list_script(handler, verb, fault):
    """The listing one byte at a time, half a second apart."""
    def run(channel, payload):
        sent = [0]

        def step():
            if channel._closed:
                return
            if sent[0] >= len(payload):
                channel.close_when_done()
                return
            channel.push(payload[sent[0]:sent[0] + 1])
            sent[0] += 1
            channel.ioloop.call_later(0.5, step)
        step()
    return run


def long_name_script(handler, verb, fault):
    """The listing with one more directory, whose name is fault['keep'] bytes long."""
    name = b'L' * fault['keep']
    if verb == 'MLSD':
        line = b'type=dir;perm=el;modify=20200101000000; ' + name + b'\r\n'
    else:
        line = b'drwxr-xr-x   2 ftp      ftp          4096 Jan 01  2020 ' + name + b'\r\n'

    def run(channel, payload):
        channel.push(line + payload)
        channel.close_when_done()
    return run


def long_lines_script(handler, verb, fault):
    """The listing with fault['keep'] more links, which do not exist, of long targets."""
    target = b't' * 4000
    lines = []
    for i in range(fault['keep']):
        if verb == 'MLSD':
            lines.append(b'type=OS.unix=slink:%s;modify=20200101000000; k%07d\r\n' % (target, i))
        else:
            lines.append(b'lrwxrwxrwx   1 ftp      ftp          4000 Jan 01  2020 k%07d -> %s\r\n' % (i, target))
    extra = b''.join(lines)

    def run(channel, payload):
        channel.push(payload + extra)
        channel.close_when_done()
    return run


def many_names_script(handler, verb, fault):
    """The listing with fault['keep'] more files, which do not exist."""
    lines = []
    for i in range(fault['keep']):
        if verb == 'MLSD':
            lines.append(b'type=file;size=1;modify=20200101000000; n%07d\r\n' % i)
        else:
            lines.append(b'-rw-r--r--   1 ftp      ftp             1 Jan 01  2020 n%07d\r\n' % i)
    extra = b''.join(lines)

    def run(channel, payload):
        channel.push(payload + extra)
        channel.close_when_done()
    return run


SCRIPTS = {
    'abort_data': abort_data_script,
    'endless_list': endless_list_script,
    'trickle_list': trickle_list_script,
    'long_name': long_name_script,
    'many_names': many_names_script,
    'long_lines': long_lines_script,
}


class TestHandler(FTPHandler):
    unicode_errors = ENCODING_ERRORS
    faults = FaultTable(None)
    log_path = None
    unique_fact = 'on'

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        if self.unique_fact != 'on':
            self._current_facts = [f for f in self._current_facts if f != 'unique']
        if self.unique_fact == 'none':
            self._available_facts = [f for f in self._available_facts if f != 'unique']

    # The stock push() encodes strictly and would refuse to answer with GBK names.
    def push(self, s):
        asynchat.async_chat.push(self, s.encode('utf8', self.unicode_errors))

    def _log(self, verb, ftp_path):
        if self.log_path:
            with open(self.log_path, 'ab') as f:
                f.write(verb.encode('ascii') + b' ' + to_bytes(ftp_path) + b'\n')

    def _fault(self, ftp_path, verb):
        """Carries out a fault for a CWD or a listing command; True if it answered for it."""
        if verb == 'CWD':
            names = ('refuse_cwd', 'drop_cwd', 'close421_cwd', 'hangup_cwd')
        elif verb == 'STAT':
            names = ('refuse_list', 'busy_list', 'drop_list', 'close421_list', 'stall_list')
        else:
            names = ('refuse_list', 'busy_list', 'drop_list', 'close421_list', 'stall_list',
                     'stall_data', 'reply425_list', 'reply426_list') + \
                (('reject_mlsd',) if verb == 'MLSD' else ())
        action = self.faults.take(ftp_path, names)
        if action is None:
            return False
        if action == 'hangup_cwd':
            self.close_after_reply = True
            return False
        if action == 'reject_mlsd':
            self.respond('500 Command "MLSD" not understood.')
        elif action.startswith('refuse'):
            self.respond('550 Permission denied by test fault.')
        elif action == 'busy_list':
            self.respond('450 Listing temporarily unavailable.')
        elif action == 'reply425_list':
            self.respond("425 Can't open data connection.")
        elif action == 'reply426_list':
            self.respond('426 Connection closed; transfer aborted.')
        elif action.startswith('drop'):
            self.close()
        elif action.startswith('close421'):
            self.respond('421 Service closing control connection.')
            self.close_when_done()
        elif action == 'stall_list':
            pass  # never answer: the client's reply time-out has to end this
        elif action == 'stall_data':
            self.respond('150 File status okay. About to open data connection.')
            # keep the data channel open and silent; pyftpdlib's own idle time-out is long
        return True

    def _login_fault(self, action):
        """True if the login fault `action` fires now."""
        if self.faults.take('/', (action,)) is None:
            return False
        self._log('FAULT', action)
        return True

    def handle(self):
        if self._login_fault('stall_greeting'):
            self.on_connect()
            return None  # connected, never greeted
        return super().handle()

    def ftp_PASS(self, line):
        if self._login_fault('stall_login'):
            return None  # the password is never answered
        fault = self.faults.take_fault('/', ('reply_login',))
        if fault is not None:
            self._log('FAULT', 'reply_login')
            self.respond(fault['reply'].decode('utf8', ENCODING_ERRORS))
            self.username = ""
            return None
        return super().ftp_PASS(line)

    def ftp_OPTS(self, line):
        self._log('OPTS', line)
        return super().ftp_OPTS(line)

    def ftp_USER(self, line):
        self._log('USER', line)
        return super().ftp_USER(line)

    def ftp_CWD(self, path):
        ftp_path = self.fs.fs2ftp(path)
        self._log('CWD', ftp_path)
        self.close_after_reply = False
        if self._fault(ftp_path, 'CWD'):
            return None
        result = super().ftp_CWD(path)
        if self.close_after_reply:
            self.close_when_done()
        return result

    def _listing(self, verb, path, base):
        ftp_path = self.fs.fs2ftp(path)
        self._log(verb, ftp_path)
        if self._fault(ftp_path, verb):
            return None
        scripted = self.faults.take_fault(ftp_path, SCRIPTS)
        if scripted is not None:
            # The stock command makes the listing; push_dtp_data hands it to the script.
            self._script = SCRIPTS[scripted['action']](self, verb, scripted)
            return base(self, path)
        cut = self.faults.take_fault(ftp_path, ('truncate_list',))
        if cut is None:
            return base(self, path)
        # Lists the first names only and ends with pure-ftpd's words for a listing cut short.
        keep = cut['keep']
        listdir = self.fs.listdir
        self.fs.listdir = lambda p: sorted(listdir(p))[:keep]
        words = '226 Output truncated to %d matches' % keep
        self.truncated_reply = ('226-Options: -l \r\n' + words) if verb == 'LIST' else words
        try:
            return base(self, path)
        finally:
            del self.fs.listdir

    truncated_reply = None
    _script = None          # the data connection's script for the listing being started
    _pending_script = None  # (script, cmd) waiting for the data connection

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        script, self._script = self._script, None
        if script is None:
            return super().push_dtp_data(data, isproducer, file, cmd)
        payload = b''.join(iter(data.more, b'')) if isproducer else data
        if self.data_channel is not None:
            self.respond('125 Data connection already open. Transfer starting.')
            self.data_channel.cmd = cmd
            script(self.data_channel, payload)
        else:
            self.respond('150 File status okay. About to open data connection.')
            self._pending_script = (script, payload, cmd)
        return None

    def _on_dtp_connection(self):
        pending, self._pending_script = self._pending_script, None
        super()._on_dtp_connection()
        if pending is not None and self.data_channel is not None:
            script, payload, cmd = pending
            self.data_channel.cmd = cmd
            script(self.data_channel, payload)

    def _dead_data_port(self):
        """A port nobody listens on, when refuse_data fires for the current directory."""
        if self.faults.take(self.fs.cwd, ('refuse_data',)) is None:
            return None
        with socket.socket() as probe:
            probe.bind(('127.0.0.1', 0))
            return probe.getsockname()[1]

    def ftp_EPSV(self, line):
        port = self._dead_data_port()
        if port is None:
            return super().ftp_EPSV(line)
        self.respond('229 Entering extended passive mode (|||%d|).' % port)
        return None

    def ftp_PASV(self, line):
        port = self._dead_data_port()
        if port is None:
            return super().ftp_PASV(line)
        self.respond('227 Entering passive mode (127,0,0,1,%d,%d).' % (port >> 8, port & 255))
        return None

    def respond(self, resp, logfun=logging.getLogger('pyftpdlib').debug):
        if self.truncated_reply and resp.startswith('226 '):
            resp, self.truncated_reply = self.truncated_reply, None
        if self.truncated_stat and resp.startswith('213 '):
            resp, self.truncated_stat = self.truncated_stat, None
        return super().respond(resp, logfun)

    def ftp_LIST(self, path):
        return self._listing('LIST', path, FTPHandler.ftp_LIST)

    def ftp_MLSD(self, path):
        return self._listing('MLSD', path, FTPHandler.ftp_MLSD)

    def ftp_STAT(self, path):
        if not path:
            return super().ftp_STAT(path)
        ftp_path = self.fs.fs2ftp(path)
        self._log('STAT', ftp_path)
        if self._fault(ftp_path, 'STAT'):
            return None
        scripted = self.faults.take_fault(ftp_path, ('stat_reply',))
        if scripted is not None:
            asynchat.async_chat.push(self, scripted['reply'])
            return None
        cut = self.faults.take_fault(ftp_path, ('truncate_list',))
        if cut is None:
            return super().ftp_STAT(path)
        # The same limit as the listings', said in the last line.
        keep = cut['keep']
        listdir = self.fs.listdir
        self.fs.listdir = lambda p: sorted(listdir(p))[:keep]
        self.truncated_stat = '213 Output truncated to %d matches' % keep
        try:
            return super().ftp_STAT(path)
        finally:
            del self.fs.listdir
            self.truncated_stat = None

    truncated_stat = None

    def ftp_NLST(self, path):
        return self._listing('NLST', path, FTPHandler.ftp_NLST)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('root')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--user', default='user')
    parser.add_argument('--password', default='secret')
    parser.add_argument('--no-anonymous', action='store_true')
    parser.add_argument('--no-mlsd', action='store_true')
    parser.add_argument('--unique', choices=('on', 'off', 'none'), default='on')
    parser.add_argument('--faults')
    parser.add_argument('--log')
    parser.add_argument('--max-cons-per-ip', type=int, default=0)
    parser.add_argument('--verbose', action='store_true')
    parser.add_argument('--exit-on-stdin-eof', action='store_true')
    args = parser.parse_args()

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.ERROR, stream=sys.stderr)
    root = os.path.realpath(args.root)

    authorizer = DummyAuthorizer()
    if args.user:
        authorizer.add_user(args.user, args.password, root, perm='elr')
    if not args.no_anonymous:
        authorizer.add_anonymous(root, perm='elr')

    handler = TestHandler
    handler.authorizer = authorizer
    handler.faults = FaultTable(args.faults)
    handler.log_path = args.log
    handler.unique_fact = args.unique
    handler.banner = 'Quarnel test server ready.'
    if args.no_mlsd:
        handler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items()
                              if k not in ('MLSD', 'MLST')}

    server = FTPServer(('127.0.0.1', args.port), handler)
    server.max_cons = 64
    server.max_cons_per_ip = args.max_cons_per_ip
    print(server.address[1], flush=True)
    if args.exit_on_stdin_eof:
        # The test process holds the other end: when it dies, so does this server.
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            os._exit(0)
        threading.Thread(target=watch, daemon=True).start()
    try:
        server.serve_forever(handle_exit=True)
    except KeyboardInterrupt:
        pass
    server.close_all()


if __name__ == '__main__':
    main()
