#!/usr/bin/python3
"""Python's side of the small-message comparisons: COUNT small messages from one process.

    send_smtplib_loop.py HOST PORT COUNT
        each built with the email package and sent with smtplib over a connection of its own
        (bench/compare_send.sh)
    send_smtplib_loop.py HOST PORT COUNT --reuse FILE
        FILE's bytes sent COUNT times with sendmail() over one SMTP object
        (bench/compare_bulk.sh)
"""
import smtplib
import sys
import time
from email.message import EmailMessage


def main():
    host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    reuse = sys.argv[4:5] == ["--reuse"]
    start = time.monotonic()
    if reuse:
        data = open(sys.argv[5], "rb").read()
        with smtplib.SMTP(host, port, timeout=30) as s:
            for _ in range(count):
                if s.sendmail("bench@example.org", ["sink@example.org"], data):
                    return 1
    for i in range(0 if reuse else count):
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
