#!/usr/bin/env python3
# Test messages for the real-server tests and the benchmark: COUNT messages of about SIZE
# bytes into a Maildir (LF line ends, as Maildir keeps them; Dovecot serves them with CR LF)
# or as queued pairs into a Vessamo queue folder; the exact bytes that must arrive at the
# SMTP sink go to EXPECTED/<id>.eml.
#
#   mailgen.py maildir MAILDIR EXPECTED COUNT SIZE KIND FIRST
#   mailgen.py queue QUEUE EXPECTED COUNT SIZE KIND FIRST FORWARD-TO
#
# KIND: plain (ASCII text), dots (a "." line, ".." and "." starts, an 8-bit line), tricky
# (dots, 998-octet lines, every 8-bit byte value, blank and white-space lines, "From " and
# header-like body lines). Every message has its own Message-ID, Return-Path and Received
# lines before its From line, and a From address that differs from the Return-Path one.
import os
import random
import sys
import time

MAX_LINE = 998  # octets before CR LF that an SMTP router must pass unfolded


def message(n, size, kind, tag):
    rng = random.Random(n * 7919 + size)
    lines = [
        b"Return-Path: <bounce-%d@lists.example.net>" % n,
        b"Received: from source.example.net (source.example.net [192.0.2.7])",
        b"\tby mx.example.net with ESMTP id %08d; Mon, 5 Feb 2024 10:00:00 +0100" % n,
        b'From: "Sender %d" <sender-%d@example.com>' % (n, n),
        b"To: Box <box@example.org>",
        b"Subject: test message %d (%s)" % (n, kind.encode()),
        b"Message-ID: <vsm-%08d-%s@vessamo.test>" % (n, tag.encode()),
        b"Date: Mon, 5 Feb 2024 10:00:00 +0100",
        b"MIME-Version: 1.0",
    ] + ([b"Content-Type: text/plain; charset=us-ascii"] if kind == "plain" else
         [b"Content-Type: text/plain; charset=windows-1252", b"Content-Transfer-Encoding: 8bit"])
    lines += [b"", b"Message %d of a test run." % n]
    if kind != "plain":
        lines += [b".", b"..", b"..starts with two dots", b".starts with one dot",
                  b"caf\xe9 \xe0 la fran\xe7aise, \x80 %d \xff" % n]
    if kind == "tricky":
        lines += [b"...", b". .", b"", b" ", b"\t", b"trailing blanks   ",
                  b"From the start of a line, as mbox would escape it",
                  b">From quoted already", b"Subject: a header-like body line",
                  bytes(range(0x80, 0x100)), bytes(rng.choice(b"abcdefghij ") for _ in range(MAX_LINE)),
                  b"." + b"y" * (MAX_LINE - 1), b"x" * (MAX_LINE - 1) + b" ", b"", b"."]
    used = sum(len(x) + 2 for x in lines)
    if size > used:
        # Large messages repeat a block of varied lines rather than drawing every line.
        block = []
        for _ in range(200):
            words, length = [], rng.randint(30, 76)
            while sum(len(w) + 1 for w in words) < length:
                words.append(b"word%d" % rng.randint(0, 99999))
            block.append(b" ".join(words))
        if kind != "plain":
            block[50] = b"." + block[50]
            block[120] = b"\xe0\xe8\xe9\xed\xf2\xf3\xfa\xe7 " + block[120]
        i = 0
        while used < size:
            lines.append(block[i % len(block)])
            used += len(lines[-1]) + 2
            i += 1
    return b"\r\n".join(lines + [b"End of message %d." % n]) + b"\r\n"


def main():
    mode, target, expected = sys.argv[1:4]
    count, size, kind, first = int(sys.argv[4]), int(sys.argv[5]), sys.argv[6], int(sys.argv[7])
    if mode not in ("maildir", "queue") or kind not in ("plain", "dots", "tricky") or count < 0 or size < 0:
        sys.exit("mailgen: bad arguments")
    tag = "%x%04x" % (int(time.time()), random.randrange(0x10000))
    os.makedirs(expected, exist_ok=True)
    now = time.time()
    for n in range(first, first + count):
        data = message(n, size, kind, tag)
        name = "vsm-%08d-%s" % (n, tag)
        with open(os.path.join(expected, name + ".eml"), "wb") as f:
            f.write(data)
        if mode == "maildir":
            tmp = os.path.join(target, "tmp", name)
            with open(tmp, "wb") as f:
                f.write(data.replace(b"\r\n", b"\n"))
            os.rename(tmp, os.path.join(target, "new", "%d.M%dP%d.vsmseed" % (int(now), n, os.getpid())))
        else:
            # Stems are the creation order: date and time, then a 4-digit counter.
            i = n - first
            stamp = time.strftime("%Y%m%d%H%M%S", time.localtime(now - 3600 + i // 10000))
            stem = os.path.join(target, "M%s%04d" % (stamp, i % 10000))
            with open(stem + ".missatge", "wb") as f:
                f.write(data)
            with open(stem + ".destinatari", "wb") as f:
                f.write(sys.argv[8].encode("cp1252"))


if __name__ == "__main__":
    main()
