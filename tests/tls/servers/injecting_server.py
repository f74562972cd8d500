#!/usr/bin/python3
"""A STARTTLS server that injects replies in clear behind its 220 (CVE-2016-0772 style).

  injecting_server.py --log FILE --cert PEM --key PEM

Prints "PORT <n>", serves one connection: offers STARTTLS and AUTH LOGIN in clear, answers
STARTTLS with "220" and, in the same write, a forged EHLO reply and a forged 334; then does
the handshake and serves the message over TLS. Each command
received is written to FILE, one a line, with "TLS " before those that came encrypted.
Gives up after --lifetime seconds.
"""

import argparse
import signal
import socket
import ssl
import sys


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--log", required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--lifetime", type=int, default=60)
    args = p.parse_args()
    signal.alarm(args.lifetime)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    log = open(args.log, "a", buffering=1)
    reader = conn.makefile("rb")
    prefix = ""

    def command():
        line = reader.readline()
        log.write(prefix + line.decode("latin-1").rstrip("\r\n") + "\n")
        return line

    conn.sendall(b"220 inject.test ESMTP\r\n")
    command()  # EHLO
    conn.sendall(b"250-inject.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n")
    if not command().upper().startswith(b"STARTTLS"):
        return 0
    conn.sendall(b"220 go ahead\r\n250-forged\r\n250 AUTH LOGIN\r\n334 VXNlcm5hbWU6\r\n")
    tls = context.wrap_socket(conn, server_side=True)
    reader = tls.makefile("rb")
    prefix = "TLS "
    while True:
        line = command()
        if not line:
            break
        verb = line[:4].upper()
        if verb == b"EHLO":
            tls.sendall(b"250-inject.test\r\n250 AUTH LOGIN\r\n")
        elif verb == b"AUTH":
            tls.sendall(b"334 VXNlcm5hbWU6\r\n")
            command()
            tls.sendall(b"334 UGFzc3dvcmQ6\r\n")
            command()
            tls.sendall(b"235 OK\r\n")
        elif verb == b"DATA":
            tls.sendall(b"354 go\r\n")
            while reader.readline() not in (b".\r\n", b""):
                pass
            tls.sendall(b"250 accepted\r\n")
        elif verb == b"QUIT":
            tls.sendall(b"221 bye\r\n")
            break
        else:
            tls.sendall(b"250 OK\r\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
