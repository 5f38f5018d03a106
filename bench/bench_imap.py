"""Python side of bench_imap.sh: the agent's receive-only profile of bench_agent.py turned into an
IMAP one. Standard library only.

usage: bench_imap.py config TEMPLATE OUT LOG_FILE FOLDER HOST IMAP_PORT USER PASSWORD_FILE"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_agent  # noqa: E402


def write_config(template, out, log_file, folder, host, port, user, password_file):
    """The POP3 fetch profile with the IMAP fields: INBOX, each message deleted once its files
    are written. The port is the IMAP one; the automatic security takes STARTTLS there."""
    bench_agent.write_config(template, out, "fetch", log_file, folder, host, port, user, password_file)
    with open(out) as f:
        doc = json.load(f)
    doc["profiles"][0].update(Prfname="Bench imap", InboundProtocol="imap", ImapFolder="INBOX", ImapAfter="delete")
    with open(out, "w") as f:
        json.dump(doc, f, indent=1)


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "config":
        write_config(*args)
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
