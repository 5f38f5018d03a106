"""Receive side against the real Dovecot: messages delivered by Postfix and messages put straight
into the Maildir are counted, retrieved, parsed and deleted by vrlmail fetch; Python's poplib and
email package read the same mailbox first and say what vrlmail must have saved. --keep, --raw and
the dialogue's faults are the scripted tests' part (tests/pop3).

usage: pop3_interop.py STATE_FILE VRLMAIL CASE"""

import email
import hashlib
import os
import poplib
import re
from email import policy
from email.message import EmailMessage

from interop_common import DATA, check, random_bytes, read, run_case, run_vrlmail, write


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


def fetch(s, vrlmail, work, password_file=None, extra=()):
    out_dir = os.path.join(work, "in")
    os.makedirs(out_dir, exist_ok=True)
    rc, out, _ = run_vrlmail(vrlmail, ["fetch", "--host", s.host, "--port", str(s.pop3_port), "--user", s.user,
                                       "--password-file", password_file or s.password_file, "--dir", out_dir,
                                       "--timeout", "30"] + list(extra))
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
    send_via_postfix(s, "one pdf", "A report.\n", [("report.pdf", random_bytes(20000, 10), "application/pdf")])
    send_via_postfix(s, "two files", "A photo and another report.\n",
                     [("photo.png", random_bytes(50000, 11), "image/png"),
                      ("report.pdf", random_bytes(7000, 12), "application/pdf")])
    send_via_postfix(s, "no attachment", ".starts with a dot\n..and two\n.\nend\n", [])
    s.wait_delivered(3)
    for name in ("dots.eml", "encoded_name.eml"):
        s.deliver_direct(read(os.path.join(DATA, name)))
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


def case_attachment_10mb(s, vrlmail, work):
    data = random_bytes(10 * 1024 * 1024, 14)
    send_via_postfix(s, "ten megabytes", "Big one.\n", [("big.bin", data, "application/octet-stream")])
    s.wait_delivered(1)
    rc, _, out_dir = fetch(s, vrlmail, work, extra=["--stats"])
    check(rc == 0 and os.listdir(out_dir) == ["big.bin"], "exit %d, saved %s" % (rc, os.listdir(out_dir)), s)
    check(read(os.path.join(out_dir, "big.bin")) == data, "the 10 MB attachment came back different", s)
    check(pop_read(s)[0] == 0, "mailbox not empty after fetch", s)


def case_wrong_password(s, vrlmail, work):
    s.deliver_direct(read(os.path.join(DATA, "dots.eml")))
    bad = write(work, "wrong-password", (s.password + "x").encode())
    rc, lines, out_dir = fetch(s, vrlmail, work, password_file=bad)
    check(rc == 4, "wrong password: exit %d, expected 4 (login refused)" % rc, s)
    check(not lines and not os.listdir(out_dir), "something was fetched with a wrong password", s)
    check(pop_read(s)[0] == 1, "the message did not stay on the server", s)


if __name__ == "__main__":
    run_case(globals(), tools=1)
