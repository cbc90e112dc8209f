# The built program under test: "vessamo /E" headless, one long-running process started
# by the suite. A routing run is started with SIGUSR1; its end is seen from outside: the
# program has no TCP socket, pipe or file open beyond those it had when idle, no child
# process, is not running on a CPU, prints nothing, and the fake servers hold no
# connection, all for a short quiet time.
import os
import signal
import subprocess
import time

QUIET_S = 0.15  # no step of a normal run keeps that still for this long
POLL_S = 0.01


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


class Vessamo:
    def __init__(self, binary, folder, config, eventlog, extra_env):
        self.binary, self.folder = binary, folder
        self.config, self.eventlog = config, eventlog
        self.extra_env = extra_env
        self.process = None
        self.baseline = set()
        self.starts = 0

    @property
    def pid(self):
        return self.process.pid

    def start(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET")}
        env.update(VESSAMO_CONFIG=self.config, VESSAMO_EVENTLOG=self.eventlog,
                   VESSAMO_MINUTE_MS="3600000", XDG_CONFIG_HOME=os.path.join(self.folder, "home"))
        env.update(self.extra_env)
        self.starts += 1
        # The largest message this process has handled: memory it freed may stay mapped.
        self.largest = 0
        self.out_path = os.path.join(self.folder, "out.%d.log" % self.starts)
        with open(self.out_path, "wb") as out:
            self.process = subprocess.Popen([self.binary, "/E"], env=env, stdout=out,
                                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                            cwd=self.folder)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("vessamo ended at start: " + _read(self.out_path).decode("utf-8", "replace"))
            if self._caught(signal.SIGUSR1):
                self.baseline = self.fds()
                return
            time.sleep(0.02)
        raise RuntimeError("vessamo set up no SIGUSR1 handler within 20 s")

    def _caught(self, signum):
        for line in _read("/proc/%d/status" % self.pid).splitlines():
            if line.startswith(b"SigCgt:"):
                return (int(line.split()[1], 16) >> (signum - 1)) & 1 == 1
        return False

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def fds(self):
        base = "/proc/%d/fd" % self.pid
        targets = set()
        try:
            for name in os.listdir(base):
                try:
                    targets.add(os.readlink(os.path.join(base, name)))
                except OSError:
                    pass
        except OSError:
            pass
        return targets

    def busy(self):
        """Why the process is visibly working, or None."""
        extra = self.fds() - self.baseline - {self.eventlog}
        if extra:
            return "fd " + sorted(extra)[0]
        for task in os.listdir("/proc/%d/task" % self.pid):
            if _read("/proc/%d/task/%s/children" % (self.pid, task)).strip():
                return "child process"
        stat = _read("/proc/%d/stat" % self.pid)
        state = stat[stat.rfind(b")") + 2:][:1]
        if state in (b"R", b"D"):
            return "running"
        return None

    def memory_peak_kb(self):
        for line in _read("/proc/%d/status" % self.pid).splitlines():
            if line.startswith(b"VmHWM:"):
                return int(line.split()[1])
        return 0

    def reset_memory_peak(self):
        try:
            with open("/proc/%d/clear_refs" % self.pid, "w") as f:
                f.write("5")
        except OSError:
            pass

    def trigger(self):
        os.kill(self.pid, signal.SIGUSR1)

    def start_run(self, started, deadline):
        """SIGUSR1, again every half second while the program ignores it (a run is still
        going on), until `started()` holds: True then; False at the deadline or the
        program's end. That the signal was honoured is what proves the run before it over."""
        while self.alive() and time.monotonic() < deadline:
            self.trigger()
            resend = time.monotonic() + 0.5
            while time.monotonic() < min(resend, deadline):
                if started():
                    return True
                if not self.alive():
                    return False
                time.sleep(POLL_S)
        return started()

    def wait_end(self, servers, deadline):
        """After start_run(): waits until the run visibly ends. "ended", "died" or
        "timeout". An end seen here is confirmed only by the next start_run()."""
        last_busy, size = time.monotonic(), -1
        while True:
            now = time.monotonic()
            if not self.alive():
                return "died"
            new_size = os.path.getsize(self.out_path)
            if new_size != size or self.busy() or not all(s.idle() for s in servers):
                size, last_busy = new_size, now
            elif now - last_busy >= QUIET_S:
                return "ended"
            if now > deadline:
                return "timeout"
            time.sleep(POLL_S)

    def terminate(self, limit):
        """SIGTERM; the seconds until the exit, or None (then it is killed)."""
        t0 = time.monotonic()
        if not self.alive():
            return 0.0
        os.kill(self.pid, signal.SIGTERM)
        try:
            self.process.wait(limit)
            return time.monotonic() - t0
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.alive():
            self.process.kill()
        if self.process is not None:
            self.process.wait()

    def output(self):
        return _read(self.out_path).decode("utf-8", "replace")
