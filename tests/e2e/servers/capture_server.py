#!/usr/bin/python3
"""A small SMTP server that keeps what it receives, for tests and demos.

Listens on 127.0.0.1 (port 0 = the system chooses), prints "PORT <n>" on standard
output as soon as it listens, and writes each accepted message to DIR:

  DIR/0001.eml    the message data as received (dot-unstuffed, line ends untouched)
  DIR/0001.json   the envelope: helo, esmtp, auth, mail_from, rcpt_tos, peer
  DIR/transcript.jsonl   one line per connection event and command received

Files appear atomically (written beside, then renamed). The server stops on SIGTERM
or SIGINT, or after --lifetime seconds (default 300), whichever comes first.

Needs Debian's python3-aiosmtpd; run it with /usr/bin/python3.

Options beyond the basics serve the library's end-to-end tests:
  --auth USER:PASSWORD      offer AUTH LOGIN and XOAUTH2 (the password as its token) without
                            TLS and accept only these; --plain offers PLAIN as well
  --smtputf8                offer SMTPUTF8
  --refuse RCPT:ADDR:CODE   answer RCPT for ADDR with CODE (e.g. RCPT:bad@example.org:550);
                            ADDR "*" matches all
  --data-reply "CODE TEXT"  the reply to the end of the data (default accepts)
  --data-size-limit BYTES   largest message accepted (default 256 MiB)
  --tls MODE --cert PEM --key PEM
                            starttls: offer STARTTLS and require it before MAIL and AUTH;
                            implicit: TLS from the first byte. DIR/0001.json then says in
                            "tls" the protocol the message came over (null in clear).
"""

import argparse
from base64 import b64decode
import asyncio
import json
import logging
import os
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Recorder:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.transcript = open(os.path.join(folder, "transcript.jsonl"), "a", buffering=1)

    def event(self, conn, what, arg=""):
        self.transcript.write(json.dumps({"conn": conn, "event": what, "arg": arg}) + "\n")

    def _write_atomically(self, name, data):
        path = os.path.join(self.folder, name)
        tmp = path + ".part"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)

    def message(self, envelope, session, extra):
        self.count += 1
        stem = "%04d" % self.count
        self._write_atomically(stem + ".eml", envelope.original_content or b"")
        info = dict(helo=session.host_name, esmtp=bool(session.extended_smtp),
                    mail_from=envelope.mail_from, rcpt_tos=list(envelope.rcpt_tos),
                    mail_options=list(envelope.mail_options),
                    peer=list(session.peer)[:2] if session.peer else None, **extra)
        self._write_atomically(stem + ".json", json.dumps(info, indent=1).encode())
        return stem


class Handler:
    def __init__(self, recorder, refusals, data_reply):
        self.recorder = recorder
        self.refusals = refusals
        self.data_reply = data_reply
        self.authenticator = None

    async def auth_XOAUTH2(self, server, args):
        # "user=U^Aauth=Bearer T^A^A"; a refusal is a challenge with the error, then 535.
        fields = dict(f.split("=", 1) for f in b64decode(args[1]).decode("latin-1").split("\x01") if "=" in f)
        login = fields.get("user", "")
        token = fields.get("auth", "").removeprefix("Bearer ")
        result = self.authenticator(server, server.session, None, "XOAUTH2", LoginPassword(login.encode("latin-1"), token.encode("latin-1")))
        if not result.success:
            await server.challenge_auth('{"status":"401","schemes":"bearer"}')
        return result

    def _refusal(self, verb, address):
        return next((code for v, a, code in self.refusals
                     if v == verb and a.lower() in ("*", (address or "").lower())), None)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        code = self._refusal("RCPT", address)
        if not code:
            envelope.rcpt_tos.append(address)
        return code or "250 OK"

    async def handle_DATA(self, server, session, envelope):
        ssl_object = server.transport and server.transport.get_extra_info("ssl_object")
        stem = self.recorder.message(envelope, session, {
            "auth": getattr(session, "pw_auth", None),
            "tls": ssl_object.version() if ssl_object else None})
        self.recorder.event(getattr(session, "pw_conn", 0), "MESSAGE", stem)
        return self.data_reply


class RecordingSMTP(SMTP):
    """SMTP that notes every command it receives in the transcript."""

    connections = 0
    line_length_limit = 1 << 20  # long lines reach the message, which tests check

    def __init__(self, handler, recorder, **kwargs):
        super().__init__(handler, **kwargs)
        self.recorder = recorder
        RecordingSMTP.connections += 1
        self.conn = RecordingSMTP.connections
        for name, method in list(self._smtp_methods.items()):
            self._smtp_methods[name] = self._wrap(name, method)

    def _wrap(self, name, method):
        async def wrapped(arg):
            self.recorder.event(self.conn, name, arg or "")
            return await method(arg)

        return wrapped

    def connection_made(self, transport):
        super().connection_made(transport)
        self.session.pw_conn = self.conn
        self.recorder.event(self.conn, "CONNECT")

    def connection_lost(self, error):
        self.recorder.event(self.conn, "CLOSE")
        super().connection_lost(error)


def make_authenticator(user, password, recorder):
    def authenticator(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        login = auth_data.login.decode("latin-1")
        secret = auth_data.password.decode("latin-1")
        session.pw_auth = {"mechanism": mechanism, "login": login, "password": secret}
        recorder.event(getattr(session, "pw_conn", 0), "AUTHDATA", login)
        if login == user and secret == password:
            return AuthResult(success=True)
        # Not handled: aiosmtpd answers 535 itself.
        return AuthResult(success=False, handled=False)

    return authenticator


def parse_refusal(text):
    verb, rest = text.split(":", 1)
    address, code = rest.rsplit(":", 1)
    return verb.upper(), address, code.strip() + (" Refused" if code.strip().isdigit() else "")


async def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    recorder = Recorder(args.dir)
    handler = Handler(recorder, [parse_refusal(r) for r in args.refuse], args.data_reply)
    kwargs = {"data_size_limit": args.data_size_limit, "hostname": "capture.test",
              "enable_SMTPUTF8": args.smtputf8}
    context = None
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.tls == "starttls":
            kwargs.update(tls_context=context, require_starttls=True)
    if args.auth:
        handler.authenticator = make_authenticator(*args.auth.split(":", 1), recorder)
        # aiosmtpd counts only STARTTLS as encryption; implicit TLS is no less.
        kwargs.update(auth_require_tls=args.tls == "starttls",
                      authenticator=handler.authenticator,
                      auth_exclude_mechanism=[] if args.plain else ["PLAIN"])
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: RecordingSMTP(handler, recorder, **kwargs),
                                      host=args.host, port=args.port,
                                      ssl=context if args.tls == "implicit" else None)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), timeout=args.lifetime)
    except asyncio.TimeoutError:
        pass
    server.close()
    await server.wait_closed()


def main():
    warnings.filterwarnings("ignore")
    # Refused handshakes are what several tests are about: no tracebacks for them.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dir", required=True, help="folder for the received messages")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--lifetime", type=float, default=300.0, help="seconds before stopping")
    for flag in ("--auth", "--cert", "--key"):
        p.add_argument(flag)
    for flag in ("--plain", "--smtputf8"):
        p.add_argument(flag, action="store_true")
    p.add_argument("--refuse", action="append", default=[], help="RCPT:ADDR:CODE")
    p.add_argument("--data-reply", default="250 OK: message accepted")
    p.add_argument("--data-size-limit", type=int, default=256 << 20)
    p.add_argument("--tls", choices=["starttls", "implicit"])
    args = p.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
