#!/usr/bin/env bash
# OAuth 2.0 end to end: the fake authorization server (tests/mail/fakeoauth.py) on a
# loopback port, a private Dovecot requiring TLS on 995 whose only logins are XOAUTH2 and
# OAUTHBEARER, checked by its oauth2 passdb against the fake's introspection endpoint (so
# Dovecot itself accepts or refuses the token the router sends), and the aiosmtpd sink.
#   - vessamo-token enrols an account by the device flow into the router's token folder
#     (tokens/ beside the configuration); one routing run reads a seeded message with that
#     account's token (XOAUTH2; a second mailbox by OAUTHBEARER) and forwards it byte for
#     byte; Dovecot logs both oauth2 logins;
#   - the fake stops taking the access token: Dovecot refuses it (one entry, the message
#     stays); once it has run out in the store too, the next run refreshes it once, the
#     store keeps the rotated refresh token, and the login works again;
#   - token commands: one that hangs (ended at its 30 s limit) and one that fails each give
#     one event-log entry, and the run goes on to the next mailbox, which is read;
#   - the refresh token is revoked: two mailboxes on that account give one entry each per
#     run, holding no token, and the run ends; the next run does the same, no loop.
#
#   tests/integration/oauth.sh [--vessamo BINARY] [--token BINARY]
#
# (vessamo-token by default beside BINARY.) Prints a line per check, then one PASS or FAIL
# line; exit status 1 on FAIL. Needs root and port 995 free (not while another TLS test
# runs). About 45 s, most of it the
# hanging command's time limit.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

binary=$root/build/vessamo token=
while (($# > 1)); do
  case "$1" in
  --vessamo) binary=$(realpath "$2") ;;
  --token) token=$(realpath "$2") ;;
  *) break ;;
  esac
  shift 2
done
[ -n "$token" ] || token=$(dirname "$binary")/vessamo-token
(($# == 0)) || { echo "oauth.sh: unknown argument $1" >&2; exit 2; }

failures=()
fail() { failures+=("$*"); echo "FAILED: $*"; }
pass() { echo "ok: $*"; }
start_time=$EPOCHREALTIME
rcpt=box-owner@example.org account=mailbox-test

rs_install || { echo "OAuth 2.0 end to end: FAIL (packages could not be installed)"; exit 1; }
rs_port_free 995 || { echo "OAuth 2.0 end to end: FAIL (port 995 is taken)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-oauth.XXXXXX)
v=$dir/vessamo
cleanup() {
  vessamo_stop "$dir" >/dev/null 2>&1
  rs_stop "$dir"
  [ -f "$dir/fake.pid" ] && kill "$(cat "$dir/fake.pid")" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

# --- servers -----------------------------------------------------------------------------
start_servers() {
  local smtp
  rs_ensure_user
  chmod 0755 "$dir"
  mkdir -p "$dir/home/Maildir/"{new,cur,tmp} "$dir/sink" "$dir/expected" "$v"
  chown -R "$RS_USER:" "$dir/home" "$dir/sink"
  chmod -R go-rwx "$dir/home/Maildir"

  "$RS_PY" "$root/tests/mail/fakeoauth.py" >"$dir/fake.port" 2>"$dir/fake.log" &
  echo $! >"$dir/fake.pid"
  local i
  for ((i = 0; i < 50; i++)); do [ -s "$dir/fake.port" ] && break; sleep 0.1; done
  fake=http://127.0.0.1:$(head -n 1 "$dir/fake.port")
  [ -s "$dir/fake.port" ] || { echo "the fake authorization server did not start" >&2; return 1; }
  control subject="$RS_USER" approve_after=2 || return 1

  # The test mailbox's Dovecot, its password logins replaced by the oauth2 passdb.
  rs_make_certs "$dir/tls" || return 1
  rs_write_dovecot_conf "$dir" 995 tls
  cat >"$dir/dovecot-oauth2.conf.ext" <<EOF
introspection_mode = post
introspection_url = $fake/introspect
username_attribute = username
active_attribute = active
active_value = true
EOF
  sed -i -e 's/^auth_mechanisms = .*/auth_mechanisms = xoauth2 oauthbearer/' \
    -e '/^passdb {/,/^}/d' "$dir/dovecot.conf"
  cat >>"$dir/dovecot.conf" <<EOF
auth_verbose = yes
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $dir/dovecot-oauth2.conf.ext
}
EOF
  dovecot -c "$dir/dovecot.conf" || { cat "$dir/dovecot.log" >&2; return 1; }
  rs_wait_port 995 || return 1

  smtp=$(rs_free_port)
  rs_write_aiosmtpd_sink "$dir/sink.py"
  setpriv --reuid="$RS_USER" --regid="$(id -g "$RS_USER")" --clear-groups \
    "$RS_PY" "$dir/sink.py" "$dir/sink" "$smtp" >"$dir/sink.log" 2>&1 &
  echo $! >"$dir/sink.pid"
  rs_wait_port "$smtp" || return 1
  cat >"$dir/env" <<EOF
HOST=127.0.0.1
SMTP_PORT=$smtp
SINK_KIND=aiosmtpd
SINK_DIR=$dir/sink
CA_FILE=$dir/tls/ca.pem
EOF
}

# POSTs the form fields to the fake's control endpoint.
control() { # NAME=VALUE...
  "$RS_PY" - "$fake/control" "$@" <<'EOF'
import sys, urllib.parse, urllib.request
form = urllib.parse.urlencode([tuple(a.split("=", 1)) for a in sys.argv[2:]]).encode()
urllib.request.urlopen(sys.argv[1], form, timeout=10).read()
EOF
}

stat_of() { # NAME: one count from the fake's statistics
  "$RS_PY" -c "import json, sys, urllib.request
print(json.load(urllib.request.urlopen(sys.argv[1], timeout=10))[sys.argv[2]])" "$fake/stats" "$1"
}

store_value() { # KEY: one member of the account's token file
  "$RS_PY" -c "import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])" \
    "$v/tokens/$account.json" "$1"
}

if ! start_servers; then
  echo "OAuth 2.0 end to end: FAIL (the servers did not start; $dir)"
  exit 1
fi
# shellcheck disable=SC1091
source "$dir/env"

# --- enrolment by the device flow ------------------------------------------------------------
# vessamo-token finds the router's token folder itself: tokens/ beside the configuration.
export VESSAMO_CONFIG=$v/vessamo.vsm
t0=$EPOCHREALTIME
if timeout 30 "$token" enrol "$account" --provider custom --device --device-url "$fake/device" \
  --token-url "$fake/token" --scope mail --client-id vessamo-test >"$dir/enrol.out" 2>&1 &&
  [ -f "$v/tokens/$account.json" ]; then
  pass "enrolled by the device flow in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $t0 }") s, $(stat_of device_code) polls"
else
  fail "the device-flow enrolment failed: $(cat "$dir/enrol.out")"
fi

# A new configuration each time (--apply changes only the keys given): the common part,
# then the mailboxes' lines from standard input.
configure() {
  rm -f "$v/vessamo.vsm" "$v/vessamo.vsm.login"
  (
    unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
    { cat <<EOF
interval = 1
folder.queue = $v/Cua
folder.sent = $v/SiEnviats
folder.failed = $v/NoEnviats
archive.days = 30
smtp.server = 127.0.0.1
smtp.port = $SMTP_PORT
smtp.auth = no
spam.folder = $v/SPam
spam.mark = SPAM
EOF
      cat; } | VESSAMO_EVENTLOG="$v/config.log" "$binary" /C --apply - >"$dir/apply.out" 2>&1
  ) || { fail "/C --apply refused the configuration: $(cat "$dir/apply.out")"; return 1; }
  mkdir -p "$v/SPam"
}

mailbox() { # N SERVER USER LOGIN-KEY VALUE [METHOD]: a mailbox logging in by XOAUTH2 or METHOD
  cat <<EOF
mailbox.$1.server = $2
mailbox.$1.port = 995
mailbox.$1.user = $3
mailbox.$1.password = not-used
mailbox.$1.forward-to = $rcpt
mailbox.$1.login = ${6:-XOAUTH2}
mailbox.$1.$4 = $5
EOF
}

# One routing run: starts the router, SIGUSR1, waits for the run's end, stops it. The
# event log of the run is left in $v/events.log.
route_once() {
  vessamo_start "$dir" "$binary" || { fail "the router did not start"; return 1; }
  vessamo_trigger "$dir"
  # A run holds the queue's lock from before its first status line to its end.
  local i ended=
  for ((i = 0; i < 1200; i++)); do
    if [ -s "$v/out.log" ] && flock -n "$v/Cua/.vessamo.lock" true; then ended=yes; break; fi
    kill -0 "$(cat "$v/pid")" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$ended" ] || fail "the routing run did not end within 60 s: $(tail -n 5 "$v/out.log")"
  vessamo_stop "$dir" || fail "the router's exit status was not 0 after SIGTERM"
  [ -n "$ended" ]
}


entries() { wc -l <"$v/events.log"; }
logins() { grep -c "Login: user=<$RS_USER>, method=${1:-XOAUTH2}" "$dir/dovecot.log"; }
# No access or refresh token the fake issued in what the router wrote: event log, status
# lines, its other output.
no_token_shown() { # WHAT
  if grep -E -h 'at-[0-9]|rt-[0-9]' "$v/events.log" "$v/out.log" "$v/err.log"; then
    fail "$1: a token is shown in the router's log or output"
  fi
}
# The account's access token runs out: the fake stops taking it (Dovecot asks it) and the
# store's record says so, as it would an hour after the refresh.
expire_access_token() {
  control expire=1
  "$RS_PY" - "$v/tokens/$account.json" <<'EOF'
import json, sys
with open(sys.argv[1], "r+") as f:
    record = json.load(f)
    record["access_token_expires"] = "2000-01-01T00:00:00Z"
    f.seek(0)
    f.truncate()
    json.dump(record, f)
EOF
}

# --- a message read with the enrolled account's token -----------------------------------
# The second mailbox, the same one by another name of the server, logs in by OAUTHBEARER
# and finds it empty.
configure < <(mailbox 1 127.0.0.1 "$RS_USER" token-account "$account"
  mailbox 2 localhost "$RS_USER" token-account "$account" OAUTHBEARER) || exit 1
rs_seed "$dir" 1 2000 tricky 1
if route_once; then
  if rs_check "$dir" --sender from --rcpt "$rcpt" >"$dir/check.out" 2>&1 && (($(entries) == 0)) &&
    (($(logins) == 1 && $(logins OAUTHBEARER) == 1)) && (($(stat_of introspect_active) == 2)) &&
    (($(stat_of refresh_token) == 0)); then
    pass "XOAUTH2 and OAUTHBEARER logins with the enrolled token, accepted by Dovecot's oauth2 passdb; the message arrived byte for byte"
  else
    fail "first run: sink $(cat "$dir/check.out"), $(entries) event-log entries ($(cut -f4 "$v/events.log" | tr '\n' '|')), $(logins) XOAUTH2 and $(logins OAUTHBEARER) OAUTHBEARER logins in Dovecot's log, $(stat_of introspect_active) tokens found active, $(stat_of refresh_token) refreshes"
  fi
fi
no_token_shown "first run"

# --- the access token runs out ----------------------------------------------------------
# First only at the fake: the router still sends the token it holds, and Dovecot refuses it.
configure < <(mailbox 1 127.0.0.1 "$RS_USER" token-account "$account") || exit 1
control expire=1
rs_seed "$dir" 1 2000 tricky 2
if route_once; then
  if (($(entries) == 1)) && grep -q 'Rebent: -ERR' "$v/events.log" && (($(rs_mailbox_count "$dir") == 1)); then
    pass "a token the authorization server no longer takes is refused by Dovecot: $(cut -f4 "$v/events.log")"
  else
    fail "a dead token: $(entries) entries ($(cut -f4 "$v/events.log")), $(rs_mailbox_count "$dir") messages left"
  fi
fi
old_refresh=$(store_value refresh_token)
expire_access_token
if route_once; then
  if rs_check "$dir" --sender from --rcpt "$rcpt" >"$dir/check.out" 2>&1 && (($(entries) == 0)) &&
    (($(logins) == 2)) && (($(stat_of refresh_token) == 1)) &&
    [ "$(store_value refresh_token)" != "$old_refresh" ]; then
    pass "the expired access token was refreshed once, the rotated refresh token stored, the login accepted"
  else
    fail "refresh: sink $(cat "$dir/check.out"), $(entries) entries, $(logins) logins, $(stat_of refresh_token) refreshes"
  fi
fi
no_token_shown "refresh"

# --- token commands that hang or fail; the run goes on -------------------------------------
# (Mailboxes of other users: their logins never get as far as Dovecot.)
configure < <(mailbox 1 127.0.0.1 hangs token-command "/usr/bin/sleep 600"
  mailbox 2 127.0.0.1 fails token-command "/usr/bin/false"
  mailbox 3 127.0.0.1 "$RS_USER" token-account "$account") || exit 1
rs_seed "$dir" 1 2000 tricky 3
t0=$EPOCHREALTIME
if route_once; then
  took=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $t0 }")
  hang=$(grep -c 'Rebent: .*sleep' "$v/events.log") broken=$(grep -c 'Rebent: .*false' "$v/events.log")
  if (($(entries) == 2 && hang == 1 && broken == 1)) && awk "BEGIN { exit !($took >= 29 && $took < 45) }" &&
    rs_check "$dir" --sender from --rcpt "$rcpt" >"$dir/check.out" 2>&1 && (($(logins) == 3)); then
    pass "a hanging token command ended at its limit (run: $took s), a failing one: one entry each, the next mailbox read"
    cut -f4 "$v/events.log" | sed 's/^/    /'
  else
    fail "token commands: run $took s, $(entries) entries ($(cut -f4 "$v/events.log" | tr '\n' '|')), sink $(cat "$dir/check.out"), $(logins) logins"
  fi
  if pgrep -x -f '/usr/bin/sleep 600' >/dev/null; then
    fail "the hanging token command still runs after the run"
  fi
fi
no_token_shown "token commands"

# --- the refresh token is revoked ------------------------------------------------------------
# Two mailboxes on the account (the same user by two names of the server), the access
# token run out: each run asks the token endpoint once, logs one entry per mailbox, ends.
configure < <(mailbox 1 127.0.0.1 "$RS_USER" token-account "$account"
  mailbox 2 localhost "$RS_USER" token-account "$account") || exit 1
control revoke=1
expire_access_token
rs_seed "$dir" 1 2000 tricky 4
for attempt in 1 2; do
  refreshes=$(stat_of refresh_token)
  route_once || continue
  revoked=$(grep -c "^[^	]*	1	109	Rebent: .*$account.*enrol" "$v/events.log")
  if (($(entries) == 2 && revoked == 2)) && (($(stat_of refresh_token) == refreshes + 1)) &&
    (($(rs_mailbox_count "$dir") == 1)); then
    pass "revoked refresh token, run $attempt: one entry per mailbox, one request to the token endpoint, the run ended"
    ((attempt == 2)) || cut -f4 "$v/events.log" | sed 's/^/    /'
  else
    fail "revoked refresh token, run $attempt: $(entries) entries ($(cut -f4 "$v/events.log" | tr '\n' '|')), $(($(stat_of refresh_token) - refreshes)) refreshes, $(rs_mailbox_count "$dir") messages left"
  fi
  no_token_shown "revoked refresh token"
done

elapsed=$(awk "BEGIN { printf \"%.0f\", $EPOCHREALTIME - $start_time }")
if ((${#failures[@]})); then
  echo "OAuth 2.0 end to end (Dovecot oauth2 passdb, device enrolment, refresh, revocation, token commands): FAIL (${#failures[@]} problems: ${failures[0]}; $elapsed s)"
  echo "Dovecot's log:"; tail -n 20 "$dir/dovecot.log"
  exit 1
fi
echo "OAuth 2.0 end to end (Dovecot oauth2 passdb, device enrolment, refresh, revocation, token commands): PASS ($elapsed s)"
