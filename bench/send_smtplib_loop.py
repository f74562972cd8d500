#!/usr/bin/python3
"""Python's side of the small-message comparison: COUNT small messages from one process,
each built with the email package and sent with smtplib over a connection of its own.

    send_smtplib_loop.py HOST PORT COUNT
"""
import smtplib
import sys
import time
from email.message import EmailMessage


def main():
    host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    start = time.monotonic()
    for i in range(count):
        msg = EmailMessage()
        msg["From"] = "Bench <bench@example.org>"
        msg["To"] = "sink@example.org"
        msg["Subject"] = "Small message %d" % (i + 1)
        msg.set_content("Hello,\n\nthis is a small message of the send benchmark.\n\nBench\n")
        with smtplib.SMTP(host, port, timeout=30) as s:
            if s.send_message(msg):
                return 1
    seconds = time.monotonic() - start
    print("%d messages in %.3f s: %.1f messages/s" % (count, seconds, count / seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
