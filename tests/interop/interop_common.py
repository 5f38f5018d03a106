"""Shared pieces of the interoperation tests: the running private mail servers (started once by
the fixture), resetting the mailbox, waiting for delivery, running vrlmail, and building test
messages. Standard library only; every wait is bounded."""

import email
import os
import pwd
import grp
import random
import shlex
import smtplib
import subprocess
import sys
import time
from email import policy

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESS = os.path.join(HERE, "..", "..", "scripts", "mailservers.sh")
SKIP = 77


class Servers:
    """The fixture's servers, read from the state file the fixture wrote."""

    def __init__(self, state_file):
        if not os.path.exists(state_file):
            print("mail servers not running (no %s); skipped" % state_file)
            sys.exit(SKIP)
        with open(state_file) as f:
            self.dir = f.read().strip()
        out = subprocess.run(["bash", HARNESS, "env", self.dir], check=True, capture_output=True,
                             text=True, timeout=30).stdout
        self.env = {k: (shlex.split(v) or [""])[0]
                    for k, v in (line.split("=", 1) for line in out.splitlines() if "=" in line)}
        self.host = self.env["VRL_MAIL_HOST"]
        self.smtp_port = int(self.env["VRL_SMTP_PORT"])
        self.submission_port = int(self.env["VRL_SUBMISSION_PORT"])
        self.pop3_port = int(self.env["VRL_POP3_PORT"])
        self.user = self.env["VRL_MAIL_USER"]
        self.password = self.env["VRL_MAIL_PASS"]
        self.password_file = self.env["VRL_MAIL_PASS_FILE"]
        self.address = self.env["VRL_MAIL_ADDRESS"]
        self.maildir = self.env["VRL_MAILDIR"]
        self.spool = os.path.join(self.dir, "spool")

    def reset(self):
        subprocess.run(["bash", HARNESS, "reset", self.dir], check=True, timeout=30)

    def logs(self):
        return subprocess.run(["bash", HARNESS, "logs", self.dir], capture_output=True, text=True,
                              timeout=30).stdout

    def maildir_files(self):
        return sorted(os.path.join(self.maildir, sub, name)
                      for sub in ("new", "cur") for name in os.listdir(os.path.join(self.maildir, sub)))

    def queue_files(self):
        return [name for q in ("maildrop", "incoming", "active", "deferred", "hold")
                for _, _, names in os.walk(os.path.join(self.spool, q)) for name in names]

    def wait_delivered(self, count, timeout=60):
        """Waits until exactly `count` messages sit in the Maildir and Postfix's queue is empty."""
        deadline = time.monotonic() + timeout
        idle_since = None
        while True:
            # Queue first: a message that left the queue before this look is in the Maildir.
            queued = self.queue_files()
            files = self.maildir_files()
            if len(files) > count:
                fail("%d messages delivered, expected %d" % (len(files), count), self)
            if len(files) == count and not queued:
                return files
            # Nothing queued and some missing: they were never accepted (a short grace only).
            idle_since = (idle_since or time.monotonic()) if not queued else None
            if idle_since is not None and time.monotonic() - idle_since > 1:
                fail("%d of %d messages delivered and nothing queued" % (len(files), count), self)
            if time.monotonic() > deadline:
                fail("after %ds %d of %d messages delivered, %d queued" % (timeout, len(files), count,
                                                                          len(queued)), self)
            time.sleep(0.02)

    def deliver_direct(self, raw):
        """Puts a message straight into Maildir/new as the mail owner, the way a delivery agent
        does: written under tmp/, then renamed."""
        uid, gid = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid
        name = "%d.M%dP%d_%d.vrltest" % (time.time(), random.randrange(1 << 30), os.getpid(),
                                         len(os.listdir(os.path.join(self.maildir, "tmp"))))
        tmp = os.path.join(self.maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(raw.replace(b"\r\n", b"\n"))  # Maildir files hold LF line ends
        os.chown(tmp, uid, gid)
        os.chmod(tmp, 0o600)
        os.rename(tmp, os.path.join(self.maildir, "new", name))

    def smtp(self, port=None):
        # local_hostname keeps smtplib from asking DNS for this machine's name
        return smtplib.SMTP(self.host, port or self.smtp_port, local_hostname="localhost", timeout=60)


def fail(message, servers=None):
    print("FAIL: " + message)
    if servers is not None:
        print(servers.logs())
    sys.exit(1)


def check(condition, message, servers=None):
    if not condition:
        fail(message, servers)


def run_vrlmail(vrlmail, args, timeout=120):
    """Runs vrlmail with a bounded time; returns (exit status, stdout, stderr)."""
    start = time.monotonic()
    try:
        p = subprocess.run([vrlmail] + args, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        fail("vrlmail %s did not end within %ds" % (" ".join(args[:1]), timeout))
    print("vrlmail %s: exit %d after %.2fs" % (args[0], p.returncode, time.monotonic() - start))
    sys.stdout.write(p.stdout)
    sys.stdout.write(p.stderr)
    return p.returncode, p.stdout, p.stderr


def parse_file(path):
    with open(path, "rb") as f:
        return email.message_from_binary_file(f, policy=policy.default)


def attachments_of(msg):
    return {part.get_filename(): part.get_payload(decode=True) for part in msg.iter_attachments()}


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)
