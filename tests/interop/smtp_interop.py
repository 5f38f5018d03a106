"""Send side against the real Postfix: vrlmail send delivers through the plain port and through
the submission port with AUTH LOGIN checked by Dovecot; what Postfix writes into the Maildir is
read back with Python's email package. The case "harness_python" does the same with smtplib
alone, so a failure there points at the servers and a failure elsewhere at vrlmail.

usage: smtp_interop.py STATE_FILE VRLMAIL CASE"""

import os
import re
import smtplib
import sys
import tempfile
import time

from interop_common import (Servers, attachments_of, check, fail, parse_file, random_bytes,
                            run_vrlmail)
from email.message import EmailMessage


def send_args(s, work, subject, text, attach=None, port=None, auth=True, password_file=None,
              to=None, extra=()):
    body = os.path.join(work, "body.txt")
    with open(body, "w", encoding="utf-8") as f:
        f.write(text)
    args = ["send", "--host", s.host, "--port", str(port or s.smtp_port),
            "--from", "sender@localhost", "--to", to or s.address, "--subject", subject,
            "--text-file", body, "--timeout", "30"]
    if port == s.submission_port and auth:
        args += ["--user", s.user, "--password-file", password_file or s.password_file]
    if attach:
        args += ["--attach", attach]
    return args + list(extra)


def write_file(work, name, data):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


LOG_START = 0


def postfix_log(s):
    """What Postfix logged since this test began."""
    with open(s.env["VRL_POSTFIX_LOG"], "rb") as f:
        f.seek(LOG_START)
        return f.read().decode("utf-8", "replace")


def wait_log(s, pattern, what, timeout=10):
    """Postfix logs through a daemon of its own, a moment after the client saw the reply."""
    deadline = time.monotonic() + timeout
    while re.search(pattern, postfix_log(s), re.IGNORECASE) is None:
        if time.monotonic() > deadline:
            fail(what, s)
        time.sleep(0.02)


def check_delivered(s, subject, text, attachments):
    files = s.wait_delivered(1)
    msg = parse_file(files[0])
    check(msg["Subject"] == subject, "subject %r, expected %r" % (msg["Subject"], subject))
    check("sender@localhost" in str(msg["From"]), "From is %r" % msg["From"])
    check(s.address in str(msg["To"]), "To is %r" % msg["To"])
    body = msg.get_body(preferencelist=("plain",))
    check(body is not None, "no text/plain body")
    got_text = body.get_content().replace("\r\n", "\n")
    check(text.strip() in got_text, "body %r does not hold %r" % (got_text[:200], text))
    got = attachments_of(msg)
    check(set(got) == set(attachments), "attachments %s, expected %s" % (sorted(got), sorted(attachments)))
    for name, data in attachments.items():
        check(got[name] == data, "attachment %s differs (%d bytes, expected %d)" % (name, len(got[name]), len(data)))
    return msg


def case_plain(s, vrlmail, work):
    data = random_bytes(3000, 1) + b"\x00\r\n.\r\n\xff"
    path = write_file(work, "report.pdf", data)
    text = "Plain SMTP from vrlmail.\nSecond line.\n"
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "plain smtp", text, attach=path))
    check(rc == 0, "vrlmail send exit %d" % rc, s)
    check_delivered(s, "plain smtp", text, {"report.pdf": data})


def case_latin1_text(s, vrlmail, work):
    text = "Grüße aus Köln, 5 € später.\n"
    subject = "Überweisung für Jörg"
    rc, _, _ = run_vrlmail(vrlmail, send_args(s, work, subject, text))
    check(rc == 0, "vrlmail send exit %d" % rc, s)
    check_delivered(s, subject, text, {})


def case_auth_login(s, vrlmail, work):
    path = write_file(work, "data.bin", random_bytes(5000, 2))
    text = "Submission with AUTH LOGIN.\n"
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "auth login", text, attach=path,
                                                port=s.submission_port))
    check(rc == 0, "vrlmail send exit %d" % rc, s)
    check("Host Login OK!" in out, "no 'Host Login OK!' status", s)
    with open(path, "rb") as f:
        check_delivered(s, "auth login", text, {"data.bin": f.read()})
    wait_log(s, r"postfix/submission/smtpd\[\d+\]: \w+: client=\S+, sasl_method=LOGIN, "
                r"sasl_username=%s" % re.escape(s.user), "Postfix logged no LOGIN authentication")

    # The submission port takes nothing without authentication.
    s.reset()
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "no auth", text, port=s.submission_port,
                                                auth=False))
    check(rc == 5, "unauthenticated submission: exit %d, expected 5 (refused)" % rc, s)
    check("554" in out, "no 554 reply reported", s)
    check(not s.maildir_files() and not s.queue_files(), "unauthenticated message was accepted", s)


def case_auth_wrong_password(s, vrlmail, work):
    bad = write_file(work, "wrong-password", (s.password + "x").encode())
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "wrong password", "x\n",
                                                port=s.submission_port, password_file=bad))
    check(rc == 4, "wrong password: exit %d, expected 4 (login refused)" % rc, s)
    check("Host Login OK!" not in out, "login reported OK with a wrong password", s)
    check(not s.maildir_files() and not s.queue_files(), "message accepted with a wrong password", s)
    wait_log(s, r"SASL LOGIN authentication failed", "Postfix logged no failed LOGIN authentication")


def case_attachment_10mb(s, vrlmail, work):
    data = random_bytes(10 * 1024 * 1024, 3)
    path = write_file(work, "big.bin", data)
    text = "Ten megabytes attached.\n"
    rc, _, _ = run_vrlmail(vrlmail, send_args(s, work, "ten megabytes", text, attach=path))
    check(rc == 0, "vrlmail send exit %d" % rc, s)
    check_delivered(s, "ten megabytes", text, {"big.bin": data})


def case_one_connection(s, vrlmail, work):
    n = 5
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "kept open", "one of several\n",
                                                extra=["--count", str(n)]))
    check(rc == 0, "vrlmail send --count exit %d" % rc, s)
    files = s.wait_delivered(n)
    check(all(parse_file(f)["Subject"] == "kept open" for f in files), "a subject differs", s)
    # All on one session: Postfix logs the session's counts when it ends.
    wait_log(s, r"postfix/smtpd\[\d+\]: disconnect from \S+ (ehlo|helo)=1 mail=%d rcpt=%d data=%d" % (n, n, n),
             "the messages did not share one session")


def case_rejected_recipient(s, vrlmail, work):
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "off host", "x\n", to="someone@example.com"))
    check(rc == 5, "off-host recipient: exit %d, expected 5 (refused)" % rc, s)
    check("550" in out, "no 550 reply reported", s)
    rc, out, _ = run_vrlmail(vrlmail, send_args(s, work, "unknown user", "x\n", to="nobody@localhost"))
    check(rc == 5, "unknown local recipient: exit %d, expected 5 (refused)" % rc, s)
    check(not s.maildir_files() and not s.queue_files(), "a refused message was queued", s)


def case_harness_python(s, vrlmail, work):
    data = random_bytes(4000, 4)

    def make(subject):
        m = EmailMessage()
        m["From"], m["To"], m["Subject"] = "sender@localhost", s.address, subject
        m.set_content("From smtplib.\n")
        m.add_attachment(data, maintype="application", subtype="octet-stream", filename="x.bin")
        return m

    with s.smtp() as c:
        c.send_message(make("python plain"))
    for mech in ("LOGIN", "PLAIN"):
        with s.smtp(s.submission_port) as c:
            c.ehlo()
            check("LOGIN" in c.esmtp_features.get("auth", "").upper(), "submission offers no AUTH LOGIN", s)
            c.user, c.password = s.user, s.password
            auth = c.auth_login if mech == "LOGIN" else c.auth_plain
            code, _ = c.auth(mech, auth, initial_response_ok=False)
            check(code == 235, "AUTH %s answered %d" % (mech, code), s)
            c.send_message(make("python " + mech))
    try:
        with s.smtp(s.submission_port) as c:
            c.login(s.user, s.password + "x")
        fail("wrong password accepted", s)
    except smtplib.SMTPAuthenticationError:
        pass
    files = s.wait_delivered(3)
    subjects = sorted(parse_file(f)["Subject"] for f in files)
    check(subjects == ["python LOGIN", "python PLAIN", "python plain"], "subjects %s" % subjects, s)
    check(all(attachments_of(parse_file(f)) == {"x.bin": data} for f in files), "attachment differs", s)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in CASES:
        sys.exit("usage: smtp_interop.py STATE_FILE VRLMAIL CASE (%s)" % ", ".join(sorted(CASES)))
    s = Servers(sys.argv[1])
    s.reset()
    global LOG_START
    LOG_START = os.path.getsize(s.env["VRL_POSTFIX_LOG"])
    with tempfile.TemporaryDirectory(prefix="vrl-smtp-interop.") as work:
        CASES[sys.argv[3]](s, sys.argv[2], work)
    s.reset()
    print("OK")


if __name__ == "__main__":
    main()
