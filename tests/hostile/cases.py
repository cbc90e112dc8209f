# The hostile cases, by family. A case is a hostile routing run (the behaviour applies to
# the first connection, or to every connection of that run), then a clean run (where a
# duplicate or a loss shows), then the invariant check; it returns the problems found.
# Names that say "duplicate allowed" mark the cases where a second delivery cannot be
# avoided.
import os
import subprocess
import time

import fakes
from fakes import CLOSE, SILENCE, Behaviour, send

MB = 1024 * 1024
SIZE = 160  # the small message of the byte-offset cases


def hostile(w, pop3=None, smtp=None, every=False, sizes=(SIZE,), limit=None,
            duplicates_allowed=False, rewritten=None, sigterm_when=None, spam=None,
            setup=None, restore=None):
    """sigterm_when: a condition on the worker; once it holds, SIGTERM, and the program
    must exit within the stop limit. setup/restore: before the case, and before its check."""
    w.quarantine()
    mids = [w.new_message(size) for size in sizes]
    for mid in mids:
        w.pop3.add(mid, w.originals[mid])
        if rewritten:
            w.known[rewritten(w.originals[mid])] = mid
    for server, behaviour in ((w.pop3, pop3), (w.smtp, smtp)):
        server.set_script([] if every or not behaviour else [behaviour], behaviour if every else None)
    if spam:
        w.spam_mode(spam)
    if setup:
        setup(w)
    largest = max(len(w.originals[m]) for m in mids)
    w.largest = max(w.largest, largest)
    problems = []
    limit = limit or w.run_limit
    overran = "the run did not end within %.1f s" % limit
    t0 = time.monotonic()
    w.begin_run(problems, t0 + 10, "the run before the case did not end")
    w.reset_peak()
    if sigterm_when:
        deadline = time.monotonic() + 15
        while not sigterm_when(w) and time.monotonic() < deadline and w.alive():
            time.sleep(0.01)
        if not sigterm_when(w):
            problems.append("the moment for SIGTERM never came")
        time.sleep(0.2)
        peak = w.peak_kb()
        if w.terminate(w.stop_limit) is None:
            problems.append("still running %.0f s after SIGTERM (killed)" % w.stop_limit)
            w.kill_spam_leftovers()  # orphaned by the kill, not by the program
        w.start()
        w.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
    else:
        w.end_run(problems, t0 + limit, overran)
        # The clean run starts only once the hostile run is over: the proof of its end.
        peak = w.clean_run(problems, max(t0 + limit, time.monotonic() + 0.5), overran)
    if w.spam_processes_left():
        problems.append("the spam program's processes were left running")
        w.kill_spam_leftovers()
    if restore:
        restore(w)
        if set(mids) & set(w.pop3.ids()) or os.listdir(w.path("Cua")):
            w.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
    return problems + w.check(mids, duplicates_allowed, peak, max(largest, w.largest))


def baseline(w):
    """Well-behaved servers: the harness's own check."""
    problems = hostile(w, sizes=(SIZE, 3000, SIZE))
    if len(w.smtp.accepted) != 3 or w.pop3.ids() or os.listdir(w.path("Cua")):
        problems.append("not 3 deliveries, or mailbox or queue not empty after a clean run")
    return problems


# --- drops at every byte offset ----------------------------------------------------------

def pop3_drop_cases(part, parts):
    def cases(w):
        data = w.message(w.seq + 1, SIZE)[1]
        total = len(fakes.POP3_GREETING + 2 * fakes.POP3_OK + fakes.pop3_stat(1, SIZE)
                    + fakes.pop3_retr(data) + fakes.POP3_OK + fakes.POP3_BYE)
        return [("pop3 drop at byte %d of %d" % (k, total),
                 lambda w, k=k: hostile(w, pop3=Behaviour(drop_at=k)))
                for k in range(part, total, parts)]
    return cases


def smtp_drop_cases(part, parts):
    cases, offset = [], 0
    for step, reply in fakes.SMTP_REPLIES:
        for i in range(len(reply)):
            # Inside the reply to the end of data the server has accepted the message but
            # the program cannot know: the one window where a duplicate is unavoidable.
            window = step == "END"
            name = "smtp drop at byte %d (%s reply, +%d)%s" % (
                offset + i, step, i, " [window: duplicate allowed]" if window else "")
            cases.append((name, lambda w, k=offset + i, window=window: hostile(
                w, smtp=Behaviour(drop_at=k), duplicates_allowed=window)))
        offset += len(reply)
    return cases[part::parts]


# --- silence ----------------------------------------------------------------------------

def silence_cases():
    cases = [("pop3 silent at %s" % step, lambda w, step=step: hostile(
        w, pop3=Behaviour(step, SILENCE))) for step in
        ("greeting", "USER", "PASS", "STAT", "RETR", "DELE", "QUIT")]

    def half_retr(w):
        reply = fakes.pop3_retr(w.message(w.seq + 1, SIZE)[1])
        return hostile(w, pop3=Behaviour("RETR", [send(reply[:len(reply) // 2]), SILENCE]))
    return cases + [("pop3 silent in the middle of RETR data", half_retr)] + [
        ("smtp silent at %s (every connection of the run)" % step, lambda w, step=step: hostile(
            w, smtp=Behaviour(step, SILENCE), every=True)) for step, _ in fakes.SMTP_REPLIES]


# --- floods, lies, refusals, a large message, SIGTERM -----------------------------------------

def misc_cases():
    def pop3(step, action, number=None, **kw):
        return lambda w: hostile(w, pop3=Behaviour(step, action, number), **kw)

    def smtp(step, action, **kw):
        return lambda w: hostile(w, smtp=Behaviour(step, action), every=True, **kw)

    drip = ("drip", b"+OK\r\n" + b"d" * 400, 0.5)
    return [
        ("baseline: well-behaved servers", baseline),
        ("pop3 endless greeting line", pop3("greeting", ("flood", b"+OK ", b"x" * 65536))),
        ("pop3 endless STAT line", pop3("STAT", ("flood", b"+OK 1 ", b"9" * 65536))),
        ("pop3 endless RETR", pop3("RETR", ("flood", b"+OK 160 octets\r\n", (b"endless " + b"z" * 90 + b"\r\n") * 640))),
        ("pop3 dripping RETR (a byte each 0.5 s)", lambda w: hostile(
            w, pop3=Behaviour("RETR", drip), limit=3 * w.safety + 5)),
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
        ("smtp 250 to the end of data, then close",
         smtp("END", send(fakes.SMTP["END"], True), sizes=(SIZE,) * 12)),
        ("smtp QUIT refused", lambda w: hostile(w, smtp=Behaviour("QUIT", send(b"500 5.5.1 no\r\n")))),
        ("smtp 451 to MAIL (temporary)", smtp("MAIL", send(b"451 4.3.0 later\r\n"))),
        ("smtp 550 to RCPT (permanent)", smtp("RCPT", send(b"550 5.1.1 no such user\r\n"))),
        ("a 12 MB message", lambda w: hostile(w, sizes=(12 * MB,), limit=60)),
        ("SIGTERM during POP3 (RETR dripping)", pop3("RETR", ("drip", drip[1], 0.2),
                                                     sigterm_when=lambda w: w.pop3.seen("RETR 1"))),
        ("SIGTERM during SMTP (no reply to the end of data)",
         smtp("END", SILENCE, sigterm_when=lambda w: w.smtp.seen("END"))),
    ]


# --- the anti-spam program ------------------------------------------------------------------

def spam_cases():
    return [
        ("spam program never exits", lambda w: hostile(w, spam="hang")),
        ("spam program deletes its input", lambda w: hostile(w, spam="delete")),
        ("spam program empties its input", lambda w: hostile(w, spam="empty")),
        ("spam program rewrites its input [the rewrite is kept]", lambda w: hostile(
            w, spam="rewrite", rewritten=lambda data: b"X-Hostile-Filter: checked\r\n" + data)),
        ("SIGTERM during the spam program", lambda w: hostile(
            w, spam="hang", sigterm_when=lambda w: os.path.exists(w.path("spam.started")))),
    ]


# --- full and missing folders -----------------------------------------------------------------

def folder_cases(root):
    def full(folder, size, message_size, keep_free):
        """The folder on a small tmpfs, filled up to `keep_free` bytes during the case."""
        def case(w):
            path, filler = w.path(folder), w.path(folder, "..filler")

            def fill(w):
                st = os.statvfs(path)
                with open(filler, "wb") as f:
                    f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - keep_free))
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0700" % size, "tmpfs", path],
                           check=True)
            try:
                return hostile(w, sizes=(message_size,), setup=fill, restore=lambda w: os.remove(filler))
            finally:
                w.quarantine()
                subprocess.run(["umount", path], check=False)
        return case

    def sent_missing(w):
        gone = w.path("SiEnviats.gone")
        return hostile(w, setup=lambda w: os.rename(w.path("SiEnviats"), gone),
                       restore=lambda w: os.rename(gone, w.path("SiEnviats")))

    skip = None if root else "not root: no tmpfs can be mounted"
    return [
        ("queue folder full (tmpfs)", full("Cua", "2m", 300 * 1024, 64 * 1024), skip),
        ("sent archive full (tmpfs)", full("SiEnviats", "1m", 200 * 1024, 0), skip),
        ("sent archive missing", sent_missing, None),
    ]
