# shellcheck shell=bash
# Routers driven against the real servers of scripts/realservers.sh (source this file
# after realservers.sh): Vessamo headless, fetchmail (one poll) and the floor clients
# (POP3 half and SMTP half). Each takes the server state folder DIR, whose env file gives the ports.
#
# Vessamo: vessamo_prepare, vessamo_start, vessamo_trigger, vessamo_wait, vessamo_stop.
# How the end of a routing run is seen is one function, vessamo_run_ended; redefine it
# (after sourcing) when the program gives a better sign. VSM_RUN_END_PATTERN, when set,
# is an extended regular expression that Vessamo's standard output must also show.

# Runs a command under GNU time; "wall user system peak-KB" goes to the file $1.
rt_timed() { # FILE COMMAND...
  local file=$1; shift
  /usr/bin/time -f '%e %U %S %M' -o "$file" "$@"
}

# fetchmail: one poll of the test mailbox, forwarding everything to the sink with the
# forward-to address as recipient. "no rewrite" and "set invisible" pass the messages
# unchanged as far as fetchmail allows. Exit status 0 when it ran (1 = "no mail" counts).
router_fetchmail() { # DIR RCPT [TIME-FILE]
  local dir=$1 rcpt=$2 timefile=${3:-/dev/null} status=0
  # shellcheck disable=SC1091
  source "$dir/env"
  mkdir -p "$dir/fetchmail"
  cat >"$dir/fetchmail/rc" <<EOF
set invisible
set no syslog
poll 127.0.0.1 with proto POP3 port $POP3_PORT timeout 60
  user "$POP3_USER" there with password "$POP3_PASS" is "root" here
  options fetchall no keep no rewrite no mimedecode sslproto ''
  smtphost "127.0.0.1/$SMTP_PORT" smtpname "$rcpt"
EOF
  chmod 0600 "$dir/fetchmail/rc"
  HOME="$dir/fetchmail" rt_timed "$timefile" timeout 1800 fetchmail -N -f "$dir/fetchmail/rc" \
    --idfile "$dir/fetchmail/ids" --pidfile "$dir/fetchmail/pid" >"$dir/fetchmail/log" 2>&1 ||
    status=$?
  # fetchmail: 0 = mail delivered, 1 = no mail waiting.
  if ((status > 1)); then
    echo "fetchmail failed (exit status $status):" >&2
    tail -n 20 "$dir/fetchmail/log" >&2
    return 1
  fi
}

# The floor clients (bench/pop3floor.cpp, bench/smtpfloor.cpp), built into BINDIR with
# g++ -O2 when missing or older than their sources.
router_floor_build() { # BINDIR
  local src name
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../bench" && pwd)
  mkdir -p "$1"
  for name in pop3floor smtpfloor; do
    if [ ! -x "$1/$name" ] || [ "$src/$name.cpp" -nt "$1/$name" ] || [ "$src/floorio.h" -nt "$1/$name" ]; then
      g++ -O2 -std=c++17 -Wall -Wextra -I "$src" -o "$1/$name" "$src/$name.cpp" || return 1
    fi
  done
}

# The POP3 half: every message of the test mailbox into a file of OUTDIR.
router_floor() { # DIR OUTDIR BINDIR [TIME-FILE]
  local dir=$1 out=$2 bin=$3 timefile=${4:-/dev/null}
  # shellcheck disable=SC1091
  source "$dir/env"
  mkdir -p "$out"
  rt_timed "$timefile" timeout 1800 "$bin/pop3floor" 127.0.0.1 "$POP3_PORT" "$POP3_USER" "$POP3_PASS" \
    "$out" >"$dir/floor.log" 2>&1 || { cat "$dir/floor.log" >&2; return 1; }
}

# The SMTP half: every file of INDIR to the sink, one session each (or, with
# "one-session", all in one session), envelope RCPT.
router_smtpfloor() { # DIR INDIR BINDIR RCPT [TIME-FILE] [one-session]
  local dir=$1 in=$2 bin=$3 rcpt=$4 timefile=${5:-/dev/null} flags=()
  [ "${6:-}" = one-session ] && flags=(--one-session)
  # shellcheck disable=SC1091
  source "$dir/env"
  rt_timed "$timefile" timeout 1800 "$bin/smtpfloor" "${flags[@]}" 127.0.0.1 "$SMTP_PORT" \
    floor@localhost "$rcpt" "$in" >"$dir/smtpfloor.log" 2>&1 || { cat "$dir/smtpfloor.log" >&2; return 1; }
}

# Writes DIR/vessamo/vessamo.vsm and its folders: one mailbox (the test mailbox), the
# sink as SMTP server without authentication, no spam filter, archives kept 30 days.
vessamo_prepare() { # DIR RCPT
  local dir=$1 rcpt=$2 v=$1/vessamo
  # shellcheck disable=SC1091
  source "$dir/env"
  mkdir -p "$v/Cua" "$v/NoEnviats" "$v/SiEnviats" "$v/SPam"
  vsm_write_config "$v/vessamo.vsm" 1 "$v/Cua/" "$v/NoEnviats/" "$v/SiEnviats/" 30 \
    127.0.0.1 "$SMTP_PORT" 0 "" "" 0 "" "$v/SPam/" "SPAM" \
    -- 127.0.0.1 "$POP3_PORT" "$POP3_USER" "$POP3_PASS" "$rcpt"
}

# Starts "BINARY /E" headless in the background and waits (bounded) until it has set up
# its SIGUSR1 handler, so that the trigger cannot kill it. The routing timer is set to
# an hour a tick: only SIGUSR1 starts a run. With TIME-FILE, GNU time wraps the process.
vessamo_start() { # DIR BINARY [TIME-FILE]
  local v=$1/vessamo binary=$2 timefile=${3:-} pid i mask
  : >"$v/events.log"
  (
    unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM NOTIFY_SOCKET
    export VESSAMO_CONFIG="$v/vessamo.vsm" VESSAMO_EVENTLOG="$v/events.log" VESSAMO_MINUTE_MS=3600000
    if [ -n "$timefile" ]; then
      exec /usr/bin/time -f '%e %U %S %M' -o "$timefile" "$binary" /E
    fi
    exec "$binary" /E
  ) >"$v/out.log" 2>"$v/err.log" &
  echo $! >"$v/outer.pid"
  for ((i = 0; i < 150; i++)); do
    pid=$(cat "$v/outer.pid")
    [ -n "$timefile" ] && pid=$(pgrep -P "$pid" | head -n 1)
    if [ -n "$pid" ] && [ -r "/proc/$pid/status" ]; then
      mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$pid/status")
      if [ -n "$mask" ] && (((16#$mask >> 9) & 1)); then # bit 9 = signal 10, SIGUSR1
        echo "$pid" >"$v/pid"
        return 0
      fi
    fi
    kill -0 "$(cat "$v/outer.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "vessamo did not start (no SIGUSR1 handler after 15 s). Its output:" >&2
  cat "$v/out.log" "$v/err.log" "$v/events.log" >&2
  return 1
}

vessamo_trigger() { # DIR
  kill -USR1 "$(cat "$1/vessamo/pid")"
}

vsm_count() { # FOLDER PATTERN
  find "$1" -maxdepth 1 -type f -name "$2" | wc -l
}

# True once the run has visibly ended: the queue folder holds no pair and no message in
# progress, and N pairs are archived (sent, failed or spam), and, when
# VSM_RUN_END_PATTERN is set, standard output shows it.
vessamo_run_ended() { # DIR N
  local v=$1/vessamo n=$2 archived
  # Stops at the first file: cheap on a queue of thousands, polled often while it works.
  [ -z "$(find "$v/Cua" -maxdepth 1 -type f -print -quit)" ] || return 1
  archived=$(($(vsm_count "$v/SiEnviats" '*.missatge') + $(vsm_count "$v/NoEnviats" '*.missatge') +
    $(vsm_count "$v/SPam" '*.missatge')))
  ((archived >= n)) || return 1
  [ -z "${VSM_RUN_END_PATTERN:-}" ] || grep -Eq "$VSM_RUN_END_PATTERN" "$v/out.log"
}

# Waits until vessamo_run_ended or LIMIT seconds; a dead process ends the wait too.
# Prints the seconds waited (two decimals); exit status 1 on time-out.
vessamo_wait() { # DIR N LIMIT
  local dir=$1 n=$2 limit=$3 start now
  start=$(date +%s%N)
  while :; do
    now=$(date +%s%N)
    if vessamo_run_ended "$dir" "$n"; then
      printf '%d.%02d\n' $(((now - start) / 1000000000)) $((((now - start) / 10000000) % 100))
      return 0
    fi
    kill -0 "$(cat "$dir/vessamo/pid")" 2>/dev/null || { echo "vessamo ended during the run" >&2; return 1; }
    (((now - start) / 1000000000 < limit)) || return 1
    sleep 0.05
  done
}

# SIGTERM, then waits (bounded) for the end; SIGKILL after 20 s. Exit status: Vessamo's.
vessamo_stop() { # DIR
  local v=$1/vessamo pid outer i status=0
  pid=$(cat "$v/pid" 2>/dev/null) || return 0
  outer=$(cat "$v/outer.pid")
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 200; i++)); do kill -0 "$outer" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$outer" 2>/dev/null; then
    echo "vessamo did not end 20 s after SIGTERM: killed" >&2
    kill -KILL "$pid" 2>/dev/null
    status=1
  fi
  wait "$outer" 2>/dev/null || status=$?
  rm -f "$v/pid"
  return "$status"
}
