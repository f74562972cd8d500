#!/usr/bin/python3
"""The capture server of the end-to-end tests, encrypted: STARTTLS or TLS from the first byte.

  tls_server.py --dir DIR --mode MODE --cert PEM --key PEM [--auth USER:PASSWORD]

MODE: starttls   offers STARTTLS and requires it before MAIL (and AUTH)
      implicit   TLS from the first byte
      plain      offers no STARTTLS (AUTH, if asked for, without TLS)

Prints "PORT <n>", writes DIR/0001.eml, DIR/0001.json (with "tls": the protocol the
message came over, or null) and DIR/transcript.jsonl like capture_server.py. Stops on
SIGTERM or after --lifetime seconds. Run it with /usr/bin/python3.
"""

import argparse
import asyncio
import logging
import os
import signal
import ssl
import sys
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e", "servers"))
import capture_server as cs  # noqa: E402


class TlsHandler(cs.Handler):
    async def handle_DATA(self, server, session, envelope):
        ssl_object = server.transport.get_extra_info("ssl_object") if server.transport else None
        extra = {
            "auth": getattr(session, "pw_auth", None),
            "tls": ssl_object.version() if ssl_object is not None else None,
        }
        stem = self.recorder.message(envelope, session, extra)
        self.recorder.event(getattr(session, "pw_conn", 0), "MESSAGE", stem)
        return self.data_reply


async def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    recorder = cs.Recorder(args.dir)
    handler = TlsHandler(recorder, [], "250 OK: message accepted")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    kwargs = {"data_size_limit": args.data_size_limit, "hostname": "tls.test"}
    if args.mode == "starttls":
        kwargs.update(tls_context=context, require_starttls=True)
    if args.auth:
        user, password = args.auth.split(":", 1)
        kwargs.update(
            # aiosmtpd counts only STARTTLS as encryption; implicit TLS is no less.
            auth_require_tls=args.mode == "starttls",
            authenticator=cs.make_authenticator(user, password, recorder),
            auth_exclude_mechanism=["PLAIN"],
        )
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: cs.RecordingSMTP(handler, recorder, **kwargs),
        host="127.0.0.1",
        port=0,
        ssl=context if args.mode == "implicit" else None,
    )
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
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--mode", choices=["starttls", "implicit", "plain"], required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--auth")
    p.add_argument("--lifetime", type=float, default=120.0)
    p.add_argument("--data-size-limit", type=int, default=256 << 20)
    args = p.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
