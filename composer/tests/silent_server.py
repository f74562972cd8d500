#!/usr/bin/python3
"""A server that greets like SMTP and then never answers: a send to it stays in
progress. Prints "PORT <n>" once it listens on 127.0.0.1; stops after --lifetime seconds
or on SIGTERM."""

import argparse
import selectors
import signal
import socket
import sys
import time


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--lifetime", type=float, default=60.0)
    args = p.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.5):
            if key.fileobj is listener:
                conn, _ = listener.accept()
                conn.sendall(b"220 silent.test ESMTP\r\n")
                sel.register(conn, selectors.EVENT_READ)
            else:
                try:
                    data = key.fileobj.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    sel.unregister(key.fileobj)
                    key.fileobj.close()


if __name__ == "__main__":
    main()
