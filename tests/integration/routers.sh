# shellcheck shell=bash
# Vessamo headless against the real servers of scripts/realservers.sh (source this file
# after realservers.sh), for the end-to-end test, the demo
# and the benchmark. Each function takes the server state folder DIR, whose env file gives
# the ports; Vessamo's own files go to DIR/vessamo.

# One mailbox (the test mailbox), the sink as SMTP server (with authentication when the
# servers run TLS), no spam filter, archives kept 30 days: written the way an administrator without a display does,
# through "BINARY /C --apply", so its checks run on every end-to-end configuration.
vessamo_prepare() { # DIR RCPT BINARY
  local v=$1/vessamo auth=no
  unset SMTP_USER SMTP_PASS CA_FILE # left by an earlier run's env file
  # shellcheck disable=SC1091
  source "$1/env"
  [ -z "${SMTP_USER:-}" ] || auth=yes
  mkdir -p "$v"
  (
    unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
    VESSAMO_CONFIG="$v/vessamo.vsm" VESSAMO_EVENTLOG="$v/config.log" "$3" /C --apply - <<EOF
interval = 1
folder.queue = $v/Cua
folder.sent = $v/SiEnviats
folder.failed = $v/NoEnviats
archive.days = 30
smtp.server = $HOST
smtp.port = $SMTP_PORT
smtp.auth = $auth
smtp.user = ${SMTP_USER:-}
smtp.password = ${SMTP_PASS:-}
spam.folder = $v/SPam
spam.mark = SPAM
mailbox.1.server = $HOST
mailbox.1.port = $POP3_PORT
mailbox.1.user = $POP3_USER
mailbox.1.password = $POP3_PASS
mailbox.1.forward-to = $2
EOF
  ) && mkdir -p "$v/SPam"
}

# Starts "BINARY /E" in the background, an hour a tick of the routing timer (only SIGUSR1
# starts a run), and waits until its SIGUSR1 handler is in place (bit 9 of SigCgt), so
# that the trigger cannot kill it. With TIME-FILE, GNU time wraps the process. The servers'
# test CA, when they run TLS, is the extra trusted CA file.
vessamo_start() { # DIR BINARY [TIME-FILE]
  local v=$1/vessamo pid i mask ca
  ca=$(sed -n 's/^CA_FILE=//p' "$1/env")
  : >"$v/events.log"
  (
    unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM NOTIFY_SOCKET
    export VESSAMO_CONFIG="$v/vessamo.vsm" VESSAMO_EVENTLOG="$v/events.log" VESSAMO_MINUTE_MS=3600000
    [ -z "$ca" ] || export VESSAMO_CA_FILE=$ca
    exec ${3:+/usr/bin/time -f '%e %U %S %M' -o "$3"} "$2" /E
  ) >"$v/out.log" 2>"$v/err.log" &
  echo $! >"$v/outer.pid"
  for ((i = 0; i < 150; i++)); do
    pid=$(cat "$v/outer.pid")
    [ -n "${3:-}" ] && pid=$(pgrep -P "$pid" | head -n 1)
    mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)
    if [ -n "$mask" ] && (((16#$mask >> 9) & 1)); then
      echo "$pid" >"$v/pid"
      return 0
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

# True once the queue folder holds nothing but the run's lock file (stops at the first
# file: cheap on a queue of thousands) and N pairs are archived (sent, failed or spam).
vessamo_run_ended() { # DIR N
  local v=$1/vessamo
  [ -z "$(find "$v/Cua" -maxdepth 1 -type f ! -name .vessamo.lock -print -quit)" ] &&
    (($(vsm_count "$v/SiEnviats" '*.missatge') + $(vsm_count "$v/NoEnviats" '*.missatge') +
      $(vsm_count "$v/SPam" '*.missatge') >= $2))
}

# Waits until vessamo_run_ended, the process's end or LIMIT seconds. Prints the seconds
# waited; exit status 1 unless the run ended.
vessamo_wait() { # DIR N LIMIT
  local start=$EPOCHREALTIME
  until vessamo_run_ended "$1" "$2"; do
    kill -0 "$(cat "$1/vessamo/pid")" 2>/dev/null || { echo "vessamo ended during the run" >&2; return 1; }
    ((${EPOCHREALTIME%.*} - ${start%.*} < $3)) || return 1
    sleep 0.05
  done
  awk "BEGIN { printf \"%.2f\\n\", $EPOCHREALTIME - $start }"
}

# SIGTERM, then waits for the end; SIGKILL after 20 s. Exit status: Vessamo's.
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
