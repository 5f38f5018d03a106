#!/usr/bin/python3
"""check_email.py DATA_DIR EML_DIR: reads every case of DATA_DIR/compose_cases.json from
EML_DIR/NAME.eml (a message as sent after DATA, dot-stuffed) with Python's email package and
checks what a reader finds: subject, sender, recipients, date, further headers, the text part and
every attachment (name, type, bytes from DATA_DIR/files, Content-ID). Prints one line per
problem and exits 1 when there was any."""
import email
import email.utils
import json
import os
import sys
from email import policy

DATE = "Sun, 6 Dec 2026 04:30:43 +0000"


def uudecode(lines):
    out = bytearray()
    for line in lines:
        n, acc, bits, data = (line[0] - 32) & 63, 0, 0, bytearray()
        # "=" is an ordinary character here (value 29): the length character says where data ends.
        for ch in line[1:]:
            acc, bits = (acc << 6) | ((ch - 32) & 63), bits + 6
            if bits >= 8:
                bits -= 8
                data.append((acc >> bits) & 0xFF)
        out += data[:n]
    return bytes(out)


def uu_files(body):
    files, lines = {}, body.split(b"\r\n")
    for i, line in enumerate(lines):
        if line.startswith(b"begin 600 "):
            end = lines.index(b"end", i)
            files[line[10:].decode()] = uudecode(lines[i + 1:end])
    return files


def check(raw, exp, files):
    msg = email.message_from_bytes(raw, policy=policy.default)
    addresses = lambda field: [[a.display_name, a.addr_spec] for a in msg[field].addresses] if msg[field] else []
    norm = lambda text: text.replace("\r\n", "\n").strip("\n")
    checks = [("defects", msg.defects, []), ("subject", str(msg["Subject"]), exp["subject"]),
              ("from", addresses("from"), [[exp["from_name"], "sender@example.com"]]),
              ("to", addresses("to"), exp["to"]), ("cc", addresses("cc"), exp["cc"]), ("Bcc", msg["Bcc"], None),
              ("date", msg["Date"].datetime, email.utils.parsedate_to_datetime(DATE))]
    checks += [(name, str(msg[name]), value) for name, value in exp["headers"].items()]
    if exp["uuencode"]:
        body = raw.split(b"\r\n\r\n", 1)[1]
        checks += [("MIME-Version", msg["MIME-Version"], None),
                   ("body", norm(body.split(b"\r\nbegin 600 ", 1)[0].decode("latin-1")), norm(exp["body"])),
                   ("files", uu_files(body), {a["name"]: data for a, data in files})]
    else:
        part = msg.get_body(preferencelist=("html",) if exp["html"] else ("plain",))
        got = [(a.get_filename(), a.get_content_type(), a.get_payload(decode=True), a["Content-ID"] and str(a["Content-ID"]),
                a.defects) for a in msg.iter_attachments()]
        want = [(a["name"], a["type"], data, f"<{a['name']}>" if a["cid"] else None, []) for a, data in files]
        checks += [("content type", msg.get_content_type(), exp["content_type"]), ("text part defects", part.defects, []),
                   ("charset", part.get_content_charset(), exp["charset"]),
                   ("body", norm(part.get_content()), norm(exp["body"])), ("attachments", got, want)]
    return [f"{what}: {got!r:.300} != {want!r:.300}" for what, got, want in checks if got != want]


def main():
    data_dir, eml_dir = sys.argv[1:3]
    with open(os.path.join(data_dir, "compose_cases.json"), encoding="utf-8") as f:
        cases = json.load(f)
    problems = []
    for case in cases:
        with open(os.path.join(eml_dir, case["name"] + ".eml"), "rb") as f:
            raw = b"\r\n".join(l[1:] if l.startswith(b"..") else l for l in f.read().split(b"\r\n"))
        files = []
        for a in case["attachments"]:
            with open(os.path.join(data_dir, "files", a["file"]), "rb") as f:
                files.append((a, f.read()))
        try:
            problems += [f"{case['name']}: {p}" for p in check(raw, case["expect"], files)]
        except Exception as e:  # a crash in the parser is a finding too
            problems.append(f"{case['name']}: exception {e!r}")
    print("\n".join(problems + [f"checked {len(cases)} messages, {len(problems)} problems"]))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
