#!/usr/bin/python3
"""Two private Postfix instances on 127.0.0.1, for the real-server tests.

  postfix_pair.py --dir DIR [--lifetime SECONDS]

"relay" takes any mail from 127.0.0.1 and passes it on with Postfix's own SMTP client (the
hop that splits lines over 998 octets) to "final", which delivers every recipient of every
domain to the Maildir DIR/Maildir (virtual(8); Delivered-To names the recipient, Return-Path
the sender). Prints "RELAY <port>", "FINAL <port>" and then "PORT <relay port>" once both
greet (ports the system chose free a moment before; a start that fails is tried again on
others). Each instance keeps its config, queue and data folders and its log under DIR/<name>;
the system's configuration is neither used nor changed (only the package's lists of its files
are copied). Needs root and Debian's postfix.

Stops both on SIGTERM or SIGINT, when the process that started it ends, or after --lifetime
seconds (default 100); each master also exits on its own 20 seconds later (master -e).
"""

import argparse
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

DAEMONS = "/usr/lib/postfix/sbin"

# Only the services these two instances use; no chroot, so no copies of system files.
MASTER_CF = """\
127.0.0.1:{port} inet n - n - - smtpd
pickup    unix n - n 60 1 pickup
cleanup   unix n - n - 0 cleanup
qmgr      unix n - n 300 1 qmgr
rewrite   unix - - n - - trivial-rewrite
bounce    unix - - n - 0 bounce
defer     unix - - n - 0 bounce
trace     unix - - n - 0 bounce
proxymap  unix - - n - - proxymap
smtp      unix - - n - - smtp
relay     unix - - n - - smtp
error     unix - - n - - error
retry     unix - - n - - error
virtual   unix - n n - - virtual
anvil     unix - - n - 1 anvil
scache    unix - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
meta_directory = {root}/etc
maillog_file = {root}/log
maillog_file_prefixes = {root}
myhostname = {name}.postwing.test
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = permit_mynetworks, reject
# Headers pass as they came: no address rewriting, no MIME conversion of our own.
local_header_rewrite_clients =
disable_mime_output_conversion = yes
message_size_limit = 67108864
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
# The hop under test: lines over 998 octets are split with CR LF and a space.
smtp_line_length_limit = 998
smtp_tls_security_level = none
smtpd_tls_security_level = none
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
biff = no
"""

RELAY_CF = "relayhost = [127.0.0.1]:{final}\n"

FINAL_CF = """\
virtual_mailbox_domains = static:all
virtual_mailbox_base = {base}
virtual_mailbox_maps = static:Maildir/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
virtual_minimum_uid = 1
virtual_mailbox_limit = 0
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def greets(port, deadline):
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(512).startswith(b"220 "):
                    s.sendall(b"QUIT\r\n")
                    return True
        except OSError:
            time.sleep(0.05)
    return False


class Instance:
    def __init__(self, top, name, extra, lifetime):
        self.root = os.path.join(top, name)
        self.etc = os.path.join(self.root, "etc")
        self.port = free_port()
        self.extra, self.lifetime, self.name = extra, lifetime, name
        self.master = None

    def prepare(self):
        """Writes the configuration and starts "postfix check", which creates the queue."""
        owner = pwd.getpwnam("postfix")
        for sub in ("etc", "queue", "data"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        os.chown(os.path.join(self.root, "data"), owner.pw_uid, owner.pw_gid)
        for name, text in (("master.cf", MASTER_CF.format(port=self.port)),
                           ("main.cf", MAIN_CF.format(root=self.root, name=self.name) + self.extra)):
            with open(os.path.join(self.etc, name), "w") as f:
                f.write(text)
        # The package's lists of its files and map types, which "postfix check" reads.
        for meta in ("postfix-files", "dynamicmaps.cf"):
            shutil.copy(os.path.join("/etc/postfix", meta), self.etc)
        return subprocess.Popen(["/usr/sbin/postfix", "-c", self.etc, "check"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self):
        # In a session of its own, so that its stop ends its whole process group.
        self.master = subprocess.Popen(
            [DAEMONS + "/master", "-c", self.etc, "-d", "-e", str(self.lifetime + 20)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)

    def stop(self):
        if self.master and self.master.poll() is None:
            self.master.terminate()  # the master ends its children
            try:
                self.master.wait(2)
            except subprocess.TimeoutExpired:
                os.killpg(self.master.pid, signal.SIGKILL)
                self.master.wait()

    def log(self):
        path = os.path.join(self.root, "log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""


def leave(*_):
    """Ends the run wherever it is; "finally" stops the instances, undisturbed by more."""
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.exit(0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--lifetime", type=int, default=100)
    args = ap.parse_args()
    if not os.path.exists(DAEMONS + "/master") or os.geteuid() != 0:
        sys.stderr.write("postfix_pair: needs root and Debian's postfix (scripts/setup.sh)\n")
        return 1
    top = os.path.abspath(args.dir)
    os.makedirs(top, exist_ok=True)
    os.chmod(top, 0o755)  # virtual(8) runs as postfix and must reach the Maildir
    owner = pwd.getpwnam("postfix")
    for sub in ("Maildir", "Maildir/new", "Maildir/cur", "Maildir/tmp"):
        os.makedirs(os.path.join(top, sub), exist_ok=True)
        os.chown(os.path.join(top, sub), owner.pw_uid, owner.pw_gid)

    parent = os.getppid()
    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGINT, leave)
    end = time.monotonic() + args.lifetime
    instances = []
    try:
        # A port taken between choosing and binding fails the start; try again with others.
        for _ in range(3):
            final = Instance(top, "final",
                             FINAL_CF.format(base=top, uid=owner.pw_uid, gid=owner.pw_gid),
                             args.lifetime)
            relay = Instance(top, "relay", RELAY_CF.format(final=final.port),
                             args.lifetime)
            instances = [final, relay]
            deadline = time.monotonic() + 20
            checks = [i.prepare() for i in instances]
            if all(c.wait(20) == 0 for c in checks):
                for i in instances:
                    i.start()
                if all(greets(i.port, deadline) and i.master.poll() is None for i in instances):
                    break
            for i in instances:
                sys.stderr.write(i.log())
                i.stop()
                shutil.rmtree(i.root, ignore_errors=True)
        else:
            sys.stderr.write("postfix_pair: the instances did not start\n")
            return 1
        print("RELAY %d\nFINAL %d\nPORT %d" % (relay.port, final.port, relay.port), flush=True)
        while time.monotonic() < end:
            if any(i.master.poll() is not None for i in instances):
                sys.stderr.write("postfix_pair: a master ended early\n")
                return 1
            # The test that started us is gone when we are handed to another parent.
            if os.getppid() != parent:
                break
            time.sleep(0.2)
        return 0
    finally:
        for i in instances:
            i.stop()


if __name__ == "__main__":
    sys.exit(main())
