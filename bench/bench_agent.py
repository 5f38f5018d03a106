"""Python side of bench_agent.sh: outbound files, the agent's configuration, a timed run with the
child's peak memory, and a check of what was delivered. Standard library only; filling the
Maildir and waiting for Postfix stay with bench_mailservers.py. Figures go to stdout as "key value"."""

import email
import hashlib
import json
import os
import random
import subprocess
import sys
import time
from email import policy


def make_files(folder, count, size, manifest):
    """COUNT files of SIZE distinct random bytes named *.DAT, dated a minute back so the agent
    does not hold them for settling; their SHA-256 go one a line into MANIFEST."""
    rng = random.Random(4)
    past = time.time() - 60
    with open(manifest, "w") as m:
        for i in range(count):
            data = rng.randbytes(size)
            path = os.path.join(folder, "bench%05d.DAT" % i)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (past, past))
            m.write(hashlib.sha256(data).hexdigest() + "\n")


def write_config(template, out, kind, log_file, folder, host, port, user_or_address, password_file=None):
    """The demo configuration reduced to one profile that only sends (kind "send") or only
    receives (kind "fetch"); the demo's first profile supplies every field left as it is."""
    with open(template) as f:
        doc = json.load(f)
    g = doc["global"]
    g.update(AutoExit=True, PrcInterval=0, PrcIntervalUnit=0, ShowErrorMsgs=False, UseLogFile=True,
             LogFileName=log_file)
    # BENCH_FLEET: a member of a fleet (servers_session.sh starts the database).
    g.update(ClusterDatabase=os.environ.get("VRL_FLEET_CONNINFO", ""))
    p = dict(doc["profiles"][0])
    # The servers offer STARTTLS and STLS, which the automatic security takes: trust their CA.
    p.update(PrfEnabled=True, Prfname="Bench " + kind, HostType=2, TimeOutSecs=60,
             SmtpRequiresLogin=False, Pop3LoginBeforeSndMail=False, CaFile=os.environ.get("VRL_TLS_CA", ""))
    if kind == "send":
        p.update(SmtpServer=host, SmtpTcpPort=int(port), Pop3Server="", UserName="", Pop3SmtpPws="",
                 PrcInboundMessages=False, PrcOutboundMessages=True, InboundDir="",
                 OutboundMode=1, OutboundDir=folder, OutFilesExtention="*.DAT", RenamedFilesExtention="",
                 RecAddress=user_or_address, FromAddress="bench@example.com", FromName="Bench",
                 Subject="bench message", MsgText="A file from the benchmark.")
    else:
        with open(password_file) as f:
            password = f.readline().rstrip("\r\n")
        p.update(Pop3Server=host, Pop3TcpPort=int(port), SmtpServer="", UserName=user_or_address,
                 Pop3SmtpPws=password, PrcInboundMessages=True, PrcOutboundMessages=False,
                 InboundDir=folder, CreateAttchsInMsgs=True, CreateInfFileInboundMsgs=True,
                 FileExtention="DAT", ResFilesExtention="INF", OutboundDir="")
    doc["profiles"] = [p]
    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        json.dump(doc, f, indent=1)


def _peak_kb(pid):
    """VmHWM of a running process in kB, 0 once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(limit, log, argv):
    """Runs ARGV to its end (killed after LIMIT seconds): wall seconds and the peak resident set,
    the same way for the agent and vrlmail. The peak is the child's own VmHWM, read every 20 ms
    (the high-water mark only grows, so the last reading holds it): the child's ru_maxrss would
    start at this Python's size, since the child begins as a copy of it. Exits with the child's
    status."""
    start = time.monotonic()
    peak = 0
    with open(log, "wb") as out:
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
        while True:
            try:
                status = proc.wait(timeout=0.02)
                break
            except subprocess.TimeoutExpired:
                peak = max(peak, _peak_kb(proc.pid))
                if time.monotonic() - start > limit:
                    proc.kill()
                    proc.wait()
                    status = 124
                    break
    seconds = time.monotonic() - start
    print("seconds", "%.3f" % seconds)
    print("peak_rss_kb", peak)
    print("status", status)
    sys.exit(status)


def check_delivered(maildir, manifest):
    """Every delivered message carries exactly one attachment and the attachments are, as a
    multiset, the files of MANIFEST."""
    with open(manifest) as f:
        want = sorted(line.strip() for line in f if line.strip())
    got = []
    for sub in ("new", "cur"):
        d = os.path.join(maildir, sub)
        for name in os.listdir(d):
            with open(os.path.join(d, name), "rb") as f:
                msg = email.message_from_binary_file(f, policy=policy.default)
            atts = [a.get_payload(decode=True) for a in msg.iter_attachments()]
            if len(atts) != 1:
                sys.exit("%s has %d attachments" % (name, len(atts)))
            got.append(hashlib.sha256(atts[0]).hexdigest())
    if sorted(got) != want:
        sys.exit("delivered attachments differ from the files sent (%d delivered, %d sent)" % (len(got), len(want)))
    print("checked", len(got))


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "files":
        make_files(args[0], int(args[1]), int(args[2]), args[3])
    elif cmd == "config":
        write_config(*args)
    elif cmd == "measure":
        sep = args.index("--")
        measure(float(args[0]), args[1], args[sep + 1:])
    elif cmd == "check-delivered":
        check_delivered(args[0], args[1])
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
