#!/usr/bin/python3
"""Parses a message with Python's email package and prints what a test checks, as JSON:
its header fields, the content types of all parts in order, and every leaf part (file
name, disposition, Content-ID, charset, the decoded bytes in Base64)."""

import base64
import email
import email.policy
import json
import sys

with open(sys.argv[1], "rb") as f:
    message = email.message_from_binary_file(f, policy=email.policy.compat32)
parts = [{
    "filename": part.get_filename(),
    "disposition": part.get_content_disposition(),
    "content_id": part.get("Content-ID"),
    "charset": part.get_content_charset(),
    "data": base64.b64encode(part.get_payload(decode=True) or b"").decode("ascii"),
} for part in message.walk() if not part.is_multipart()]
print(json.dumps({
    "headers": {k.lower(): str(v) for k, v in message.items()},
    "types": [p.get_content_type() for p in message.walk()],
    "parts": parts,
}))
