#!/usr/bin/env python3
"""relay.py LISTEN TARGET: relays every connection accepted on LISTEN to
TARGET, both ways, until either side closes. LISTEN and TARGET are
tcp:HOST:PORT or unix:PATH. The demo joins its private network to the
service on the host's loopback with two of them and a socket file between:
nothing on the host's network changes. Prints "ready" once it listens.
"""
import asyncio
import os
import sys


def endpoint(text):
    kind, _, rest = text.partition(":")
    if kind == "unix" and rest:
        return ("unix", rest)
    host, _, port = rest.rpartition(":")
    if kind == "tcp" and host and port.isdigit():
        return ("tcp", host, int(port))
    raise SystemExit("relay.py: not tcp:HOST:PORT or unix:PATH: %s" % text)


async def pipe(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        pass


async def main(listen, target):
    async def connect():
        if target[0] == "unix":
            return await asyncio.open_unix_connection(target[1])
        return await asyncio.open_connection(target[1], target[2])

    async def serve(reader, writer):
        try:
            far_reader, far_writer = await connect()
        except OSError:
            writer.close()
            return
        await asyncio.gather(pipe(reader, far_writer), pipe(far_reader, writer))
        for w in (writer, far_writer):
            w.close()

    if listen[0] == "unix":
        if os.path.exists(listen[1]):
            os.unlink(listen[1])
        server = await asyncio.start_unix_server(serve, listen[1])
        os.chmod(listen[1], 0o600)
    else:
        server = await asyncio.start_server(serve, listen[1], listen[2], reuse_address=True)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit("usage: relay.py LISTEN TARGET")
    try:
        asyncio.run(main(endpoint(sys.argv[1]), endpoint(sys.argv[2])))
    except KeyboardInterrupt:
        pass
