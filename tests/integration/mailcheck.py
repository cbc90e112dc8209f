#!/usr/bin/env python3
# Checks what an SMTP sink received against the seeded messages: every expected message
# arrived exactly once and byte for byte, nothing unknown arrived, and each envelope has
# the expected sender and recipient. Messages are matched by their Message-ID.
#
#   mailcheck.py SINK-KIND SINK-DIR EXPECTED-DIR [--sender from|return-path|any]
#                [--rcpt ADDRESS] [--strip-prepended NAME,NAME...]
#                [--router-removes NAME,NAME...] [--quiet]
#
# --strip-prepended: header fields with these names at the top of a delivered message are
# removed before comparing (a router that adds a trace header), and counted.
# --router-removes: header fields with these names at the top of the seeded message are
# removed before comparing (a router that takes e.g. Return-Path into the envelope), and
# the delivered message must not have them at its top.
#
# SINK-KIND smtp-sink: Postfix smtp-sink -d files: its own X-* lines and three-line
# Received header first, then the message with LF line ends, then one empty line. The
# sink drops the CR of each CR LF, so the message is rebuilt with CR LF line ends; the
# seeded messages have no bare CR or LF, so this is exact for them (a router that turned
# CR LF into LF would not be seen: the aiosmtpd sink keeps the raw bytes and sees it).
# SINK-KIND aiosmtpd: NNNNNNNN.eml holds the DATA bytes, dot-stuffing undone, and
# NNNNNNNN.env the envelope.
# SINK-KIND files: a folder of message files (*.eml, or a Vessamo archive's *.missatge);
# there is no envelope to check.
import argparse
import difflib
import glob
import os
import re
import sys
from collections import Counter, defaultdict

MSGID = re.compile(rb"(?:^|\r\n)message-id:[ \t]*(<[^>\r\n]*>)", re.IGNORECASE)
ADDR = re.compile(rb"<([^>]*)>")


def header_block(data):
    end = data.find(b"\r\n\r\n")
    return data if end < 0 else data[: end + 2]


def header_address(data, name):
    m = re.search(rb"(?:^|\r\n)" + name + rb":[^\r\n]*<([^>\r\n]*)>", header_block(data), re.IGNORECASE)
    return m.group(1).decode("latin-1") if m else None


def read_smtp_sink(path):
    raw = open(path, "rb").read()
    lines = raw.split(b"\n")
    sender, rcpts, i = None, [], 0
    while i < len(lines) and not lines[i].startswith(b"Received: "):
        if lines[i].startswith(b"X-Mail-Args: "):
            m = ADDR.search(lines[i])
            sender = m.group(1).decode("latin-1") if m else ""
        elif lines[i].startswith(b"X-Rcpt-Args: "):
            m = ADDR.search(lines[i])
            rcpts.append(m.group(1).decode("latin-1") if m else "")
        i += 1
    i += 3  # the sink's three-line Received header
    body = lines[i:]
    complete = len(body) >= 2 and body[-1] == b"" and body[-2] == b""
    content = b"\r\n".join(body[:-2]) + b"\r\n" if complete else None
    return sender, rcpts, content


def read_aiosmtpd(path):
    content = open(path, "rb").read()
    sender, rcpts = None, []
    for line in open(path[:-4] + ".env", "rb").read().split(b"\n"):
        m = ADDR.search(line)
        if line.startswith(b"MAIL FROM:") and m:
            sender = m.group(1).decode("latin-1")
        elif line.startswith(b"RCPT TO:") and m:
            rcpts.append(m.group(1).decode("latin-1"))
    return sender, rcpts, content


def strip_prepended(data, names):
    """Removes header fields named in `names` from the top; returns (data, removed names)."""
    removed = []
    while True:
        m = re.match(rb"([A-Za-z0-9-]+):", data)
        if not m or m.group(1).lower() not in names:
            return data, removed
        end = data.find(b"\r\n")
        while end >= 0 and data[end + 2:end + 3] in (b" ", b"\t"):
            end = data.find(b"\r\n", end + 2)
        if end < 0:
            return data, removed
        removed.append(data[: end + 2])
        data = data[end + 2:]


def describe_difference(name, want, got, out):
    out.append("  %s: expected %d bytes, got %d" % (name, len(want), len(got)))
    a, b = want.split(b"\r\n"), got.split(b"\r\n")
    if len(a) + len(b) > 40000:
        pos = next((i for i in range(min(len(want), len(got))) if want[i] != got[i]), min(len(want), len(got)))
        out.append("    first difference at byte %d: expected %r, got %r" % (pos, want[pos:pos + 40], got[pos:pos + 40]))
        return
    shown = 0
    for line in difflib.unified_diff([repr(x)[2:-1][:100] for x in a], [repr(x)[2:-1][:100] for x in b],
                                     "expected", "delivered", n=0, lineterm=""):
        if line.startswith(("---", "+++")):
            continue
        out.append("    " + line)
        shown += 1
        if shown >= 14:
            out.append("    ...")
            break


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=["smtp-sink", "aiosmtpd", "files"])
    ap.add_argument("sink")
    ap.add_argument("expected")
    ap.add_argument("--sender", choices=["from", "return-path", "any"], default="from")
    ap.add_argument("--rcpt")
    ap.add_argument("--strip-prepended", default="")
    ap.add_argument("--router-removes", default="")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args()
    strip = names(args.strip_prepended)
    removes = names(args.router_removes)

    expected = {}
    removed_by_router = Counter()
    for path in glob.glob(os.path.join(args.expected, "*.eml")):
        data = open(path, "rb").read()
        m = MSGID.search(header_block(data))
        compared = data
        if removes:
            compared, gone = strip_prepended(data, removes)
            removed_by_router.update(f.split(b":", 1)[0].decode("latin-1") for f in gone)
        expected[m.group(1)] = (os.path.basename(path), compared, data)

    pattern = "*.eml" if args.kind == "aiosmtpd" else "*"
    reader = {"smtp-sink": read_smtp_sink, "aiosmtpd": read_aiosmtpd,
              "files": lambda path: (None, None, open(path, "rb").read())}[args.kind]
    seen = Counter()
    problems, details = Counter(), []
    prepended = Counter()
    envelopes = defaultdict(Counter)
    for path in sorted(glob.glob(os.path.join(args.sink, pattern))):
        if args.kind == "files" and not path.endswith((".eml", ".missatge")):
            continue
        sender, rcpts, content = reader(path)
        if content is None:
            problems["incomplete file in the sink"] += 1
            continue
        if strip:
            content, removed = strip_prepended(content, strip)
            for field in removed:
                prepended[field.split(b":", 1)[0].decode("latin-1")] += 1
                if len(details) < 30 and prepended[field.split(b":", 1)[0].decode("latin-1")] == 1:
                    details.append("  prepended (removed before comparing): %r" % field[:300])
        m = MSGID.search(header_block(content))
        if not m or m.group(1) not in expected:
            problems["unknown message (no seeded Message-ID)"] += 1
            continue
        msgid = m.group(1)
        seen[msgid] += 1
        name, want, original = expected[msgid]
        if seen[msgid] > 1:
            problems["delivered more than once"] += 1
            continue
        if content != want:
            problems["bytes differ"] += 1
            if problems["bytes differ"] <= 3:
                describe_difference(name, want, content, details)
        if args.kind == "files":
            continue
        envelopes["sender"][("ok" if sender_ok(args.sender, sender, original) else "wrong: %s" % sender)] += 1
        if args.rcpt is not None:
            envelopes["rcpt"]["ok" if rcpts == [args.rcpt] else "wrong: %s" % ",".join(rcpts)] += 1
    missing = [entry[0] for mid, entry in expected.items() if seen[mid] == 0]
    if missing:
        problems["missing"] = len(missing)
        details.append("  missing: " + ", ".join(sorted(missing)[:10]) + (" ..." if len(missing) > 10 else ""))
    for what, counts in envelopes.items():
        wrong = {verdict: n for verdict, n in counts.items() if verdict != "ok"}
        if wrong:
            example = sorted(wrong)[0][len("wrong: "):]
            problems["envelope %s wrong (e.g. <%s>)" % (what, example)] = sum(wrong.values())
    exact = sum(1 for mid in expected if seen[mid] >= 1) - problems["bytes differ"]
    print("check: %d seeded, %d delivered, %d arrived once and byte-exact" % (len(expected), sum(seen.values()) + problems["unknown message (no seeded Message-ID)"], exact))
    for field, n in prepended.items():
        print("check: the router prepended a %s header to %d messages" % (field, n))
    for field, n in removed_by_router.items():
        print("check: the router is allowed to remove the top %s header; compared without it in %d messages" % (field, n))
    for what, n in sorted(problems.items()):
        print("check: PROBLEM %s: %d" % (what, n))
    if not args.quiet or problems:
        for line in details:
            print(line)
    sys.exit(1 if problems or not expected else 0)


def names(text):
    return {n.strip().lower().encode() for n in text.split(",") if n.strip()}


def sender_ok(mode, sender, want):
    if mode == "any":
        return True
    return sender == header_address(want, b"from" if mode == "from" else b"return-path")


if __name__ == "__main__":
    main()
