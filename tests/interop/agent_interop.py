"""The agent against the real servers: VRLEng31 sends the files of its outbound folders through
Postfix and brings every message of the Dovecot mailbox back as files, with the configuration
written by VRLCfg31. The crash case kills the agent at random moments and checks that nothing is
lost and nothing half-written is visible; duplicates are allowed.

usage: agent_interop.py STATE_FILE VRLENG31 VRLCFG31 CASE"""

import collections
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage
from email import policy

from interop_common import Servers, check, fail, parse_file, random_bytes

RULE = b"#" * 75
INFO = re.compile(b"From: \r\n(.*?)\r\n" + RULE + b"\r\nSubject: \r\n(.*?)\r\n" + RULE +
                  b"\r\nMessage: \r\n(.*?)\r\n" + RULE +
                  b"\r\nAttachment\\(s\\) File\\(s\\): \r\n((?:[^\r\n]+\r\n)*)\\Z", re.S)

BASE_PROFILE = {
    "PrfEnabled": True, "Prfname": "", "HostType": 2, "WinMsgProfileName": "", "WinMsgPws": "",
    "SmtpServer": "", "Pop3Server": "", "UserName": "", "Pop3SmtpPws": "",
    "FromName": "Vorlane Agent", "FromAddress": "agent@example.net", "SmtpRequiresLogin": False,
    "Pop3LoginBeforeSndMail": False, "Pop3TcpPort": 110, "SmtpTcpPort": 25, "TimeOutSecs": 30,
    "PrcInboundMessages": False, "PrcOutboundMessages": False, "InboundDir": "",
    "CreateAttchsInMsgs": True, "CreateInfFileInboundMsgs": True, "FileExtention": "IN",
    "ResFilesExtention": "INF", "OutboundMode": 1, "OutboundDir": "", "OutFilesExtention": "",
    "RenamedFilesExtention": "", "AdressLin": 0, "Adress1Sep": "", "Adress2Sep": "", "FileLin": 0,
    "File1Sep": "", "File2Sep": "", "SubjectLin": 0, "Subject1Sep": "", "Subject2Sep": "",
    "MsgLin": 0, "Msg1Sep": "", "Msg2Sep": "", "RecAddress": "", "Subject": "", "MsgText": "",
    "DeleteInterchange": False,
}


class Agent:
    """One working folder: configuration, folders, log, and the agent processes started in it."""

    def __init__(self, s, eng, cfg, work):
        self.s, self.eng, self.cfg, self.work = s, eng, cfg, work
        self.home, self.log = os.path.join(work, "home"), os.path.join(work, "agent.log")
        self.env = dict(os.environ, TMPDIR=self.dir("tmp"))  # killed runs leave their temp logs here
        self.proc = None
        # The agent refuses an address without a top-level domain, such as mailtest@localhost.
        self.to = s.env["VRL_AGENT_ADDRESS"]

    def dir(self, name):
        path = os.path.join(self.work, name)
        os.makedirs(path, exist_ok=True)
        return path

    def sender(self, name, out_dir, pattern, **over):
        return dict(BASE_PROFILE, Prfname=name, SmtpServer=self.s.host, SmtpTcpPort=self.s.smtp_port,
                    PrcOutboundMessages=True, OutboundDir=out_dir, OutFilesExtention=pattern,
                    RecAddress=self.to, **over)

    def receiver(self, name, in_dir):
        return dict(BASE_PROFILE, Prfname=name, Pop3Server=self.s.host, Pop3TcpPort=self.s.pop3_port,
                    UserName=self.s.user, Pop3SmtpPws=self.s.password, PrcInboundMessages=True,
                    InboundDir=in_dir)

    def configure(self, profiles, interval):
        conf = {"global": {"RunAtSysStartup": False, "AutoInit": False, "InitMinimized": False,
                           "HideWhenMinimized": False, "AutoExit": interval == 0,
                           "PrcInterval": interval, "PrcIntervalUnit": 0, "ShowErrorMsgs": False,
                           "UseLogFile": True, "LogFileName": self.log, "ConfigFlag": 1},
                "profiles": profiles}
        path = os.path.join(self.work, "conf.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(conf, f, ensure_ascii=False)
        p = subprocess.run([self.cfg, "--home", self.home, "--import", path], capture_output=True,
                           text=True, timeout=30)
        check(p.returncode == 0, "VRLCfg31 --import: exit %d %s" % (p.returncode, p.stderr))

    def start(self):
        self.proc = subprocess.Popen([self.eng, "--run", "--home", self.home], env=self.env)

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc is None:
            return None
        p, self.proc = self.proc, None
        p.send_signal(sig)
        try:
            return p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(10)
            self.fail("agent did not stop within %ds of signal %d" % (timeout, sig))

    def run_once(self, timeout=120):
        self.start()
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop(signal.SIGKILL)
            self.fail("agent run did not end within %ds" % timeout)
        self.proc = None
        check(rc == 0, "agent exit %d" % rc)

    def run_until(self, done, timeout):
        """Runs the agent until done() holds (polled, bounded), then stops it in order."""
        before = len(self.log_lines())
        self.start()
        deadline = time.monotonic() + timeout
        # SIGTERM is the orderly stop only once the agent has started.
        while not ("Vorlane Agent Started" in "".join(self.log_lines()[before:]) and done()):
            if self.proc.poll() is not None:
                self.fail("agent ended by itself with %d" % self.proc.returncode)
            if time.monotonic() > deadline:
                self.stop(signal.SIGKILL)
                self.fail("not done after %ds" % timeout)
            time.sleep(0.2)
        rc = self.stop()
        check(rc == 0, "agent exit %d after SIGTERM" % rc)

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def fail(self, message):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(10)
            self.proc = None
        fail(message, self.s)


def age(folder):
    """Outbound files younger than 2 s wait for a later cycle: make them old."""
    past = time.time() - 60
    for name in os.listdir(folder):
        os.utime(os.path.join(folder, name), (past, past))


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def bad(*folders):
    """Files the agent could not send: no use waiting for them."""
    return [n for f in folders for n in os.listdir(f) if n.endswith(".BAD")]


def visible(folder):
    return sorted(n for n in os.listdir(folder) if not n.startswith("."))


def info_files(folder):
    return [n for n in visible(folder) if n.endswith(".INF")]


def parse_info(path):
    """(from, subject, text, [attachment paths]) of a complete information file, else None."""
    m = INFO.match(read(path))
    if not m:
        return None
    return (m.group(1).decode(), m.group(2).decode(), m.group(3).decode(),
            m.group(4).decode().split("\r\n")[:-1])


def wait_for(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def mailbox_empty(s):
    return wait_for(lambda: not s.maildir_files() and not s.queue_files(), 10)


def check_common(a, inbound):
    check(mailbox_empty(a.s), "mailbox not empty at the end: %s" % a.s.maildir_files(), a.s)
    names = os.listdir(inbound)
    check(not [n for n in names if n.startswith(".vrltmp-")], "temporary files left: %s" % names)
    errors = [l for l in a.log_lines() if "ERROR:" in l]
    check(not errors, "errors logged:\n" + "\n".join(errors))


def case_both_modes(s, a):
    out1, out2, data, inbound = a.dir("out-files"), a.dir("out-info"), a.dir("data"), a.dir("in")
    files = {"orders-1.TXT": random_bytes(20000, 11) + b"\r\n.\r\n\x00",
             "orders-2.TXT": b"line one\r\n.\r\nline three\n"}
    for name, content in files.items():
        write(out1, name, content)
    csv = "Grüße-Bericht.csv"
    csv_bytes = "Straße;Größe\r\nKöln;5 €\r\n".encode("utf-8") + random_bytes(3000, 12)
    csv_path = write(data, csv, csv_bytes)
    subject = "Prüfung [Köln] März"  # brackets inside: the value ends at the last "]"
    write(out2, "invoice.INF", ("To: <%s>\r\nFile: %s\r\nSubject: [%s]\r\nText: Anbei die Übersicht.\r\n"
                                % (a.to, csv_path, subject)).encode("utf-8"))
    age(out1), age(out2)
    a.configure([a.sender("Files", out1, "*.TXT", Subject="Daily orders", MsgText="Orders attached.",
                          RenamedFilesExtention="SNT"),
                 a.sender("Info", out2, "*.INF", OutboundMode=2, AdressLin=1, Adress1Sep="To: <",
                          Adress2Sep=">", FileLin=2, File1Sep="File: ", SubjectLin=3,
                          Subject1Sep="Subject: [", Subject2Sep="]", MsgLin=4, Msg1Sep="Text: ",
                          DeleteInterchange=True),
                 a.receiver("Receive", inbound)], interval=1)
    a.run_until(lambda: len(info_files(inbound)) >= 3 or bad(out1, out2), 90)

    expected = {"orders-1": ("Daily orders", "Orders attached.", files["orders-1.TXT"]),
                "orders-2": ("Daily orders", "Orders attached.", files["orders-2.TXT"]),
                "Grüße-Bericht": (subject, "Anbei die Übersicht.", csv_bytes)}
    got = visible(inbound)
    want = sorted(n + e for n in expected for e in (".IN", ".INF"))
    check(got == want, "inbound holds %s, expected %s" % (got, want))
    for stem, (subj, text, content) in expected.items():
        att = os.path.join(inbound, stem + ".IN")
        check(read(att) == content, "%s differs from the file sent" % att)
        info = parse_info(os.path.join(inbound, stem + ".INF"))
        check(info is not None, "%s.INF has not the information-file layout: %r"
              % (stem, read(os.path.join(inbound, stem + ".INF"))[:400]))
        sender, isubj, itext, listed = info
        check("agent@example.net" in sender, "%s.INF: sender %r" % (stem, sender))
        check(isubj == subj, "%s.INF: subject %r, expected %r" % (stem, isubj, subj))
        check(text in itext, "%s.INF: text %r lacks %r" % (stem, itext, text))
        check(listed == [att], "%s.INF lists %s, expected %s" % (stem, listed, [att]))

    check(visible(out1) == ["orders-1.SNT", "orders-2.SNT"], "files folder holds %s" % visible(out1))
    check(all(read(os.path.join(out1, n[:-3] + "SNT")) == c for n, c in files.items()),
          "a renamed file changed")
    check(visible(out2) == [], "information file not deleted: %s" % visible(out2))
    check(not os.path.exists(csv_path), "attachment named in the information file not deleted")
    check_common(a, inbound)


def case_attachment_10mb(s, a):
    out, inbound = a.dir("out"), a.dir("in")
    big = random_bytes(10 * 1024 * 1024, 13)
    write(out, "big.DAT", big)
    age(out)
    a.configure([a.sender("Send", out, "*.DAT"), a.receiver("Receive", inbound)], interval=1)
    a.run_until(lambda: info_files(inbound) or bad(out), 120)
    check(visible(inbound) == ["big.IN", "big.INF"], "inbound holds %s" % visible(inbound))
    check(read(os.path.join(inbound, "big.IN")) == big, "10 MB attachment differs")
    check(visible(out) == [], "sent file not deleted")
    check_common(a, inbound)


def case_three_messages(s, a):
    inbound = a.dir("in")
    for n in (1, 2, 3):  # one at a time: the mailbox order is the sending order
        m = EmailMessage()
        m["From"], m["To"], m["Subject"] = "sender%d@localhost" % n, s.address, "message %d" % n
        m.set_content("text %d\n" % n)
        m.add_attachment(random_bytes(5000, 20 + n), maintype="application", subtype="octet-stream",
                         filename="part%d.bin" % n)
        with s.smtp() as c:
            c.send_message(m)
        s.wait_delivered(n)
    a.configure([a.receiver("Receive", inbound)], interval=0)
    a.run_once()

    lines = a.log_lines()
    froms = [re.sub(r".*From: ", "", l) for l in lines if "Processing New Message From:" in l]
    check(len(froms) == 3 and all("sender%d@localhost" % n in f for n, f in zip((3, 2, 1), froms)),
          "messages processed as %s, expected 3, 2, 1" % froms)
    done = [l for l in lines if "Message Successfully Processed" in l]
    check(len(done) == 3, "%d messages processed, expected 3" % len(done))
    want = sorted("part%d.%s" % (n, e) for n in (1, 2, 3) for e in ("IN", "INF"))
    check(visible(inbound) == want, "inbound holds %s, expected %s" % (visible(inbound), want))
    for n in (1, 2, 3):
        check(read(os.path.join(inbound, "part%d.IN" % n)) == random_bytes(5000, 20 + n),
              "part%d.IN differs" % n)
        info = parse_info(os.path.join(inbound, "part%d.INF" % n))
        check(info is not None and info[1] == "message %d" % n, "part%d.INF: %r" % (n, info))
    check_common(a, inbound)


def crash_contents():
    """Known contents by id: 400 outbound files (many of them keep the early runs busy) and 30
    waiting messages, some large (long receiving sessions)."""
    rng = random.Random(7)

    def content(tag, large):
        size = rng.randrange(1000000, 3000000) if rng.random() < large else rng.randrange(1000, 40000)
        return tag.encode() + b"\n" + rng.randbytes(size)
    return ({"OUT-%03d" % i: content("OUT-%03d" % i, 0.05) for i in range(400)},
            {"MSG-%02d" % i: content("MSG-%02d" % i, 0.4) for i in range(30)})


def ids_in_mailbox(s):
    # Dovecot may still be moving files from new/ to cur/ for a session of a killed agent: a
    # file gone while read means the listing is stale, so read it all again (bounded).
    for _ in range(50):
        ids = set()
        try:
            for path in s.maildir_files():
                ids.update(p.get_payload(decode=True).split(b"\n", 1)[0].decode()
                           for p in parse_file(path).iter_attachments())
            return ids
        except FileNotFoundError:
            time.sleep(0.1)
    fail("the Maildir keeps changing with no agent running", s)


def inbound_ids(inbound, known):
    """Counts per id of the attachment files in the inbound folder. Whatever is visible must be
    whole: attachment files byte for byte one of the known contents, information files complete
    and naming attachment files of this folder."""
    by_content = {c: i for i, c in known.items()}
    counts = collections.Counter()
    for name in visible(inbound):
        path = os.path.join(inbound, name)
        if name.endswith(".INF"):
            info = parse_info(path)
            check(info is not None, "incomplete information file %s: ...%r" % (name, read(path)[-120:]))
            check(len(info[3]) == 1 and os.path.dirname(info[3][0]) == inbound and os.path.isfile(info[3][0]),
                  "%s lists %s" % (name, info[3]))
            continue
        data = read(path)
        check(name.endswith(".IN") and data in by_content,
              "partial or foreign file visible: %s (%d bytes, starts %r)" % (name, len(data), data[:8]))
        counts[by_content[data]] += 1
    return counts


def case_crash(s, a):
    out, inbound = a.dir("out"), a.dir("in")
    out_ids, msg_ids = crash_contents()
    known = dict(out_ids, **msg_ids)
    for i, content in out_ids.items():
        write(out, i + ".DAT", content)
    age(out)
    for i, content in msg_ids.items():
        m = EmailMessage()
        m["From"], m["To"], m["Subject"] = "loader@localhost", s.address, "waiting " + i
        m.set_content("waiting\n")
        m.add_attachment(content, maintype="application", subtype="octet-stream", filename=i + ".dat")
        s.deliver_direct(m.as_bytes(policy=policy.SMTP))
    # Receiving first: the short runs die inside a receiving session, the longer ones go on
    # into sending.
    a.configure([a.receiver("Receive", inbound), a.sender("Send", out, "*.DAT")], interval=1)

    rng, kills, busy = random.Random(31), 10, 0
    for k in range(kills):
        alive = rng.uniform(0.1, 1.0)
        a.start()
        time.sleep(alive)
        a.stop(signal.SIGKILL)
        # Every id sits in the outbound folder, the mailbox or the inbound folder; the queue is
        # waited out first, since a message in it is in none of them.
        check(wait_for(lambda: not s.queue_files(), 30), "Postfix's queue does not drain", s)
        outbound = {n[:-4] for n in os.listdir(out) if n.endswith(".DAT")}
        mailbox = ids_in_mailbox(s)
        lost = set(known) - outbound - mailbox - set(inbound_ids(inbound, known))
        busy += bool(outbound or mailbox)
        print("kill %d after %.2fs: %d outbound, %d in the mailbox, %d inbound files"
              % (k + 1, alive, len(outbound), len(s.maildir_files()), len(os.listdir(inbound))))
        check(not lost, "after kill %d these are nowhere: %s" % (k + 1, sorted(lost)))

    def drained():
        # Outbound first, then the queue, then the mailbox: a message always sits in one of them.
        return not os.listdir(out) and not s.queue_files() and not s.maildir_files()
    started = time.monotonic()
    a.run_until(drained, 120)
    final = time.monotonic() - started

    counts = inbound_ids(inbound, known)
    copies = lambda prefix: sum(c for i, c in counts.items() if i.startswith(prefix))
    print("crash: kills=%d (%d with work pending); files sent %d/%d, landed %d times (%d send lines "
          "logged); waiting messages landed %d/%d, %d times; duplicates %d; final run %.1fs"
          % (kills, busy, len([i for i in counts if i in out_ids]), len(out_ids), copies("OUT"),
             sum(1 for l in a.log_lines() if "Message Successfully Sent" in l),
             len([i for i in counts if i in msg_ids]), len(msg_ids), copies("MSG"),
             sum(c - 1 for c in counts.values()), final))
    lost = sorted(set(known) - set(counts))
    check(not lost, "never landed: %s" % lost)
    names = os.listdir(inbound)
    check(not [n for n in names if n.startswith(".")], "hidden files left: %s" % names)
    check(mailbox_empty(s), "mailbox not empty", s)
    errors = [l for l in a.log_lines() if "ERROR:" in l]
    print("errors logged: %d%s" % (len(errors), "".join("\n  " + l for l in errors[:10])))


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    if len(sys.argv) != 5 or sys.argv[4] not in CASES:
        sys.exit("usage: agent_interop.py STATE_FILE VRLENG31 VRLCFG31 CASE (%s)" % ", ".join(sorted(CASES)))
    s = Servers(sys.argv[1])
    s.reset()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vrl-agent-interop.") as work:
        a = Agent(s, sys.argv[2], sys.argv[3], work)
        try:
            CASES[sys.argv[4]](s, a)
        except SystemExit as e:
            if e.code:
                print("--- agent log (end)\n" + "\n".join(a.log_lines()[-60:]))
            raise
        finally:
            if a.proc is not None:
                a.proc.kill()
                a.proc.wait(10)
    s.reset()
    print("OK %s %.1fs" % (sys.argv[4], time.monotonic() - started))


if __name__ == "__main__":
    main()
