#!/usr/bin/python3
"""An SMTP sink with STARTTLS for the TLS send comparison: reads and discards the data.

    tls_sink.py CERT KEY     prints "PORT <n>", serves connections one at a time until killed
"""
import socket
import ssl
import sys


def serve(conn, context):
    f = conn.makefile("rb")
    conn.sendall(b"220 sink ESMTP\r\n")
    sock = conn
    while True:
        line = f.readline()
        if not line:
            return
        verb = line[:4].upper()
        if verb == b"EHLO":
            sock.sendall(b"250-sink\r\n250-8BITMIME\r\n" +
                         (b"250 STARTTLS\r\n" if sock is conn else b"250 HELP\r\n"))
        elif verb == b"STAR":
            sock.sendall(b"220 go ahead\r\n")
            sock = context.wrap_socket(conn, server_side=True)
            f = sock.makefile("rb")
        elif verb == b"DATA":
            sock.sendall(b"354 go\r\n")
            tail = b""
            view = memoryview(bytearray(1 << 16))
            # The end mark closes what the client writes before it waits: the last five
            # bytes read tell (dot-stuffing keeps it out of the data itself).
            while tail != b"\r\n.\r\n":
                n = f.readinto1(view)
                if not n:
                    return
                tail = (tail + bytes(view[max(0, n - 5):n]))[-5:]
            sock.sendall(b"250 accepted\r\n")
        elif verb == b"QUIT":
            sock.sendall(b"221 bye\r\n")
            return
        else:
            sock.sendall(b"250 OK\r\n")


def main():
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        try:
            serve(conn, context)
        except (OSError, ssl.SSLError):
            pass
        conn.close()


if __name__ == "__main__":
    sys.exit(main())
