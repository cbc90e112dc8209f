#!/usr/bin/env bash
# The administrator's session of the README's "Operating Vessamo", against a real Dovecot
# and the aiosmtpd sink, through the built program's own commands:
#   - three messages are read; the SMTP server refuses one sender for good, so that pair
#     goes to the failed archive and the postmaster gets one notice (read back with
#     Python's email package), never the sender;
#   - --failed --json names the pair, its sender and the server's reply; --check says
#     WARNING; --status, the state file and the metrics file (read with prometheus_client's
#     parser) agree with the archives;
#   - the cause is fixed, --requeue takes the pair back, --flush wakes the running router,
#     and the message arrives byte for byte; another run sends no second notice.
#
#   tests/integration/operations.sh [--vessamo BINARY]
#
# Prints a line per check, then one PASS or FAIL line; exit status 1 on FAIL. About 15 s.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

binary=$root/build/vessamo
while (($# > 1)); do
  case "$1" in
  --vessamo) binary=$(realpath "$2") ;;
  *) break ;;
  esac
  shift 2
done
(($# == 0)) || { echo "operations.sh: unknown argument $1" >&2; exit 2; }

failures=()
fail() { failures+=("$*"); echo "FAILED: $*"; }
pass() { echo "ok: $*"; }
rcpt=box-owner@example.org postmaster=postmaster@example.org refused=sender-2@example.com

rs_install || { echo "Operating Vessamo: FAIL (packages could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-operations.XXXXXX)
v=$dir/vessamo
trap 'vessamo_stop "$dir" >/dev/null 2>&1; rs_stop "$dir"; rm -rf "$dir"' EXIT
export RS_SINK_REFUSE=$dir/refuse
if ! { rs_start "$dir" aiosmtpd >/dev/null && rs_seed "$dir" 3 2000 plain; }; then
  echo "Operating Vessamo: FAIL (the servers did not start or seeding failed)"; exit 1
fi
echo "$refused" >"$RS_SINK_REFUSE" && chmod 0644 "$RS_SINK_REFUSE"
vessamo_prepare "$dir" "$rcpt" "$binary" || { echo "Operating Vessamo: FAIL (/C --apply)"; exit 1; }
export VESSAMO_CONFIG=$v/vessamo.vsm VESSAMO_METRICS_FILE=$v/vessamo.prom
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
"$binary" /C --set "postmaster=$postmaster" >/dev/null || fail "/C refused the postmaster address"

vsm() { "$binary" "$@" 2>&1; }
# The state file is written last in a run, after the purge: a new one marks a run's end.
state_mark() { stat -c %.9Y "$v/status.json" 2>/dev/null || echo none; }
# Waits until a run that ended after MARK has let go of the queue.
run_ended_since() { # MARK
  local i
  for ((i = 0; i < 300; i++)); do
    [ "$(state_mark)" != "$1" ] &&
      flock -n "$v/Cua/.vessamo.lock" true && return 0
    sleep 0.1
  done
  return 1
}

# The figures: the metrics file, the state file and the archives, as one line of numbers.
figures() {
  "$RS_PY" - "$v" <<'EOF'
import json, os, sys
from prometheus_client.parser import text_string_to_metric_families
v = sys.argv[1]
samples = {}
for family in text_string_to_metric_families(open(os.path.join(v, "vessamo.prom")).read()):
    for s in family.samples:
        samples[s.name] = samples.get(s.name, 0) + s.value
count = lambda folder: sum(n.endswith(".missatge") for n in os.listdir(os.path.join(v, folder)))
print("fetched=%d forwarded=%d failed=%d queue=%d sent_archive=%d failed_archive=%d" % (
    samples["vessamo_messages_fetched_total"], samples["vessamo_messages_forwarded_total"],
    samples["vessamo_messages_failed_total"], samples["vessamo_queue_size"],
    count("SiEnviats"), count("NoEnviats")))
EOF
}

# --- the failure ------------------------------------------------------------------------
vessamo_start "$dir" "$binary" || { echo "Operating Vessamo: FAIL (the router did not start)"; exit 1; }
mark=$(state_mark)
vessamo_trigger "$dir"
run_ended_since "$mark" || fail "the first run did not end in 30 s"

stem=$(vsm --failed --json | "$RS_PY" -c '
import json, sys
pairs = json.load(sys.stdin)["pairs"]
assert len(pairs) == 1, pairs
p = pairs[0]
assert p["state"] == "failed" and p["sender"] == sys.argv[1] and p["forward_to"] == sys.argv[2], p
assert "550 5.7.1" in p["last_error"] and p["attempts"] == 1, p
print(p["stem"])' "$refused" "$rcpt") && pass "--failed --json names $stem, its sender and the 550" ||
  fail "--failed --json does not show the refused pair: $(vsm --failed --json)"

# The sink got two forwarded messages and one notice, to the postmaster alone.
if "$RS_PY" - "$dir/sink" "$postmaster" "$refused" "$stem" <<'EOF'; then
import email, email.policy, glob, sys
sink, postmaster, refused, stem = sys.argv[1:]
notices = []
for path in sorted(glob.glob(sink + "/*.eml")):
    env = open(path[:-4] + ".env").read().split("\n")
    if "RCPT TO:<%s>" % postmaster in env:
        assert env[:2] == ["MAIL FROM:<%s>" % postmaster, "RCPT TO:<%s>" % postmaster], env
        notices.append(email.message_from_bytes(open(path, "rb").read(), policy=email.policy.default))
    assert "RCPT TO:<%s>" % refused not in env, env
assert len(notices) == 1, len(notices)
n = notices[0]
assert stem in n["Subject"] and n["Auto-Submitted"] == "auto-generated", n["Subject"]
assert n["To"].addresses[0].addr_spec == postmaster
parts = {p.get_content_type(): p for p in n.walk()}
headers = parts["text/rfc822-headers"].get_payload(decode=True)
assert b"From: \"Sender 2\" <sender-2@example.com>" in headers, headers
text = parts["text/plain"].get_content()
assert "550 5.7.1" in text and "vessamo --requeue " + stem in text, text
EOF
  pass "one notice reached the postmaster, parsed by Python's email package"
  # Set aside, so that the sink holds forwarded messages only.
  mkdir -p "$dir/notices"
  for env in $(grep -l "RCPT TO:<$postmaster>" "$dir"/sink/*.env); do
    mv "$env" "${env%.env}.eml" "$dir/notices/"
  done
else
  fail "the postmaster's notice is missing or wrong"
fi

out=$(vsm --check); status=$?
[ "$status" = 1 ] && [[ $out == "VESSAMO WARNING"*"failed_today=1"* ]] &&
  pass "--check: $out" || fail "--check after a failure gave $status: $out"
fig=$(figures)
[ "$fig" = "fetched=3 forwarded=2 failed=1 queue=0 sent_archive=2 failed_archive=1" ] &&
  pass "metrics agree with the archives: $fig" || fail "metrics and archives: $fig"
out=$(vsm --status)
[[ $out == *"3 rebuts, 2 reenviats, 1 no enviats, 0 spam; cua 0"* ]] &&
  pass "--status agrees" || fail "--status: $out"

# --- the fix: the server takes the sender again; requeue, flush ---------------------------
rm -f "$RS_SINK_REFUSE"
out=$(vsm --requeue "$stem") && [ "$out" = "$stem: tornat a la cua" ] &&
  pass "--requeue: $out" || fail "--requeue: $out"
[ "$(vsm --queue --json | "$RS_PY" -c 'import json,sys; print(" ".join(p["state"] for p in json.load(sys.stdin)["pairs"]))')" = waiting ] &&
  pass "the queue lists it waiting" || fail "the queue after --requeue: $(vsm --queue)"
mark=$(state_mark)
out=$(vsm --flush) && pass "--flush: $out" || fail "--flush: $out"
run_ended_since "$mark" || fail "no run after --flush"
if rs_check "$dir" --sender from --rcpt "$rcpt" >"$dir/check.out" 2>&1; then
  pass "every seeded message arrived once, byte for byte"
else
  fail "the sink: $(cat "$dir/check.out")"
fi
fig=$(figures)
[ "$fig" = "fetched=3 forwarded=3 failed=1 queue=0 sent_archive=3 failed_archive=0" ] &&
  pass "metrics agree with the archives: $fig" || fail "metrics and archives: $fig"

# --- another run: nothing new, no second notice -------------------------------------------
mark=$(state_mark)
vsm --flush >/dev/null
run_ended_since "$mark" || fail "no run after the second --flush"
n=$(cat "$dir"/sink/*.env | grep -c "RCPT TO:<$postmaster>")
[ "$n" = 0 ] && pass "still one notice after another run" || fail "$n more notices after another run"
[ -z "$(vsm --failed | tail -n +2)" ] && [ -z "$(vsm --queue | tail -n +2)" ] &&
  pass "queue and failed archive empty" || fail "left over: $(vsm --queue; vsm --failed)"
vessamo_stop "$dir" || fail "the router did not stop cleanly"

if ((${#failures[@]})); then
  echo "Operating Vessamo: FAIL (${#failures[@]} checks; events: $v/events.log)"
  cat "$v/events.log"
  trap - EXIT
  exit 1
fi
echo "Operating Vessamo: PASS"
