#!/usr/bin/python3
# The hostile-peer suite: fake POP3 and SMTP servers that drop, stall, flood, lie and
# refuse, misbehaving anti-spam programs, full and missing folders, and SIGTERM at each
# phase, all played against the built program ("vessamo /E" headless) on 127.0.0.1. Each
# case checks the invariant: every message the POP3 server handed out is still on it, in
# the queue or in an archive; none is forwarded twice (except where a case says the one
# unavoidable window is hit); none is altered; peak memory stays within 3 x the largest
# message + 40 MB; the run ends within the safety time.
#
#   /usr/bin/python3 tests/hostile/run.py [--vessamo PATH] [--only REGEX] [--tick-ms MS] [--keep]
#
# The program's safety timer is scaled with VESSAMO_SAFETY_TICK_MS (default here 40 ms a
# tick: a run without progress ends after about 5 s). Workers (each one Vessamo process
# and its own servers) run side by side. One line per case, then "N passed, N failed";
# exit status 1 when a case failed.
import argparse
import collections
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
from worker import Worker  # noqa: E402

counts, lock = collections.Counter(), threading.Lock()


def report(status, name, detail="", more=()):
    with lock:
        counts[status] += 1
        print("%s  %s%s" % (status, name, ": " + detail if detail else ""), flush=True)
        for line in more:
            print("      " + line, flush=True)


def run_worker(name, spam, case_list, only, args, root):
    worker = None
    try:
        worker = Worker(name, args.vessamo, root, args.tick_ms, spam=spam)
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
        ("popdrop1", False, cases.pop3_drop_cases(0, 2)),
        ("popdrop2", False, cases.pop3_drop_cases(1, 2)),
        ("smtpdrop1", False, cases.smtp_drop_cases(0, 2)),
        ("smtpdrop2", False, cases.smtp_drop_cases(1, 2)),
        ("silence1", False, cases.silence_cases()[0::2]),
        ("silence2", False, cases.silence_cases()[1::2]),
        ("misc", False, cases.misc_cases()),
        ("spam", True, cases.spam_cases()),
        ("folders", False, cases.folder_cases(os.geteuid() == 0)),
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
