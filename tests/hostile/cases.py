# The hostile cases, grouped by worker. Each case returns a list of problems (empty when
# the invariant held). A case is a hostile routing run (the hostile behaviour applies to
# the first connection, or to every connection of that run), then a clean run (the next
# run, where a duplicate shows), then the invariant check. Names that say "duplicate
# allowed" mark the cases where a second delivery cannot be avoided.
import os
import subprocess
import time

import fakes
from fakes import Behaviour, Close, Drip, Flood, Send, Silence

MB = 1024 * 1024
SIZE = 160  # the small message of the byte-offset cases


def on(step, action, number=None):
    """A hook: `action` at `step` (for RETR/DELE only for that message number)."""
    def hook(s, arg):
        if s == step and (number is None or arg == number):
            return action
        return None
    return hook


def pending(w, mids):
    on_server = set(w.pop3.ids())
    return any(m in on_server for m in mids) or bool(os.listdir(w.path("Cua")))


def hostile(w, pop3=None, smtp=None, every=False, sizes=(SIZE,), limit=None,
            duplicates_allowed=False, rewritten=None, sigterm_when=None, spam=None,
            setup=None, restore=None):
    """pop3/smtp: the Behaviour of the hostile run; every: for all its connections, not
    only the first. sigterm_when: a condition on the worker; once it holds, SIGTERM, and
    the program must exit within the stop limit."""
    w.quarantine()
    mids = [w.new_message(size) for size in sizes]
    for mid in mids:
        w.pop3.add(mid, w.originals[mid])
    for server, behaviour in ((w.pop3, pop3), (w.smtp, smtp)):
        if every:
            server.set_script([], default=behaviour)
        else:
            server.set_script([behaviour] if behaviour else [])
    if spam:
        w.spam_mode(spam)
    if setup:
        setup(w)
    largest = max(len(w.originals[m]) for m in mids)
    w.vessamo.largest = max(w.vessamo.largest, largest)
    problems = []
    limit = limit or w.timing.run_limit
    overran = "the run did not end within %.1f s" % limit
    t0 = time.monotonic()
    w.begin_run(problems, t0 + 10, "the run before the case did not end")
    w.vessamo.reset_memory_peak()
    if sigterm_when:
        deadline = time.monotonic() + 15
        while not sigterm_when(w) and time.monotonic() < deadline and w.vessamo.alive():
            time.sleep(0.01)
        if not sigterm_when(w):
            problems.append("the moment for SIGTERM never came")
        time.sleep(0.2)
        peak = w.vessamo.memory_peak_kb()
        waited = w.vessamo.terminate(w.timing.stop_limit)
        if waited is None:
            problems.append("still running %.0f s after SIGTERM (killed)" % w.timing.stop_limit)
            w.kill_spam_leftovers()  # orphaned by the kill, not by the program
        w.vessamo.start()
        w.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
    else:
        w.end_run(problems, t0 + limit, overran)
        # The clean run starts only once the hostile run is over: the proof of its end.
        peak = w.clean_run(problems, max(t0 + limit, time.monotonic() + 0.5), overran)
    left = w.spam_processes_left()
    if left:
        problems.append("the spam program's processes were left running (%d)" % len(left))
        w.kill_spam_leftovers()
    if restore:
        restore(w)
        if pending(w, mids):
            w.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
    problems += w.check(mids, duplicates_allowed, rewritten, peak,
                        max(largest, w.vessamo.largest))
    return problems


# --- drops at every byte offset ----------------------------------------------------------

def pop3_session_length(w):
    data = w.message_bytes(w.seq + 1, SIZE)[1]
    return len(fakes.POP3_GREETING + 2 * fakes.POP3_OK + fakes.pop3_stat(1, SIZE)
               + fakes.pop3_retr(data) + fakes.POP3_OK + fakes.POP3_BYE)


def baseline(w):
    """A well-behaved pair of servers: the harness's own check."""
    problems = hostile(w, sizes=(SIZE, 3000, SIZE))
    delivered = len(w.smtp.accepted)
    if delivered != 3:
        problems.append("%d deliveries, not 3" % delivered)
    if w.pop3.ids() or os.listdir(w.path("Cua")):
        problems.append("mailbox or queue not empty after a clean run")
    return problems


def pop3_drop_cases(part, parts):
    def cases(w):
        total = pop3_session_length(w)
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

def pop3_silence_cases():
    cases = []
    for step in ("greeting", "USER", "PASS", "STAT", "RETR", "DELE", "QUIT"):
        cases.append(("pop3 silent at %s" % step,
                      lambda w, step=step: hostile(w, pop3=Behaviour(on(step, Silence())))))

    def half_retr(w):
        reply = fakes.pop3_retr(w.message_bytes(w.seq + 1, SIZE)[1])
        return hostile(w, pop3=Behaviour(on("RETR", [Send(reply[:len(reply) // 2]), Silence()])))
    cases.append(("pop3 silent in the middle of RETR data", half_retr))
    return cases


def smtp_silence_cases():
    cases = []
    for step, _ in fakes.SMTP_REPLIES:
        cases.append(("smtp silent at %s (every connection of the run)" % step,
                      lambda w, step=step: hostile(w, smtp=Behaviour(on(step, Silence())), every=True)))
    return cases


# --- floods, lies, refusals ---------------------------------------------------------------

def flood(head, chunk):
    return Flood(head, chunk, rate=20 * MB, limit=1 << 40)


def misc_cases():
    endless_line = b"x" * 65536
    multiline = (b"250-hostile " + b"x" * 60 + b"\r\n") * 900
    data_lines = (b"endless " + b"z" * 90 + b"\r\n") * 640
    cases = [
        ("pop3 endless greeting line", lambda w: hostile(w, pop3=Behaviour(on("greeting", flood(b"+OK ", endless_line))))),
        ("pop3 endless STAT line", lambda w: hostile(w, pop3=Behaviour(on("STAT", flood(b"+OK 1 ", b"9" * 65536))))),
        ("pop3 endless RETR", lambda w: hostile(w, pop3=Behaviour(on("RETR", flood(b"+OK 160 octets\r\n", data_lines))))),
        ("pop3 dripping RETR (a byte each 0.5 s)", lambda w: hostile(
            w, pop3=Behaviour(on("RETR", Drip(b"+OK\r\n" + b"d" * 400, 0.5))),
            limit=3 * w.timing.safety + 5)),
        ("pop3 STAT understates the size", lambda w: hostile(
            w, pop3=Behaviour(on("STAT", Send(b"+OK 1 100\r\n"))), sizes=(200 * 1024,))),
        ("pop3 STAT overstates the size", lambda w: hostile(
            w, pop3=Behaviour(on("STAT", Send(b"+OK 1 999999999999999\r\n"))))),
        ("pop3 STAT announces more messages", lambda w: hostile(
            w, pop3=Behaviour(on("STAT", Send(b"+OK 3 480\r\n"))))),
        ("pop3 -ERR to RETR 2 of 3", lambda w: hostile(
            w, pop3=Behaviour(on("RETR", Send(b"-ERR message locked\r\n"), 2)), sizes=(SIZE,) * 3)),
        ("pop3 -ERR to DELE 2 of 3", lambda w: hostile(
            w, pop3=Behaviour(on("DELE", Send(b"-ERR cannot\r\n"), 2)), sizes=(SIZE,) * 3)),
        ("pop3 QUIT refused [the server keeps what it should delete: duplicate allowed]",
         lambda w: hostile(w, pop3=Behaviour(on("QUIT", Send(b"-ERR not now\r\n"))), duplicates_allowed=True)),
        ("pop3 close after QUIT without +OK", lambda w: hostile(w, pop3=Behaviour(on("QUIT", Close())))),
        ("smtp endless greeting line", lambda w: hostile(w, smtp=Behaviour(on("greeting", flood(b"220 ", endless_line))), every=True)),
        ("smtp endless multi-line reply to HELO", lambda w: hostile(w, smtp=Behaviour(on("HELO", flood(b"", multiline))), every=True)),
        # Twelve messages, every connection: the lost reply depends on how the reply and the
        # close reach the program, so the case gives it several chances to show.
        ("smtp 250 to the end of data, then close", lambda w: hostile(
            w, smtp=Behaviour(on("END", Send(fakes.SMTP_REPLIES[5][1], close_after=True))),
            every=True, sizes=(SIZE,) * 12)),
        ("smtp QUIT refused", lambda w: hostile(w, smtp=Behaviour(on("QUIT", Send(b"500 5.5.1 no\r\n"))))),
        ("smtp 451 to MAIL (temporary)", lambda w: hostile(w, smtp=Behaviour(on("MAIL", Send(b"451 4.3.0 later\r\n"))), every=True)),
        ("smtp 550 to RCPT (permanent)", lambda w: hostile(w, smtp=Behaviour(on("RCPT", Send(b"550 5.1.1 no such user\r\n"))), every=True)),
        ("a 12 MB message", lambda w: hostile(w, sizes=(12 * MB,), limit=60)),
        ("SIGTERM during POP3 (RETR dripping)", lambda w: hostile(
            w, pop3=Behaviour(on("RETR", Drip(b"+OK\r\n" + b"d" * 400, 0.2))),
            sigterm_when=lambda w: w.pop3.seen("RETR 1"))),
        ("SIGTERM during SMTP (no reply to the end of data)", lambda w: hostile(
            w, smtp=Behaviour(on("END", Silence())), every=True,
            sigterm_when=lambda w: w.smtp.seen("END"))),
    ]
    return cases


# --- the anti-spam program ------------------------------------------------------------------

def prepend_header(data):
    return b"X-Hostile-Filter: checked\r\n" + data


def spam_cases():
    return [
        ("spam program never exits", lambda w: hostile(w, spam="hang")),
        ("spam program deletes its input", lambda w: hostile(w, spam="delete")),
        ("spam program empties its input", lambda w: hostile(w, spam="empty")),
        ("spam program rewrites its input [the rewrite is kept]", lambda w: hostile(
            w, spam="rewrite", rewritten=prepend_header)),
        ("SIGTERM during the spam program", lambda w: hostile(
            w, spam="hang", sigterm_when=lambda w: os.path.exists(w.path("spam.started")))),
    ]


# --- full and missing folders -----------------------------------------------------------------

def mount_tmpfs(path, size):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0700" % size, "tmpfs", path],
                   check=True)


def umount(path):
    subprocess.run(["umount", path], check=False)


def fill(path, keep_free):
    """Fills the file system of `path` until fewer than `keep_free` bytes are free."""
    st = os.statvfs(path)
    free = st.f_bavail * st.f_frsize
    with open(os.path.join(path, "..filler"), "wb") as f:
        f.write(b"\0" * max(0, free - keep_free))


def unfill(path):
    try:
        os.remove(os.path.join(path, "..filler"))
    except OSError:
        pass


def folder_cases(root):
    def queue_full(w):
        mount_tmpfs(w.path("Cua"), "2m")
        try:
            return hostile(w, sizes=(300 * 1024,), setup=lambda w: fill(w.path("Cua"), 64 * 1024),
                           restore=lambda w: unfill(w.path("Cua")))
        finally:
            w.quarantine()
            umount(w.path("Cua"))

    def sent_full(w):
        mount_tmpfs(w.path("SiEnviats"), "1m")
        try:
            return hostile(w, sizes=(200 * 1024,), setup=lambda w: fill(w.path("SiEnviats"), 0),
                           restore=lambda w: unfill(w.path("SiEnviats")))
        finally:
            w.quarantine()
            umount(w.path("SiEnviats"))

    def sent_missing(w):
        gone = w.path("SiEnviats.gone")
        return hostile(w, setup=lambda w: os.rename(w.path("SiEnviats"), gone),
                       restore=lambda w: os.rename(gone, w.path("SiEnviats")))

    skip = None if root else "not root: no tmpfs can be mounted"
    return [
        ("queue folder full (tmpfs)", queue_full, skip),
        ("sent archive full (tmpfs)", sent_full, skip),
        ("sent archive missing", sent_missing, None),
    ]
