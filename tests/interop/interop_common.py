"""Shared pieces of the interoperation tests: the private mail servers (started once by the
fixture), resetting the mailbox, waiting for delivery, running vrlmail, reading messages, and
running one case. Standard library only; every wait is bounded."""

import email
import grp
import os
import pwd
import random
import shlex
import smtplib
import subprocess
import sys
import tempfile
import time
from email import policy

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESS = os.path.join(HERE, "..", "..", "scripts", "mailservers.sh")
DATA = os.path.join(HERE, "..", "data", "interop")


class Servers:
    """The fixture's servers, read from the state file the fixture wrote."""

    def __init__(self, state_file):
        if not os.path.exists(state_file):
            print("mail servers not running (no %s); skipped" % state_file)
            sys.exit(77)
        with open(state_file) as f:
            self.dir = f.read().strip()
        out = self.harness("env", capture_output=True, text=True).stdout
        self.env = {k: (shlex.split(v) or [""])[0]
                    for k, v in (line.split("=", 1) for line in out.splitlines() if "=" in line)}
        e = self.env
        self.host, self.user, self.password = e["VRL_MAIL_HOST"], e["VRL_MAIL_USER"], e["VRL_MAIL_PASS"]
        self.smtp_port, self.submission_port, self.pop3_port = (
            int(e["VRL_SMTP_PORT"]), int(e["VRL_SUBMISSION_PORT"]), int(e["VRL_POP3_PORT"]))
        self.smtps_port, self.pop3s_port = int(e["VRL_SMTPS_PORT"]), int(e["VRL_POP3S_PORT"])
        self.password_file, self.address, self.maildir = e["VRL_MAIL_PASS_FILE"], e["VRL_MAIL_ADDRESS"], e["VRL_MAILDIR"]
        self.spool = os.path.join(self.dir, "spool")

    def harness(self, command, **kw):
        return subprocess.run(["bash", HARNESS, command, self.dir], check=command != "logs", timeout=30, **kw)

    def maildir_files(self):
        return sorted(os.path.join(self.maildir, sub, name)
                      for sub in ("new", "cur") for name in os.listdir(os.path.join(self.maildir, sub)))

    def queue_files(self):
        return [name for q in ("maildrop", "incoming", "active", "deferred", "hold")
                for _, _, names in os.walk(os.path.join(self.spool, q)) for name in names]

    def wait_delivered(self, count, timeout=60):
        """Waits until exactly `count` messages sit in the Maildir and Postfix's queue is empty;
        fails at once on more, and after 1 s with some missing and nothing queued."""
        deadline, idle_since = time.monotonic() + timeout, None
        while True:
            queued = self.queue_files()  # queue first: what left it before this look is in the Maildir
            files = self.maildir_files()
            if len(files) == count and not queued:
                return files
            idle_since = (idle_since or time.monotonic()) if not queued else None
            # All delivered with a queue file not yet removed is a moment of Postfix's, not an error.
            check(len(files) <= count and time.monotonic() < min(deadline, (idle_since or deadline) + 1),
                  "%d of %d messages delivered, %d queued" % (len(files), count, len(queued)), self)
            time.sleep(0.02)

    def deliver_direct(self, raw, folder=""):
        """Puts a message straight into Maildir/new (or the new/ of the IMAP folder `folder`, a
        Maildir++ subfolder made when missing) as the mail owner, the way a delivery agent does:
        written under tmp/, then renamed."""
        md = os.path.join(self.maildir, "." + folder) if folder else self.maildir
        owner = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid
        for sub in ("", "cur", "new", "tmp"):
            if not os.path.isdir(os.path.join(md, sub)):
                os.mkdir(os.path.join(md, sub), 0o700)
                os.chown(os.path.join(md, sub), *owner)
        name = "%d.M%dP%d.vrltest" % (time.time(), random.randrange(1 << 30), os.getpid())
        tmp = os.path.join(md, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(raw.replace(b"\r\n", b"\n"))  # Maildir files hold LF line ends
        os.chown(tmp, *owner)
        os.chmod(tmp, 0o600)
        os.rename(tmp, os.path.join(md, "new", name))

    def smtp(self, port=None):
        # local_hostname keeps smtplib from asking DNS for this machine's name
        return smtplib.SMTP(self.host, port or self.smtp_port, local_hostname="localhost", timeout=60)


def fail(message, servers=None):
    """Ends the case; with the servers, their logs are shown too."""
    print("FAIL: " + message)
    print(servers.harness("logs", capture_output=True, text=True).stdout if servers else "")
    sys.exit(1)


def check(condition, message, servers=None):
    return condition or fail(message, servers)


def run_vrlmail(vrlmail, args, timeout=120):
    """Runs vrlmail with a bounded time; returns (exit status, stdout, stderr)."""
    start = time.monotonic()
    try:
        p = subprocess.run([vrlmail] + args, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        fail("vrlmail %s did not end within %ds" % (args[0], timeout))
    print("vrlmail %s: exit %d after %.2fs" % (args[0], p.returncode, time.monotonic() - start))
    sys.stdout.write(p.stdout + p.stderr)
    return p.returncode, p.stdout, p.stderr


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def wait_for(condition, timeout):
    """Polls until condition() holds; False after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def parse_file(path):
    return email.message_from_bytes(read(path), policy=policy.default)


def attachments_of(msg):
    return {part.get_filename(): part.get_payload(decode=True) for part in msg.iter_attachments()}


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)


def run_case(cases, tools):
    """The command line STATE_FILE TOOL... CASE: runs that case_ function of `cases` as
    (servers, tool..., work folder) on an empty mailbox."""
    names = {name[5:]: fn for name, fn in cases.items() if name.startswith("case_")}
    if len(sys.argv) != 3 + tools or sys.argv[-1] not in names:
        sys.exit("usage: %s STATE_FILE TOOL... CASE (%s)" % (sys.argv[0], ", ".join(sorted(names))))
    s = Servers(sys.argv[1])
    s.harness("reset")
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vrl-interop.") as work:
        names[sys.argv[-1]](s, *sys.argv[2:-1], work)
    s.harness("reset")
    print("OK %s %.1fs" % (sys.argv[-1], time.monotonic() - started))
