"""Python side of bench_mailservers.sh: fills the Maildir, waits for Postfix, and does the same
work as vrlmail with smtplib, poplib and email so the two rates can be compared in one run.
Standard library only. Every figure goes to stdout as "key value"."""

import email
import hashlib
import os
import poplib
import random
import resource
import smtplib
import sys
import time
from email import policy
from email.message import EmailMessage


def _owner():
    import grp
    import pwd
    return pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid


def _put(maildir, raw, seq, owner):
    name = "%d.M%dP%d_%d.vrlbench" % (time.time(), seq, os.getpid(), seq)
    tmp = os.path.join(maildir, "tmp", name)
    with open(tmp, "wb") as f:
        f.write(raw)
    os.chown(tmp, *owner)
    os.chmod(tmp, 0o600)
    os.rename(tmp, os.path.join(maildir, "new", name))


def _message(subject, text, attachment=None, name="data.bin"):
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "bench@localhost", "mailtest@localhost", subject
    m.set_content(text)
    if attachment is not None:
        m.add_attachment(attachment, maintype="application", subtype="octet-stream", filename=name)
    return m


def fill(maildir, count, attach_bytes):
    """COUNT small messages, each with one attachment, straight into Maildir/new (LF line ends,
    as a delivery agent writes them)."""
    owner = _owner()
    rng = random.Random(1)
    for i in range(count):
        raw = _message("bench message %d" % i, "Small message number %d.\n" % i,
                       rng.randbytes(attach_bytes), "file%d.bin" % i).as_bytes(policy=policy.default.clone(linesep="\n"))
        _put(maildir, raw, i, owner)


def big(maildir, mib):
    """One message with a random attachment of MIB MiB; prints its size and the attachment's hash."""
    data = random.Random(2).randbytes(mib * 1024 * 1024)
    raw = _message("big message", "One big attachment.\n", data, "big.bin").as_bytes(
        policy=policy.default.clone(linesep="\n"))
    _put(maildir, raw, 0, _owner())
    print("message_bytes", len(raw))
    print("sha256", hashlib.sha256(data).hexdigest())


def make_file(path, mib):
    data = random.Random(3).randbytes(mib * 1024 * 1024)
    with open(path, "wb") as f:
        f.write(data)
    print("sha256", hashlib.sha256(data).hexdigest())


def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    print("sha256", h.hexdigest())


def wait_delivered(maildir, spool, count, timeout):
    deadline = time.monotonic() + timeout
    while True:
        queued = sum(len(names) for q in ("incoming", "active", "deferred")
                     for _, _, names in os.walk(os.path.join(spool, q)))
        n = sum(len(os.listdir(os.path.join(maildir, sub))) for sub in ("new", "cur"))
        if n >= count and not queued:
            print("delivered", n)
            return
        if time.monotonic() > deadline:
            sys.exit("only %d of %d messages delivered after %ds (%d queued)" % (n, count, timeout, queued))
        time.sleep(0.05)


def delivered_attachment_sha(maildir):
    """The attachment of the one delivered message, decoded by Python."""
    files = [os.path.join(maildir, sub, n) for sub in ("new", "cur") for n in os.listdir(os.path.join(maildir, sub))]
    if len(files) != 1:
        sys.exit("expected one delivered message, found %d" % len(files))
    with open(files[0], "rb") as f:
        msg = email.message_from_binary_file(f, policy=policy.default)
    atts = [a.get_payload(decode=True) for a in msg.iter_attachments()]
    if len(atts) != 1:
        sys.exit("expected one attachment, found %d" % len(atts))
    print("sha256", hashlib.sha256(atts[0]).hexdigest())


def smtp_send(host, port, count, text_file, attach=None, connect=None):
    """COUNT messages on one connection, each composed afresh, as vrlmail send --count does.
    CONNECT, when given, opens the session instead (TLS, login) inside the timed part."""
    with open(text_file, encoding="utf-8") as f:
        text = f.read()
    data = None
    if attach:
        with open(attach, "rb") as f:
            data = f.read()
    start = time.monotonic()
    connect = connect or (lambda: smtplib.SMTP(host, port, local_hostname="localhost", timeout=120))
    with connect() as s:
        for i in range(count):
            s.send_message(_message("bench message", text, data, os.path.basename(attach or "x")))
    seconds = time.monotonic() - start
    print("messages", count)
    print("seconds", "%.3f" % seconds)
    print("peak_rss_kb", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def pop3_fetch(host, port, user, password_file, out_dir, durable=False, connect=None):
    """Retrieve, parse, save every attachment under a free name, delete: vrlmail fetch's work.
    With durable, each file and the folder are flushed to disk before the message is deleted,
    as vrlmail does. CONNECT, when given, opens the session instead (TLS) inside the timed part."""
    with open(password_file) as f:
        password = f.readline().rstrip("\r\n")
    start = time.monotonic()
    p = connect() if connect else poplib.POP3(host, port, timeout=120)
    p.user(user)
    p.pass_(password)
    n, _ = p.stat()
    saved = 0
    for i in range(1, n + 1):
        _, lines, _ = p.retr(i)
        msg = email.message_from_bytes(b"\r\n".join(lines), policy=policy.default)
        for a in msg.iter_attachments():
            name = os.path.basename(a.get_filename() or "unnamed")
            path, k = os.path.join(out_dir, name), 0
            while os.path.exists(path):
                k += 1
                path = os.path.join(out_dir, "%d-%s" % (k, name))
            with open(path, "xb") as f:
                f.write(a.get_payload(decode=True))
                if durable:
                    f.flush()
                    os.fsync(f.fileno())
            if durable:
                d = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY)
                try:
                    os.fsync(d)
                finally:
                    os.close(d)
            saved += 1
        p.dele(i)
    p.quit()
    seconds = time.monotonic() - start
    print("messages", n)
    print("attachments", saved)
    print("seconds", "%.3f" % seconds)
    print("peak_rss_kb", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "fill":
        fill(args[0], int(args[1]), int(args[2]))
    elif cmd == "big":
        big(args[0], int(args[1]))
    elif cmd == "make-file":
        make_file(args[0], int(args[1]))
    elif cmd == "sha":
        sha(args[0])
    elif cmd == "wait":
        wait_delivered(args[0], args[1], int(args[2]), int(args[3]))
    elif cmd == "delivered-sha":
        delivered_attachment_sha(args[0])
    elif cmd == "raw-message":
        with open(args[0], encoding="utf-8") as f, open(args[1], "rb") as a:
            raw = _message("bench message", f.read(), a.read(), os.path.basename(args[1])).as_bytes(
                policy=policy.default.clone(linesep="\r\n"))
        with open(args[2], "wb") as out:
            out.write(raw)
    elif cmd == "smtp":
        smtp_send(args[0], int(args[1]), int(args[2]), args[3], args[4] if len(args) > 4 else None)
    elif cmd == "pop3":
        pop3_fetch(args[0], int(args[1]), args[2], args[3], args[4], "--durable" in args[5:])
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
