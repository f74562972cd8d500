#!/usr/bin/python3
"""An SMTP relay on 127.0.0.1 in front of a real server, that misbehaves on purpose.

  misbehaving_relay.py --to PORT [--close-every N] [--refuse-every N] [--stall N]
                       [--warm N] [--lifetime SECONDS]

Each client connection gets one of its own to 127.0.0.1:PORT. The client's commands are
handled in order, one at a time: the command goes to the server, its reply comes back, then
the next command is read; the message data goes on up to its "." line. So commands the client
pipelined keep their order and each reply matches its command. Counted over all connections:
  - every Nth DATA (--close-every): both connections are closed after the first line of data,
    before the "."; the server drops the message;
  - every Nth RCPT (--refuse-every): refused here with 550, never passed on;
  - the Nth MAIL (--stall): no reply; the connection is held until the client closes it.
--warm N first opens N connections to the server at once and quits them, so that a client's
first connections do not wait for the server to start its processes. Prints "PORT <port>"
when it listens; stops on SIGTERM or after --lifetime seconds.
"""

import argparse
import asyncio
import signal

counts = {}  # commands seen, by verb, over all connections
tasks = set()  # the loop holds its tasks weakly; one waiting on its own stream would vanish


async def reply(reader):
    lines = b""
    while True:
        line = await reader.readline()
        if not line:
            raise ConnectionError("the server closed")
        lines += line
        if line[3:4] != b"-":
            return lines


async def relay(args, creader, cwriter):
    tasks.add(asyncio.current_task())
    swriter = None
    try:
        sreader, swriter = await asyncio.open_connection("127.0.0.1", args.to)
        cwriter.write(await reply(sreader))
        while line := await creader.readline():
            verb = line[:4].upper()
            n = counts[verb] = counts.get(verb, 0) + 1
            if verb == b"RCPT" and n % args.refuse_every == 0:
                cwriter.write(b"550 5.7.1 Refused by the relay\r\n")
                continue
            if verb == b"MAIL" and n == args.stall:
                await creader.read()
                return
            swriter.write(line)
            answer = await reply(sreader)
            cwriter.write(answer)
            if verb == b"QUIT":
                return
            if verb != b"DATA" or not answer.startswith(b"354"):
                continue
            while (data := await creader.readline()) != b".\r\n":
                if not data:
                    return
                swriter.write(data)
                if n % args.close_every == 0:
                    return
            swriter.write(data)
            cwriter.write(await reply(sreader))
    except (ConnectionError, OSError):
        pass
    finally:
        for w in (cwriter, swriter):
            if w:
                w.close()
        tasks.discard(asyncio.current_task())


async def warm(port, n):
    streams = [await asyncio.open_connection("127.0.0.1", port) for _ in range(n)]
    for reader, writer in streams:
        await reply(reader)
        writer.write(b"QUIT\r\n")
    for reader, writer in streams:
        await reply(reader)
        writer.close()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--to", type=int, required=True)
    ap.add_argument("--close-every", type=int, default=17)
    ap.add_argument("--refuse-every", type=int, default=13)
    ap.add_argument("--stall", type=int, default=100)
    ap.add_argument("--warm", type=int, default=0)
    ap.add_argument("--lifetime", type=int, default=100)
    args = ap.parse_args()
    await asyncio.wait_for(warm(args.to, args.warm), 30)
    server = await asyncio.start_server(lambda r, w: relay(args, r, w), "127.0.0.1", 0,
                                        backlog=256)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), args.lifetime)
    except asyncio.TimeoutError:
        pass


if __name__ == "__main__":
    asyncio.run(main())
