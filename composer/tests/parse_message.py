#!/usr/bin/python3
"""Parses a message with Python's email package and prints what a test checks, as JSON:
its header fields, the content types of all parts in order, every leaf part (content
type, file name, disposition, Content-ID, transfer encoding, the decoded bytes in Base64)
and the defects the parser found."""

import base64
import email
import email.policy
import json
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    parts = []
    for part in message.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        parts.append({
            "content_type": part.get_content_type(),
            "filename": part.get_filename(),
            "disposition": part.get_content_disposition(),
            "content_id": part.get("Content-ID"),
            "encoding": part.get("Content-Transfer-Encoding"),
            "charset": part.get_content_charset(),
            "data": base64.b64encode(payload).decode("ascii"),
        })
    out = {
        "headers": {k.lower(): str(v) for k, v in message.items()},
        "content_type": message.get_content_type(),
        "types": [p.get_content_type() for p in message.walk()],
        "parts": parts,
        "defects": [type(d).__name__ for d in message.defects],
    }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
