#!/usr/bin/python3
# The hostile-peer suite: fake POP3 and SMTP servers that drop, stall, flood, lie and
# refuse, misbehaving anti-spam programs, full and missing folders, and SIGTERM in each
# phase, all played against the built program ("vessamo /E" headless) on 127.0.0.1. Each
# case checks the invariant (see Worker.check), not a transcript.
#
#   /usr/bin/python3 tests/hostile/run.py [--vessamo PATH] [--only REGEX] [--tick-ms MS] [--keep]
#
# The program's safety timer is scaled with VESSAMO_SAFETY_TICK_MS (default here 40 ms a
# tick: a run without progress ends after about 5 s). The workers (each one Vessamo
# process with its own servers) run side by side. One line per case, then "N passed,
# N failed"; exit status 1 when a case failed.
import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fakes import CLOSE, POP3_BYE, POP3_GREETING, POP3_OK, SILENCE, SMTP, SMTP_REPLIES, Behaviour, pop3_retr, send  # noqa: E402,E501
from worker import Worker  # noqa: E402

MB, SIZE = 1024 * 1024, 160  # SIZE: the message of the byte-offset cases


def baseline(w):
    """Well-behaved servers: the harness's own check."""
    problems = w.case(sizes=(SIZE, 3000, SIZE))
    if len(w.smtp.accepted) != 3 or w.pop3.ids() or os.listdir(w.path("Cua")):
        problems.append("not 3 deliveries, or mailbox or queue not empty after a clean run")
    return problems


def pop3_drops(part, parts):
    """A drop at every byte offset of a whole session, as a function of the worker."""
    def cases(w):
        total = len(POP3_GREETING + 3 * POP3_OK + b"+OK 1 160\r\n" + POP3_BYE
                    + pop3_retr(w.message(w.seq + 1, SIZE)[1]))
        return [("pop3 drop at byte %d of %d" % (k, total), lambda w, k=k: w.case(pop3=Behaviour(drop_at=k)))
                for k in range(part, total, parts)]
    return cases


def smtp_drops(part, parts):
    cases, offset = [], 0
    for step, reply in SMTP_REPLIES:
        for i in range(len(reply)):
            # Inside the reply to the end of data the server has accepted the message but
            # the program cannot know: the one window where a duplicate is unavoidable.
            window = " [window: duplicate allowed]" if step == "END" else ""
            cases.append(("smtp drop at byte %d (%s reply, +%d)%s" % (offset + i, step, i, window),
                          lambda w, k=offset + i, d=bool(window): w.case(smtp=Behaviour(drop_at=k),
                                                                         duplicates_allowed=d)))
        offset += len(reply)
    return cases[part::parts]


def silences():
    def half_retr(w):
        reply = pop3_retr(w.message(w.seq + 1, SIZE)[1])
        return w.case(pop3=Behaviour("RETR", [send(reply[:len(reply) // 2]), SILENCE]))
    return [("pop3 silent at %s" % step, lambda w, step=step: w.case(pop3=Behaviour(step, SILENCE)))
            for step in ("greeting", "USER", "PASS", "STAT", "RETR", "DELE", "QUIT")] + [
        ("pop3 silent in the middle of RETR data", half_retr)] + [
        ("smtp silent at %s (every connection of the run)" % step,
         lambda w, step=step: w.case(smtp=Behaviour(step, SILENCE), every=True)) for step, _ in SMTP_REPLIES]


def misc():
    def pop3(step, action, number=None, **kw):
        return lambda w: w.case(pop3=Behaviour(step, action, number), **kw)

    def smtp(step, action, every=True, **kw):
        return lambda w: w.case(smtp=Behaviour(step, action), every=every, **kw)

    drip = b"+OK\r\n" + b"d" * 400
    return [
        ("baseline: well-behaved servers", baseline),
        ("pop3 endless greeting line", pop3("greeting", ("flood", b"+OK ", b"x" * 65536))),
        ("pop3 endless STAT line", pop3("STAT", ("flood", b"+OK 1 ", b"9" * 65536))),
        ("pop3 endless RETR", pop3("RETR", ("flood", b"+OK 160 octets\r\n", (b"endless " + b"z" * 90 + b"\r\n") * 640))),
        ("pop3 dripping RETR (a byte each 0.5 s)",
         lambda w: w.case(pop3=Behaviour("RETR", ("drip", drip, 0.5)), limit=3 * w.safety + 5)),
        ("pop3 STAT understates the size", pop3("STAT", send(b"+OK 1 100\r\n"), sizes=(200 * 1024,))),
        ("pop3 STAT overstates the size", pop3("STAT", send(b"+OK 1 999999999999999\r\n"))),
        ("pop3 STAT announces more messages", pop3("STAT", send(b"+OK 3 480\r\n"))),
        ("pop3 -ERR to RETR 2 of 3", pop3("RETR", send(b"-ERR message locked\r\n"), 2, sizes=(SIZE,) * 3)),
        ("pop3 -ERR to DELE 2 of 3", pop3("DELE", send(b"-ERR cannot\r\n"), 2, sizes=(SIZE,) * 3)),
        ("pop3 QUIT refused [the server keeps what it should delete: duplicate allowed]",
         pop3("QUIT", send(b"-ERR not now\r\n"), duplicates_allowed=True)),
        ("pop3 close after QUIT without +OK", pop3("QUIT", CLOSE)),
        ("smtp endless greeting line", smtp("greeting", ("flood", b"220 ", b"x" * 65536))),
        ("smtp endless multi-line reply to HELO", smtp("HELO", ("flood", b"", (b"250-hostile " + b"x" * 60 + b"\r\n") * 900))),
        # Twelve messages: the lost reply depends on how the reply and the close reach the
        # program, so the case gives it several chances to show.
        ("smtp 250 to the end of data, then close", smtp("END", send(SMTP["END"], True), sizes=(SIZE,) * 12)),
        ("smtp QUIT refused", smtp("QUIT", send(b"500 5.5.1 no\r\n"), every=False)),
        ("smtp 451 to MAIL (temporary)", smtp("MAIL", send(b"451 4.3.0 later\r\n"))),
        ("smtp 550 to RCPT (permanent)", smtp("RCPT", send(b"550 5.1.1 no such user\r\n"))),
        ("a 12 MB message", lambda w: w.case(sizes=(12 * MB,), limit=60)),
        ("SIGTERM during POP3 (RETR dripping)",
         pop3("RETR", ("drip", drip, 0.2), sigterm_when=lambda w: w.pop3.seen("RETR 1"))),
        ("SIGTERM during SMTP (no reply to the end of data)",
         smtp("END", SILENCE, sigterm_when=lambda w: w.smtp.seen("END"))),
    ]


def spam():
    return [
        ("spam program never exits", lambda w: w.case(spam="hang")),
        ("spam program deletes its input", lambda w: w.case(spam="delete")),
        ("spam program empties its input", lambda w: w.case(spam="empty")),
        ("spam program rewrites its input [the rewrite is kept]", lambda w: w.case(
            spam="rewrite", rewritten=lambda data: b"X-Hostile-Filter: checked\r\n" + data)),
        ("SIGTERM during the spam program", lambda w: w.case(
            spam="hang", sigterm_when=lambda w: os.path.exists(w.path("spam.started")))),
    ]


def folders(root):
    def full(folder, size, message_size, keep_free):
        """The folder on a small tmpfs, filled up to `keep_free` bytes during the case."""
        def case(w):
            path, filler = w.path(folder), w.path(folder, "..filler")

            def fill(w):
                with open(filler, "wb") as f:
                    f.write(b"\0" * max(0, os.statvfs(path).f_bavail * os.statvfs(path).f_frsize - keep_free))
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0700" % size, "tmpfs", path], check=True)
            try:
                return w.case(sizes=(message_size,), setup=fill, restore=lambda w: os.remove(filler))
            finally:
                w.quarantine()
                subprocess.run(["umount", path], check=False)
        return case

    gone = lambda w: (w.path("SiEnviats"), w.path("SiEnviats.gone"))  # noqa: E731
    skip = None if root else "not root: no tmpfs can be mounted"
    return [
        ("queue folder full (tmpfs)", full("Cua", "2m", 300 * 1024, 64 * 1024), skip),
        ("sent archive full (tmpfs)", full("SiEnviats", "1m", 200 * 1024, 0), skip),
        ("sent archive missing", lambda w: w.case(setup=lambda w: os.rename(*gone(w)),
                                                  restore=lambda w: os.rename(*reversed(gone(w)))), None),
    ]


counts, lock = collections.Counter(), threading.Lock()


def report(status, name, detail="", more=()):
    with lock:
        counts[status] += 1
        print("%s  %s%s" % (status, name, ": " + detail if detail else ""), flush=True)
        for line in more:
            print("      " + line, flush=True)


def run_worker(name, spam_filter, case_list, only, args, root):
    worker = None
    try:
        worker = Worker(name, args.vessamo, root, args.tick_ms, spam=spam_filter)
        for case_name, fn, *skip in case_list(worker) if callable(case_list) else case_list:
            if only and not only.search(case_name):
                continue
            if skip and skip[0]:
                report("SKIP", case_name, skip[0])
                continue
            t0 = time.monotonic()
            try:
                problems = fn(worker)
            except Exception as e:  # the harness's own failure is a failure too
                traceback.print_exc()
                problems = ["harness error: %s: %s" % (type(e).__name__, e)]
                if not worker.alive():
                    worker.start()
            took = "%s (%.1f s)" % (case_name, time.monotonic() - t0)
            report("FAIL", took, problems[0], problems[1:4]) if problems else report("PASS", took)
    except Exception as e:
        traceback.print_exc()
        report("FAIL", "worker %s" % name, "harness error: %s" % e)
    finally:
        if worker:
            worker.close()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="hostile-peer tests against the built program")
    parser.add_argument("--vessamo", default=os.path.join(here, "..", "..", "build", "vessamo"))
    parser.add_argument("--only", help="run only the cases whose name matches this regex")
    parser.add_argument("--tick-ms", type=int, default=40, help="safety timer tick (ms)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.vessamo = os.path.abspath(args.vessamo)
    only = re.compile(args.only, re.I) if args.only else None
    root = tempfile.mkdtemp(prefix="vessamo-hostile.")
    plan = [  # worker, spam filter on, cases (or a function of the worker giving them)
        ("popdrop1", False, pop3_drops(0, 2)), ("popdrop2", False, pop3_drops(1, 2)),
        ("smtpdrop1", False, smtp_drops(0, 2)), ("smtpdrop2", False, smtp_drops(1, 2)),
        ("silence1", False, silences()[0::2]), ("silence2", False, silences()[1::2]),
        ("misc", False, misc()), ("spam", True, spam()), ("folders", False, folders(os.geteuid() == 0)),
    ]
    start = time.monotonic()
    threads = [threading.Thread(target=run_worker, args=entry + (only, args, root)) for entry in plan]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if args.keep:
        print("work folder kept: %s" % root)
    else:
        shutil.rmtree(root, ignore_errors=True)
    print("hostile suite: %.0f s" % (time.monotonic() - start))
    print("%d passed, %d failed%s" % (counts["PASS"], counts["FAIL"],
                                      ", %d skipped" % counts["SKIP"] if counts["SKIP"] else ""))
    return 1 if counts["FAIL"] or not counts["PASS"] else 0


if __name__ == "__main__":
    sys.exit(main())
