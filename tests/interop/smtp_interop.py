"""Send side against the real Postfix: vrlmail send delivers through the plain port and through
the submission port with AUTH LOGIN checked by Dovecot; what Postfix writes into the Maildir is
read back with Python's email package. Reply handling, --count and refusals are the scripted
tests' part (tests/smtp).

usage: smtp_interop.py STATE_FILE VRLMAIL CASE"""

import os
import re

from interop_common import attachments_of, check, parse_file, random_bytes, run_case, run_vrlmail, wait_for, write


def send(s, vrlmail, work, subject, text, attach=None, port=None, auth=True, password_file=None):
    args = ["send", "--host", s.host, "--port", str(port or s.smtp_port), "--from", "sender@localhost",
            "--to", s.address, "--subject", subject, "--timeout", "30",
            "--text-file", write(work, "body.txt", text.encode("utf-8"))]
    if port == s.submission_port and auth:
        args += ["--user", s.user, "--password-file", password_file or s.password_file]
    return run_vrlmail(vrlmail, args + (["--attach", attach] if attach else []))


def wait_log(s, since, pattern, what):
    """Postfix logs through a daemon of its own, a moment after the client saw the reply."""
    def logged():
        with open(s.env["VRL_POSTFIX_LOG"], "rb") as f:
            f.seek(since)
            return re.search(pattern, f.read().decode("utf-8", "replace"), re.IGNORECASE)
    check(wait_for(logged, 10), what, s)


def check_delivered(s, subject, text, attachments):
    msg = parse_file(s.wait_delivered(1)[0])
    check(msg["Subject"] == subject, "subject %r, expected %r" % (msg["Subject"], subject))
    check("sender@localhost" in str(msg["From"]) and s.address in str(msg["To"]),
          "From %r, To %r" % (msg["From"], msg["To"]))
    body = msg.get_body(preferencelist=("plain",))
    got_text = body.get_content().replace("\r\n", "\n") if body else ""
    check(text.strip() in got_text, "body %r does not hold %r" % (got_text[:200], text))
    got = attachments_of(msg)
    check(got == attachments, "attachments %s, expected %s (sizes %s)"
          % (sorted(got), sorted(attachments), [len(v) for v in got.values()]))


def case_auth_login(s, vrlmail, work):
    since = os.path.getsize(s.env["VRL_POSTFIX_LOG"])
    data = random_bytes(5000, 2)
    path = write(work, "data.bin", data)
    subject, text = "Überweisung für Jörg", "Grüße aus Köln, 5 € später.\n"
    rc, out, _ = send(s, vrlmail, work, subject, text, attach=path, port=s.submission_port)
    check(rc == 0 and "Host Login OK!" in out, "vrlmail send exit %d, no login reported" % rc, s)
    check_delivered(s, subject, text, {"data.bin": data})
    wait_log(s, since, r"postfix/submission/smtpd\[\d+\]: \w+: client=\S+, sasl_method=LOGIN, "
                       r"sasl_username=%s" % re.escape(s.user), "Postfix logged no LOGIN authentication")

    # The submission port takes nothing without authentication.
    s.harness("reset")
    rc, out, _ = send(s, vrlmail, work, "no auth", text, port=s.submission_port, auth=False)
    check(rc == 5 and "554" in out, "unauthenticated submission: exit %d, expected 5 with 554" % rc, s)
    check(not s.maildir_files() and not s.queue_files(), "unauthenticated message was accepted", s)


def case_auth_wrong_password(s, vrlmail, work):
    since = os.path.getsize(s.env["VRL_POSTFIX_LOG"])
    bad = write(work, "wrong-password", (s.password + "x").encode())
    rc, out, _ = send(s, vrlmail, work, "wrong password", "x\n", port=s.submission_port, password_file=bad)
    check(rc == 4, "wrong password: exit %d, expected 4 (login refused)" % rc, s)
    check("Host Login OK!" not in out, "login reported OK with a wrong password", s)
    check(not s.maildir_files() and not s.queue_files(), "message accepted with a wrong password", s)
    wait_log(s, since, r"SASL LOGIN authentication failed", "Postfix logged no failed LOGIN authentication")


def case_attachment_10mb(s, vrlmail, work):
    data = random_bytes(10 * 1024 * 1024, 3) + b"\x00\r\n.\r\n\xff"
    text = "Ten megabytes attached.\n.\n..dots\nend\n"
    rc, _, _ = send(s, vrlmail, work, "ten megabytes", text, attach=write(work, "big.bin", data))
    check(rc == 0, "vrlmail send exit %d" % rc, s)
    check_delivered(s, "ten megabytes", text, {"big.bin": data})


if __name__ == "__main__":
    run_case(globals(), tools=1)
