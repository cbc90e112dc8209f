#!/usr/bin/env bash
# The Debian package as an administrator meets it, on this machine (as root): build it,
# check its manual pages and its unit's sandbox score, install it with apt, configure it
# with "vessamo /C --apply" against a private Dovecot and an SMTP sink, start the service,
# route one message end to end, check the spool's owners and modes, then remove (the
# configuration stays) and purge (nothing stays but the system user, as Debian keeps
# system users).
#
# Where systemd is not PID 1 (a container), the service cannot be started by systemctl:
# the unit's ExecStart runs instead under the service user (setpriv), with HOME as systemd
# would set it and a notify socket of our own that must receive READY=1. The sandbox
# itself is then only scored, not applied.
#
#   tests/package/run.sh [BUILD-DIR]        (default build-deb)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
build=${1:-build-deb}
failures=()
fail() { failures+=("$*"); echo "FAILED: $*"; }
step() { echo "-- $*"; }
owner_mode() { stat -c '%U:%G %a' "$1" 2>/dev/null; }

step "package"
deb=$(bash scripts/package.sh "$build" | tail -n 1) || { echo "package: FAIL (no package built)"; exit 1; }
echo "$deb ($(du -k "$deb" | cut -f1) KB)"
dpkg-deb -f "$deb" Depends

step "manual pages render without warnings"
for page in "$build"/packaging/man/*.[1-9]; do
  warnings=$( { groff -ww -z -man "$page"; MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

step "the unit's sandbox"
score=$(systemd-analyze security --offline=yes "$build/packaging/vessamo.service" 2>/dev/null |
  sed -n 's/.*Overall exposure level for vessamo.service: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
echo "systemd-analyze security: ${score:-none}"
case "${score#* }" in PERFECT | SAFE | OK) ;; *) fail "the unit's exposure is ${score:-unknown}, not OK or better" ;; esac

step "install"
export DEBIAN_FRONTEND=noninteractive
if dpkg -s vessamo >/dev/null 2>&1; then dpkg --purge vessamo >/dev/null; fi
apt-get install -y -qq --no-install-recommends "$root/$deb" >/dev/null || fail "apt could not install $deb"
version=$(vessamo --version) || fail "vessamo --version failed"
[ "$version" = "vessamo $(dpkg-deb -f "$deb" Version)" ] || fail "vessamo --version said: $version"
getent passwd vessamo >/dev/null || fail "no user vessamo"
for d in /etc/vessamo /var/lib/vessamo /var/spool/vessamo /var/spool/vessamo/{Cua,SiEnviats,NoEnviats,SPam}; do
  [ "$(owner_mode "$d")" = "vessamo:vessamo 700" ] || fail "$d is $(owner_mode "$d")"
done
unit=/lib/systemd/system/vessamo.service
[ -f "$unit" ] || fail "no $unit"
units=$(mktemp -d)
VESSAMO_UNIT_DIR=$units vessamo /I >/dev/null 2>&1 # enabling needs systemd; the file comes first
cmp -s "$units/vessamo.service" "$unit" || fail "vessamo /I writes another unit than the package's"
rm -rf "$units"

step "configure with vessamo /C --apply, against a private Dovecot and an SMTP sink"
rs_install || { echo "package: FAIL (test servers could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-pkg.XXXXXX)
trap 'rs_stop "$dir"; for p in ${pid:-} ${notify_pid:-}; do kill "$p" 2>/dev/null; done; rm -rf "$dir"' EXIT
rs_start "$dir" aiosmtpd >/dev/null && rs_seed "$dir" 1 2000 plain || fail "the test servers did not start"
# shellcheck disable=SC1091
source "$dir/env"
# No folder keys: the defaults the dialogs offer, under /var/spool/vessamo.
vessamo /C --apply - <<EOF || fail "vessamo /C --apply refused the configuration"
interval = 60
smtp.server = 127.0.0.1
smtp.port = $SMTP_PORT
mailbox.1.server = 127.0.0.1
mailbox.1.port = $POP3_PORT
mailbox.1.user = $POP3_USER
mailbox.1.password = $POP3_PASS
mailbox.1.forward-to = ana@example.org
EOF
[ "$(owner_mode /etc/vessamo/vessamo.vsm)" = "vessamo:vessamo 600" ] ||
  fail "the configuration is $(owner_mode /etc/vessamo/vessamo.vsm)"
vessamo /C --print | grep -qx 'folder.queue = /var/spool/vessamo/Cua/' ||
  fail "the queue folder is not the spool's: $(vessamo /C --print | grep folder.queue)"

step "start the service and route one message"
if [ "$(ps -p 1 -o comm=)" = systemd ]; then
  echo "systemd is PID 1: systemctl start"
  systemctl daemon-reload && systemctl start vessamo.service || fail "systemctl start failed"
  systemctl is-active --quiet vessamo.service || fail "the service is not active"
  systemctl kill -s USR1 vessamo.service
else
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit" | tr -d '"')
  echo "systemd is not PID 1 ($(ps -p 1 -o comm=)): $exec_start as user vessamo, without the sandbox"
  chmod 0755 "$dir"
  "$RS_PY" -c '
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o666)
while True:
    print(s.recv(4096).decode(), flush=True)
' "$dir/notify" >"$dir/notify.log" 2>&1 &
  notify_pid=$!
  for ((i = 0; i < 50; i++)); do [ -S "$dir/notify" ] && break; sleep 0.1; done
  install -m 0600 -o vessamo -g vessamo /dev/null "$dir/events.log"
  setpriv --reuid=vessamo --regid=vessamo --init-groups \
    env -i PATH=/usr/bin:/bin HOME=/var/lib/vessamo NOTIFY_SOCKET="$dir/notify" \
    VESSAMO_EVENTLOG="$dir/events.log" "$exec_start" >"$dir/out.log" 2>&1 &
  pid=$!
  for ((i = 0; i < 100; i++)); do grep -q READY=1 "$dir/notify.log" && break; sleep 0.1; done
  grep -q READY=1 "$dir/notify.log" ||
    fail "the service never reported READY=1: $(cat "$dir/out.log" "$dir/events.log")"
  # SIGUSR1 only once its handler is in place (bit 9 of SigCgt), or it would end the process.
  for ((i = 0; i < 50; i++)); do
    mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)
    [ -n "$mask" ] && (((16#$mask >> 9) & 1)) && break
    sleep 0.1
  done
  kill -USR1 "$pid"
fi
for ((i = 0; i < 300; i++)); do
  (($(find /var/spool/vessamo/SiEnviats -name '*.missatge' | wc -l) == 1)) && break
  sleep 0.1
done
rs_check "$dir" --sender from --rcpt ana@example.org || fail "the sink did not get the message byte for byte"
(($(rs_mailbox_count "$dir") == 0)) || fail "the mailbox still holds the message"
for f in /var/spool/vessamo/SiEnviats/*; do
  [ "$(owner_mode "$f")" = "vessamo:vessamo 600" ] || fail "$f is $(owner_mode "$f")"
done
ls -l /var/spool/vessamo/SiEnviats
if [ "$(ps -p 1 -o comm=)" = systemd ]; then
  systemctl stop vessamo.service
else
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  pid=
  ((status == 0)) || fail "the service ended with status $status after SIGTERM"
  [ -s "$dir/events.log" ] && fail "the event log is not empty: $(cat "$dir/events.log")"
  kill "$notify_pid" 2>/dev/null
fi

step "vessamo-send, installed, sends through the installed configuration's server"
echo "sent by the installed vessamo-send" |
  vessamo-send -f ana@example.org -s "package check" joan@example.net >"$dir/send.log" 2>&1 ||
  fail "vessamo-send failed: $(cat "$dir/send.log")"
(($(rs_sink_count "$dir") == 2)) || fail "the sink holds $(rs_sink_count "$dir") messages, not 2"

step "remove keeps the configuration; purge removes everything"
apt-get remove -y -qq vessamo >/dev/null || fail "apt-get remove failed"
[ -f /etc/vessamo/vessamo.vsm ] || fail "remove deleted the configuration"
[ -e /usr/bin/vessamo ] && fail "remove left the program"
dpkg --purge vessamo >/dev/null || fail "dpkg --purge failed"
left=$(ls -d /etc/vessamo /var/spool/vessamo /var/lib/vessamo /lib/systemd/system/vessamo.service \
  /etc/systemd/system/*/vessamo.service /var/lib/systemd/deb-systemd-helper-enabled/*vessamo* \
  /var/lib/systemd/deb-systemd-helper-masked/vessamo.service \
  /usr/share/man/man8/vessamo.8.gz 2>/dev/null)
[ -z "$left" ] || fail "purge left: $left"
dpkg -s vessamo >/dev/null 2>&1 && fail "dpkg still knows vessamo"

if ((${#failures[@]})); then
  echo "package: FAIL (${#failures[@]} problems: ${failures[0]})"
  exit 1
fi
echo "package: PASS (systemd-analyze security: ${score})"
