# One worker of the hostile suite: its own folders, configuration, fake POP3 and SMTP
# servers and one long-running Vessamo process, which goes through the worker's cases one
# after the other. A case is a hostile routing run followed by clean runs (the next runs,
# where a duplicate or a lost message shows), then the invariant check over the case's
# own messages.
import os
import re
import shutil
import signal
import time

import fakes
import vsm
from program import Vessamo

FORWARD_TO = "box-owner@example.org"
MID = re.compile(rb"^Message-ID: (<[^>\r\n]*>)", re.M | re.I)
FOLDERS = ("Cua", "SiEnviats", "NoEnviats", "SPam")
ARCHIVES = ("SiEnviats", "NoEnviats", "SPam")


class Timing:
    """The time scale of the suite: the program's safety timer ends a run after 121 ticks
    without progress."""

    def __init__(self, tick_ms):
        self.tick_ms = tick_ms
        self.safety = 121 * tick_ms / 1000.0
        self.run_limit = self.safety + 4.0  # the safety time and room for the run's work
        self.stop_limit = 5.0  # SIGTERM to exit


class Worker:
    def __init__(self, name, binary, root, timing, spam=False):
        self.name, self.binary, self.timing = name, binary, timing
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir)
        self.known_files = set()
        for sub in FOLDERS + ("quarantine", "home"):
            os.makedirs(self.path(sub))
        self.pop3, self.smtp = fakes.FakePop3(), fakes.FakeSmtp()
        self.originals = {}  # message id -> bytes
        self.seq = 0
        self.spam_pids = self.path("spam.pids")
        spam_program = ""
        if spam:
            spam_program = '/bin/sh "%s" %%i %%o' % self.write_spam_script()
            self.spam_mode("pass")
        self.config = self.path("vessamo.vsm")
        vsm.write_config(self.config, self.folder("Cua"), self.folder("NoEnviats"),
                         self.folder("SiEnviats"), self.folder("SPam"), self.smtp.port,
                         [("127.0.0.1", self.pop3.port, "hostile", "secret", FORWARD_TO)],
                         spam_program=spam_program)
        self.eventlog = self.path("events.log")
        self.vessamo = Vessamo(binary, self.dir, self.config, self.eventlog,
                               {"VESSAMO_SAFETY_TICK_MS": str(timing.tick_ms)})
        self.vessamo.start()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def folder(self, name):
        return self.path(name) + "/"

    def close(self):
        if self.vessamo.alive():
            self.vessamo.terminate(self.timing.stop_limit)
        self.kill_spam_leftovers()
        self.pop3.stop()
        self.smtp.stop()

    # --- messages --------------------------------------------------------------------

    def message_bytes(self, seq, size):
        """Message number `seq` of this worker, exactly `size` bytes (at least 160), with its
        own Message-ID, a Received: line first, lines that need dot-stuffing, 8-bit bytes."""
        mid = "<h%05d.%s@hostile.test>" % (seq, self.name)
        data = ("Received: from mx\r\nFrom: <s%05d@example.org>\r\nMessage-ID: %s\r\n"
                "\r\n.dot\r\n" % (seq, mid)).encode()
        lines, length, line = [data], len(data), 0
        while size - length > 60:
            text = b"%s%d %s\r\n" % (b".." if line % 7 == 3 else b"", line,
                                       bytes(range(0xE0, 0xE0 + 8 + line % 20)))
            lines.append(text)
            length += len(text)
            line += 1
        data = b"".join(lines)
        assert size - len(data) >= 2, "message too small"
        return mid, data + b"y" * (size - len(data) - 2) + b"\r\n"

    def new_message(self, size=160):
        self.seq += 1
        mid, data = self.message_bytes(self.seq, size)
        self.originals[mid] = data
        return mid

    # --- the spam filter program -----------------------------------------------------

    def write_spam_script(self):
        script = self.path("spam.sh")
        with open(script, "w") as f:
            f.write("""#!/bin/sh
# The hostile anti-spam program: what it does is read from spam.mode each time.
dir=$(dirname "$0")
mode=$(cat "$dir/spam.mode")
echo "$mode" >>"$dir/spam.calls"
case "$mode" in
pass) echo clean >"$2" ;;
hang) echo $$ >>"$dir/spam.pids"; sleep 600 & echo $! >>"$dir/spam.pids"; : >"$dir/spam.started"; wait ;;
delete) rm -f "$1"; echo clean >"$2" ;;
empty) : >"$1"; echo clean >"$2" ;;
rewrite) { printf 'X-Hostile-Filter: checked\\r\\n'; cat "$1"; } >"$1.new" && mv "$1.new" "$1"; echo clean >"$2" ;;
esac
""")
        return script

    def spam_mode(self, mode):
        with open(self.path("spam.mode"), "w") as f:
            f.write(mode + "\n")
        for name in ("spam.started",):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))

    def spam_processes_left(self):
        try:
            pids = [int(p) for p in open(self.spam_pids).read().split()]
        except OSError:
            return []
        return [p for p in pids if os.path.exists("/proc/%d" % p)
                and b"Z" not in open("/proc/%d/stat" % p, "rb").read().split(b")")[-1][:3]]

    def kill_spam_leftovers(self):
        for pid in self.spam_processes_left():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if os.path.exists(self.spam_pids):
            os.remove(self.spam_pids)

    # --- runs ------------------------------------------------------------------------

    def quarantine(self):
        """Leftovers of earlier cases (on the server, in the queue) leave the scene, so
        that each case starts from an empty mailbox and an empty queue."""
        self.pop3.clear()
        for name in os.listdir(self.path("Cua")):
            shutil.move(self.path("Cua", name), self.path("quarantine", "%d-%s" % (self.seq, name)))

    def begin_run(self, problems, deadline, why):
        """Starts a run; when the program does not take it by the deadline (the run before
        is still going on), that is a problem: the process is replaced and the run started
        in the new one. Returns the peak memory (KB) up to the start."""
        before = self.pop3.connections
        started = lambda: self.pop3.connections > before
        peak = self.vessamo.memory_peak_kb()
        if self.vessamo.start_run(started, deadline):
            return peak
        if self.vessamo.alive():
            self.restart(problems, why)
        else:
            problems.append("the program died (status %s)" % self.vessamo.process.returncode)
            self.vessamo.start()
        before = self.pop3.connections
        if not self.vessamo.start_run(started, time.monotonic() + 10):
            raise RuntimeError("a new process did not start a run")
        return peak

    def restart(self, problems, why, grace=2.0):
        """Ends a process that overran (SIGTERM, then SIGKILL) and starts a new one."""
        waited = self.vessamo.terminate(grace)
        if waited is None:
            problems.append("%s; not ended %.0f s after SIGTERM either" % (why, grace))
        else:
            problems.append(why)
        self.kill_spam_leftovers()
        self.vessamo.start()

    def end_run(self, problems, deadline, why):
        outcome = self.vessamo.wait_end([self.pop3, self.smtp], deadline)
        if outcome == "timeout":
            self.restart(problems, why)
        elif outcome == "died":
            problems.append("the program died (status %s)" % self.vessamo.process.returncode)
            self.vessamo.start()
        return outcome == "ended"

    def clean_run(self, problems, deadline, why):
        """A run against well-behaved servers (and a well-behaved spam program), started
        once the run before has ended (by `deadline`, else `why` is a problem)."""
        self.pop3.set_script([])
        self.smtp.set_script([])
        if os.path.exists(self.path("spam.mode")):
            self.spam_mode("pass")
        peak = self.begin_run(problems, deadline, why)
        self.end_run(problems, time.monotonic() + 30, "a clean run did not end within 30 s")
        return peak

    # --- the invariant ---------------------------------------------------------------

    def stored(self):
        """Message id -> [(folder, bytes)] of every .missatge file in the program's folders;
        files without a Message-ID under None."""
        found = {}
        for folder in FOLDERS:
            base = self.path(folder)
            if not os.path.isdir(base):
                continue
            for name in os.listdir(base):
                if not name.endswith(".missatge"):
                    continue
                try:
                    data = open(os.path.join(base, name), "rb").read()
                except OSError:
                    continue
                m = MID.search(data)
                found.setdefault(m.group(1).decode() if m else None, []).append((folder, name, data))
        return found

    def check(self, mids, duplicates_allowed=False, rewritten=None, peak_kb=0, largest=0):
        problems = []
        stored = self.stored()
        on_server = set(self.pop3.ids())
        delivered = {}
        for _, _, data in list(self.smtp.accepted):
            m = MID.search(data)
            delivered.setdefault(m.group(1).decode() if m else None, []).append(data)
        for mid in mids:
            allowed = [self.originals[mid]] + ([rewritten(self.originals[mid])] if rewritten else [])
            files = stored.get(mid, [])
            if mid not in on_server and not files:
                problems.append("%s lost: not on the server, not in the queue or an archive" % mid)
            for folder, name, data in files:
                if data not in allowed:
                    problems.append("%s/%s differs from the original (%d bytes, not %d)"
                                    % (folder, name, len(data), len(self.originals[mid])))
            sent = delivered.get(mid, [])
            for data in sent:
                if data not in allowed:
                    problems.append("%s delivered altered (%d bytes, not %d)"
                                    % (mid, len(data), len(self.originals[mid])))
            if len(sent) > (2 if duplicates_allowed else 1):
                problems.append("%s forwarded %d times" % (mid, len(sent)))
        mine = "." + self.name + "@"
        for data in delivered.get(None, []):
            problems.append("a delivery without a Message-ID (%d bytes)" % len(data))
        for folder, name, data in stored.get(None, []):
            if (folder, name) in self.known_files:
                continue
            problems.append("%s/%s holds no known message (%d bytes)" % (folder, name, len(data)))
        for mid in stored:
            if mid and mine in mid and mid not in self.originals:
                problems.append("%s holds an unknown message id %s" % (stored[mid][0][0], mid))
        self.known_files = {(f, n) for entries in stored.values() for f, n, _ in entries}
        limit_kb = 3 * largest // 1024 + 40 * 1024
        if peak_kb > limit_kb:
            problems.append("peak memory %d KB > %d KB" % (peak_kb, limit_kb))
        return problems
