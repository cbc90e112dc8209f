# One worker of the hostile suite: its own folders, configuration, fake servers and one
# long-running "vessamo /E" process (headless), which goes through the worker's cases one
# after the other. A routing run is started with SIGUSR1. Its end is seen from outside:
# the program has no socket, pipe or file open beyond those it had when idle, no child
# process, is not on a CPU, prints nothing, and the fake servers hold no connection, all
# for a short quiet time.
import os
import shutil
import signal
import subprocess
import time

import fakes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FOLDERS = ("Cua", "SiEnviats", "NoEnviats", "SPam")
QUIET_S = 0.15  # no step of a normal run keeps that still for this long
# The anti-spam program: what it does is read from spam.mode each time.
SPAM_SCRIPT = r"""dir=$(dirname "$0")
case "$(cat "$dir/spam.mode")" in
pass) echo clean >"$2" ;;
hang) echo $$ >>"$dir/spam.pids"; sleep 600 & echo $! >>"$dir/spam.pids"; : >"$dir/spam.started"; wait ;;
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
    for line in read("/proc/%d/status" % pid).splitlines():
        if line.startswith(name + b":"):
            return int(line.split()[1], base)
    return 0


class Worker:
    def __init__(self, name, binary, root, tick_ms, spam=False):
        self.name, self.binary, self.tick_ms, self.spam = name, binary, tick_ms, spam
        self.safety = 121 * tick_ms / 1000.0  # the safety timer: 121 ticks without progress
        self.run_limit = self.safety + 4.0  # and room for the run's work
        self.stop_limit = 5.0  # from SIGTERM to the exit
        self.dir = os.path.join(root, name)
        for sub in FOLDERS + ("quarantine", "home"):
            os.makedirs(self.path(sub))
        self.pop3, self.smtp = fakes.FakePop3(), fakes.FakeSmtp()
        self.originals, self.seq, self.starts = {}, 0, 0
        self.known, self.checked, self.delivered = {}, set(), 0  # message bytes -> id
        program = ""
        if spam:
            with open(self.path("spam.sh"), "w") as f:
                f.write(SPAM_SCRIPT)
            program = '/bin/sh "%s" %%i %%o' % self.path("spam.sh")
            self.spam_mode("pass")
        subprocess.run(["bash", "-c", 'source "$0" && vsm_write_config "$@"',
                        os.path.join(ROOT, "scripts/lib/vsmconfig.sh"), self.path("vessamo.vsm"),
                        "30000", self.path("Cua/"), self.path("NoEnviats/"),
                        self.path("SiEnviats/"), "30", "127.0.0.1", str(self.smtp.port), "0", "",
                        "", "-1" if spam else "0", program, self.path("SPam/"), "SPAM", "--",
                        "127.0.0.1", str(self.pop3.port), "hostile", "secret", "box@example.org"],
                       check=True)
        self.start()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def close(self):
        self.terminate(self.stop_limit)
        self.kill_spam_leftovers()
        self.pop3.stop()
        self.smtp.stop()

    # --- the program -----------------------------------------------------------------

    def start(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET")}
        env.update(VESSAMO_CONFIG=self.path("vessamo.vsm"), VESSAMO_EVENTLOG=self.path("events.log"),
                   VESSAMO_MINUTE_MS="3600000", XDG_CONFIG_HOME=self.path("home"),
                   VESSAMO_SAFETY_TICK_MS=str(self.tick_ms))
        self.starts += 1
        self.largest = 0  # of the messages this process handled: memory it freed may stay mapped
        self.out_path = self.path("out.%d.log" % self.starts)
        with open(self.out_path, "wb") as out:
            self.process = subprocess.Popen([self.binary, "/E"], env=env, stdout=out, cwd=self.dir,
                                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        # SIGUSR1 before the handler is in place would kill it.
        deadline = time.monotonic() + 20
        while not (status_field(self.process.pid, b"SigCgt", 16) >> (signal.SIGUSR1 - 1)) & 1:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("vessamo set up no SIGUSR1 handler: %r" % read(self.out_path))
            time.sleep(0.02)
        self.baseline = self.fds()

    def alive(self):
        return self.process.poll() is None

    def fds(self):
        base = "/proc/%d/fd" % self.process.pid
        targets = set()
        try:
            for name in os.listdir(base):
                targets.add(os.readlink(os.path.join(base, name)))
        except OSError:
            pass
        return targets

    def busy(self):
        pid = self.process.pid
        if self.fds() - self.baseline - {self.path("events.log")}:
            return True
        if any(read("/proc/%d/task/%s/children" % (pid, t)).strip()
               for t in os.listdir("/proc/%d/task" % pid)):
            return True
        stat = read("/proc/%d/stat" % pid)
        return stat[stat.rfind(b")") + 2:][:1] in (b"R", b"D")

    def peak_kb(self):
        return status_field(self.process.pid, b"VmHWM")

    def reset_peak(self):
        try:
            with open("/proc/%d/clear_refs" % self.process.pid, "w") as f:
                f.write("5")
        except OSError:
            pass

    def start_run(self, started, deadline):
        """SIGUSR1 every half second until started(): the program ignores it while a run is
        going on, so that proves the run before over. False at the deadline or the end."""
        while self.alive() and time.monotonic() < deadline:
            self.process.send_signal(signal.SIGUSR1)
            resend = min(time.monotonic() + 0.5, deadline)
            while time.monotonic() < resend and self.alive():
                if started():
                    return True
                time.sleep(0.01)
        return started()

    def wait_end(self, deadline):
        """After start_run(): "ended" once the run visibly ends, "died" or "timeout"."""
        last_busy, size = time.monotonic(), -1
        while self.alive():
            now = time.monotonic()
            new_size = os.path.getsize(self.out_path)
            if new_size != size or self.busy() or self.pop3.open or self.smtp.open:
                size, last_busy = new_size, now
            elif now - last_busy >= QUIET_S:
                return "ended"
            if now > deadline:
                return "timeout"
            time.sleep(0.01)
        return "died"

    def terminate(self, limit):
        """SIGTERM; the seconds until the exit, or None (then it is killed)."""
        t0 = time.monotonic()
        if self.alive():
            self.process.terminate()
            try:
                self.process.wait(limit)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return None
        return time.monotonic() - t0

    # --- messages and the spam program -------------------------------------------------

    def message(self, seq, size):
        """`size` bytes (at least 160): its own Message-ID, a Received: line first, lines
        that need dot-stuffing, 8-bit bytes."""
        mid = "<h%05d.%s@hostile.test>" % (seq, self.name)
        lines = [("Received: from mx\r\nFrom: <s%05d@example.org>\r\nMessage-ID: %s\r\n"
                  "\r\n.dot\r\n" % (seq, mid)).encode()]
        length = len(lines[0])
        while size - length > 60:
            n = len(lines)
            lines.append(b"%s%d %s\r\n" % (b".." if n % 7 == 4 else b"", n - 1,
                                           bytes(range(0xE0, 0xE8 + (n - 1) % 20))))
            length += len(lines[-1])
        return mid, b"".join(lines) + b"y" * (size - length - 2) + b"\r\n"

    def new_message(self, size):
        self.seq += 1
        mid, data = self.message(self.seq, size)
        self.originals[mid], self.known[data] = data, mid
        return mid

    def spam_mode(self, mode):
        with open(self.path("spam.mode"), "w") as f:
            f.write(mode + "\n")
        if os.path.exists(self.path("spam.started")):
            os.remove(self.path("spam.started"))

    def spam_processes_left(self):
        pids = [int(p) for p in read(self.path("spam.pids")).split()]
        return [p for p in pids if read("/proc/%d/stat" % p).split(b")")[-1][1:2] not in (b"", b"Z")]

    def kill_spam_leftovers(self):
        for pid in self.spam_processes_left():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if os.path.exists(self.path("spam.pids")):
            os.remove(self.path("spam.pids"))

    # --- runs ------------------------------------------------------------------------

    def quarantine(self):
        """Each case starts from an empty mailbox and an empty queue."""
        self.pop3.clear()
        for name in os.listdir(self.path("Cua")):
            shutil.move(self.path("Cua", name), self.path("quarantine", "%d-%s" % (self.seq, name)))

    def begin_run(self, problems, deadline, why):
        """Starts a run; if the program does not take it by the deadline, `why` is a problem
        and a new process takes it. Returns the peak memory (KB) before the run."""
        peak, before = self.peak_kb(), self.pop3.connections
        if not self.start_run(lambda: self.pop3.connections > before, deadline):
            self.replace(problems, why)
            before = self.pop3.connections
            if not self.start_run(lambda: self.pop3.connections > before, time.monotonic() + 10):
                raise RuntimeError("a new process did not start a run")
        return peak

    def replace(self, problems, why):
        """Ends an overrunning process (SIGTERM, then SIGKILL), or notes a dead one."""
        if not self.alive():
            problems.append("the program died (status %s)" % self.process.returncode)
        elif self.terminate(2.0) is None:
            problems.append("%s; not ended 2 s after SIGTERM either" % why)
        else:
            problems.append(why)
        self.kill_spam_leftovers()
        self.start()

    def end_run(self, problems, deadline, why):
        if self.wait_end(deadline) != "ended":
            self.replace(problems, why)

    def clean_run(self, problems, deadline, why):
        """A run against well-behaved peers once the run before has ended (by `deadline`,
        else `why` is a problem). Returns the peak memory before it."""
        for server in (self.pop3, self.smtp):
            server.set_script([])
        if self.spam:
            self.spam_mode("pass")
        peak = self.begin_run(problems, deadline, why)
        self.end_run(problems, time.monotonic() + 30, "a clean run did not end within 30 s")
        return peak

    # --- a case ---------------------------------------------------------------------

    def case(self, pop3=None, smtp=None, every=False, sizes=(160,), limit=None,
             duplicates_allowed=False, rewritten=None, sigterm_when=None, spam=None,
             setup=None, restore=None):
        """A hostile routing run (the behaviours apply to the first connection, or to every
        connection of that run), then a clean run (where a duplicate or a loss shows), then
        the invariant check; the problems found. sigterm_when: a condition on the worker;
        once it holds, SIGTERM, and the program must exit within the stop limit.
        setup/restore: before the case, and before its check."""
        self.quarantine()
        mids = [self.new_message(size) for size in sizes]
        for mid in mids:
            self.pop3.add(mid, self.originals[mid])
            if rewritten:
                self.known[rewritten(self.originals[mid])] = mid
        for server, behaviour in ((self.pop3, pop3), (self.smtp, smtp)):
            server.set_script([] if every or not behaviour else [behaviour], behaviour if every else None)
        if spam:
            self.spam_mode(spam)
        if setup:
            setup(self)
        largest = max(len(self.originals[m]) for m in mids)
        self.largest = max(self.largest, largest)
        problems = []
        limit = limit or self.run_limit
        overran = "the run did not end within %.1f s" % limit
        t0 = time.monotonic()
        self.begin_run(problems, t0 + 10, "the run before the case did not end")
        self.reset_peak()
        if sigterm_when:
            deadline = time.monotonic() + 15
            while not sigterm_when(self) and time.monotonic() < deadline and self.alive():
                time.sleep(0.01)
            if not sigterm_when(self):
                problems.append("the moment for SIGTERM never came")
            time.sleep(0.2)
            peak = self.peak_kb()
            if self.terminate(self.stop_limit) is None:
                problems.append("still running %.0f s after SIGTERM (killed)" % self.stop_limit)
                self.kill_spam_leftovers()  # orphaned by the kill, not by the program
            self.start()
            self.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
        else:
            self.end_run(problems, t0 + limit, overran)
            # The clean run starts only once the hostile run is over: the proof of its end.
            peak = self.clean_run(problems, max(t0 + limit, time.monotonic() + 0.5), overran)
        if self.spam_processes_left():
            problems.append("the spam program's processes were left running")
            self.kill_spam_leftovers()
        if restore:
            restore(self)
            if set(mids) & set(self.pop3.ids()) or os.listdir(self.path("Cua")):
                self.clean_run(problems, time.monotonic() + 10, "a clean run did not start")
        return problems + self.check(mids, duplicates_allowed, peak, max(largest, self.largest))

    # --- the invariant ---------------------------------------------------------------

    def check(self, mids, duplicates_allowed, peak_kb, largest):
        """Every message is on the server, in the queue or an archive, and delivered at most
        once (twice where allowed); no file or delivery since the last check holds anything
        but a message of this worker, unchanged (or as the spam program rewrote it); peak
        memory within 3 x the largest message + 40 MB."""
        problems, stored = [], set()
        for folder in FOLDERS:
            for name in os.listdir(self.path(folder)) if os.path.isdir(self.path(folder)) else []:
                path = self.path(folder, name)
                if name.endswith(".missatge"):
                    stored.add(self.known.get(read(path)))
                    if None in stored and path not in self.checked:
                        problems.append("%s/%s is no message of this worker, or altered" % (folder, name))
                    stored.discard(None)
                    self.checked.add(path)
        sent = [self.known.get(data) for data in self.smtp.accepted]
        if None in sent[self.delivered:]:
            problems.append("a delivery is no message of this worker, or altered")
        self.delivered = len(sent)
        on_server = set(self.pop3.ids())
        for mid in mids:
            if mid not in on_server and mid not in stored:
                problems.append("%s lost: not on the server, not in the queue or an archive" % mid)
            if sent.count(mid) > (2 if duplicates_allowed else 1):
                problems.append("%s forwarded %d times" % (mid, sent.count(mid)))
        limit_kb = 3 * largest // 1024 + 40 * 1024
        if peak_kb > limit_kb:
            problems.append("peak memory %d KB > %d KB" % (peak_kb, limit_kb))
        return problems
