#!/usr/bin/python3
"""Parses a received message with Python's email package, for the end-to-end tests.

  dump_message.py MESSAGE.eml OUTDIR

Prints one record per line, fields separated by TAB, texts with backslash escapes:
  header  NAME  VALUE            every header field, in order, as stored
  part    N  CONTENT-TYPE  FILENAME  CTE  OUTDIR/partN.bin   every leaf part, decoded
  uu      N  NAME  OUTDIR/uuN.bin                uuencoded blocks of a non-MIME body
  defects COUNT
"""

import binascii
import email
import email.policy
import os
import sys


def esc(text):
    return (text or "-").encode("unicode_escape").decode("ascii").replace("\t", "\\t")


def uu_blocks(body):
    blocks = []
    lines = body.split(b"\r\n")
    i = 0
    while i < len(lines):
        if lines[i].startswith(b"begin "):
            name = lines[i].split(b" ", 2)[2].decode("latin-1")
            data = b""
            i += 1
            while i < len(lines) and lines[i].strip() != b"end":
                line = lines[i]
                if line and line not in (b"`",):
                    data += binascii.a2b_uu(line)
                i += 1
            blocks.append((name, data))
        i += 1
    return blocks


def main():
    path, outdir = sys.argv[1], sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    with open(path, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    out = []
    for name, value in msg.items():
        out.append("header\t%s\t%s" % (esc(name), esc(value)))
    defects = len(msg.defects)
    n = 0
    for part in msg.walk():
        defects += len(part.defects)
        if part.is_multipart():
            continue
        n += 1
        payload = part.get_payload(decode=True) or b""
        target = os.path.join(outdir, "part%d.bin" % n)
        with open(target, "wb") as f:
            f.write(payload)
        out.append("part\t%d\t%s\t%s\t%s\t%s" % (n, esc(part.get_content_type()),
                   esc(part.get_filename()), esc(part.get("Content-Transfer-Encoding")), target))
    if not msg.is_multipart():
        body = raw.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in raw else b""
        for i, (name, data) in enumerate(uu_blocks(body), 1):
            target = os.path.join(outdir, "uu%d.bin" % i)
            with open(target, "wb") as f:
                f.write(data)
            out.append("uu\t%d\t%s\t%s" % (i, esc(name), target))
    out.append("defects\t%d" % defects)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
