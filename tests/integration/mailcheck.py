#!/usr/bin/env python3
# Checks what an SMTP sink (or a folder) received against the seeded messages, matched by
# Message-ID: each arrived exactly once and byte for byte, nothing else did, and each
# envelope has the expected sender and recipient.
#
#   mailcheck.py smtp-sink|aiosmtpd|files SINK-DIR EXPECTED-DIR [--sender from|return-path|any]
#                [--rcpt ADDRESS] [--router-removes NAME,NAME...] [--quiet]
#
# smtp-sink -d files: X-* lines, a three-line Received header, the message with LF line
# ends (rebuilt with CR LF: the seeded messages hold no bare CR or LF), an empty line.
# aiosmtpd: N.eml the DATA bytes un-stuffed, N.env the envelope. files: *.eml or *.missatge.
# --router-removes: header fields a router may take off the top (fetchmail: Return-Path).
import argparse
import glob
import os
import re
import sys
from collections import Counter

MSGID = re.compile(rb"(?:^|\r\n)message-id:[ \t]*(<[^>\r\n]*>)", re.I)


def head(data):
    return data[:data.find(b"\r\n\r\n") + 2] if b"\r\n\r\n" in data else data


def header_address(data, name):
    m = re.search(rb"(?:^|\r\n)" + name + rb":[^\r\n]*<([^>\r\n]*)>", head(data), re.I)
    return m and m.group(1)


def addresses(lines, prefix):
    return [m.group(1) for l in lines if l.startswith(prefix) for m in [re.search(rb"<([^>]*)>", l)] if m]


def read_smtp_sink(path):
    lines = open(path, "rb").read().split(b"\n")
    i = next((i for i, l in enumerate(lines) if l.startswith(b"Received: ")), len(lines))
    body = lines[i + 3:]
    content = b"\r\n".join(body[:-2]) + b"\r\n" if body[-2:] == [b"", b""] else None
    return (addresses(lines[:i], b"X-Mail-Args: ") or [None])[0], addresses(lines[:i], b"X-Rcpt-Args: "), content


def read_aiosmtpd(path):
    envelope = open(path[:-4] + ".env", "rb").read().split(b"\n")
    return (addresses(envelope, b"MAIL FROM:") or [None])[0], addresses(envelope, b"RCPT TO:"), open(path, "rb").read()


def strip_top(data, names):
    """Takes the header fields named in `names` (with their continuation lines) off the top."""
    while True:
        m = re.match(rb"([A-Za-z0-9-]+):.*?\r\n(?![ \t])", data, re.S)
        if not m or m.group(1).lower() not in names:
            return data
        data = data[m.end():]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=["smtp-sink", "aiosmtpd", "files"])
    ap.add_argument("sink")
    ap.add_argument("expected")
    ap.add_argument("--sender", choices=["from", "return-path", "any"], default="from")
    ap.add_argument("--rcpt")
    ap.add_argument("--router-removes", default="")
    ap.add_argument("--quiet", action="store_true")  # no summary line when all is well
    args = ap.parse_args()
    removes = {n.strip().lower().encode() for n in args.router_removes.split(",") if n.strip()}
    expected = {}
    for path in glob.glob(os.path.join(args.expected, "*.eml")):
        data = open(path, "rb").read()
        expected[MSGID.search(head(data)).group(1)] = (os.path.basename(path), strip_top(data, removes), data)
    reader = {"smtp-sink": read_smtp_sink, "aiosmtpd": read_aiosmtpd,
              "files": lambda path: (None, None, open(path, "rb").read())}[args.kind]
    envelope = args.kind != "files"
    seen, problems, details = Counter(), Counter(), []
    for path in sorted(glob.glob(os.path.join(args.sink, "*"))):
        if not path.endswith((".eml", ".missatge")) and args.kind != "smtp-sink":
            continue
        sender, rcpts, content = reader(path)
        m = content is not None and MSGID.search(head(content))
        if content is None:
            problems["incomplete file in the sink"] += 1
            continue
        if not m or m.group(1) not in expected:
            problems["unknown message (no seeded Message-ID)"] += 1
            continue
        seen[m.group(1)] += 1
        if seen[m.group(1)] > 1:
            problems["delivered more than once"] += 1
            continue
        name, want, original = expected[m.group(1)]
        if content != want:
            problems["bytes differ"] += 1
            at = next(i for i in range(len(want) + 1) if want[i:i + 1] != content[i:i + 1])
            details.append("  %s: %d bytes, not %d; first difference at byte %d: %r, not %r"
                           % (name, len(content), len(want), at, content[at:at + 40], want[at:at + 40]))
        if envelope and args.sender != "any" and sender != header_address(original, args.sender.encode()):
            problems["envelope sender wrong"] += 1
            details.append("  %s: envelope sender %r" % (name, sender))
        if envelope and args.rcpt is not None and rcpts != [args.rcpt.encode()]:
            problems["envelope recipient wrong"] += 1
            details.append("  %s: envelope recipients %r" % (name, rcpts))
    missing = sorted(entry[0] for mid, entry in expected.items() if not seen[mid])
    if missing:
        problems["missing"] = len(missing)
        details.append("  missing: " + ", ".join(missing[:10]) + (" ..." if len(missing) > 10 else ""))
    if problems or not args.quiet:
        print("check: %d seeded, %d arrived once and byte-exact" % (len(expected), len(seen) - problems["bytes differ"]))
    for what, n in sorted(problems.items()):
        print("check: PROBLEM %s: %d" % (what, n))
    print("\n".join(details[:12]), end="\n" if details else "")
    sys.exit(1 if problems or not expected else 0)


if __name__ == "__main__":
    main()
