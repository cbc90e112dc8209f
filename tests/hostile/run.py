#!/usr/bin/python3
# The hostile-peer suite: fake POP3 and SMTP servers that drop, stall, flood, lie and
# refuse, misbehaving anti-spam programs, full and missing folders, and SIGTERM in each
# phase, against the built program ("vessamo /E", headless) on 127.0.0.1. A case is a
# hostile routing run, then a clean one (where a loss or a duplicate shows), then the
# invariant of Worker.check, not a transcript.
#
#   /usr/bin/python3 tests/hostile/run.py [--vessamo PATH] [--only REGEX]
#
# The workers, each one long-running Vessamo process with its own servers and folders, run
# side by side. Exit status 1 when a case failed.
import argparse
import collections
import glob
import os
import shutil
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fakes import (CLOSE, POP3_BYE, POP3_GREETING, POP3_OK, SILENCE, SMTP, SMTP_REPLIES, Behaviour,  # noqa: E402
                   FakePop3, FakeSmtp, flood, late, pop3_retr, send)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FOLDERS = ("Cua", "SiEnviats", "NoEnviats", "SPam")
QUEUE_LOCK = ".vessamo.lock"  # in the queue folder, held by the router that works it
MB, SIZE = 1 << 20, 160  # SIZE: the message of the byte-offset cases
QUIET_S = 0.15  # no step of a normal run keeps that still for this long
TICK_MS = 40  # of the program's safety timer (VESSAMO_SAFETY_TICK_MS): a stalled run ends in 5 s
# The anti-spam program does what spam.mode says at each call.
SPAM_SCRIPT = r"""dir=$(dirname "$0")
case "$(cat "$dir/spam.mode")" in
pass) echo clean >"$2" ;;
hang) echo $$ >>"$dir/spam.pids"; sleep 600 & echo $! >>"$dir/spam.pids"; wait ;;
delete) rm -f "$1"; echo clean >"$2" ;;
empty) : >"$1"; echo clean >"$2" ;;
rewrite) { printf 'X-Hostile-Filter: checked\r\n'; cat "$1"; } >"$1.new" && mv "$1.new" "$1"; echo clean >"$2" ;;
esac
"""


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def status_field(pid, name, base=10):
    m = re.search(rb"^" + name + rb":\s*(\S+)", read("/proc/%d/status" % pid), re.M)
    return int(m.group(1), base) if m else 0


def message(seq, size):
    """Exactly `size` bytes (at least 160): its own Message-ID, a Received: line first,
    lines that need dot-stuffing, 8-bit bytes."""
    mid = "<h%05d@hostile.test>" % seq
    lines = [b"Received: from mx\r\nFrom: <s%05d@example.org>\r\nMessage-ID: %s\r\n\r\n.dot\r\n" % (seq, mid.encode())]
    length = len(lines[0])
    while size - length > 60:
        n = len(lines)
        lines.append(b"%s%d %s\r\n" % (b".." if n % 7 == 4 else b"", n - 1, bytes(range(0xE0, 0xE8 + (n - 1) % 20))))
        length += len(lines[-1])
    return mid, b"".join(lines) + b"y" * (size - length - 2) + b"\r\n"


class Worker:
    """One "vessamo /E" process going through its cases one after the other; SIGUSR1 starts
    a run. The end of a run is seen from outside: no socket, pipe or file open beyond those
    of the idle program, no child process, not on a CPU, no output, no connection at the
    fake servers, all for QUIET_S."""

    def __init__(self, name, binary, root):
        self.name, self.binary, self.spam = name, binary, name == "spam"
        self.safety = 121 * TICK_MS / 1000.0  # the safety timer: 121 ticks without progress
        self.run_limit, self.stop_limit = self.safety + 4.0, 5.0  # with room for the work; SIGTERM to exit
        self.dir = os.path.join(root, name)
        for sub in FOLDERS + ("quarantine", "home"):
            os.makedirs(self.path(sub))
        self.pop3, self.smtp = FakePop3(), FakeSmtp()
        self.seq, self.delivered, self.known, self.checked = 0, 0, {}, set()  # known: message bytes -> id
        self.out_path = self.path("out.log")
        if self.spam:
            with open(self.path("spam.sh"), "w") as f:
                f.write(SPAM_SCRIPT)
        subprocess.run(["bash", "-c", 'source "$0" && vsm_write_config "$@"',
                        os.path.join(ROOT, "scripts/lib/vsmconfig.sh"), self.path("vessamo.vsm"),
                        "30000", self.path("Cua/"), self.path("NoEnviats/"), self.path("SiEnviats/"), "30",
                        "127.0.0.1", str(self.smtp.port), "0", "", "", "-1" if self.spam else "0",
                        '/bin/sh "%s" %%i %%o' % self.path("spam.sh") if self.spam else "", self.path("SPam/"),
                        "SPAM", "--", "127.0.0.1", str(self.pop3.port), "hostile", "secret", "box@example.org"],
                       check=True)
        self.start()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def close(self):
        self.terminate(self.stop_limit)
        self.spam_left(kill=True)
        self.pop3.stop()
        self.smtp.stop()

    def start(self):
        self.largest = 0  # of the messages this process handled: memory it freed may stay mapped
        self.process = self.spawn()
        self.baseline = self.fds()

    def spawn(self):
        """A "vessamo /E" on this worker's configuration, once it handles SIGUSR1."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET")}
        env.update(VESSAMO_CONFIG=self.path("vessamo.vsm"), VESSAMO_EVENTLOG=self.path("events.log"),
                   VESSAMO_MINUTE_MS="3600000", XDG_CONFIG_HOME=self.path("home"),
                   VESSAMO_SAFETY_TICK_MS=str(TICK_MS))
        with open(self.out_path, "ab") as out:
            process = subprocess.Popen([self.binary, "/E"], env=env, stdout=out, cwd=self.dir,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        # SIGUSR1 before the handler is in place would kill it.
        deadline = time.monotonic() + 20
        while not (status_field(process.pid, b"SigCgt", 16) >> (signal.SIGUSR1 - 1)) & 1:
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("vessamo set up no SIGUSR1 handler: %r" % read(self.out_path))
            time.sleep(0.02)
        return process

    def alive(self):
        return self.process.poll() is None

    def fds(self):
        base, targets = "/proc/%d/fd/" % self.process.pid, set()
        try:
            for name in os.listdir(base):
                targets.add(os.readlink(base + name))
        except OSError:
            pass
        return targets

    def busy(self):
        pid = self.process.pid
        stat = read("/proc/%d/stat" % pid)
        return bool(self.fds() - self.baseline - {self.path("events.log")}
                    or any(read("/proc/%d/task/%s/children" % (pid, t)).strip() for t in os.listdir("/proc/%d/task" % pid))
                    or stat[stat.rfind(b")") + 2:][:1] in (b"R", b"D"))

    def ended(self, deadline):
        """Whether the run going on visibly ends by the deadline."""
        last_busy, size = time.monotonic(), -1
        while self.alive() and time.monotonic() <= deadline:
            now, new_size = time.monotonic(), os.path.getsize(self.out_path)
            if new_size != size or self.busy() or self.pop3.open or self.smtp.open:
                size, last_busy = new_size, now
            elif now - last_busy >= QUIET_S:
                return True
            time.sleep(0.01)
        return False

    def terminate(self, limit):
        """SIGTERM; False when the program still runs `limit` s later (it is killed then)."""
        self.process.terminate()
        try:
            self.process.wait(limit)
            return True
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return False

    def terminate_other(self, process):
        """SIGTERM to a second process on this worker; False when it had to be killed."""
        process.terminate()
        try:
            process.wait(self.stop_limit)
            return True
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return False

    def replace(self, problems, why):
        """Ends an overrunning process (SIGTERM, then SIGKILL), or notes a dead one."""
        if not self.alive():
            problems.append("the program died (status %s)" % self.process.returncode)
        else:
            problems.append(why if self.terminate(2.0) else why + "; not ended 2 s after SIGTERM either")
        self.spam_left(kill=True)
        self.start()

    def signal_run(self, deadline):
        """SIGUSR1 every half second until the program connects to the POP3 server: it ignores
        the signal during a run, so this proves the run before over."""
        before, resend = self.pop3.connections, 0
        while self.pop3.connections == before:
            if not self.alive() or time.monotonic() > deadline:
                return False
            if time.monotonic() > resend:
                self.process.send_signal(signal.SIGUSR1)
                resend = time.monotonic() + 0.5
            time.sleep(0.01)
        return True

    def begin_run(self, problems, deadline, why):
        """If the program takes no run by the deadline, `why` is a problem and a new process
        takes it. Returns the peak memory (KB) before the run."""
        peak = status_field(self.process.pid, b"VmHWM")
        if not self.signal_run(deadline):
            self.replace(problems, why)
            if not self.signal_run(time.monotonic() + 10):
                raise RuntimeError("a new process did not start a run")
        return peak

    def clean_run(self, problems, deadline, why):
        """A run against well-behaved peers; the peak memory before it."""
        for server in (self.pop3, self.smtp):
            server.set_script([])
        self.spam_mode("pass")
        peak = self.begin_run(problems, deadline, why)
        if not self.ended(time.monotonic() + 30):
            self.replace(problems, "a clean run did not end within 30 s")
        return peak

    def spam_mode(self, mode):
        if self.spam:
            with open(self.path("spam.mode"), "w") as f:
                f.write(mode)

    def spam_left(self, kill=False):
        """The spam program's processes still running; with `kill`, they are killed."""
        pids = [int(p) for p in read(self.path("spam.pids")).split()]
        left = [p for p in pids if read("/proc/%d/stat" % p).split(b")")[-1][1:2] not in (b"", b"Z")]
        if kill and pids:
            subprocess.run(["kill", "-KILL"] + [str(p) for p in left], stderr=subprocess.DEVNULL)
            os.remove(self.path("spam.pids"))
        return left

    def queued(self):
        """The files in the queue folder but the routers' lock file, which stays."""
        return [name for name in os.listdir(self.path("Cua")) if name != QUEUE_LOCK]

    def quarantine(self):
        """Each case starts from an empty mailbox and an empty queue."""
        self.pop3.mailbox.clear()
        for name in self.queued():
            shutil.move(self.path("Cua", name), self.path("quarantine", "%d-%s" % (self.seq, name)))

    def case(self, pop3=None, smtp=None, every=False, sizes=(SIZE,), limit=None, duplicates_allowed=False,
             sigterm_when=None, spam="pass", setup=None, restore=None):
        """A hostile run (the behaviours apply to the first connection, or to every one of the
        run), a clean run, the invariant check; the problems found. sigterm_when: a condition
        on the worker; once it holds, SIGTERM, and the program must exit within the stop
        limit. setup/restore: before the case, and before its check."""
        self.quarantine()
        mids = []
        for size in sizes:
            self.seq += 1
            mid, data = message(self.seq, size)
            self.pop3.add(mid, data)
            self.known[data] = self.known[b"X-Hostile-Filter: checked\r\n" + data] = mid  # as rewritten, too
            mids.append(mid)
        for server, behaviour in ((self.pop3, pop3), (self.smtp, smtp)):
            server.set_script([] if every or not behaviour else [behaviour], behaviour if every else None)
        self.spam_mode(spam)
        if setup:
            setup(self)
        self.largest = max(self.largest, *sizes)
        problems, limit, t0 = [], limit or self.run_limit, time.monotonic()
        self.begin_run(problems, t0 + 10, "the run before the case did not end")
        with open("/proc/%d/clear_refs" % self.process.pid, "w") as f:
            f.write("5")  # resets the peak memory
        if sigterm_when:
            deadline = time.monotonic() + 15
            while not sigterm_when(self) and time.monotonic() < deadline and self.alive():
                time.sleep(0.01)
            if not sigterm_when(self):
                problems.append("the moment for SIGTERM never came")
            time.sleep(0.2)
            peak = status_field(self.process.pid, b"VmHWM")
            if not self.terminate(self.stop_limit):
                problems.append("still running %.0f s after SIGTERM (killed)" % self.stop_limit)
                self.spam_left(kill=True)  # orphaned by the kill, not by the program
            self.start()
            self.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
        else:
            overran = "the run did not end within %.1f s" % limit
            if not self.ended(t0 + limit):
                self.replace(problems, overran)
            # The clean run starts only once the hostile run is over: the proof of its end.
            peak = self.clean_run(problems, max(t0 + limit, time.monotonic() + 0.5), overran)
        if self.spam_left(kill=True):
            problems.append("the spam program's processes were left running")
        if restore:
            restore(self)
            if set(mids) & set(self.pop3.ids()) or self.queued():
                self.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
        return problems + self.check(mids, duplicates_allowed, peak)

    def check(self, mids, duplicates_allowed, peak_kb):
        """Every message is on the server, in the queue or an archive, and delivered at most
        once (twice where allowed); no file or delivery since the last check holds anything
        but a message of this worker, unchanged (or as the spam program rewrote it); peak
        memory within 3 x the largest message + 40 MB."""
        problems, stored, sent = [], set(), [self.known.get(data) for data in self.smtp.accepted]
        for path in [p for folder in FOLDERS for p in glob.glob(self.path(folder, "*.missatge"))]:
            stored.add(self.known.get(read(path)))
            if None in stored and path not in self.checked:
                problems.append("%s is no message of this worker, or altered" % path)
            stored.discard(None)
            self.checked.add(path)
        if None in sent[self.delivered:]:
            problems.append("a delivery is no message of this worker, or altered")
        self.delivered = len(sent)
        on_server = set(self.pop3.ids())
        for mid in mids:
            if mid not in on_server and mid not in stored:
                problems.append("%s lost: not on the server, not in the queue or an archive" % mid)
            if sent.count(mid) > (2 if duplicates_allowed else 1):
                problems.append("%s forwarded %d times" % (mid, sent.count(mid)))
        limit_kb = 3 * self.largest // 1024 + 40 * 1024
        if peak_kb > limit_kb:
            problems.append("peak memory %d KB > %d KB" % (peak_kb, limit_kb))
        return problems


# --- the cases: (name, function of the worker giving the problems found) -------------------

def pop3(step, action, number=None, **kw):
    return lambda w: w.case(pop3=Behaviour(step, action, number), **kw)


def smtp(step, action, every=True, **kw):
    return lambda w: w.case(smtp=Behaviour(step, action), every=every, **kw)


def baseline(w):
    """Well-behaved servers: the harness's own check."""
    problems = w.case(sizes=(SIZE, 3000, SIZE))
    if len(w.smtp.accepted) != 3 or w.pop3.ids() or w.queued():
        problems.append("not 3 deliveries, or mailbox or queue not empty after a clean run")
    return problems


def two_routers(w):
    """A second "vessamo /E" on the same configuration (a service and a tray program): both
    are told to run at the same moment, twice, while the server takes its time over each
    message. Only one may work the queue at a time; every message is delivered once."""
    w.quarantine()
    mids = []
    for size in (SIZE, 3000, 200 * 1024, SIZE, 5000, SIZE, SIZE, 3000):
        w.seq += 1
        mid, data = message(w.seq, size)
        w.pop3.add(mid, data)
        w.known[data] = mid
        mids.append(mid)
    w.pop3.set_script([])
    w.smtp.set_script([], Behaviour("END", late(SMTP["END"], 0.05)))
    problems, other, log_size = [], w.spawn(), os.path.getsize(w.out_path)
    try:
        for _ in range(2):
            for process in (w.process, other):
                process.send_signal(signal.SIGUSR1)
            deadline = time.monotonic() + 20
            while (w.pop3.ids() or glob.glob(w.path("Cua", "*.destinatari")) + glob.glob(w.path("Cua", "*.enviat"))
                   or w.pop3.open or w.smtp.open) and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.5)  # room for a second router's duplicates to show
    finally:
        if not w.terminate_other(other):
            problems.append("the second router still ran 5 s after SIGTERM")
    w.smtp.set_script([])
    if b"la fa servir un altre proc" not in read(w.out_path)[log_size:]:
        problems.append("no status line says that the queue was held by the other router")
    return problems + w.check(mids, False, 0)


def drops():
    """A drop at every byte offset of a whole POP3 session, and of an SMTP session."""
    total = len(POP3_GREETING + 3 * POP3_OK + b"+OK 1 160\r\n" + POP3_BYE + pop3_retr(message(1, SIZE)[1]))
    pop3_cases = [("pop3 drop at byte %d of %d" % (k, total), lambda w, k=k: w.case(pop3=Behaviour(drop_at=k)))
                  for k in range(total)]
    smtp_cases, offset = [], 0
    for step, reply in SMTP_REPLIES:
        # Inside the reply to the end of data the server has accepted the message but the
        # program cannot know: the one window where a duplicate is unavoidable.
        window = " [window: duplicate allowed]" if step == "END" else ""
        smtp_cases += [("smtp drop at byte %d (%s reply, +%d)%s" % (offset + i, step, i, window),
                        lambda w, k=offset + i, d=bool(window): w.case(smtp=Behaviour(drop_at=k), duplicates_allowed=d))
                       for i in range(len(reply))]
        offset += len(reply)
    return pop3_cases, smtp_cases


def silences():
    half_retr = pop3_retr(message(0, SIZE)[1])[:SIZE // 2]
    return [("pop3 silent at %s" % step, pop3(step, SILENCE))
            for step in ("greeting", "USER", "PASS", "STAT", "RETR", "DELE", "QUIT")] + [
        ("pop3 silent in the middle of RETR data", pop3("RETR", send(half_retr, "silence")))] + [
        ("smtp silent at %s (every connection of the run)" % step, smtp(step, SILENCE)) for step, _ in SMTP_REPLIES]


def misc():
    drip = ("stream", b"+OK\r\n", b"d", 0.5)
    return [
        ("baseline: well-behaved servers", baseline),
        ("pop3 endless greeting line", pop3("greeting", flood(b"+OK ", b"x" * 65536))),
        ("pop3 endless STAT line", pop3("STAT", flood(b"+OK 1 ", b"9" * 65536))),
        ("pop3 endless RETR", pop3("RETR", flood(b"+OK 160 octets\r\n", (b"endless " + b"z" * 90 + b"\r\n") * 640))),
        ("pop3 dripping RETR (a byte each 0.5 s)", lambda w: w.case(pop3=Behaviour("RETR", drip),
                                                                    limit=3 * w.safety + 5)),
        ("pop3 STAT understates the size", pop3("STAT", send(b"+OK 1 100\r\n"), sizes=(200 * 1024,))),
        ("pop3 STAT overstates the size", pop3("STAT", send(b"+OK 1 999999999999999\r\n"))),
        ("pop3 STAT announces more messages", pop3("STAT", send(b"+OK 3 480\r\n"))),
        ("pop3 -ERR to RETR 2 of 3", pop3("RETR", send(b"-ERR message locked\r\n"), 2, sizes=(SIZE,) * 3)),
        ("pop3 -ERR to DELE 2 of 3", pop3("DELE", send(b"-ERR cannot\r\n"), 2, sizes=(SIZE,) * 3)),
        ("pop3 QUIT refused [the server keeps what it should delete: duplicate allowed]",
         pop3("QUIT", send(b"-ERR not now\r\n"), duplicates_allowed=True)),
        ("pop3 close after QUIT without +OK", pop3("QUIT", CLOSE)),
        ("smtp endless greeting line", smtp("greeting", flood(b"220 ", b"x" * 65536))),
        ("smtp endless multi-line reply to HELO", smtp("HELO", flood(b"", (b"250-hostile " + b"x" * 60 + b"\r\n") * 900))),
        # Twelve messages: the lost reply depends on how the reply and the close reach the
        # program, so the case gives it several chances to show.
        ("smtp 250 to the end of data, then close", smtp("END", send(SMTP["END"], "close"), sizes=(SIZE,) * 12)),
        ("smtp QUIT refused", smtp("QUIT", send(b"500 5.5.1 no\r\n"), every=False)),
        ("smtp 451 to MAIL (temporary)", smtp("MAIL", send(b"451 4.3.0 later\r\n"))),
        ("smtp 550 to RCPT (permanent)", smtp("RCPT", send(b"550 5.1.1 no such user\r\n"))),
        ("a 12 MB message", lambda w: w.case(sizes=(12 * MB,), limit=60)),
        ("SIGTERM during POP3 (RETR dripping)",
         pop3("RETR", drip[:3] + (0.2,), sigterm_when=lambda w: "RETR 1" in w.pop3.commands)),
        ("SIGTERM during SMTP (no reply to the end of data)",
         smtp("END", SILENCE, sigterm_when=lambda w: "END" in w.smtp.commands)),
        # The stop waits for the reply (30 safety ticks at most): the acceptance is recorded.
        ("SIGTERM during SMTP (250 to the end of data 0.6 s late)",
         smtp("END", late(SMTP["END"], 0.6), sigterm_when=lambda w: "END" in w.smtp.commands)),
        ("two routers on one queue", two_routers),
    ]


def spam():
    return [("spam program " + what, lambda w, mode=mode: w.case(spam=mode)) for what, mode in (
        ("never exits", "hang"), ("deletes its input", "delete"), ("empties its input", "empty"),
        ("rewrites its input [the rewrite is kept]", "rewrite"))] + [
        ("SIGTERM during the spam program",
         lambda w: w.case(spam="hang", sigterm_when=lambda w: w.spam_left()))]


def folders():
    def full(folder, size, message_size, keep_free):
        """The folder on a small tmpfs, filled up to `keep_free` bytes during the case."""
        def case(w):
            path, filler = w.path(folder), w.path(folder, "..filler")
            room = lambda: max(0, os.statvfs(path).f_bavail * os.statvfs(path).f_frsize - keep_free)  # noqa: E731
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0700" % size, "tmpfs", path], check=True)
            try:
                return w.case(sizes=(message_size,), setup=lambda w: open(filler, "wb").write(b"\0" * room()),
                              restore=lambda w: os.remove(filler))
            finally:
                w.quarantine()
                subprocess.run(["umount", path], check=False)
        return case

    gone = lambda w: (w.path("SiEnviats"), w.path("SiEnviats.gone"))  # noqa: E731
    return [("queue folder full (tmpfs)", full("Cua", "2m", 300 * 1024, 64 * 1024)),
            ("sent archive full (tmpfs)", full("SiEnviats", "1m", 200 * 1024, 0)),
            ("sent archive missing", lambda w: w.case(setup=lambda w: os.rename(*gone(w)),
                                                      restore=lambda w: os.rename(*reversed(gone(w)))))]


# --- the run -----------------------------------------------------------------------------

counts, lock = collections.Counter(), threading.Lock()


def report(status, name, more=()):
    with lock:
        counts[status] += 1
        print("\n      ".join(["%s  %s" % (status, name)] + list(more)), flush=True)


def run_worker(name, cases, binary, only, root):
    worker = None
    try:
        worker = Worker(name, binary, root)
        for case_name, fn in [c for c in cases if not only or re.search(only, c[0], re.I)]:
            if "(tmpfs)" in case_name and os.geteuid():
                report("SKIP", case_name + ": not root: no tmpfs can be mounted")
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
            report("FAIL", took + ": " + problems[0], problems[1:4]) if problems else report("PASS", took)
    except Exception as e:
        traceback.print_exc()
        report("FAIL", "worker %s: harness error: %s" % (name, e))
    finally:
        if worker:
            worker.close()


def main():
    parser = argparse.ArgumentParser(description="hostile-peer tests against the built program")
    parser.add_argument("--vessamo", default=os.path.join(ROOT, "build", "vessamo"))
    parser.add_argument("--only", help="run only the cases whose name matches this regex")
    parser.add_argument("--list", action="store_true", help="print the names of the cases, run none")
    args = parser.parse_args()
    start, pop3_drops, smtp_drops = time.monotonic(), *drops()
    plan = [("popdrop1", pop3_drops[0::2]), ("popdrop2", pop3_drops[1::2]), ("smtpdrop1", smtp_drops[0::2]),
            ("smtpdrop2", smtp_drops[1::2]), ("silence1", silences()[0::2]), ("silence2", silences()[1::2]),
            ("misc", misc()), ("spam", spam()), ("folders", folders())]  # the worker "spam" filters spam
    if args.list:
        names = [c[0] for _, cases in plan for c in cases if not args.only or re.search(args.only, c[0], re.I)]
        print("\n".join(names))
        return 0 if names else 1
    with tempfile.TemporaryDirectory(prefix="vessamo-hostile.") as root:
        threads = [threading.Thread(target=run_worker, args=(name, cases, os.path.abspath(args.vessamo),
                                                             args.only, root)) for name, cases in plan]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    print("hostile suite: %.0f s" % (time.monotonic() - start))
    print("%d passed, %d failed%s" % (counts["PASS"], counts["FAIL"],
                                      ", %d skipped" % counts["SKIP"] if counts["SKIP"] else ""))
    return 1 if counts["FAIL"] or not counts["PASS"] else 0


if __name__ == "__main__":
    sys.exit(main())
