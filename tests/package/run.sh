#!/usr/bin/env bash
# The Debian package as an administrator meets it (as root): build it, check its manual
# pages and its unit's sandbox score, then boot a Debian 12 container with systemd as PID 1,
# install the package in it with apt, configure it with "vessamo /C --apply" against a
# private Dovecot and an SMTP sink on this machine's loopback, and check it as the service:
# a Type=notify start, one message routed byte for byte, owners and modes, a configuration
# the service user cannot change, a stop while an end-of-data reply is pending, the journal
# fields of an event, then remove (the configuration stays) and purge (nothing stays).
#
# The container shares this machine's network (no --private-network): the unit leaves the
# network open anyway, so the sandbox under test is the same, and the test servers stay
# the ones every other end-to-end test uses, on the host, checked there byte for byte.
# Its root file system is bootstrapped with mmdebstrap once per package list and kept
# under /var/cache/vessamo-ci (1 to 3 minutes from nothing, while the package builds);
# each run boots an overlay of it, so nothing of a run stays in the cache.
#
#   tests/package/run.sh [BUILD-DIR]        (default build-deb)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root" || exit 1
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
build=${1:-build-deb}

# What the package and the service leave on disk, checked inside the container once a
# message is archived: path (a pattern is expanded there), owner:group, octal mode.
expected_modes=(
  "/etc/vessamo                    root:vessamo    750"
  "/etc/vessamo/vessamo.vsm        root:vessamo    640"
  "/var/lib/vessamo                vessamo:vessamo 700"
  "/var/lib/vessamo/tokens         vessamo:vessamo 700"
  "/var/spool/vessamo              vessamo:vessamo 700"
  "/var/spool/vessamo/Cua          vessamo:vessamo 700"
  "/var/spool/vessamo/SiEnviats    vessamo:vessamo 700"
  "/var/spool/vessamo/NoEnviats    vessamo:vessamo 700"
  "/var/spool/vessamo/SPam         vessamo:vessamo 700"
  "/var/spool/vessamo/SiEnviats/*  vessamo:vessamo 600"
)

# The container: the package's dependencies are in it from the start, so installing the
# package needs no mirror. The cache is keyed by everything that shapes the tree.
container_packages=(systemd dbus passwd init-system-helpers libssl3 ca-certificates
  shared-mime-info libqt6core6 libqt6gui6 libqt6network6 libqt6widgets6)
mmdebstrap_options=(--variant=apt --include="$(
  IFS=,
  echo "${container_packages[*]}"
)" --dpkgopt=force-unsafe-io --dpkgopt='path-exclude=/usr/share/doc/*'
  --dpkgopt='path-exclude=/usr/share/locale/*' --aptopt='Acquire::Retries "3"')
cache=/var/cache/vessamo-ci
rootfs=$cache/bookworm-$(printf '%s\n' bookworm "${mmdebstrap_options[@]}" | sha256sum | cut -c1-16)

failures=()
fail() { failures+=("$*"); echo "FAILED: $*"; }
step() { echo "-- $* ($((SECONDS - started)) s)"; }
started=$SECONDS
# Until COMMAND succeeds, for at most SECONDS.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.2
  done
}

# --- the container's root file system, bootstrapped in the background while the package builds
bootstrap() {
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  if [ -d "$rootfs" ]; then
    echo "the container's root file system is cached: $rootfs"
    return 0
  fi
  rm -rf --one-file-system "$rootfs.new"
  echo "bootstrapping the container's root file system: mmdebstrap ${mmdebstrap_options[*]} bookworm"
  if ! mmdebstrap --quiet "${mmdebstrap_options[@]}" bookworm "$rootfs.new" </dev/null; then
    rm -rf --one-file-system "$rootfs.new"
    return 1
  fi
  mv "$rootfs.new" "$rootfs"
  # Trees for other package lists are never used again.
  find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'bookworm-*' ! -path "$rootfs" \
    -exec rm -rf --one-file-system {} +
}

for tool in mmdebstrap systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null || { echo "package: FAIL ($tool missing: run scripts/setup.sh)"; exit 1; }
done
bootstrap_log=$(mktemp)
bootstrap >"$bootstrap_log" 2>&1 &
bootstrap_pid=$!

# --- cleaning up, also after a failure: the container, its mounts and cgroups, the servers
run=
dir=
nspawn_pid=
leader=
overlay=
cgroups=()
slow_pid=
cleanup() {
  if [ -n "$bootstrap_pid" ] && kill -0 "$bootstrap_pid" 2>/dev/null; then
    pkill -TERM -P "$bootstrap_pid"
    kill "$bootstrap_pid" 2>/dev/null
    wait "$bootstrap_pid" 2>/dev/null
  fi
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    [ -n "$leader" ] && inside systemctl poweroff --no-block >/dev/null 2>&1
    # nspawn answers SIGTERM by asking the container's systemd to power off too.
    wait_for 20 powered_off || kill -TERM "$nspawn_pid" 2>/dev/null
    wait_for 10 powered_off || kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
  fi
  local group
  for group in "${cgroups[@]}"; do
    [ -d "$group" ] || continue
    # Whatever of the container outlived nspawn goes with its cgroup.
    [ -f "$group/cgroup.kill" ] && echo 1 >"$group/cgroup.kill" 2>/dev/null
    wait_for 5 emptied "$group"
    find "$group" -depth -type d -exec rmdir {} + 2>/dev/null
    [ -d "$group" ] && echo "cleanup: could not remove the cgroup folder $group"
  done
  [ -n "$overlay" ] && { umount "$overlay" 2>/dev/null || umount -l "$overlay"; }
  [ -n "$slow_pid" ] && kill "$slow_pid" 2>/dev/null
  [ -n "$dir" ] && rs_stop "$dir"
  [ -n "$run" ] && rm -rf --one-file-system "$run"
  [ -n "$dir" ] && rm -rf "$dir"
  rm -f "$bootstrap_log"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Runs a command as root inside the container, with a clean environment.
inside() {
  nsenter --target "$leader" --all env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
powered_off() { ! kill -0 "$nspawn_pid" 2>/dev/null; }
emptied() { [ -z "$(find "$1" -name cgroup.procs -exec cat {} +)" ]; }
as_service_user() { inside setpriv --reuid=vessamo --regid=vessamo --init-groups "$@"; }

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

step "the test servers on this machine's loopback: a private Dovecot and an SMTP sink"
rs_install || { echo "package: FAIL (test servers could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-pkg.XXXXXX)
{ rs_start "$dir" aiosmtpd && rs_seed "$dir" 1 2000 plain; } || { echo "package: FAIL (the test servers did not start)"; exit 1; }
# shellcheck disable=SC1091
source "$dir/env"

step "boot a Debian 12 container with systemd as PID 1"
wait "$bootstrap_pid"
bootstrapped=$?
bootstrap_pid=
cat "$bootstrap_log"
((bootstrapped == 0)) || { echo "package: FAIL (mmdebstrap could not bootstrap the container)"; exit 1; }
run=$(mktemp -d /var/tmp/vessamo-container.XXXXXX)
mkdir "$run/upper" "$run/work" "$run/root"
if mount -t overlay overlay -o "lowerdir=$rootfs,upperdir=$run/upper,workdir=$run/work" "$run/root"; then
  overlay=$run/root
else
  echo "no overlay file system here: the container runs on a copy of the cached tree"
  cp -a --reflink=auto "$rootfs/." "$run/root/"
fi
# nspawn is not registered with a host systemd. Where there is none (CI), it runs in a
# cgroup folder of its own in each hierarchy that systemd inside will use, and keeps it;
# under a host systemd, in a scope that systemd delegates to it.
launcher=()
if [ -d /run/systemd/system ]; then
  launcher=(systemd-run --quiet --scope --property=Delegate=yes --unit="vessamo-ci-$$")
elif [ -f /sys/fs/cgroup/cgroup.controllers ]; then
  cgroups=("/sys/fs/cgroup/vessamo-ci-$$")
else
  for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd; do
    mountpoint -q "$hierarchy" && cgroups+=("$hierarchy/vessamo-ci-$$")
  done
fi
((${#cgroups[@]} == 0)) || mkdir -p "${cgroups[@]}"
(
  for group in "${cgroups[@]}"; do echo "$BASHPID" >"$group/cgroup.procs"; done
  exec "${launcher[@]}" systemd-nspawn --boot --directory="$run/root" --machine=vessamo-ci \
    --register=no --keep-unit --console=pipe --link-journal=no
) </dev/null >"$run/boot.log" 2>&1 &
nspawn_pid=$!
booted() {
  leader=${leader:-$(pgrep -P "$nspawn_pid" -x systemd)}
  [ -n "$leader" ] && [[ "$(inside systemctl is-system-running 2>/dev/null)" =~ ^(running|degraded)$ ]]
}
if ! wait_for 60 booted; then
  echo "the container did not boot (systemd-nspawn's output follows)"
  cat "$run/boot.log"
  [ -n "$leader" ] && inside systemctl --failed --no-pager
  echo "package: FAIL (the container did not boot)"
  exit 1
fi
echo "booted: systemd $(inside systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p') as PID 1, $(inside systemctl is-system-running)"

step "install the package in the container"
cp "$deb" "$run/root/root/vessamo.deb"
missing=$(for p in $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g'); do
  inside dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
done)
[ -z "$missing" ] ||
  echo "not in the container's package list (add them to container_packages): ${missing//$'\n'/ }"
install_package() {
  inside env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    /root/vessamo.deb >"$run/apt.log" 2>&1
}
if ! install_package; then
  # A dependency missing from the cached tree, or needed newer than it holds: the mirror has it.
  echo "apt could not install from the cached tree alone: $(tail -n 3 "$run/apt.log"); once more after apt-get update"
  { inside apt-get update -qq && install_package; } ||
    fail "apt could not install $deb: $(tail -n 5 "$run/apt.log")"
fi
version=$(inside vessamo --version) || fail "vessamo --version failed"
[ "$version" = "vessamo $(dpkg-deb -f "$deb" Version)" ] || fail "vessamo --version said: $version"
inside getent passwd vessamo >/dev/null || fail "no user vessamo"
[ "$(inside systemctl is-enabled vessamo.service)" = enabled ] || fail "the package did not enable the unit"
units=$(inside mktemp -d)
inside env VESSAMO_UNIT_DIR="$units" vessamo /I >/dev/null 2>&1 # the file is written first
inside cmp -s "$units/vessamo.service" /lib/systemd/system/vessamo.service ||
  fail "vessamo /I writes another unit than the package's"

step "configure with vessamo /C --apply: the test mailbox, and one whose login is refused"
# No folder keys: the defaults the dialogs offer, under /var/spool/vessamo.
inside vessamo /C --apply - <<EOF || fail "vessamo /C --apply refused the configuration"
interval = 60
smtp.server = 127.0.0.1
smtp.port = $SMTP_PORT
mailbox.1.server = 127.0.0.1
mailbox.1.port = $POP3_PORT
mailbox.1.user = $POP3_USER
mailbox.1.password = $POP3_PASS
mailbox.1.forward-to = ana@example.org
mailbox.2.server = 127.0.0.1
mailbox.2.port = $POP3_PORT
mailbox.2.user = intrus
mailbox.2.password = not-the-password
mailbox.2.forward-to = joan@example.net
EOF
inside vessamo /C --print | grep -qx 'folder.queue = /var/spool/vessamo/Cua/' ||
  fail "the queue folder is not the spool's: $(inside vessamo /C --print | grep folder.queue)"

step "folders root's /C makes: the service's, and a warning for one the sandbox keeps read-only"
said=$(echo 'folder.failed = /var/spool/vessamo/Extra' | inside vessamo /C --apply - 2>&1) ||
  fail "vessamo /C refused a spool folder: $said"
[ "$(inside stat -c '%U:%G %a' /var/spool/vessamo/Extra)" = "vessamo:vessamo 700" ] ||
  fail "a folder root's /C made is $(inside stat -c '%U:%G %a' /var/spool/vessamo/Extra), not vessamo:vessamo 700"
grep -q 'Avís' <<<"$said" && fail "a warning for a folder inside the spool: $said"
said=$(echo 'folder.failed = /srv/vessamo-failed' | inside vessamo /C --apply - 2>&1) ||
  fail "vessamo /C refused /srv/vessamo-failed: $said"
grep -q 'Avís: el servei no pot escriure a /srv/vessamo-failed' <<<"$said" ||
  fail "no warning for a folder outside the service's writable paths: $said"
echo 'folder.failed = /var/spool/vessamo/NoEnviats' | inside vessamo /C --apply - ||
  fail "vessamo /C refused the spool's failed archive"
inside rmdir /var/spool/vessamo/Extra /srv/vessamo-failed

step "start the service (Type=notify) and route one message"
inside systemctl start vessamo.service || fail "systemctl start failed: $(inside systemctl status --no-pager vessamo.service)"
inside systemctl is-active --quiet vessamo.service || fail "the service is not active"
# With Type=notify, "active" means the program itself said READY=1.
[ "$(inside systemctl show -p Type --value vessamo.service)" = notify ] || fail "the unit is not Type=notify"
inside systemctl show -p Type -p ActiveState -p SubState -p MainPID vessamo.service | tr "\n" " "; echo
inside systemctl kill -s USR1 --kill-who=main vessamo.service
archived() { (($(inside find /var/spool/vessamo/SiEnviats -name '*.missatge' | wc -l) == $1)); }
wait_for 30 archived 1 || fail "no message in the sent archive after 30 s"
rs_check "$dir" --sender from --rcpt ana@example.org || fail "the sink did not get the message byte for byte"
(($(rs_mailbox_count "$dir") == 0)) || fail "the mailbox still holds the message"
inside ls -l /var/spool/vessamo/SiEnviats

step "operating the service as root: --status, --queue, --flush"
inside vessamo --status >"$run/status.log" 2>&1 || fail "vessamo --status failed: $(cat "$run/status.log")"
grep -q "1 reenviats" "$run/status.log" && grep -q "vessamo.service: active" "$run/status.log" ||
  fail "vessamo --status does not show the run and the active service: $(cat "$run/status.log")"
inside vessamo --queue >/dev/null || fail "vessamo --queue failed on the service's spool"
state_time() { inside stat -c %.9Y /var/lib/vessamo/status.json; }
before=$(state_time)
new_run() { [ "$(state_time)" != "$before" ]; }
inside vessamo --flush >"$run/flush.log" 2>&1 || fail "vessamo --flush failed: $(cat "$run/flush.log")"
wait_for 30 new_run || fail "no run of the service after vessamo --flush: $(cat "$run/flush.log")"
for file in /var/lib/vessamo/status.json /var/lib/vessamo/vessamo.pid; do
  [ "$(inside stat -c '%U %a' "$file")" = "vessamo 600" ] ||
    fail "$file is $(inside stat -c '%U:%G %a' "$file"), not the service user's own"
done

step "owners and modes"
for row in "${expected_modes[@]}"; do
  read -r pattern owner mode <<<"$row"
  found=$(inside sh -c "for f in $pattern; do [ ! -e \"\$f\" ] || stat -c '%n %U:%G %a' \"\$f\"; done")
  [ -n "$found" ] || fail "nothing matches $pattern"
  while read -r path got_owner got_mode; do
    [ "$got_owner $got_mode" = "$owner $mode" ] || fail "$path is $got_owner $got_mode, not $owner $mode"
  done <<<"$found"
done

step "the service user cannot change the configuration"
vsm=/etc/vessamo/vessamo.vsm
# By its permissions: opened for appending without writing, so a success changes nothing.
as_service_user sh -c ": >>$vsm" 2>/dev/null && fail "user vessamo may write $vsm"
as_service_user sh -c "set -C; : >/etc/vessamo/probe" 2>/dev/null &&
  fail "user vessamo may create files in /etc/vessamo"
inside rm -f /etc/vessamo/probe
# By the sandbox: as root inside the running service's mount namespace, where only a
# read-only mount can refuse.
main=$(inside systemctl show -p MainPID --value vessamo.service)
inside nsenter --target "$main" --mount sh -c ": >>$vsm" 2>/dev/null &&
  fail "the service's sandbox lets it write $vsm (ReadWritePaths: $(inside systemctl show -p ReadWritePaths --value vessamo.service))"
inside nsenter --target "$main" --mount sh -c "set -C; : >/etc/vessamo/probe" 2>/dev/null &&
  fail "the service's sandbox lets it create files in /etc/vessamo"
inside rm -f /etc/vessamo/probe

step "the journal: the refused login's entry and its fields"
refused="VESSAMO_MAILBOX=intrus@127.0.0.1"
logged() { inside journalctl -q -t Vessamo "$refused" -o export | grep -aq '^MESSAGE='; }
if wait_for 30 logged; then
  entry=$(inside journalctl -q -t Vessamo "$refused" -o export -n 1)
  for field in SYSLOG_IDENTIFIER=Vessamo VESSAMO_EVENT_ID=109 VESSAMO_EVENT_TYPE=1 PRIORITY=3 \
    _SYSTEMD_UNIT=vessamo.service _UID="$(inside id -u vessamo)"; do
    grep -aqx "$field" <<<"$entry" || fail "the journal entry lacks $field: $(grep -a '^MESSAGE=' <<<"$entry")"
  done
  grep -a '^MESSAGE=' <<<"$entry"
else
  fail "no journal entry for the refused login after 30 s: $(inside journalctl -q -t Vessamo --no-pager)"
fi

step "vessamo-send, installed, sends through the installed configuration's server"
echo "sent by the installed vessamo-send" |
  inside vessamo-send -f ana@example.org -s "package check" joan@example.net >"$run/send.log" 2>&1 ||
  fail "vessamo-send failed: $(cat "$run/send.log")"
(($(rs_sink_count "$dir") == 2)) || fail "the sink holds $(rs_sink_count "$dir") messages, not 2"

step "vessamo-token, installed, answers for an account that was never enrolled"
status=0
inside vessamo-token show nobody >"$run/token.log" 2>&1 || status=$?
((status == 1)) && grep -q "^vessamo-token: " "$run/token.log" ||
  fail "vessamo-token show nobody: status $status: $(cat "$run/token.log")"

step "stop"
inside systemctl stop vessamo.service
result=$(inside systemctl show -p Result --value vessamo.service)/$(inside systemctl show -p ExecMainStatus --value vessamo.service)
[ "$result" = success/0 ] || fail "the stop ended with result/status $result, not success/0"
# Every entry is the refused login's: no denial by the sandbox, no failed write.
other=$(inside journalctl -q -t Vessamo -o export | grep -a -c '^MESSAGE=')
mine=$(inside journalctl -q -t Vessamo "$refused" -o export | grep -a -c '^MESSAGE=')
((other == mine)) || fail "the service logged more than the refused login: $(inside journalctl -q -t Vessamo --no-pager)"

step "stop during the end-of-data reply"
# An SMTP sink that keeps the message and answers 5 s later; the service is stopped in
# between. The message was delivered: it must end in the sent archive, not stay queued
# to be delivered again by the next run.
slow_port=$(rs_free_port)
mkdir "$dir/slow" && chown "$RS_USER:" "$dir/slow"
RS_SINK_REPLY_DELAY=5 setpriv --reuid="$RS_USER" --regid="$(id -g "$RS_USER")" --clear-groups \
  "$RS_PY" "$dir/sink.py" "$dir/slow" "$slow_port" >"$dir/slow.log" 2>&1 &
slow_pid=$!
rs_wait_port "$slow_port" || fail "the slow sink did not start: $(cat "$dir/slow.log")"
printf 'smtp.port = %s\nmailbox.2 = delete\n' "$slow_port" | inside vessamo /C --apply - ||
  fail "vessamo /C --apply refused the slow sink's port"
rs_seed "$dir" 1 2000 plain 2
inside systemctl start vessamo.service || fail "the second systemctl start failed"
inside systemctl kill -s USR1 --kill-who=main vessamo.service
kept() { [ -n "$(find "$dir/slow" -name '*.eml')" ]; }
if wait_for 30 kept; then
  before=$SECONDS
  inside systemctl stop vessamo.service
  took=$((SECONDS - before))
  echo "systemctl stop took $took s"
  queued=$(inside find /var/spool/vessamo/Cua -name '*.missatge' | wc -l)
  archived 2 && ((queued == 0)) ||
    fail "stop during the end-of-data reply: the delivered message is not in the sent archive ($queued queued): $(inside ls /var/spool/vessamo/Cua /var/spool/vessamo/SiEnviats | tr '\n' ' ')"
  # Archived without the reply would be a guess: a 5xx would have been lost as "sent".
  ((took >= 3)) || fail "stop during the end-of-data reply: the stop did not wait for the reply (it took $took s)"
else
  fail "stop during the end-of-data reply: the slow sink never got the message: $(cat "$dir/slow.log")"
fi

step "remove keeps the configuration; purge removes everything"
inside env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vessamo >/dev/null 2>&1 || fail "apt-get remove failed"
inside test -f /etc/vessamo/vessamo.vsm || fail "remove deleted the configuration"
inside test -e /usr/bin/vessamo && fail "remove left the program"
inside systemctl is-active --quiet vessamo.service && fail "remove left the service running"
inside env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq vessamo >/dev/null 2>&1 || fail "apt-get purge failed"
left=$(inside sh -c 'ls -d /etc/vessamo /var/spool/vessamo /var/lib/vessamo /lib/systemd/system/vessamo.service \
  /etc/systemd/system/*/vessamo.service /var/lib/systemd/deb-systemd-helper-enabled/*vessamo* \
  /var/lib/systemd/deb-systemd-helper-masked/vessamo.service /usr/share/man/man8/vessamo.8.gz 2>/dev/null')
[ -z "$left" ] || fail "purge left: $left"
inside dpkg -s vessamo >/dev/null 2>&1 && fail "dpkg still knows vessamo"

step "power off"
inside systemctl poweroff --no-block >/dev/null 2>&1
wait_for 20 powered_off || fail "the container did not power off in 20 s"

if ((${#failures[@]})); then
  echo "package: FAIL (${#failures[@]} problems: ${failures[0]})"
  exit 1
fi
echo "package: PASS in $SECONDS s (systemd-analyze security: ${score}; container: systemd as PID 1)"
