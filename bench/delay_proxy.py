#!/usr/bin/python3
"""A delaying TCP proxy in front of an FTP server on 127.0.0.1: every chunk of bytes crosses it
half a round trip late in each direction, on the control connection and on the data connections
it opens for the passive-mode replies it rewrites (227 and 229), so a client sees the server as
far away as a real one, data connections included. Over TLS the control connection is delayed
alike, but its passive replies cannot be read: data connections then go to the server directly.

    delay_proxy.py SERVER_PORT --rtt-ms N [--port N]

Prints the port it listens on, on one line, once it accepts connections.
"""

import argparse
import asyncio
import re
import sys

HALF = 0.0


async def pump(reader, writer, rewrite=None):
    """Copies reader to writer, each chunk HALF seconds after it arrived, in order."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        writer.close()

    task = asyncio.create_task(deliver())
    pending = b''
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            if rewrite and (pending + data)[:1] in (b'\x14', b'\x15', b'\x16', b'\x17'):
                # TLS from here on (AUTH TLS): nothing to read, passive replies pass unseen.
                rewrite, data, pending = None, pending + data, b''
            if rewrite:
                pending += data
                lines, _, pending = pending.rpartition(b'\r\n')
                if not lines and not _:
                    continue
                data = await rewrite(lines + b'\r\n')
            queue.put_nowait((loop.time() + HALF, data))
    except (ConnectionError, OSError):
        pass
    queue.put_nowait((loop.time() + HALF, None))
    try:
        await task
    except (ConnectionError, OSError):
        pass


async def relay_data(server_port):
    """A listener for one data connection, relayed to the server's passive port; its port."""
    async def accepted(creader, cwriter):
        listener.close()
        sreader, swriter = await asyncio.open_connection('127.0.0.1', server_port)
        await asyncio.gather(pump(creader, swriter), pump(sreader, cwriter))

    listener = await asyncio.start_server(accepted, '127.0.0.1', 0)
    return listener.sockets[0].getsockname()[1]


PASV = re.compile(rb'^227 .*?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)', re.M)
EPSV = re.compile(rb'^229 (.*?)\(\|\|\|(\d+)\|\)', re.M)


async def rewrite(lines):
    m = PASV.search(lines)
    if m:
        port = await relay_data(int(m.group(5)) * 256 + int(m.group(6)))
        new = b'227 Entering Passive Mode (127,0,0,1,%d,%d).' % (port >> 8, port & 255)
        lines = lines[:m.start()] + new + lines[lines.index(b'\r\n', m.start()):]
    m = EPSV.search(lines)
    if m:
        port = await relay_data(int(m.group(2)))
        lines = lines[:m.start(2)] + str(port).encode() + lines[m.end(2):]
    return lines


async def main():
    global HALF
    parser = argparse.ArgumentParser()
    parser.add_argument('server_port', type=int)
    parser.add_argument('--rtt-ms', type=float, default=50)
    parser.add_argument('--port', type=int, default=0)
    args = parser.parse_args()
    HALF = args.rtt_ms / 2000.0

    async def control(creader, cwriter):
        try:
            sreader, swriter = await asyncio.open_connection('127.0.0.1', args.server_port)
        except OSError:
            cwriter.close()
            return
        await asyncio.gather(pump(creader, swriter), pump(sreader, cwriter, rewrite))

    server = await asyncio.start_server(control, '127.0.0.1', args.port)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == '__main__':
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
