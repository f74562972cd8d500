#!/usr/bin/python3
"""Python's side of the TLS send comparison: the message of send_smtplib_attachment.py, sent
with smtplib after starttls() (certificate not checked, like postwing-send --insecure).

    send_smtplib_starttls.py HOST PORT FILE
"""
import os
import smtplib
import ssl
import sys
from email.message import EmailMessage


def main():
    host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    msg = EmailMessage()
    msg["From"] = "Bench <bench@example.org>"
    msg["To"] = "sink@example.org"
    msg["Subject"] = "A large attachment"
    msg.set_content("Hello,\n\nthe file is attached.\n")
    with open(path, "rb") as f:
        data = f.read()
    msg.add_attachment(data, maintype="application", subtype="octet-stream",
                       filename=os.path.basename(path))
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with smtplib.SMTP(host, port, timeout=600) as s:
        s.starttls(context=context)
        refused = s.send_message(msg)
    return 1 if refused else 0


if __name__ == "__main__":
    sys.exit(main())
