"""A TCP relay on loopback that holds every chunk for DELAY_MS in each direction, as a server
10-50 ms away would: the benchmarks run through it to measure what round trips cost.

usage: delay_relay.py DELAY_MS TARGET_PORT [...]
Listens on 127.0.0.1 only, on a free port for each target on 127.0.0.1; prints "ready" and those
ports, in order, once listening; runs until killed."""

import asyncio
import sys
import time


async def pump(reader, writer, delay):
    # Chunks keep their order; each is written once its own delay has passed.
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            pause = due - time.monotonic()
            if pause > 0:
                await asyncio.sleep(pause)
            if data is None:
                writer.close()
                return
            writer.write(data)
            await writer.drain()

    task = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(65536)
            await queue.put((time.monotonic() + delay, data or None))
            if not data:
                break
        await task
    except (ConnectionError, OSError):
        task.cancel()
        writer.close()


def handler(target, delay):
    async def serve(reader, writer):
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            writer.close()
            return
        await asyncio.gather(pump(reader, up_writer, delay), pump(up_reader, writer, delay),
                             return_exceptions=True)
    return serve


async def main():
    delay = float(sys.argv[1]) / 1000
    servers = []
    for target in sys.argv[2:]:
        servers.append(await asyncio.start_server(handler(int(target), delay), "127.0.0.1", 0))
    print("ready", *(s.sockets[0].getsockname()[1] for s in servers), flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    asyncio.run(main())
