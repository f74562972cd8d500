#!/usr/bin/python3
"""Python's side of the TLS send comparison: the message of send_smtplib_attachment.py, sent
with smtplib after starttls() (certificate not checked, like postwing-send --insecure).

    send_smtplib_starttls.py HOST PORT FILE
"""
import os
import ssl
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import send_smtplib_attachment  # noqa: E402


if __name__ == "__main__":
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    sys.exit(send_smtplib_attachment.main(context))
