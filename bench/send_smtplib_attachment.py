#!/usr/bin/python3
"""Python's side of the send comparison: one message with a file attached, built with the
email package (EmailMessage.add_attachment) and sent with smtplib over one connection.

    send_smtplib_attachment.py HOST PORT FILE
"""
import os
import smtplib
import sys
from email.message import EmailMessage


def message(path):
    msg = EmailMessage()
    msg["From"] = "Bench <bench@example.org>"
    msg["To"] = "sink@example.org"
    msg["Subject"] = "A large attachment"
    msg.set_content("Hello,\n\nthe file is attached.\n")
    with open(path, "rb") as f:
        data = f.read()
    msg.add_attachment(data, maintype="application", subtype="octet-stream",
                       filename=os.path.basename(path))
    return msg


def main(context=None):
    host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    msg = message(path)
    with smtplib.SMTP(host, port, timeout=600) as s:
        if context is not None:
            s.starttls(context=context)
        refused = s.send_message(msg)
    return 1 if refused else 0


if __name__ == "__main__":
    sys.exit(main())
