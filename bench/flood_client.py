#!/usr/bin/env python3
"""Plan flood from one process: N clients post one body each, over and over.

Each client behaves as curl does with a large body: a new connection per
request, "Expect: 100-continue", the body only after "100 Continue", and the
next request as soon as an answer arrives ("at-once") or after the
Retry-After an answer asks for ("after").
Prints one line per answer code ("200 12", "503 800", "error 3").

usage: flood_client.py HOST PORT BODY_FILE CLIENTS SECONDS after|at-once
"""
import asyncio
import collections
import sys
import time


async def read_answer(reader):
    status = int((await reader.readline()).split()[1])
    length, retry_after = 0, 0
    while (line := await reader.readline()) not in (b"\r\n", b""):
        name, _, value = line.partition(b":")
        name = name.strip().lower()
        if name == b"content-length":
            length = int(value)
        elif name == b"retry-after":
            retry_after = int(value)
    return status, length, retry_after


async def client(host, port, head, body, end, counts, polite):
    while time.monotonic() < end:
        writer = None
        try:
            reader, writer = await asyncio.open_connection(host, port)
            writer.write(head)
            await writer.drain()
            status, length, retry_after = await read_answer(reader)
            if status == 100:
                writer.write(body)
                await writer.drain()
                status, length, retry_after = await read_answer(reader)
            await reader.readexactly(length)
            counts[str(status)] += 1
            if polite and retry_after:
                writer.close()
                await asyncio.sleep(min(retry_after, max(0.0, end - time.monotonic())))
        except (OSError, ValueError, IndexError, asyncio.IncompleteReadError):
            counts["error"] += 1
        finally:
            if writer is not None:
                writer.close()


async def main():
    host, port, path, clients, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
    polite = sys.argv[6] == "after"
    body = open(path, "rb").read()
    head = (f"POST /plans HTTP/1.1\r\nHost: {host}:{port}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\nExpect: 100-continue\r\nConnection: close\r\n\r\n").encode()
    counts = collections.Counter()
    end = time.monotonic() + seconds
    await asyncio.gather(*(client(host, port, head, body, end, counts, polite) for _ in range(clients)))
    for code, n in sorted(counts.items()):
        print(code, n)


asyncio.run(main())
