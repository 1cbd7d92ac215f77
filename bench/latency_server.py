#!/usr/bin/python3
"""The test server of tests/support/ftp_server.py, as far away as a real one: every reply reaches
the client a set delay after the server made it, and every data connection is taken up that delay
after the client opened it (as if its connect had cost a round trip). Replies keep their order.

    latency_server.py ROOT --delay-ms N [--port N] [--max-cons-per-ip N] [--no-mlsd]

Anonymous login, read-only; prints the port on one line once it accepts connections.
"""

import argparse
import collections
import logging
import os
import sys
import time
import warnings

warnings.simplefilter('ignore', DeprecationWarning)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'support'))

import asynchat  # noqa: E402
import ftp_server  # noqa: E402
from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import PassiveDTP  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402

DELAY = 0.0


class DelayedPassiveDTP(PassiveDTP):
    """Hands the accepted data connection over a delay later."""

    def handle_accepted(self, sock, addr):
        if DELAY <= 0:
            return super().handle_accepted(sock, addr)
        self.ioloop.call_later(DELAY, lambda: PassiveDTP.handle_accepted(self, sock, addr))


class DelayedHandler(ftp_server.TestHandler):
    passive_dtp = DelayedPassiveDTP

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._late = collections.deque()  # (due, bytes or None for a close)

    def push(self, s):
        data = s.encode('utf8', self.unicode_errors)
        if DELAY <= 0:
            return asynchat.async_chat.push(self, data)
        self._late.append((time.monotonic() + DELAY, data))
        self.ioloop.call_later(DELAY, self._release)

    def close_when_done(self):
        if DELAY <= 0 or not self._late:
            return super().close_when_done()
        self._late.append((time.monotonic() + DELAY, None))
        self.ioloop.call_later(DELAY, self._release)

    def _release(self):
        now = time.monotonic()
        while self._late and self._late[0][0] <= now + 0.0005:
            _, data = self._late.popleft()
            if self._closed:
                continue
            if data is None:
                ftp_server.TestHandler.close_when_done(self)
            else:
                asynchat.async_chat.push(self, data)


def main():
    global DELAY
    parser = argparse.ArgumentParser()
    parser.add_argument('root')
    parser.add_argument('--delay-ms', type=float, default=0)
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--max-cons-per-ip', type=int, default=0)
    parser.add_argument('--no-mlsd', action='store_true', help='a server of LIST alone')
    args = parser.parse_args()
    DELAY = args.delay_ms / 1000.0
    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(os.path.realpath(args.root), perm='elr')
    DelayedHandler.authorizer = authorizer
    DelayedHandler.banner = 'Quarnel latency bench server ready.'
    if args.no_mlsd:
        DelayedHandler.proto_cmds = {k: v for k, v in DelayedHandler.proto_cmds.items()
                                     if k not in ('MLSD', 'MLST')}
    server = FTPServer(('127.0.0.1', args.port), DelayedHandler)
    server.max_cons = 256
    server.max_cons_per_ip = args.max_cons_per_ip
    print(server.address[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    except KeyboardInterrupt:
        pass
    server.close_all()


if __name__ == '__main__':
    main()
