"""vrlmail against the real servers. Send side: vrlmail send delivers through Postfix's plain
port, through its submission port with AUTH LOGIN checked by Dovecot, and over TLS (STARTTLS and
implicit, trusted through the test CA); what Postfix writes into
the Maildir is read back with Python's email package. Receive side: messages delivered by Postfix
and messages put straight into the Maildir are retrieved, saved and deleted by vrlmail fetch;
poplib and the email package read the same mailbox first and say what vrlmail must have saved.
Replies, refusals, --count, --keep, --raw and hostile servers are the scripted tests' part
(tests/smtp, tests/pop3); 10 MB both ways is the agent's case both_modes.

usage: vrlmail_interop.py STATE_FILE VRLMAIL CASE"""

import email
import hashlib
import os
import poplib
import re
from email import policy
from email.message import EmailMessage

from interop_common import (DATA, attachments_of, check, parse_file, random_bytes, read, run_case, run_vrlmail,
                            wait_for, write)


# ---- send side ----


def send(s, vrlmail, work, subject, text, attach=None, port=None, password_file=None, extra=()):
    args = ["send", "--host", s.host, "--port", str(port or s.smtp_port), "--from", "sender@localhost",
            "--to", s.address, "--subject", subject, "--timeout", "30",
            "--text-file", write(work, "body.txt", text.encode("utf-8"))]
    if "--security" not in extra:  # the default takes the servers' STARTTLS: trust their CA
        args += ["--ca-file", s.env["VRL_TLS_CA"]]
    if port in (s.submission_port, s.smtps_port):
        args += ["--user", s.user, "--password-file", password_file or s.password_file]
    return run_vrlmail(vrlmail, args + (["--attach", attach] if attach else []) + list(extra))


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
    """A wrong password and then the right one on the submission port, checked by Dovecot."""
    since = os.path.getsize(s.env["VRL_POSTFIX_LOG"])
    bad = write(work, "wrong-password", (s.password + "x").encode())
    rc, out, _ = send(s, vrlmail, work, "wrong password", "x\n", port=s.submission_port, password_file=bad)
    check(rc == 4 and "Host Login OK!" not in out, "wrong password: exit %d, expected 4 (login refused)" % rc, s)
    check(not s.maildir_files() and not s.queue_files(), "message accepted with a wrong password", s)
    wait_log(s, since, r"SASL LOGIN authentication failed", "Postfix logged no failed LOGIN authentication")

    data = random_bytes(5000, 2) + b"\x00\r\n.\r\n\xff"
    subject, text = "Überweisung für Jörg", "Grüße aus Köln, 5 € später.\n.\n..dots\nend\n"
    rc, out, _ = send(s, vrlmail, work, subject, text, attach=write(work, "data.bin", data), port=s.submission_port)
    check(rc == 0 and "Host Login OK!" in out, "vrlmail send exit %d, no login reported" % rc, s)
    check_delivered(s, subject, text, {"data.bin": data})
    wait_log(s, since, r"postfix/submission/smtpd\[\d+\]: \w+: client=\S+, sasl_method=LOGIN, "
                       r"sasl_username=%s" % re.escape(s.user), "Postfix logged no LOGIN authentication")


def case_tls_send(s, vrlmail, work):
    """STARTTLS on the submission port and implicit TLS on the SMTPS port, trusted through the test
    CA, with LOGIN and PLAIN; a certificate nobody vouches for, and STARTTLS required where none is
    offered, send nothing."""
    since = os.path.getsize(s.env["VRL_POSTFIX_LOG"])
    ca = ["--ca-file", s.env["VRL_TLS_CA"]]
    for what, port, extra, method in (
            ("STARTTLS, LOGIN", s.submission_port, ["--security", "starttls"] + ca, "LOGIN"),
            ("implicit TLS, PLAIN", s.smtps_port, ["--security", "tls", "--auth", "plain"] + ca, "PLAIN")):
        rc, out, _ = send(s, vrlmail, work, what, "over TLS\n", port=port, extra=extra)
        check(rc == 0 and "TLS: TLSv1." in out and "CN=localhost" in out, "%s: exit %d\n%s" % (what, rc, out), s)
        check_delivered(s, what, "over TLS", {})
        wait_log(s, since, r"sasl_method=%s, sasl_username=%s" % (method, re.escape(s.user)),
                 "%s: Postfix logged no %s authentication" % (what, method))
        s.harness("reset")
    for what, port, extra, message in (
            ("no trusted CA", s.smtps_port, ["--security", "tls"], "TLS certificate verification failed"),
            ("STARTTLS required", s.smtp_port, ["--security", "starttls"], "does not offer STARTTLS"),
            # By default a login never goes in clear: a server without STARTTLS gets nothing.
            ("no TLS for a login", s.smtp_port, ["--user", s.user, "--password-file", s.password_file],
             "the password would go in clear text")):
        rc, out, err = send(s, vrlmail, work, what, "x\n", port=port, extra=extra)
        check(rc == 3 and message in err, "%s: exit %d, %r" % (what, rc, err), s)
        check(not s.maildir_files() and not s.queue_files(), "%s: a message was accepted" % what, s)


# ---- receive side ----


def pop_read(s):
    p = poplib.POP3(s.host, s.pop3_port, timeout=60)
    p.user(s.user)
    p.pass_(s.password)
    try:
        n, _ = p.stat()
        return n, [email.message_from_bytes(b"\r\n".join(p.retr(i)[1]) + b"\r\n", policy=policy.default)
                   for i in range(1, n + 1)]
    finally:
        p.quit()


def view(messages):
    """(subject, sorted attachment names and digests) per message, in order: how the two readings
    are compared. Header text is taken with folding and runs of blanks as single spaces."""
    return sorted((" ".join(subject.split()), sorted((name, hashlib.sha256(data).hexdigest()) for name, data in atts))
                  for subject, atts in messages)


def fetch(s, vrlmail, work, password_file=None, port=None, extra=(), stderr=None):
    out_dir = os.path.join(work, "in")
    os.makedirs(out_dir, exist_ok=True)
    rc, out, err = run_vrlmail(vrlmail, ["fetch", "--host", s.host, "--port", str(port or s.pop3_port), "--user",
                                         s.user, "--password-file", password_file or s.password_file, "--dir",
                                         out_dir, "--timeout", "30", *extra]
                               + ([] if "--security" in extra else ["--ca-file", s.env["VRL_TLS_CA"]]))
    if stderr is not None:
        stderr.append(err)
    return rc, [line.split("\t") for line in out.splitlines() if line.strip()], out_dir


def saved(lines, out_dir):
    """What vrlmail saved, as its lines list it (a message without attachments is kept whole as
    .eml; an attachment name met twice gets a free name "n-name")."""
    files = sorted(n for f in lines for n in f[3].split("; ") if n)
    check(sorted(os.listdir(out_dir)) == files, "files %s, but vrlmail listed %s" % (os.listdir(out_dir), files))
    check(all(f[3] for f in lines), "a message saved nothing: %s" % lines)
    return view((f[2], [(re.sub(r"^\d+-", "", n), read(os.path.join(out_dir, n)))
                        for n in f[3].split("; ") if n and not n.endswith(".eml")]) for f in lines)


def send_via_postfix(s, subject, text, attachments):
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "sender@localhost", s.address, subject
    m.set_content(text)
    for name, data, mime in attachments:
        m.add_attachment(data, maintype=mime.split("/")[0], subtype=mime.split("/")[1], filename=name)
    with s.smtp() as c:
        c.send_message(m)


def case_fetch_mixed(s, vrlmail, work):
    """Five messages of every kind; first with a wrong password, which must take nothing."""
    send_via_postfix(s, "one pdf", "A report.\n", [("report.pdf", random_bytes(20000, 10), "application/pdf")])
    send_via_postfix(s, "two files", "A photo and another report.\n",
                     [("photo.png", random_bytes(50000, 11), "image/png"),
                      ("report.pdf", random_bytes(7000, 12), "application/pdf")])
    send_via_postfix(s, "no attachment", ".starts with a dot\n..and two\n.\nend\n", [])
    s.wait_delivered(3)
    for name in ("dots.eml", "encoded_name.eml"):
        s.deliver_direct(read(os.path.join(DATA, name)))
    rc, lines, out_dir = fetch(s, vrlmail, work, password_file=write(work, "bad", (s.password + "x").encode()))
    check(rc == 4 and not lines and not os.listdir(out_dir), "wrong password: exit %d, lines %r" % (rc, lines), s)
    n, messages = pop_read(s)
    check(n == 5, "POP3 shows %d messages, expected 5" % n, s)
    expected = view((m["Subject"], [(a.get_filename(), a.get_payload(decode=True)) for a in m.iter_attachments()])
                    for m in messages)
    rc, lines, out_dir = fetch(s, vrlmail, work)
    check(rc == 0, "vrlmail fetch exit %d" % rc, s)
    got = saved(lines, out_dir)
    check(got == expected, "vrlmail saved\n  %s\nPython read\n  %s" % (got, expected), s)
    check(pop_read(s)[0] == 0 and not s.maildir_files(), "mailbox not empty after fetch", s)
    rc, lines, _ = fetch(s, vrlmail, work)
    check(rc == 0 and not lines, "fetch of an empty mailbox: exit %d, lines %r" % (rc, lines), s)


def case_tls_fetch(s, vrlmail, work):
    """STLS with SASL PLAIN and implicit TLS, trusted through the test CA, each taking one message;
    a certificate nobody vouches for takes nothing."""
    ca = ["--ca-file", s.env["VRL_TLS_CA"]]
    for what, port, extra in (("no trusted CA", s.pop3s_port, ["--security", "tls"]),
                              ("STLS, PLAIN", s.pop3_port, ["--security", "starttls", "--auth", "plain"] + ca),
                              ("implicit TLS", s.pop3s_port, ["--security", "tls"] + ca)):
        s.deliver_direct(b"From: a@localhost\r\nSubject: %s\r\n\r\nover TLS\r\n" % what.encode())
        err = []
        rc, lines, out_dir = fetch(s, vrlmail, os.path.join(work, what), port=port, extra=extra, stderr=err)
        if what == "no trusted CA":
            check(rc == 3 and "TLS certificate verification failed" in err[0] and not lines,
                  "%s: exit %d, %r" % (what, rc, err), s)
            check(len(s.maildir_files()) == 1, "%s: the message did not stay" % what, s)
            continue
        check(rc == 0 and "TLS: TLSv1." in err[0] and len(lines) == 2 - (what == "implicit TLS"),
              "%s: exit %d, lines %r, %r" % (what, rc, lines, err), s)
        check(not s.maildir_files(), "%s: mailbox not empty" % what, s)


def case_imap_fetch(s, vrlmail, work):
    """IMAP with STARTTLS (LOGIN) and implicit TLS (PLAIN), a message with an attachment and one
    without each time (and one of 50 MB over STARTTLS): what Python's email reads of them is what vrlmail saved, and the folder is
    empty after."""
    imap_port, imaps_port = int(s.env["VRL_IMAP_PORT"]), int(s.env["VRL_IMAPS_PORT"])
    for what, port, extra in (("STARTTLS", imap_port, ["--security", "starttls", "--auth", "login"]),
                              ("implicit TLS", imaps_port, ["--security", "tls", "--auth", "plain"])):
        s.deliver_direct(read(os.path.join(DATA, "dots.eml")))
        s.deliver_direct(b"From: a@localhost\r\nSubject: %s\r\n\r\nover IMAP\r\n" % what.encode())
        if what == "STARTTLS":  # one large literal
            m = EmailMessage()
            m["From"], m["To"], m["Subject"] = "a@localhost", s.address, "50 MB"
            m.set_content("large\n")
            m.add_attachment(random_bytes(50 * 1024 * 1024, 13), maintype="application", subtype="octet-stream",
                             filename="large.bin")
            s.deliver_direct(m.as_bytes(policy=policy.SMTP))
        # The server gives the lines with CR LF, as it gives them over POP3.
        messages = [email.message_from_bytes(re.sub(rb"\r?\n", b"\r\n", read(f)), policy=policy.default)
                    for f in s.maildir_files()]
        expected = view((m["Subject"], [(a.get_filename(), a.get_payload(decode=True)) for a in m.iter_attachments()])
                        for m in messages)
        err = []
        rc, lines, out_dir = fetch(s, vrlmail, os.path.join(work, what), port=port,
                                   extra=["--protocol", "imap", "--folder", "INBOX", "--ca-file", s.env["VRL_TLS_CA"]] + extra,
                                   stderr=err)
        check(rc == 0 and "TLS: TLSv1." in err[0], "%s: exit %d, %r" % (what, rc, err), s)
        got = saved(lines, out_dir)
        check(got == expected, "%s: vrlmail saved\n  %s\nPython read\n  %s" % (what, got, expected), s)
        check(not s.maildir_files(), "%s: folder not empty" % what, s)


if __name__ == "__main__":
    run_case(globals(), tools=1)
