#!/usr/bin/python3
"""Parses a received message with Python's email package, for the end-to-end tests.

  dump_message.py [--strict] [--crlf] MESSAGE.eml OUTDIR

Prints one record per line, fields separated by TAB, texts with backslash escapes:
  header  NAME  VALUE            every header field, in order, as stored
  part    N  CONTENT-TYPE  FILENAME  CTE  OUTDIR/partN.bin   every leaf part, decoded
  uu      N  NAME  OUTDIR/uuN.bin                uuencoded blocks of a non-MIME body
  cid     N  CONTENT-ID          the Content-ID of leaf part N, when it has one
  tree    STRUCTURE              the content types, nested: "multipart/mixed[text/plain,...]"
  defects COUNT

--crlf: the file keeps lines ending in LF (a Maildir); CR LF is restored before parsing.
--strict: parses with policy=default instead (header values and file names decoded, texts
as UTF-8 bytes; defects counted in headers too; each part record ends with its charset),
and adds the addresses of From, To, Cc and Reply-To and every leaf part as a second,
independent parser (maildrop's reformime) reads it:
  addr    FIELD  DISPLAY-NAME  ADDRESS
  other   SECTION  CONTENT-TYPE  FILENAME  CTE  OUTDIR/otherN.bin
  defect  TEXT                   each defect Python registered
  date    SECONDS                the Date field, since 1970
"""

import binascii
import email
import email.policy
import os
import subprocess
import sys


def esc(text):
    return (text or "-").encode("unicode_escape").decode("ascii").replace("\t", "\\t")


def escb(text):
    data = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
    return esc(data.decode("latin-1")) if data else "-"


def record(kind, *fields):
    return "\t".join([kind] + [escb(str(f)) for f in fields])


def reformime_parts(raw, outdir):
    """Every leaf part as reformime finds and decodes it (uuencode, which it leaves, too)."""
    def run(*args):
        return subprocess.run(["reformime", "-c", "utf-8"] + list(args), input=raw,
                              capture_output=True, timeout=20).stdout
    out = []
    for block in run("-i").decode("utf-8", "surrogateescape").split("\n\n"):
        info = dict(line.split(": ", 1) for line in block.splitlines() if ": " in line)
        if "section" not in info or info.get("content-type", "").startswith("multipart/"):
            continue
        data = run("-e", "-s", info["section"])
        cte = info.get("content-transfer-encoding", "-")
        if "uu" in cte:
            data = b"".join(d for _, d in uu_blocks(data.replace(b"\r\n", b"\n")
                                                    .replace(b"\n", b"\r\n")))
        target = os.path.join(outdir, "other%s.bin" % info["section"])
        with open(target, "wb") as f:
            f.write(data)
        name = info.get("content-disposition-filename", info.get("content-name", "-"))
        out.append(record("other", info["section"], info.get("content-type", "-"), name, cte,
                          target))
    return out


# An RFC 2047 word in a quoted name= of Content-Type is what older readers need for a file
# name beside RFC 2231's filename*; Python files it as a defect, so it is not counted.
QUOTED_WORD = ("encoded word inside quoted string",
               "missing trailing whitespace after encoded-word")


def strict(raw, outdir):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    out = [record("header", name, value) for name, value in msg.items()]
    for field in ("From", "To", "Cc", "Reply-To"):
        for value in msg.get_all(field, []):
            for a in getattr(value, "addresses", ()):
                out.append(record("addr", field, a.display_name or "-", a.addr_spec))
    date = getattr(msg.get("Date"), "datetime", None)
    if date:
        out.append("date\t%d" % date.timestamp())
    defects, n = [], 0
    for part in msg.walk():
        defects += [str(d) for d in part.defects]
        for name, value in part.items():
            defects += [name + ": " + str(d) for d in getattr(value, "defects", ())
                        if not (name.lower() == "content-type" and str(d) in QUOTED_WORD)]
        if part.is_multipart():
            continue
        n += 1
        target = os.path.join(outdir, "part%d.bin" % n)
        with open(target, "wb") as f:
            f.write(part.get_payload(decode=True) or b"")
        out.append(record("part", n, part.get_content_type(), part.get_filename() or "-",
                          part.get("Content-Transfer-Encoding", "-"), target,
                          part.get_content_charset() or "-"))
    out += reformime_parts(raw, outdir) + structure(msg)
    out += [record("defect", d) for d in defects]
    out.append("defects\t%d" % len(defects))
    return out


def tree(part):
    if not part.is_multipart():
        return part.get_content_type()
    return "%s[%s]" % (part.get_content_type(), ",".join(tree(p) for p in part.get_payload()))


def structure(msg):
    """The tree of content types, and the Content-ID of each leaf part that has one."""
    out = [record("tree", tree(msg))]
    leaves = [p for p in msg.walk() if not p.is_multipart()]
    out += [record("cid", n, p["Content-ID"]) for n, p in enumerate(leaves, 1) if p["Content-ID"]]
    return out


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
    flags = [a for a in sys.argv[1:] if a.startswith("--")]
    path, outdir = [a for a in sys.argv[1:] if not a.startswith("--")]
    os.makedirs(outdir, exist_ok=True)
    with open(path, "rb") as f:
        raw = f.read()
    if "--crlf" in flags:
        raw = raw.replace(b"\n", b"\r\n")
    if "--strict" in flags:
        print("\n".join(strict(raw, outdir)))
        return 0
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
    out += structure(msg)
    out.append("defects\t%d" % defects)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
