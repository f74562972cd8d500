#!/usr/bin/python3
"""A raw-socket SMTP peer that follows a script, for split, joined, late and silent replies.

  scripted_server.py --script FILE --log FILE [--lifetime SECONDS]

Listens on 127.0.0.1 with a port the system chooses, prints "PORT <n>", serves one
connection and writes every line it receives to the log (one a line, with backslash
escapes as Python's unicode_escape writes them; the
message data is logged as one entry "DATA:" + its text). The script is a JSON list of steps:

  {"send": "text"}                       write the text (escapes as in JSON)
  {"send": ["a", "b"], "gap": 0.2}       write the chunks with a pause between them
  {"expect": "EHLO"}                     read lines until one starts with the prefix
  {"data": true}                         read the message data up to the end-of-data line
  {"sleep": 2.5}                         pause
  {"close": true}                        close the connection

After the last step the server reads and logs until the client closes or the lifetime ends.
"""

import argparse
import json
import socket
import sys
import time


class Peer:
    def __init__(self, conn, log, deadline):
        self.conn = conn
        self.log = log
        self.deadline = deadline
        self.buffer = b""

    def _fill(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("lifetime over")
        self.conn.settimeout(left)
        chunk = self.conn.recv(65536)
        if not chunk:
            raise EOFError("client closed")
        self.buffer += chunk

    def line(self):
        while b"\n" not in self.buffer:
            self._fill()
        line, self.buffer = self.buffer.split(b"\n", 1)
        text = (line + b"\n").decode("latin-1")
        self.note(text)
        return text

    def data(self):
        while b"\r\n.\r\n" not in b"\r\n" + self.buffer:
            self._fill()
        joined = b"\r\n" + self.buffer
        end = joined.index(b"\r\n.\r\n")
        data = joined[2 : end + 2]
        self.buffer = joined[end + 5 :]
        self.note("DATA:" + data.decode("latin-1"))
        return data

    def note(self, text):
        self.log.write(text.encode("unicode_escape").decode("ascii") + "\n")
        self.log.flush()


def run(peer, steps):
    for step in steps:
        if "send" in step:
            chunks = step["send"] if isinstance(step["send"], list) else [step["send"]]
            for i, chunk in enumerate(chunks):
                if i:
                    time.sleep(step.get("gap", 0.1))
                peer.conn.sendall(chunk.encode("latin-1"))
        elif "expect" in step:
            while not peer.line().upper().startswith(step["expect"].upper()):
                pass
        elif step.get("data"):
            peer.data()
        elif "sleep" in step:
            time.sleep(step["sleep"])
        elif step.get("close"):
            peer.conn.close()
            return False
    return True


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--script", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--lifetime", type=float, default=60.0)
    args = p.parse_args()
    with open(args.script) as f:
        steps = json.load(f)
    deadline = time.monotonic() + args.lifetime
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    print("PORT %d" % server.getsockname()[1], flush=True)
    server.settimeout(args.lifetime)
    with open(args.log, "a") as log:
        try:
            conn, _ = server.accept()
        except OSError:
            return 1
        peer = Peer(conn, log, deadline)
        try:
            if run(peer, steps):
                while True:
                    peer.line()
        except (EOFError, TimeoutError, OSError):
            pass
        peer.note("CLOSED")
        try:
            conn.close()
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
