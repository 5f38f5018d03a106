"""Receive side against the real Dovecot: messages delivered by Postfix and messages put straight
into the Maildir are counted, retrieved, parsed and deleted by vrlmail fetch; Python's poplib and
email package read the same mailbox first and say what vrlmail must have saved. The case
"harness_python" uses poplib alone, so a failure there points at the servers and a failure
elsewhere at vrlmail.

usage: pop3_interop.py STATE_FILE VRLMAIL CASE"""

import collections
import email
import hashlib
import os
import poplib
import re
import sys
import tempfile
from email import policy
from email.message import EmailMessage

from interop_common import Servers, check, fail, random_bytes, run_vrlmail


def pop(s, password=None):
    p = poplib.POP3(s.host, s.pop3_port, timeout=60)
    p.user(s.user)
    p.pass_(password or s.password)
    return p


def python_view(s):
    """Every message as Python sees it through POP3, left on the server:
    a list of (subject, [(attachment name, bytes), ...])."""
    p = pop(s)
    try:
        n, _ = p.stat()
        out = []
        for i in range(1, n + 1):
            _, lines, _ = p.retr(i)
            msg = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n", policy=policy.default)
            out.append((words(msg["Subject"]),
                        [(a.get_filename(), a.get_payload(decode=True)) for a in msg.iter_attachments()]))
        return out
    finally:
        p.quit()


def pop_count(s):
    p = pop(s)
    try:
        return p.stat()[0]
    finally:
        p.quit()


def fetch(s, vrlmail, out_dir, password_file=None, extra=()):
    return run_vrlmail(vrlmail, ["fetch", "--host", s.host, "--port", str(s.pop3_port),
                                 "--user", s.user, "--password-file", password_file or s.password_file,
                                 "--dir", out_dir, "--timeout", "30"] + list(extra))


def words(text):
    """Header text with folding and runs of blanks made single spaces."""
    return " ".join(str(text).split())


def base_name(saved):
    """The attachment's own name behind a free-name prefix "n-"."""
    return re.sub(r"^\d+-", "", saved)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def check_fetched(s, out, out_dir, expected):
    """vrlmail's lines and saved files match what Python saw (order-free; the same attachment
    name twice gets a prefixed free name)."""
    lines = [l for l in out.splitlines() if l.strip()]
    check(len(lines) == len(expected), "vrlmail printed %d messages, expected %d" % (len(lines), len(expected)), s)
    got_subjects = sorted(words(l.split("\t")[2]) for l in lines)
    check(got_subjects == sorted(subj for subj, _ in expected),
          "subjects %s, expected %s" % (got_subjects, sorted(subj for subj, _ in expected)), s)
    saved = sorted(os.listdir(out_dir))
    listed = sorted(n for l in lines for n in l.split("\t")[3].split("; ") if n)
    check(saved == listed, "files %s, but vrlmail listed %s" % (saved, listed), s)
    # A message without attachments is kept whole as <subject>.eml; the rest are attachments.
    eml = [n for n in saved if n.endswith(".eml")]
    check(len(eml) == sum(1 for _, atts in expected if not atts),
          "messages kept whole: %s, expected one per message without attachments" % eml, s)
    got = collections.Counter()
    for name in (n for n in saved if not n.endswith(".eml")):
        with open(os.path.join(out_dir, name), "rb") as f:
            got[(base_name(name), digest(f.read()))] += 1
    want = collections.Counter((name, digest(data)) for _, atts in expected for name, data in atts)
    if got != want:
        fail("saved attachments differ:\n  got      %s\n  expected %s"
             % (sorted(got.elements()), sorted(want.elements())), s)
    for l in lines:  # each message's files are listed on its own line
        subject = words(l.split("\t")[2])
        names = [base_name(n) for n in l.split("\t")[3].split("; ") if n and not n.endswith(".eml")]
        check(any(subj == subject and sorted(names) == sorted(n for n, _ in atts) for subj, atts in expected),
              "line %r does not match its message" % l, s)


def send_via_postfix(s, subject, text, attachments):
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "sender@localhost", s.address, subject
    m.set_content(text)
    for name, data, mime in attachments:
        maintype, subtype = mime.split("/")
        m.add_attachment(data, maintype=maintype, subtype=subtype, filename=name)
    with s.smtp() as c:
        c.send_message(m)


DIRECT_DOTS = (b"From: Direct Writer <direct@localhost>\r\n"
               b"To: mailtest@localhost\r\n"
               b"Subject: written\r\n\tstraight in\r\n"
               b"Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n"
               b"MIME-Version: 1.0\r\n"
               b"Content-Type: multipart/mixed; boundary=\"=_b1\"\r\n"
               b"\r\n"
               b"--=_b1\r\n"
               b"Content-Type: text/plain; charset=us-ascii\r\n"
               b"\r\n"
               b".a line starting with a dot\r\n"
               b"..two dots\r\n"
               b".\r\n"
               b"the end\r\n"
               b"--=_b1\r\n"
               b"Content-Type: application/octet-stream; name=\"dots.dat\"\r\n"
               b"Content-Disposition: attachment; filename=\"dots.dat\"\r\n"
               b"Content-Transfer-Encoding: 7bit\r\n"
               b"\r\n"
               b".hidden\r\n"
               b"..two\r\n"
               b".\r\n"
               b"end\r\n"
               b"--=_b1--\r\n")


def direct_encoded_name(data):
    import base64
    b64 = base64.encodebytes(data).replace(b"\n", b"\r\n")
    return (b"From: direct@localhost\r\n"
            b"To: mailtest@localhost\r\n"
            b"Subject: encoded name\r\n"
            b"MIME-Version: 1.0\r\n"
            b"Content-Type: multipart/mixed; boundary=\"=_b2\"\r\n"
            b"\r\n"
            b"--=_b2\r\n"
            b"Content-Type: text/plain\r\n"
            b"\r\n"
            b"see attached\r\n"
            b"--=_b2\r\n"
            b"Content-Type: application/pdf; name=\"=?iso-8859-1?Q?r=E9sum=E9.pdf?=\"\r\n"
            b"Content-Disposition: attachment; filename=\"=?iso-8859-1?Q?r=E9sum=E9.pdf?=\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n"
            b"\r\n" + b64 +
            b"--=_b2--\r\n")


def case_fetch_mixed(s, vrlmail, work):
    send_via_postfix(s, "one pdf", "A report.\n", [("report.pdf", random_bytes(20000, 10), "application/pdf")])
    send_via_postfix(s, "two files", "A photo and another report.\n",
                     [("photo.png", random_bytes(50000, 11), "image/png"),
                      ("report.pdf", random_bytes(7000, 12), "application/pdf")])
    send_via_postfix(s, "no attachment", ".starts with a dot\n..and two\n.\nend\n", [])
    s.wait_delivered(3)
    s.deliver_direct(DIRECT_DOTS)
    s.deliver_direct(direct_encoded_name(random_bytes(3000, 13)))
    s.wait_delivered(5)

    expected = python_view(s)
    check(len(expected) == 5, "POP3 shows %d messages, expected 5" % len(expected), s)
    check(("written straight in", [("dots.dat", b".hidden\r\n..two\r\n.\r\nend")]) in expected,
          "Python's view of the dot-stuffed attachment differs: %r" % expected, s)

    out_dir = os.path.join(work, "in")
    os.mkdir(out_dir)
    rc, out, _ = fetch(s, vrlmail, out_dir)
    check(rc == 0, "vrlmail fetch exit %d" % rc, s)
    check_fetched(s, out, out_dir, expected)
    check(pop_count(s) == 0, "mailbox not empty after fetch", s)
    check(not s.maildir_files(), "Maildir not empty after fetch", s)

    # An empty mailbox is no failure.
    rc, out, _ = fetch(s, vrlmail, out_dir)
    check(rc == 0 and not out.strip(), "fetch of an empty mailbox: exit %d, output %r" % (rc, out), s)


def case_attachment_10mb(s, vrlmail, work):
    data = random_bytes(10 * 1024 * 1024, 14)
    send_via_postfix(s, "ten megabytes", "Big one.\n", [("big.bin", data, "application/octet-stream")])
    s.wait_delivered(1)
    out_dir = os.path.join(work, "in")
    os.mkdir(out_dir)
    rc, out, _ = fetch(s, vrlmail, out_dir, extra=["--stats"])
    check(rc == 0, "vrlmail fetch exit %d" % rc, s)
    check(os.listdir(out_dir) == ["big.bin"], "saved %s" % os.listdir(out_dir), s)
    with open(os.path.join(out_dir, "big.bin"), "rb") as f:
        check(f.read() == data, "the 10 MB attachment came back different", s)
    check(pop_count(s) == 0, "mailbox not empty after fetch", s)


def case_wrong_password(s, vrlmail, work):
    s.deliver_direct(DIRECT_DOTS)
    bad = os.path.join(work, "wrong-password")
    with open(bad, "w") as f:
        f.write(s.password + "x")
    out_dir = os.path.join(work, "in")
    os.mkdir(out_dir)
    rc, out, _ = fetch(s, vrlmail, out_dir, password_file=bad)
    check(rc == 4, "wrong password: exit %d, expected 4 (login refused)" % rc, s)
    check(not out.strip() and not os.listdir(out_dir), "something was fetched with a wrong password", s)
    check(pop_count(s) == 1, "the message did not stay on the server", s)


def case_keep(s, vrlmail, work):
    s.deliver_direct(direct_encoded_name(random_bytes(1000, 15)))
    s.deliver_direct(DIRECT_DOTS)
    expected = python_view(s)
    out_dir = os.path.join(work, "in")
    os.mkdir(out_dir)
    rc, out, _ = fetch(s, vrlmail, out_dir, extra=["--keep"])
    check(rc == 0, "vrlmail fetch --keep exit %d" % rc, s)
    check_fetched(s, out, out_dir, expected)
    check(pop_count(s) == 2, "--keep deleted messages", s)


def case_harness_python(s, vrlmail, work):
    data = random_bytes(6000, 16)
    send_via_postfix(s, "via postfix", "x\n", [("a.bin", data, "application/octet-stream")])
    s.wait_delivered(1)
    s.deliver_direct(DIRECT_DOTS)
    p = pop(s)
    check(p.stat()[0] == 2, "STAT shows %d messages" % p.stat()[0], s)
    seen = {}
    for i in (1, 2):
        _, lines, _ = p.retr(i)
        msg = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n", policy=policy.default)
        seen[words(msg["Subject"])] = {a.get_filename(): a.get_payload(decode=True) for a in msg.iter_attachments()}
        p.dele(i)
    p.quit()
    check(seen == {"via postfix": {"a.bin": data},
                   "written straight in": {"dots.dat": b".hidden\r\n..two\r\n.\r\nend"}}, "retrieved %r" % seen, s)
    check(pop_count(s) == 0 and not s.maildir_files(), "DELE did not empty the mailbox", s)
    try:
        pop(s, s.password + "x")
        fail("wrong POP3 password accepted", s)
    except poplib.error_proto:
        pass


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in CASES:
        sys.exit("usage: pop3_interop.py STATE_FILE VRLMAIL CASE (%s)" % ", ".join(sorted(CASES)))
    s = Servers(sys.argv[1])
    s.reset()
    with tempfile.TemporaryDirectory(prefix="vrl-pop3-interop.") as work:
        CASES[sys.argv[3]](s, sys.argv[2], work)
    s.reset()
    print("OK")


if __name__ == "__main__":
    main()
