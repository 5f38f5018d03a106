"""Python side of bench_tls.sh: smtplib and poplib over clear text, STARTTLS/STLS and implicit
TLS, doing bench_mailservers.py's timed send and fetch with the session opened here (inside the
timed part). Standard library only. Every figure goes to stdout as "key value"."""

import poplib
import smtplib
import ssl
import sys

import bench_mailservers as bm

MODES = ("clear", "starttls", "tls")


def _password(path):
    with open(path) as f:
        return f.readline().rstrip("\r\n")


def smtp(mode, host, port, user, password_file, ca, text_file, attach):
    """One message with ATTACH, logged in (the submission and SMTPS services want it)."""
    ctx = ssl.create_default_context(cafile=ca)
    password = _password(password_file)

    def connect():
        if mode == "tls":
            s = smtplib.SMTP_SSL(host, port, local_hostname="localhost", timeout=120, context=ctx)
        else:
            s = smtplib.SMTP(host, port, local_hostname="localhost", timeout=120)
            if mode == "starttls":
                s.starttls(context=ctx)
        s.login(user, password)
        return s

    bm.smtp_send(host, port, 1, text_file, attach, connect)


def pop3(mode, host, port, user, password_file, ca, out_dir):
    """Every message taken out with its attachments flushed to disk, as vrlmail fetch does."""
    ctx = ssl.create_default_context(cafile=ca)

    def connect():
        if mode == "tls":
            return poplib.POP3_SSL(host, port, timeout=120, context=ctx)
        p = poplib.POP3(host, port, timeout=120)
        if mode == "starttls":
            p.stls(context=ctx)
        return p

    bm.pop3_fetch(host, port, user, password_file, out_dir, durable=True, connect=connect)


def main():
    cmd, mode, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    if mode not in MODES:
        sys.exit("unknown mode " + mode)
    if cmd == "smtp":
        smtp(mode, args[0], int(args[1]), *args[2:7])
    elif cmd == "pop3":
        pop3(mode, args[0], int(args[1]), *args[2:6])
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
