#!/usr/bin/python3
"""Reads every NAME.eml (a message as sent after DATA, dot-stuffed) in a folder with Python's
email package and checks it against NAME.json: subject, sender, recipients, date, further
headers, the text part (content and charset) and every attachment (name, type, bytes, Content-ID).
Prints one line per problem and exits 1 when there was any."""
import base64
import email
import email.utils
import json
import os
import sys
from email import policy

problems = []


def problem(case, text):
    problems.append(f"{case}: {text}")


def unstuff(wire):
    return b"\r\n".join(l[1:] if l.startswith(b"..") else l for l in wire.split(b"\r\n"))


def norm(text):
    return text.replace("\r\n", "\n").strip("\n")


def uudecode_line(line):
    n = (line[0] - 32) & 63
    out = bytearray()
    bits = 0
    acc = 0
    # "=" is also an ordinary character (value 29): the length character says where data ends.
    for ch in line[1:]:
        acc = (acc << 6) | ((ch - 32) & 63)
        bits += 6
        if bits >= 8:
            bits -= 8
            out.append((acc >> bits) & 0xFF)
    return bytes(out[:n])


def uu_files(body):
    files = {}
    lines = body.split(b"\r\n")
    i = 0
    while i < len(lines):
        if lines[i].startswith(b"begin 600 "):
            name = lines[i][10:].decode("utf-8", "surrogateescape")
            data = bytearray()
            i += 1
            while i < len(lines) and lines[i] != b"end":
                data += uudecode_line(lines[i])
                i += 1
            files[name] = bytes(data)
        i += 1
    return files


def check(case, raw, exp):
    msg = email.message_from_bytes(raw, policy=policy.default)
    for d in msg.defects:
        problem(case, f"defect {d!r}")
    if str(msg["Subject"]) != exp["subject"]:
        problem(case, f"subject {str(msg['Subject'])!r} != {exp['subject']!r}")
    frm = msg["From"].addresses
    if len(frm) != 1 or frm[0].display_name != exp["from_name"] or frm[0].addr_spec != exp["from_addr"]:
        problem(case, f"from {frm!r}")
    for field in ("to", "cc"):
        want = [tuple(p) for p in exp[field]]
        got = [(a.display_name, a.addr_spec) for a in msg[field].addresses] if msg[field] else []
        if got != want:
            problem(case, f"{field} {got!r} != {want!r}")
    if msg["Bcc"] is not None:
        problem(case, "Bcc header present")
    if msg["Date"].datetime != email.utils.parsedate_to_datetime(exp["date"]):
        problem(case, f"date {str(msg['Date'])!r}")
    for name, value in exp["headers"].items():
        if str(msg[name]) != value:
            problem(case, f"header {name}: {str(msg[name])!r} != {value!r}")

    if exp["uuencode"]:
        if msg["MIME-Version"] is not None:
            problem(case, "MIME-Version in uuencode mode")
        body = raw.split(b"\r\n\r\n", 1)[1]
        text = body.split(b"\r\nbegin 600 ", 1)[0].decode("latin-1")
        if norm(text) != norm(exp["body"]):
            problem(case, f"body {text!r}")
        files = uu_files(body)
        want = {a["name"]: base64.b64decode(a["data"]) for a in exp["attachments"]}
        if files != want:
            problem(case, f"uuencoded files differ: {sorted(files)} vs {sorted(want)}")
        return

    if msg.get_content_type() != exp["content_type"]:
        problem(case, f"content type {msg.get_content_type()!r}")
    part = msg.get_body(preferencelist=("html",) if exp["html"] else ("plain",))
    if part is None:
        problem(case, "no text part")
        return
    for d in part.defects:
        problem(case, f"text part defect {d!r}")
    if part.get_content_charset() != exp["charset"]:
        problem(case, f"charset {part.get_content_charset()!r}")
    if norm(part.get_content()) != norm(exp["body"]):
        problem(case, f"body {part.get_content()!r} != {exp['body']!r}")

    atts = list(msg.iter_attachments())
    if len(atts) != len(exp["attachments"]):
        problem(case, f"{len(atts)} attachments, expected {len(exp['attachments'])}")
        return
    for got, want in zip(atts, exp["attachments"]):
        for d in got.defects:
            problem(case, f"attachment defect {d!r}")
        if got.get_filename() != want["name"]:
            problem(case, f"attachment name {got.get_filename()!r} != {want['name']!r}")
        if got.get_content_type() != want["content_type"]:
            problem(case, f"attachment type {got.get_content_type()!r} != {want['content_type']!r}")
        if got.get_payload(decode=True) != base64.b64decode(want["data"]):
            problem(case, f"attachment {want['name']!r}: bytes differ")
        cid = got["Content-ID"]
        if want["cid"] != (cid is not None) or (cid is not None and str(cid) != f"<{want['name']}>"):
            problem(case, f"attachment {want['name']!r}: Content-ID {cid!r}")


def main():
    folder = sys.argv[1]
    names = sorted(f[:-4] for f in os.listdir(folder) if f.endswith(".eml"))
    for name in names:
        with open(os.path.join(folder, name + ".eml"), "rb") as f:
            raw = unstuff(f.read())
        with open(os.path.join(folder, name + ".json"), encoding="utf-8") as f:
            exp = json.load(f)
        try:
            check(name, raw, exp)
        except Exception as e:  # a crash in the parser is a finding too
            problem(name, f"exception {e!r}")
    for p in problems:
        print(p)
    print(f"checked {len(names)} messages, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
