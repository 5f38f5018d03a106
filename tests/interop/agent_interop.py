"""The agent against the real servers: VRLEng31 sends the files of its outbound folders through
Postfix and brings every message of the Dovecot mailbox back as files, with the configuration
written by VRLCfg31. The crash case kills the agent at random moments and checks that nothing is
lost, nothing half-written is visible and no message is written twice (a file may be sent twice).

usage: agent_interop.py STATE_FILE VRLENG31 VRLCFG31 CASE"""

import collections
import json
import os
import random
import re
import signal
import subprocess
import time
from email.message import EmailMessage
from email import policy

from interop_common import (DATA, attachments_of, check, fail, parse_file, random_bytes, read, run_case, wait_for,
                            write)

RULE = b"#" * 75
INFO = re.compile(b"From: \r\n(.*?)\r\n" + RULE + b"\r\nSubject: \r\n(.*?)\r\n" + RULE +
                  b"\r\nMessage: \r\n(.*?)\r\n" + RULE +
                  b"\r\nAttachment\\(s\\) File\\(s\\): \r\n((?:[^\r\n]+\r\n)*)\\Z", re.S)
with open(os.path.join(DATA, "agent_config.json"), encoding="utf-8") as f:
    CONFIG = json.load(f)


class Agent:
    """One working folder: configuration, folders, log, and the agent processes started in it.
    As a context it ends a running agent and shows the end of its log when the case fails."""

    def __init__(self, s, eng, cfg, work):
        self.s, self.eng, self.cfg, self.work = s, eng, cfg, work
        self.home, self.log = os.path.join(work, "home"), os.path.join(work, "agent.log")
        self.env = dict(os.environ, TMPDIR=self.dir("tmp"))  # killed runs leave their temp logs here
        self.proc = None
        # The agent refuses an address without a top-level domain, such as mailtest@localhost.
        self.to = s.env["VRL_AGENT_ADDRESS"]

    def __enter__(self):
        return self

    def __exit__(self, kind, value, _):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(10)
        if kind is SystemExit and value.code:
            print("--- agent log (end)\n" + "\n".join(self.log_lines()[-60:]))

    def dir(self, name):
        os.makedirs(os.path.join(self.work, name), exist_ok=True)
        return os.path.join(self.work, name)

    # Profiles in the automatic security an import gives, trusting the servers' test CA.
    def sender(self, name, out_dir, pattern, **over):
        return dict(dict(CONFIG["profile"], Prfname=name, SmtpServer=self.s.host, SmtpTcpPort=self.s.smtp_port,
                         PrcOutboundMessages=True, OutboundDir=out_dir, OutFilesExtention=pattern,
                         RecAddress=self.to, CaFile=self.s.env["VRL_TLS_CA"]), **over)

    def receiver(self, name, in_dir):
        return dict(CONFIG["profile"], Prfname=name, Pop3Server=self.s.host, Pop3TcpPort=self.s.pop3_port,
                    UserName=self.s.user, Pop3SmtpPws=self.s.password, PrcInboundMessages=True,
                    InboundDir=in_dir, CaFile=self.s.env["VRL_TLS_CA"])

    def configure(self, profiles, **settings):
        conf = {"global": dict(CONFIG["global"], LogFileName=self.log, **settings), "profiles": profiles}
        path = write(self.work, "conf.json", json.dumps(conf, ensure_ascii=False).encode("utf-8"))
        p = subprocess.run([self.cfg, "--home", self.home, "--import", path], capture_output=True,
                           text=True, timeout=30)
        check(p.returncode == 0, "VRLCfg31 --import: exit %d %s" % (p.returncode, p.stderr))

    def start(self):
        self.proc = subprocess.Popen([self.eng, "--run", "--home", self.home], env=self.env)

    def stop(self, sig=signal.SIGTERM, timeout=30):
        p, self.proc = self.proc, None
        p.send_signal(sig)
        try:
            return p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(10)
            fail("agent did not stop within %ds of signal %d" % (timeout, sig), self.s)

    def run_until(self, done, timeout):
        """Runs the agent until done() holds (polled, bounded), then stops it in order."""
        before = len(self.log_lines())
        self.start()
        deadline = time.monotonic() + timeout
        # SIGTERM is the orderly stop only once the agent has started.
        while not ("Vorlane Agent Started" in "".join(self.log_lines()[before:]) and done()):
            check(self.proc.poll() is None, "agent ended by itself with %s" % self.proc.returncode, self.s)
            check(time.monotonic() < deadline, "not done after %ds" % timeout, self.s)
            time.sleep(0.2)
        check(self.stop() == 0, "agent exit not 0 after SIGTERM")

    def log_lines(self):
        return read(self.log).decode("utf-8", "replace").splitlines() if os.path.exists(self.log) else []


def age(folder):
    """Outbound files younger than 2 s wait for a later cycle: make them old."""
    for name in os.listdir(folder):
        os.utime(os.path.join(folder, name), (time.time() - 60,) * 2)


def visible(folder):
    return sorted(n for n in os.listdir(folder) if not n.startswith("."))


def parse_info(path):
    """(from, subject, text, [attachment paths]) of a complete information file, else None."""
    m = INFO.match(read(path))
    return m and (m.group(1).decode(), m.group(2).decode(), m.group(3).decode(), m.group(4).decode().split("\r\n")[:-1])


def mailbox_empty(s):
    return wait_for(lambda: not s.maildir_files() and not s.queue_files(), 10)


def case_both_modes(s, eng, cfg, work):
    """Both outbound modes (files as they are; an information file naming file, address, subject
    and text), through Postfix and back from Dovecot, one file of 10 MB. Automatic security: the
    information-file profile logs in on the submission port after STARTTLS, the receiver after STLS."""
    with Agent(s, eng, cfg, work) as a:
        out1, out2, data, inbound = a.dir("out-files"), a.dir("out-info"), a.dir("data"), a.dir("in")
        files = {"orders-1.TXT": random_bytes(10 * 1024 * 1024, 11) + b"\r\n.\r\n\x00",
                 "orders-2.TXT": b"line one\r\n.\r\nline three\n"}
        for name, content in files.items():
            write(out1, name, content)
        csv_bytes = "Straße;Größe\r\nKöln;5 €\r\n".encode("utf-8") + random_bytes(3000, 12)
        csv_path = write(data, "Grüße-Bericht.csv", csv_bytes)
        subject = "Prüfung [Köln] März"  # brackets inside: the value ends at the last "]"
        write(out2, "invoice.INF", ("To: <%s>\r\nFile: %s\r\nSubject: [%s]\r\nText: Anbei die Übersicht.\r\n"
                                    % (a.to, csv_path, subject)).encode("utf-8"))
        age(out1), age(out2)
        a.configure([a.sender("Files", out1, "*.TXT", Subject="Daily orders", MsgText="Orders attached.",
                              RenamedFilesExtention="SNT"),
                     a.sender("Info", out2, "*.INF", SmtpTcpPort=s.submission_port, SmtpRequiresLogin=True,
                              UserName=s.user, Pop3SmtpPws=s.password, OutboundMode=2, AdressLin=1, Adress1Sep="To: <",
                              Adress2Sep=">", FileLin=2, File1Sep="File: ", SubjectLin=3,
                              Subject1Sep="Subject: [", Subject2Sep="]", MsgLin=4, Msg1Sep="Text: ",
                              DeleteInterchange=True),
                     a.receiver("Receive", inbound)])
        # Done with three information files, or with a file the agent could not send (.BAD).
        a.run_until(lambda: len([n for n in visible(inbound) if n.endswith(".INF")]) >= 3
                    or [n for n in os.listdir(out1) + os.listdir(out2) if n.endswith(".BAD")], 120)

        expected = {"orders-1": ("Daily orders", "Orders attached.", files["orders-1.TXT"]),
                    "orders-2": ("Daily orders", "Orders attached.", files["orders-2.TXT"]),
                    "Grüße-Bericht": (subject, "Anbei die Übersicht.", csv_bytes)}
        want = sorted(n + e for n in expected for e in (".IN", ".INF"))
        check(visible(inbound) == want, "inbound holds %s, expected %s" % (visible(inbound), want))
        for stem, (subj, text, content) in expected.items():
            att = os.path.join(inbound, stem + ".IN")
            check(read(att) == content, "%s differs from the file sent" % att)
            info = parse_info(os.path.join(inbound, stem + ".INF"))
            check(info is not None and "agent@example.net" in info[0] and info[1] == subj and text in info[2]
                  and info[3] == [att], "%s.INF: %r" % (stem, info or read(os.path.join(inbound, stem + ".INF"))[:400]))
        check(visible(out1) == ["orders-1.SNT", "orders-2.SNT"], "files folder holds %s" % visible(out1))
        check(all(read(os.path.join(out1, n[:-3] + "SNT")) == c for n, c in files.items()), "a renamed file changed")
        check(visible(out2) == [], "information file not deleted: %s" % visible(out2))
        check(not os.path.exists(csv_path), "attachment named in the information file not deleted")
        check(mailbox_empty(s), "mailbox not empty at the end: %s" % s.maildir_files(), s)
        check(not [n for n in os.listdir(inbound) if n.startswith(".vrltmp-")], "temporary files left")
        errors = [line for line in a.log_lines() if "ERROR:" in line]
        check(not errors, "errors logged:\n" + "\n".join(errors))
        for what in ('"Info" SMTP connection under TLSv1.', '"Receive" POP3 connection under TLSv1.'):
            check(any(what in line for line in a.log_lines()), "no log line with " + what)
        # A connection line sits in its own profile's session; idle cycles add none.
        session = None
        for line in a.log_lines():
            if "Starting Session with the Profile: " in line:
                session = line.rsplit(": ", 1)[1]
            elif "Stopping Session with the Profile: " in line:
                session = None
            elif " connection under " in line:
                check(session is not None and '"%s"' % session in line, "outside its session: " + line)
        check(not any(s.password in line for line in a.log_lines()), "the password is in the log")


def case_imap(s, eng, cfg, work):
    """An IMAP profile under automatic security (STARTTLS on the IMAP port): every message of the
    INBOX comes back as files and is then moved to a folder the agent creates."""
    import imaplib
    import ssl
    with Agent(s, eng, cfg, work) as a:
        inbound = a.dir("in")
        for i in range(3):
            s.deliver_direct(b"From: a@localhost\r\nSubject: imap %d\r\n\r\nover IMAP\r\n" % i)
        s.deliver_direct(read(os.path.join(DATA, "dots.eml")))
        a.configure([dict(a.receiver("Imap", inbound), Pop3TcpPort=int(s.env["VRL_IMAP_PORT"]), InboundProtocol="imap",
                          ImapAfter="move", ImapMoveTo="Processed")])
        a.run_until(lambda: len([n for n in visible(inbound) if n.endswith(".INF")]) >= 4, 120)
        check(not s.maildir_files(), "INBOX not empty: %s" % s.maildir_files(), s)
        errors = [line for line in a.log_lines() if "ERROR:" in line]
        check(not errors, "errors logged:\n" + "\n".join(errors))
        check(any('"Imap" IMAP connection under TLSv1.' in line for line in a.log_lines()), "no TLS line")
        c = imaplib.IMAP4(s.host, int(s.env["VRL_IMAP_PORT"]))
        c.starttls(ssl.create_default_context(cafile=s.env["VRL_TLS_CA"]))
        c.login(s.user, s.password)
        typ, data = c.select("Processed")
        check(typ == "OK" and data[0] == b"4", "Processed holds %r" % data)
        c.logout()


def case_imap_idle(s, eng, cfg, work):
    """IDLE against Dovecot: with an hour between cycles, a message delivered once the agent waits
    comes in at once."""
    with Agent(s, eng, cfg, work) as a:
        inbound = a.dir("in")
        a.configure([dict(a.receiver("Idle", inbound), Pop3TcpPort=int(s.env["VRL_IMAP_PORT"]), InboundProtocol="imap",
                          ImapIdle=True)], PrcInterval=60, PrcIntervalUnit=1)
        dovecot_log = os.path.join(s.dir, "log", "dovecot.log")
        logins = lambda: read(dovecot_log).count(b"imap-login: Info: Login") if os.path.exists(dovecot_log) else 0
        before = logins()
        a.start()
        # The first cycle's session and the watcher's.
        check(wait_for(lambda: logins() >= before + 2, 30), "the watcher did not log in", s)
        time.sleep(1)
        s.deliver_direct(b"From: a@localhost\r\nSubject: pushed\r\n\r\nat once\r\n")
        check(wait_for(lambda: [n for n in visible(inbound) if n.endswith(".INF")], 30), "new mail did not come in", s)
        check(a.stop() == 0, "agent exit not 0 after SIGTERM")
        errors = [line for line in a.log_lines() if "ERROR:" in line or "(IDLE)" in line]
        check(not errors, "errors logged:\n" + "\n".join(errors))


def cycle_messages(agent, before):
    """The messages logged after line `before`, from the first session line to the stop."""
    lines = [line.split(" \u00bb ", 1)[-1] for line in agent.log_lines()[before:]]
    start = next(i for i, line in enumerate(lines) if "Starting Session" in line)
    return lines[start:next(i for i, line in enumerate(lines) if "Stopping Session" in line)]


def case_messaging(s, eng, cfg, work):
    """A messaging profile (host type 1) on the mailbox's Maildir: its files go out through
    Postfix's own sendmail (the instance's configuration in MAIL_CONFIG) and are delivered into
    that Maildir; a second run takes them from there back into files."""
    with Agent(s, eng, cfg, work) as a:
        a.env["MAIL_CONFIG"] = s.env["VRL_POSTFIX_CONFIG"]
        out, inbound = a.dir("out"), a.dir("in")
        files = {"report-1.TXT": random_bytes(300000, 21) + b"\r\n.\r\n", "report-2.TXT": "Grüße\n.\n".encode()}
        for name, content in files.items():
            write(out, name, content)
        age(out)
        profile = dict(CONFIG["profile"], Prfname="Local", HostType=1, WinMsgProfileName=s.maildir,
                       PrcOutboundMessages=True, OutboundDir=out, OutFilesExtention="*.TXT", RecAddress=a.to,
                       Subject="Bericht März", MsgText=".\r\nAnbei.", InboundDir=inbound)
        a.configure([profile])
        before = len(a.log_lines())
        a.run_until(lambda: not os.listdir(out) and len(s.maildir_files()) == 2, 60)
        sending = ["INFORMATION: Starting Session with the Profile: Local"]
        for name in sorted(files):
            sending += ["INFORMATION: Sending New Message", "INFORMATION: Destination Address: " + a.to,
                        "INFORMATION: Attachment File: " + os.path.join(out, name), "INFORMATION: Message Successfully Sent"]
        check(cycle_messages(a, before) == sending, "sending logged:\n" + "\n".join(cycle_messages(a, before)))
        for path in s.wait_delivered(2):
            m = parse_file(path)
            (name, data), = attachments_of(m).items()
            got = (str(m["Subject"]), m["To"].addresses[0].addr_spec, m["From"].addresses[0].addr_spec,
                   data == files.get(name), m.get_body(("plain",)).get_content().strip()[:8])
            check(got == ("Bericht März", a.to, "agent@example.net", True, ".\nAnbei."), "delivered: %r" % (got,))

        a.configure([dict(profile, PrcInboundMessages=True)])
        before = len(a.log_lines())
        a.run_until(lambda: not s.maildir_files(), 60)
        got = cycle_messages(a, before)
        check(len(got) == 7 and got[0] == sending[0], "receiving logged:\n" + "\n".join(got))
        for i in (1, 4):
            stem = got[i + 1].rsplit("/", 1)[-1][:-3]
            check(got[i:i + 3] == ["INFORMATION: Processing New Message From: Vorlane Agent - agent@example.net",
                                   "INFORMATION: Creating File: " + os.path.join(inbound, stem + ".IN"),
                                   "INFORMATION: Message Successfully Processed"], "receiving logged:\n" + "\n".join(got))
            check(read(os.path.join(inbound, stem + ".IN")) == files[stem + ".TXT"], stem + ".IN differs from the file sent")
            info = parse_info(os.path.join(inbound, stem + ".INF"))
            check(info is not None and info[1] == "Bericht März" and info[2].strip().startswith(".\r\nAnbei."), "%s.INF: %r" % (stem, info))
        check(visible(inbound) == sorted(n[:-3] + e for n in files for e in ("IN", "INF")), "inbound holds %s" % visible(inbound))
        check(not [line for line in a.log_lines() if "ERROR:" in line], "errors logged")


def known_content(rng, tag, large):
    """The id on the first line, then random bytes: 1 to 3 MB for a share `large`, else up to 40 kB."""
    size = rng.randrange(1000000, 3000000) if rng.random() < large else rng.randrange(1000, 40000)
    return tag.encode() + b"\n" + rng.randbytes(size)


def crash_contents():
    """Known contents by id: 400 outbound files (many of them keep the early runs busy), 30
    waiting messages, some large (long receiving sessions), and 12 messages in a local Maildir."""
    rng = random.Random(7)
    return ({"OUT-%03d" % i: known_content(rng, "OUT-%03d" % i, 0.05) for i in range(400)},
            {"MSG-%02d" % i: known_content(rng, "MSG-%02d" % i, 0.4) for i in range(30)},
            {"LOC-%02d" % i: known_content(rng, "LOC-%02d" % i, 0.3) for i in range(12)})


def waiting_message(to, i, content):
    m = EmailMessage()
    m["From"], m["To"], m["Subject"] = "loader@localhost", to, "waiting " + i
    m.set_content("waiting\n")
    m.add_attachment(content, maintype="application", subtype="octet-stream", filename=i + ".dat")
    return m.as_bytes(policy=policy.SMTP)


def ids_counted(files):
    """How often each id is attached to the messages of `files`."""
    return collections.Counter(p.get_payload(decode=True).split(b"\n", 1)[0].decode()
                               for path in files for p in parse_file(path).iter_attachments())


def ids_in_maildir(files):
    return set(ids_counted(files))


def ids_in_mailbox(s):
    # Dovecot may still be moving files from new/ to cur/ for a session of a killed agent: a
    # file gone while read means the listing is stale, so read it all again (bounded).
    for _ in range(50):
        try:
            return ids_in_maildir(s.maildir_files())
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


def deliveries(s):
    """Messages Postfix has put into the Maildir so far."""
    log = os.path.join(s.dir, "log", "postfix.log")
    return read(log).count(b"status=sent (delivered to maildir)") if os.path.exists(log) else 0


def case_crash(s, eng, cfg, work):
    with Agent(s, eng, cfg, work) as a:
        out, inbound, local = a.dir("out"), a.dir("in"), a.dir("maildir")
        out_ids, msg_ids, local_ids = crash_contents()
        known = dict(out_ids, **msg_ids, **local_ids)
        for i, content in out_ids.items():
            write(out, i + ".DAT", content)
        age(out)
        for i, content in msg_ids.items():
            s.deliver_direct(waiting_message(s.address, i, content))
        # A local messaging profile shares the inbound folder: its runs must leave alone what the
        # POP3 profile of a killed run still has to put in place.
        for sub in ("tmp", "cur", "new"):
            os.makedirs(os.path.join(local, sub), exist_ok=True)
        for n, (i, content) in enumerate(local_ids.items()):
            write(os.path.join(local, "new"), "%d.M%d.local" % (1700000000 + n, n),
                  waiting_message(s.address, i, content).replace(b"\r\n", b"\n"))
        local_files = lambda: [os.path.join(local, sub, n) for sub in ("new", "cur") for n in os.listdir(os.path.join(local, sub))]
        delivered_before = deliveries(s)
        # Receiving first: the short runs die inside a receiving session, the longer ones go on
        # into sending.
        local_profile = dict(CONFIG["profile"], Prfname="Local", HostType=1, WinMsgProfileName=local,
                             PrcInboundMessages=True, InboundDir=inbound)
        a.configure([local_profile, a.receiver("Receive", inbound), a.sender("Send", out, "*.DAT")])

        rng = random.Random(31)
        kills = 10
        for k in range(kills):
            alive = rng.uniform(0.1, 1.0)
            a.start()
            time.sleep(alive)
            a.stop(signal.SIGKILL)
            # Every id sits in the outbound folder, the mailbox or the inbound folder; the queue
            # is waited out first, since a message in it is in none of them.
            check(wait_for(lambda: not s.queue_files(), 30), "Postfix's queue does not drain", s)
            outbound = {n[:-4] for n in os.listdir(out) if n.endswith(".DAT")}
            lost = set(known) - outbound - ids_in_mailbox(s) - ids_in_maildir(local_files()) - set(inbound_ids(inbound, known))
            print("kill %d after %.2fs: %d outbound, %d in the mailbox, %d inbound files"
                  % (k + 1, alive, len(outbound), len(s.maildir_files()), len(os.listdir(inbound))))
            check(not lost, "after kill %d these are nowhere: %s" % (k + 1, sorted(lost)))

        # Outbound first, then the queue, then the mailbox: a message always sits in one of them.
        a.run_until(lambda: not os.listdir(out) and not s.queue_files() and not s.maildir_files() and not local_files(), 120)
        # Every message that sat in the mailbox (the waiting ones and each one Postfix delivered,
        # a file sent twice included) has its files exactly once.
        counts = inbound_ids(inbound, known)
        sent = deliveries(s) - delivered_before
        messages, landed = len(msg_ids) + len(local_ids) + sent, sum(counts.values())
        infos = len([n for n in visible(inbound) if n.endswith(".INF")])
        lost = sorted(set(known) - set(counts))
        print("crash: kills %d, messages %d, duplicates %d, lost %d (files sent twice: %d)"
              % (kills, messages, max(landed - messages, 0), len(lost) + max(messages - landed, 0), sent - len(out_ids)))
        check(not lost, "never landed: %s" % lost)
        check(landed == messages and infos == landed, "%d attachment and %d information files for %d messages"
              % (landed, infos, messages))
        check(all(counts[i] == 1 for i in list(msg_ids) + list(local_ids)), "waiting messages written twice: %s"
              % sorted(i for i in list(msg_ids) + list(local_ids) if counts[i] > 1))
        check(not [n for n in os.listdir(inbound) if n.startswith(".")], "hidden files left: %s" % os.listdir(inbound))
        check(mailbox_empty(s), "mailbox not empty", s)


def case_crash_imap(s, eng, cfg, work):
    """An IMAP profile ("delete") killed at random moments: before each run more messages arrive
    than one fetch command takes, some large, so kills fall in fetching, writing and deleting. A
    message is always in the mailbox or has its files inbound, and lands exactly once."""
    with Agent(s, eng, cfg, work) as a:
        inbound = a.dir("in")
        a.configure([dict(a.receiver("Imap", inbound), Pop3TcpPort=int(s.env["VRL_IMAP_PORT"]),
                          InboundProtocol="imap", ImapFolder="INBOX", ImapAfter="delete")])
        rng = random.Random(43)
        known = {}
        kills = 8
        for k in range(kills):
            for _ in range(60):
                i = "IMAP-%03d" % len(known)
                size = rng.randrange(300000, 1200000) if rng.random() < 0.15 else rng.randrange(1000, 40000)
                known[i] = i.encode() + b"\n" + rng.randbytes(size)
                s.deliver_direct(waiting_message(s.address, i, known[i]))
            # The session is short: the kill counts from its first log line.
            sessions = sum("Starting Session with the Profile: Imap" in line for line in a.log_lines())
            alive = rng.uniform(0.0, 0.3)
            a.start()
            wait_for(lambda: a.proc.poll() is not None or sum(
                "Starting Session with the Profile: Imap" in line for line in a.log_lines()) > sessions, 20)
            time.sleep(alive)
            ended = a.proc.poll()
            a.stop(signal.SIGKILL)
            counts, waiting = inbound_ids(inbound, known), ids_in_mailbox(s)
            print("kill %d %.2fs into the session: %d in the mailbox, %d landed, %d hidden files"
                  % (k + 1, alive, len(waiting), len(counts), len([n for n in os.listdir(inbound) if n.startswith(".")])))
            check(ended is None, "the agent ended by itself with %s before kill %d" % (ended, k + 1), s)
            lost = set(known) - waiting - set(counts)
            check(not lost, "after kill %d these are nowhere: %s" % (k + 1, sorted(lost)))
            twice = sorted(i for i, c in counts.items() if c > 1)
            check(not twice, "after kill %d these are written twice: %s" % (k + 1, twice))

        a.run_until(lambda: not s.maildir_files(), 60)
        counts = inbound_ids(inbound, known)
        infos = len([n for n in visible(inbound) if n.endswith(".INF")])
        print("crash_imap: kills %d, messages %d, landed %d, information files %d"
              % (kills, len(known), sum(counts.values()), infos))
        check(sorted(counts) == sorted(known), "never landed: %s" % sorted(set(known) - set(counts)))
        check(all(c == 1 for c in counts.values()), "written twice: %s" % sorted(i for i, c in counts.items() if c > 1))
        check(infos == len(known), "%d information files for %d messages" % (infos, len(known)))
        check(not [n for n in os.listdir(inbound) if n.startswith(".")], "hidden files left: %s" % os.listdir(inbound))
        check(mailbox_empty(s), "mailbox not empty", s)
        errors = [line for line in a.log_lines() if "ERROR:" in line]
        check(not errors, "errors logged:\n" + "\n".join(errors))


if __name__ == "__main__":
    run_case(globals(), tools=2)
