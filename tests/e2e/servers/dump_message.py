#!/usr/bin/python3
"""Reads a received message with Python's email package and with maildrop's reformime, for the
end-to-end tests.

  dump_message.py [--crlf] MESSAGE.eml

Prints one record per line: its kind, then its fields as hex of their bytes, TAB-separated:
  header  NAME  VALUE            every header field, in order, as stored, value decoded
  addr    FIELD  DISPLAY-NAME  ADDRESS          of From, To, Cc and Reply-To
  part    CONTENT-TYPE  FILENAME  CTE  DATA  CHARSET  CONTENT-ID   every leaf part, decoded
  other   CONTENT-TYPE  FILENAME  CTE  DATA     every leaf part as reformime reads it
  tree    STRUCTURE              the content types, nested: "multipart/mixed[text/plain,...]"
  date    SECONDS                the Date field, since 1970
  defect  TEXT                   each defect Python registered

--crlf: the file keeps lines ending in LF (a Maildir); CR LF is restored before parsing.
"""

import email
import email.policy
import subprocess
import sys


def record(kind, *fields):
    return "\t".join([kind] + [(f if isinstance(f, bytes) else str(f or "").encode(
        "utf-8", "surrogateescape")).hex() for f in fields])


def reformime_parts(raw):
    """Every leaf part as reformime finds and decodes it."""
    def run(*args):
        return subprocess.run(["reformime", "-c", "utf-8"] + list(args), input=raw,
                              capture_output=True, timeout=20).stdout
    out = []
    for block in run("-i").decode("utf-8", "surrogateescape").split("\n\n"):
        info = dict(line.split(": ", 1) for line in block.splitlines() if ": " in line)
        if "section" not in info or info.get("content-type", "").startswith("multipart/"):
            continue
        data = run("-e", "-s", info["section"])
        cte = info.get("content-transfer-encoding", "")
        if "uu" in cte:  # reformime leaves it encoded: Python's uudecode, as in the "part" lines
            data = email.message_from_bytes(b"Content-Transfer-Encoding: " + cte.encode() +
                                            b"\n\n" + data).get_payload(decode=True)
        name = info.get("content-disposition-filename", info.get("content-name"))
        out.append(record("other", info.get("content-type"), name, cte, data))
    return out


# An RFC 2047 word in a quoted name= of Content-Type is what older readers need for a file
# name beside RFC 2231's filename*; Python files it as a defect, so it is not counted.
QUOTED_WORD = ("encoded word inside quoted string",
               "missing trailing whitespace after encoded-word")


def tree(part):
    if not part.is_multipart():
        return part.get_content_type()
    return "%s[%s]" % (part.get_content_type(), ",".join(tree(p) for p in part.get_payload()))


def main():
    path = [a for a in sys.argv[1:] if not a.startswith("--")][0]
    with open(path, "rb") as f:
        raw = f.read()
    if "--crlf" in sys.argv:
        raw = raw.replace(b"\n", b"\r\n")
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    out = [record("header", name, value) for name, value in msg.items()]
    for field in ("From", "To", "Cc", "Reply-To"):
        for value in msg.get_all(field, []):
            out += [record("addr", field, a.display_name, a.addr_spec)
                    for a in getattr(value, "addresses", ())]
    date = getattr(msg.get("Date"), "datetime", None)
    if date:
        out.append(record("date", int(date.timestamp())))
    for part in msg.walk():
        out += [record("defect", d) for d in part.defects]
        for name, value in part.items():
            out += [record("defect", name + ": " + str(d)) for d in getattr(value, "defects", ())
                    if not (name.lower() == "content-type" and str(d) in QUOTED_WORD)]
        if not part.is_multipart():
            out.append(record("part", part.get_content_type(), part.get_filename(),
                              part.get("Content-Transfer-Encoding"),
                              part.get_payload(decode=True) or b"", part.get_content_charset(),
                              part.get("Content-ID")))
    out += reformime_parts(raw) + [record("tree", tree(msg))]
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
