#!/usr/bin/python3
# The hostile-peer suite: fake POP3 and SMTP servers that drop, stall, flood, lie and
# refuse, misbehaving anti-spam programs, full and missing folders, and SIGTERM at each
# phase, all played against the built program ("vessamo /E" headless) through sockets on
# 127.0.0.1. Each case checks the invariant: every message the POP3 server handed out is
# still on it, in the queue or in an archive; none is forwarded twice (except where a
# case says the one unavoidable window is hit); none is altered; peak memory stays within
# 3 x the largest message + 40 MB; the run ends within the safety time.
#
#   /usr/bin/python3 tests/hostile/run.py [--vessamo PATH] [--only REGEX] [--tick-ms MS] [--keep]
#
# The program's safety timer is scaled with VESSAMO_SAFETY_TICK_MS (default here 40 ms a
# tick: a run without progress ends after about 5 s). Workers (each one Vessamo process
# and its own servers) run side by side. One line per case, then "N passed, N failed,
# N skipped"; exit status 1 when a case failed.
import argparse
import os
import re
import shutil
import sys
import tempfile
import threading
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
from worker import Timing, Worker  # noqa: E402


def plan(root_user):
    """(worker name, spam filter on, case list or a function of the worker giving it)."""
    return [
        ("popdrop1", False, cases.pop3_drop_cases(0, 2)),
        ("popdrop2", False, cases.pop3_drop_cases(1, 2)),
        ("smtpdrop1", False, cases.smtp_drop_cases(0, 2)),
        ("smtpdrop2", False, cases.smtp_drop_cases(1, 2)),
        ("popsilence", False, cases.pop3_silence_cases()),
        ("smtpsilence", False, cases.smtp_silence_cases()),
        ("misc", False, [("baseline: well-behaved servers", cases.baseline)] + cases.misc_cases()),
        ("spam", True, cases.spam_cases()),
        ("folders", False, cases.folder_cases(root_user)),
    ]


class Report:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}

    def line(self, status, name, detail="", seconds=None):
        with self.lock:
            self.counts[status] += 1
            took = " (%.1f s)" % seconds if seconds is not None else ""
            print("%s  %s%s%s" % (status, name, took, ": " + detail if detail else ""), flush=True)


def run_worker(name, spam, case_list, only, args, report, root):
    worker = None
    try:
        worker = Worker(name, args.vessamo, root, Timing(args.tick_ms), spam=spam)
        if callable(case_list):
            case_list = case_list(worker)
        for entry in case_list:
            case_name, fn, skip = entry if len(entry) == 3 else entry + (None,)
            if only and not only.search(case_name):
                continue
            if skip:
                report.line("SKIP", case_name, skip)
                continue
            t0 = time.monotonic()
            try:
                problems = fn(worker)
            except Exception as e:  # the harness's own failure is a failure too
                problems = ["harness error: %s: %s" % (type(e).__name__, e)]
                traceback.print_exc()
                if not worker.vessamo.alive():
                    worker.vessamo.start()
            seconds = time.monotonic() - t0
            if problems:
                more = " (and %d more)" % (len(problems) - 1) if len(problems) > 1 else ""
                report.line("FAIL", case_name, problems[0] + more, seconds)
                for p in problems[1:4]:
                    print("      %s" % p, flush=True)
            else:
                report.line("PASS", case_name, "", seconds)
    except Exception as e:
        traceback.print_exc()
        report.line("FAIL", "worker %s" % name, "harness error: %s" % e)
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
    if not os.access(args.vessamo, os.X_OK):
        print("no program at %s" % args.vessamo)
        print("0 passed, 1 failed")
        return 1
    with open(args.vessamo, "rb") as f:
        if b"VESSAMO_SAFETY_TICK_MS" not in f.read():
            print("note: %s does not read VESSAMO_SAFETY_TICK_MS: its time-outs are not "
                  "scaled, the cases that wait for them fail on the time limit" % args.vessamo)
    only = re.compile(args.only, re.I) if args.only else None
    root = tempfile.mkdtemp(prefix="vessamo-hostile.")
    report = Report()
    start = time.monotonic()
    threads = [threading.Thread(target=run_worker, args=(name, spam, case_list, only, args, report, root))
               for name, spam, case_list in plan(os.geteuid() == 0)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if args.keep:
        print("work folder kept: %s" % root)
    else:
        shutil.rmtree(root, ignore_errors=True)
    c = report.counts
    print("hostile suite: %.0f s" % (time.monotonic() - start))
    print("%d passed, %d failed%s" % (c["PASS"], c["FAIL"], ", %d skipped" % c["SKIP"] if c["SKIP"] else ""))
    return 1 if c["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
