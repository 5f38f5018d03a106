"""Three agents share twelve profiles through the database: each profile sends the files of its
outbound folder through Postfix (into INBOX) and fetches its own IMAP folder into its inbound
folder. Agents are killed at random moments and started again, the database stops once mid-run;
every file must go out, every message land exactly once, and a killed agent's profiles pass to
the others within the lease time.

usage: fleet_interop.py STATE_FILE VRLENG31 VRLCFG31 fleet (the database's state file in VRL_PG_STATE)"""

import collections
import contextlib
import glob
import os
import random
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

from agent_interop import CONFIG, Agent, age, ids_counted, inbound_ids, known_content, visible, waiting_message
from interop_common import HERE, check, read, run_case, wait_for, write

PROFILES, FILES, MESSAGES, KILLS = 12, 1000, 1000, 8
LEASE, CYCLE = 3, 1
# A profile of a killed agent waits for its lease to run out and for a cycle of another agent;
# the margin is the sampling's and a busy machine's.
BOUND = LEASE + CYCLE + 2.5
PGSERVER = os.path.join(HERE, "..", "..", "scripts", "pgserver.sh")


class Database:
    """A database of this case's own on the fixture's server. As a context it samples the live
    leases every 0.3 s in a thread: (time, {profile: holder}), or (time, None) when the server
    does not answer; on failure it shows the tables."""

    def __init__(self):
        state = os.environ.get("VRL_PG_STATE", "")
        if not os.path.exists(state):
            print("database not running (no %s); skipped" % state)
            sys.exit(77)
        self.dir = read(state).decode().strip()
        env = dict(shlex.split(line)[0].split("=", 1) for line in self.harness("env").splitlines())
        server = "host=%s port=%s user=%s connect_timeout=3" % (env["VRL_PG_HOST"], env["VRL_PG_PORT"], env["VRL_PG_USER"])
        self.conninfo = server + " dbname=vrl_fleet"
        for query in ("DROP DATABASE IF EXISTS vrl_fleet WITH (FORCE)", "CREATE DATABASE vrl_fleet"):
            check(self.sql(query, server + " dbname=" + env["VRL_PG_DB"]) is not None, query + " failed")
        self.samples, self.stopping = [], threading.Event()
        self.sampler = threading.Thread(target=self.sample, daemon=True)

    def harness(self, command):
        return subprocess.run(["bash", PGSERVER, command, self.dir], check=True, capture_output=True, text=True,
                              timeout=90).stdout

    def sql(self, query, conninfo=None):
        """The rows as lists of fields, None when the query fails."""
        p = subprocess.run(["psql", "-XAtq", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-d", conninfo or self.conninfo,
                            "-c", query], capture_output=True, text=True, timeout=30)
        return [line.split("\t") for line in p.stdout.splitlines()] if p.returncode == 0 else None

    def sample(self):
        while not self.stopping.wait(0.3):
            start = time.monotonic()
            rows = self.sql("SELECT profile, holder FROM vrl_leases WHERE holder IS NOT NULL AND expires >= now()")
            self.samples.append(((start + time.monotonic()) / 2, None if rows is None else dict(rows)))

    def __enter__(self):
        self.sampler.start()
        return self

    def __exit__(self, kind, value, _):
        self.stopping.set()
        self.sampler.join(30)
        self.harness("start")  # running again whatever happened
        if kind is SystemExit and value.code:
            for table in ("vrl_leases", "vrl_agents"):
                print("--- %s\n%s" % (table, "\n".join(map(" | ".join, self.sql("SELECT * FROM " + table) or []))))


def served(samples, lives, homes):
    """(time, profiles with a live lease of a running agent) for each answered sample; lives[n]
    holds agent n's [started, killed] spans, homes[n] how its id ends."""
    def running(holder, t):
        return any(holder.rstrip("/").endswith(home) and any(a <= t <= (b or t) for a, b in lives[n])
                   for n, home in enumerate(homes))
    return [(t, {p for p, holder in rows.items() if running(holder, t)}) for t, rows in samples if rows is not None]


def gaps(samples):
    """Spans (profile, from, to) in which a profile once served is not: from the last sample
    that had it to the next one that has it (or the last sample)."""
    last, unserved, found = {}, set(), []
    for t, profiles in samples:
        found += [(p, last[p], t) for p in profiles & unserved]
        last.update(dict.fromkeys(profiles, t))
        unserved = set(last) - profiles
    return found + [(p, last[p], samples[-1][0]) for p in unserved]


def case_fleet(s, eng, cfg, work):
    rng = random.Random(53)
    out_ids = {"OUT-%04d" % i: known_content(rng, "OUT-%04d" % i, 0.01) for i in range(FILES)}
    msg_ids = {"MSG-%04d" % i: known_content(rng, "MSG-%04d" % i, 0.01) for i in range(MESSAGES)}
    names = ["P%02d" % n for n in range(PROFILES)]
    outs = [os.path.join(work, "out", n) for n in names]
    ins = [os.path.join(work, "in", n) for n in names]
    folders = [os.path.join(s.maildir, ".F%02d" % n) for n in range(PROFILES)]
    for path in outs + ins:
        os.makedirs(path)
    for path in glob.glob(os.path.join(s.maildir, ".F*")):
        shutil.rmtree(path)
    waiting = lambda: sum(len(os.listdir(os.path.join(f, sub))) for f in folders for sub in ("new", "cur"))

    def feed(wave):
        """A share of the files and messages, some for each profile: a kill finds work."""
        for n, (i, content) in enumerate(out_ids.items()):
            if n // PROFILES % (KILLS + 1) == wave:
                write(outs[n % PROFILES], i + ".DAT", content)
        for n, (i, content) in enumerate(msg_ids.items()):
            if n // PROFILES % (KILLS + 1) == wave:
                s.deliver_direct(waiting_message(s.address, i, content), "F%02d" % (n % PROFILES))
        for path in outs:
            age(path)

    with Database() as db, contextlib.ExitStack() as stack:
        agents = [stack.enter_context(Agent(s, eng, cfg, os.path.join(work, "agent-%d" % n))) for n in range(3)]
        homes = [os.path.join("agent-%d" % n, "home") for n in range(3)]
        profiles = []
        for n, name in enumerate(names):
            p = agents[0].sender(name, outs[n], "*.DAT")
            p.update((k, v) for k, v in agents[0].receiver(name, ins[n]).items() if v != CONFIG["profile"].get(k))
            p.update(Pop3TcpPort=int(s.env["VRL_IMAP_PORT"]), InboundProtocol="imap", ImapFolder="F%02d" % n,
                     ImapAfter="delete")
            profiles.append(p)
        lives, marks = [[] for _ in agents], [0 for _ in agents]

        def start(n):
            lives[n].append([time.monotonic(), None])
            marks[n] = len(agents[n].log_lines())
            agents[n].start()

        # SIGTERM is the orderly stop only once an agent has started.
        up = lambda: all("Vorlane Agent Started" in "".join(a.log_lines()[m:]) for a, m in zip(agents, marks))

        feed(0)
        for n, a in enumerate(agents):
            a.configure(profiles, ClusterDatabase=db.conninfo, LeaseSeconds=LEASE)
            start(n)
        held = lambda: len((served(db.samples, lives, homes) or [(0, ())])[-1][1])
        check(wait_for(lambda: held() == PROFILES, 60), "the profiles are not all held after 60 s", s)

        kills, outage = [], None
        for k in range(KILLS):
            feed(k + 1)
            time.sleep(rng.uniform(0.5, 4))
            n = rng.randrange(len(agents))
            check(agents[n].proc.poll() is None, "agent %d ended by itself" % n, s)
            lives[n][-1][1] = time.monotonic()
            kills.append((lives[n][-1][1], n))
            agents[n].stop(signal.SIGKILL)
            # Back at once (before its leases run out) or after the others took its profiles.
            time.sleep(rng.choice([rng.uniform(0.2, 2), rng.uniform(LEASE + 2, LEASE + 5)]))
            start(n)
            if k == KILLS // 2:
                time.sleep(rng.uniform(0.5, 2))
                outage = [time.monotonic()]
                db.harness("stop")
                time.sleep(LEASE + 1)
                db.harness("start")
                outage.append(time.monotonic())

        hidden = lambda: [n for path in ins for n in os.listdir(path) if n.startswith(".")]
        # Outbound folders first, then the queue, then the folders: a message always sits in one.
        settled = lambda: not any(os.listdir(p) for p in outs) and not s.queue_files() and not waiting() and up()
        deadline = time.monotonic() + 150
        while not settled():
            check(all(a.proc.poll() is None for a in agents), "an agent ended by itself", s)
            check(time.monotonic() < deadline, "not settled after 150 s: %d outbound files, %d queued, %d waiting"
                  % (sum(len(os.listdir(p)) for p in outs), len(s.queue_files()), waiting()), s)
            time.sleep(0.5)
        wait_for(lambda: not hidden(), 5)
        db.stopping.set()
        codes = [a.stop() for a in agents]
        # The outage is logged as an error, which the exit status tells (3).
        errors = [line for a in agents for line in a.log_lines() if "ERROR:" in line and "Database Unreachable" not in line]

        sent = ids_counted(s.maildir_files())
        counts, infos = collections.Counter(), 0
        for n, path in enumerate(ins):
            counts += inbound_ids(path, {i: c for j, (i, c) in enumerate(msg_ids.items()) if j % PROFILES == n})
            infos += sum(name.endswith(".INF") for name in visible(path))
        spans = gaps(served(db.samples, lives, homes))
        failover = [max([b - t for _, a, b in spans if a <= t <= b], default=0) for t, _ in kills]
        recovery = next((t for t, p in served(db.samples, lives, homes) if t > outage[1] and len(p) == PROFILES),
                        float("inf")) - outage[1]
        slow = [(p, round(b - a, 1)) for p, a, b in spans if b - a > BOUND and not (a < outage[1] and b > outage[0])]
        spread = [{line.split("Profile: ", 1)[1] for line in a.log_lines() if "Starting Session with the Profile: " in line}
                   for a in agents]
        twice, duplicates = sum(sent.values()) - len(sent), sum(c - 1 for c in counts.values())
        lost_files, lost = sorted(set(out_ids) - set(sent)), sorted(set(msg_ids) - set(counts))
        print("failover after each kill (agent: s): %s; all held %.1fs after the database's restart"
              % (" ".join("%d: %.1f" % (n, f) for (_, n), f in zip(kills, failover)), recovery))
        print("fleet: agents %d, profiles %d, kills %d, files %d (sent twice %d), messages %d, duplicates %d, lost %d, "
              "longest failover %.1fs, profiles per agent %s" % (len(agents), PROFILES, len(kills), FILES, twice,
                                                                 MESSAGES, duplicates, len(lost), max(failover),
                                                                 "/".join(str(len(p)) for p in spread)))
        check(set(codes) <= {0, 3}, "exit status after SIGTERM: %s" % codes)
        check(not errors, "errors logged:\n" + "\n".join(errors[:20]))
        check(not lost_files, "files never delivered: %s" % lost_files[:20])
        check(set(sent) <= set(out_ids), "foreign messages in INBOX: %s" % sorted(set(sent) - set(out_ids))[:20])
        check(twice <= 2 * len(kills), "%d files sent twice" % twice)
        check(not lost, "messages never landed: %s" % lost[:20])
        check(not duplicates, "messages written twice: %s" % sorted(i for i, c in counts.items() if c > 1)[:20])
        check(infos == sum(counts.values()), "%d information files for %d messages" % (infos, sum(counts.values())))
        check(not hidden(), "hidden files left: %s" % hidden()[:20])
        check(not slow, "profiles without a running holder for more than %.1fs: %s" % (BOUND, slow))
        check(recovery < 30, "profiles not all held %.1fs after the database's restart" % recovery)
        check(all(len(p) * 5 >= PROFILES for p in spread), "profiles per agent: %s" % [sorted(p) for p in spread])
    for path in folders:
        shutil.rmtree(path)


if __name__ == "__main__":
    run_case(globals(), tools=2)
