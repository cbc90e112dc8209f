# shellcheck shell=bash
# The routers the benchmark drives against the real servers of scripts/realservers.sh
# besides Vessamo (source this file after realservers.sh): fetchmail (one poll) and the
# floor clients (POP3 half and SMTP half). Each takes the server state folder DIR, whose
# env file gives the ports.

# Runs a command under GNU time; "wall user system peak-KB" goes to the file $1.
rt_timed() { # FILE COMMAND...
  local file=$1; shift
  /usr/bin/time -f '%e %U %S %M' -o "$file" "$@"
}

# fetchmail: one poll of the test mailbox, forwarding everything to the sink with the
# forward-to address as recipient. "no rewrite" and "set invisible" pass the messages
# unchanged as far as fetchmail allows; "auth password" keeps its login USER/PASS, as
# Vessamo's, now that Dovecot offers more. Exit status 0 when it ran (1 = "no mail" counts).
router_fetchmail() { # DIR RCPT [TIME-FILE]
  local dir=$1 rcpt=$2 timefile=${3:-/dev/null} status=0
  # shellcheck disable=SC1091
  source "$dir/env"
  mkdir -p "$dir/fetchmail"
  cat >"$dir/fetchmail/rc" <<EOF
set invisible
set no syslog
poll 127.0.0.1 with proto POP3 port $POP3_PORT auth password timeout 60
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
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
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
