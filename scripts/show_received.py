#!/usr/bin/python3
"""Shows a message as an SMTP server received it, and checks it against what was sent.

    show_received.py MESSAGE.eml [--expect-... ...] [--quiet]

Reads MESSAGE.eml (the message data) and, when it exists beside it, MESSAGE.json (the
envelope written by tests/e2e/servers/capture_server.py). Prints the envelope, the header
lines as they arrived, the body, and every attachment decoded with its name, type, size and
SHA-256. MIME attachments are decoded by Python's email package; a plain RFC 822 message's
uuencoded blocks ("begin 644 NAME" ... "end") are decoded with binascii.

Each --expect-... option adds a check; the exit status is 0 when every check holds, 1 when
one fails (each failure is printed as "MISMATCH: ..."), 2 when the message cannot be read.
Run it with Debian's /usr/bin/python3.
"""

import argparse
import binascii
import email
import email.policy
import hashlib
import json
import os
import sys


def latin1(data):
    return data.decode("latin-1")


def normalise_lines(data):
    return data.replace(b"\r\n", b"\n")


def header_block(raw):
    """The header lines exactly as received (up to the first empty line)."""
    end = raw.find(b"\r\n\r\n")
    if end < 0:
        end = raw.find(b"\n\n")
    block = raw if end < 0 else raw[:end]
    return [latin1(line.rstrip(b"\r")) for line in block.split(b"\n")]


def uudecode_blocks(text):
    """Finds uuencoded blocks in a plain message: [(name, bytes)]."""
    found = []
    lines = text.replace(b"\r\n", b"\n").split(b"\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith(b"begin ") and len(line.split(b" ", 2)) == 3:
            name = latin1(line.split(b" ", 2)[2])
            data = bytearray()
            i += 1
            while i < len(lines) and lines[i] != b"end":
                chunk = lines[i]
                if chunk and chunk not in (b"`",):
                    try:
                        data += binascii.a2b_uu(chunk)
                    except binascii.Error:
                        # Some encoders pad lines short; decode by the length byte.
                        n = (chunk[0] - 32) & 63
                        data += binascii.a2b_uu(chunk + b" " * 64)[:n]
                i += 1
            found.append((name, bytes(data)))
        i += 1
    return found


class Part:
    def __init__(self, name, content_type, encoding, data):
        self.name = name
        self.content_type = content_type
        self.encoding = encoding
        self.data = data


def analyse(raw):
    """Returns (message, body Part or None, [attachment Parts])."""
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    body = None
    attachments = []
    if msg.is_multipart():
        for part in msg.walk():
            if part.is_multipart():
                continue
            data = part.get_payload(decode=True) or b""
            name = part.get_filename()
            disposition = (part.get("Content-Disposition") or "").split(";")[0].strip().lower()
            info = Part(name, part.get_content_type(),
                        (part.get("Content-Transfer-Encoding") or "").strip(), data)
            if body is None and not name and disposition != "attachment":
                body = info
            else:
                attachments.append(info)
    else:
        payload = msg.get_payload(decode=True) or b""
        blocks = uudecode_blocks(payload)
        if blocks:
            first = payload.replace(b"\r\n", b"\n").find(b"\nbegin ")
            text = payload if first < 0 else payload[:first + 1]
            body = Part(None, msg.get_content_type(), "", text)
            attachments = [Part(n, "(uuencoded)", "uuencode", d) for n, d in blocks]
        else:
            body = Part(None, msg.get_content_type(),
                        (msg.get("Content-Transfer-Encoding") or "").strip(), payload)
    return msg, body, attachments


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def crlf(data):
    """Text as SMTP carries it: every line end CR LF."""
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").replace(b"\n", b"\r\n")


def compare(part, want):
    """'same', 'same-text' (equal once the file's line ends are CR LF, as SMTP carries a text
    part that is not Base64 or quoted-printable), or 'different'."""
    if part.data == want:
        return "same"
    textual = part.content_type.startswith("text/") and part.encoding.lower() not in (
        "base64", "quoted-printable")
    if textual and part.data == crlf(want):
        return "same-text"
    return "different"


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("message", help="the .eml file")
    p.add_argument("--quiet", action="store_true", help="print only the failed checks")
    p.add_argument("--body-lines", type=int, default=30, help="body lines to show")
    p.add_argument("--expect-header", action="append", default=[], metavar="NAME=VALUE")
    p.add_argument("--expect-no-header", action="append", default=[], metavar="NAME")
    p.add_argument("--expect-body-type", metavar="TYPE")
    p.add_argument("--expect-body-file", metavar="PATH",
                   help="the body equals this file (line ends compared as LF)")
    p.add_argument("--expect-body-contains-file", metavar="PATH",
                   help="the body holds this file's text (line ends compared as LF)")
    p.add_argument("--expect-attachment", action="append", default=[], metavar="NAME=PATH",
                   help="an attachment NAME equal byte for byte to the file PATH")
    p.add_argument("--expect-attachment-count", type=int, metavar="N")
    p.add_argument("--expect-mail-from", metavar="ADDR")
    p.add_argument("--expect-rcpt", action="append", default=[], metavar="ADDR",
                   help="the envelope recipients, in order (repeat)")
    p.add_argument("--expect-auth", metavar="USER:PASSWORD")
    p.add_argument("--expect-helo", metavar="NAME")
    args = p.parse_args()

    try:
        raw = read_file(args.message)
    except OSError as e:
        print("cannot read %s: %s" % (args.message, e), file=sys.stderr)
        return 2
    envelope = None
    json_path = os.path.splitext(args.message)[0] + ".json"
    if os.path.exists(json_path):
        with open(json_path) as f:
            envelope = json.load(f)

    msg, body, attachments = analyse(raw)
    failures = []
    out = [] if not args.quiet else None

    def show(line=""):
        if out is not None:
            out.append(line)

    show("=== Received: %s (%d bytes)" % (os.path.basename(args.message), len(raw)))
    if envelope is not None:
        show("--- Envelope")
        greeting = "EHLO" if envelope.get("esmtp") else "HELO"
        show("  greeting   : %s %s" % (greeting, envelope.get("helo")))
        auth = envelope.get("auth")
        show("  login      : %s" % ("AUTH %s as %r" % (auth["mechanism"], auth["login"])
                                    if auth else "none"))
        show("  MAIL FROM  : %s" % envelope.get("mail_from"))
        for i, r in enumerate(envelope.get("rcpt_tos", []), 1):
            show("  RCPT TO %-3s: %s" % (i, r))

    show("--- Header lines")
    for line in header_block(raw):
        show("  " + line)

    if body is not None:
        show("--- Body (%s%s, %d bytes decoded)" % (
            body.content_type, ", " + body.encoding if body.encoding else "", len(body.data)))
        lines = latin1(normalise_lines(body.data)).split("\n")
        for line in lines[:args.body_lines]:
            show("  | " + line)
        if len(lines) > args.body_lines:
            show("  | ... (%d more lines)" % (len(lines) - args.body_lines))
    else:
        show("--- Body: none")

    expected = {}
    for item in args.expect_attachment:
        name, _, path = item.partition("=")
        expected[name] = read_file(path)

    show("--- Attachments: %d" % len(attachments))
    for i, a in enumerate(attachments, 1):
        digest = hashlib.sha256(a.data).hexdigest()
        show("  [%d] %s" % (i, a.name))
        show("      type     : %s" % a.content_type)
        if a.encoding:
            show("      encoding : %s" % a.encoding)
        show("      size     : {:,} bytes".format(len(a.data)))
        show("      sha256   : %s" % digest)
        if a.name in expected:
            want = expected[a.name]
            verdict = compare(a, want)
            if verdict == "same":
                show("      check    : identical to the file sent (sha256 matches)")
            elif verdict == "same-text":
                show("      check    : the file sent, its line ends as CR LF (SMTP's form of a")
                show("                 %s text part): sha256 matches the file with CR LF"
                     % a.encoding)
            else:
                show("      check    : DIFFERENT from the file sent (sha256 %s, %d bytes)"
                     % (hashlib.sha256(want).hexdigest(), len(want)))

    # The checks.
    by_name = {}
    for a in attachments:
        by_name.setdefault(a.name, a)
    for name, want in expected.items():
        got = by_name.get(name)
        if got is None:
            failures.append("attachment %r not found (got %r)" % (name, [a.name for a in attachments]))
        elif compare(got, want) == "different":
            failures.append("attachment %r differs: %d bytes received, %d sent"
                            % (name, len(got.data), len(want)))
    if args.expect_attachment_count is not None and len(attachments) != args.expect_attachment_count:
        failures.append("%d attachments, expected %d" % (len(attachments), args.expect_attachment_count))
    for item in args.expect_header:
        name, _, value = item.partition("=")
        got = msg.get(name)
        if got != value:
            failures.append("header %s is %r, expected %r" % (name, got, value))
    for name in args.expect_no_header:
        if msg.get(name) is not None:
            failures.append("header %s is present: %r" % (name, msg.get(name)))
    if args.expect_body_type and (body is None or body.content_type != args.expect_body_type):
        failures.append("body type %r, expected %r"
                        % (body.content_type if body else None, args.expect_body_type))
    if args.expect_body_file:
        want = normalise_lines(read_file(args.expect_body_file))
        got = normalise_lines(body.data) if body else b""
        if got != want:
            failures.append("body differs from %s: got %r" % (args.expect_body_file, got[:200]))
    if args.expect_body_contains_file:
        want = normalise_lines(read_file(args.expect_body_contains_file))
        got = normalise_lines(body.data) if body else b""
        if want not in got:
            failures.append("body does not hold %s: got %r"
                            % (args.expect_body_contains_file, got[:200]))
    if args.expect_mail_from is not None or args.expect_rcpt or args.expect_auth or args.expect_helo:
        if envelope is None:
            failures.append("no envelope file %s" % json_path)
        else:
            if args.expect_mail_from is not None and envelope.get("mail_from") != args.expect_mail_from:
                failures.append("MAIL FROM %r, expected %r"
                                % (envelope.get("mail_from"), args.expect_mail_from))
            if args.expect_rcpt and envelope.get("rcpt_tos") != args.expect_rcpt:
                failures.append("RCPT TO %r, expected %r" % (envelope.get("rcpt_tos"), args.expect_rcpt))
            if args.expect_helo is not None and envelope.get("helo") != args.expect_helo:
                failures.append("greeting %r, expected %r" % (envelope.get("helo"), args.expect_helo))
            if args.expect_auth:
                user, _, password = args.expect_auth.partition(":")
                auth = envelope.get("auth") or {}
                if auth.get("login") != user or auth.get("password") != password:
                    failures.append("login %r, expected %r" % (auth.get("login"), user)
                                    + ("" if auth.get("password") == password else " (password differs)"))

    if out is not None:
        print("\n".join(out))
    for f in failures:
        print("MISMATCH: " + f)
    if out is not None and not failures:
        print("=== All checks passed.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
