#!/usr/bin/env bash
# Real mail servers on loopback for integration tests and benchmarks: a private Dovecot
# POP3 instance with one test mailbox, and an SMTP sink that keeps every message it takes
# (Postfix smtp-sink, or an aiosmtpd sink that keeps the exact DATA bytes). Also seeds the
# mailbox directly on disk and checks what reached the sink against what was seeded.
#
# Use as a command:   bash scripts/realservers.sh SUBCOMMAND STATE-DIR [arguments]
# or source it and call the rs_* functions. Every server listens on 127.0.0.1 only, on a
# free port; the state folder holds the configuration, logs, mailbox, sink and env file.
#
#   install                      install the packages when missing (Debian, as root)
#   start DIR [smtp-sink|aiosmtpd] [465|587]   start Dovecot and the sink; writes DIR/env,
#                                prints ports. With 465 or 587: TLS on both halves (see
#                                rs_start), on the real ports, which must be free
#   seed DIR COUNT SIZE [plain|dots|tricky]   seed COUNT messages of about SIZE bytes
#   check DIR [options]          compare the sink with the seeded messages (see rs_check)
#   counts DIR                   print "mailbox=N sink=N"
#   clear DIR                    empty the sink and the record of seeded messages
#   ports DIR                    print the ports
#   stop DIR                     stop both servers (the folder stays)

RS_PY=/usr/bin/python3
RS_USER=vsmtest
RS_PASS=vsmtest-secret
RS_SMTP_USER=vsmsender
RS_SMTP_PASS=vsmsender-Secret-7
RS_HELPERS=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/integration

rs_install() {
  local packages=(dovecot-core dovecot-pop3d postfix fetchmail time python3 python3-aiosmtpd
    g++ procps openssl tcpdump)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "realservers: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  rs_quiet_system_servers
}

# Debian's packages start system-wide Dovecot and Postfix; their listeners on 995 (and any
# on 465 or 587) would take the ports the TLS tests need, so on a test machine they are
# stopped and kept from starting again.
rs_quiet_system_servers() {
  local s
  for s in dovecot postfix; do
    if [ -d /run/systemd/system ]; then
      systemctl disable --now "$s" >/dev/null 2>&1 || true
    elif [ -x "/etc/init.d/$s" ]; then
      "/etc/init.d/$s" stop >/dev/null 2>&1 || true
    fi
  done
}

# A free TCP port on 127.0.0.1 below 32768: the configuration file keeps ports in signed
# 16-bit fields, and the kernel's own choices (32768 and up) would read back negative.
# (The tiny race between this probe and the server's bind is acceptable here.)
rs_free_port() {
  "$RS_PY" - <<'EOF'
import random, socket
for _ in range(200):
    port = random.randint(20000, 32000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
else:
    raise SystemExit("realservers: no free port in 20000-32000")
EOF
}

# Waits (bounded) until something accepts connections on 127.0.0.1:$1.
rs_wait_port() {
  local port=$1 i
  for ((i = 0; i < 100; i++)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "realservers: nothing listens on 127.0.0.1:$port after 10 s" >&2
  return 1
}

rs_ensure_user() {
  id -u "$RS_USER" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$RS_USER"
}

# Every login mechanism the router speaks is offered (APOP puts a timestamp in the
# greeting). The passwords are stored as plain text ({PLAIN}), from which Dovecot derives
# what CRAM-MD5, SCRAM and APOP need.
rs_write_dovecot_conf() { # DIR PORT [tls]
  local dir=$1 uid gid ssl=no plain=no clear=$2 secure=0
  if [ "${3:-}" = tls ]; then
    ssl="required
ssl_cert = <$dir/tls/server.pem
ssl_key = <$dir/tls/server.key
ssl_min_protocol = TLSv1.2" plain=yes clear=0 secure=$2
  fi
  uid=$(id -u "$RS_USER"); gid=$(id -g "$RS_USER")
  printf '%s:{PLAIN}%s:%s:%s::%s::\n' "$RS_USER" "$RS_PASS" "$uid" "$gid" "$dir/home" >"$dir/passwd"
  chmod 0644 "$dir/passwd"
  cat >"$dir/dovecot.conf" <<EOF
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = $ssl
disable_plaintext_auth = $plain
auth_mechanisms = plain login cram-md5 scram-sha-1 scram-sha-256 apop
mail_location = maildir:~/Maildir
first_valid_uid = 1
default_login_user = dovenull
default_internal_user = dovecot
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $dir/passwd
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $clear
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $secure
    ssl = yes
  }
}
EOF
}

# The aiosmtpd sink: each message's DATA bytes exactly as received (dot-stuffing undone,
# nothing else changed) in NNNNNNNN.eml, its envelope in NNNNNNNN.env, written under a
# temporary name first so that a counted file is always complete. With RS_SINK_REPLY_DELAY
# (seconds) in its environment, the reply to the end of data comes that long after the
# message is kept: a client stopped in between has delivered but not yet heard so.
rs_write_aiosmtpd_sink() { # FILE
  cat >"$1" <<'EOF'
import asyncio, os, signal, ssl, sys
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult

# out port [user password [cert key]]: with a login, AUTH is required; with a certificate
# too, port 465 speaks TLS from the first byte, any other port requires STARTTLS, and AUTH
# is taken only inside TLS.
out, port = sys.argv[1], int(sys.argv[2])
login = tuple(a.encode() for a in sys.argv[3:5]) or None
tls = None
if len(sys.argv) > 5:
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(sys.argv[5], sys.argv[6])
implicit = tls is not None and port == 465
count = [0]
reply_delay = float(os.environ.get("RS_SINK_REPLY_DELAY", "0"))

def authenticate(server, session, envelope, mechanism, data):
    return AuthResult(success=(data.login, data.password) == login)

# RS_SINK_REFUSE names a file of envelope senders, one a line, refused for good at MAIL
# while the file is there: a cause of failure a test can make and then fix.
refuse = os.environ.get("RS_SINK_REFUSE")

class Keep:
    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if refuse and os.path.exists(refuse):
            with open(refuse) as f:
                if address in f.read().split():
                    return "550 5.7.1 <%s>: Sender address rejected: not allowed" % address
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        count[0] += 1
        stem = os.path.join(out, "%08d" % count[0])
        with open(stem + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        with open(stem + ".env", "w") as f:
            f.write("MAIL FROM:<%s>\n" % envelope.mail_from)
            for r in envelope.rcpt_tos:
                f.write("RCPT TO:<%s>\n" % r)
        os.rename(stem + ".tmp", stem + ".eml")
        await asyncio.sleep(reply_delay)
        return "250 2.0.0 Ok: kept"

class Sink(Controller):
    def factory(self):
        options = {}
        if login is not None:
            options = dict(authenticator=authenticate, auth_required=True,
                           auth_require_tls=tls is not None and not implicit)
            if tls is not None and not implicit:
                options.update(tls_context=tls, require_starttls=True)
        return SMTP(self.handler, data_size_limit=None, decode_data=False, enable_SMTPUTF8=False,
                    **options)

controller = Sink(Keep(), hostname="127.0.0.1", port=port, ssl_context=tls if implicit else None)
controller.start()
signal.sigwait({signal.SIGTERM, signal.SIGINT})
controller.stop()
EOF
}

# With TLS-PORT (465 or 587): Dovecot requires TLS on 995, the aiosmtpd sink listens on
# TLS-PORT and requires AUTH inside TLS, both with a certificate for "localhost" signed by
# a CA made here (DIR/tls/ca.pem; the env file names it as CA_FILE). With "auth" instead:
# the same in clear text on free ports (the same work without TLS, for comparisons).
rs_start() { # DIR [smtp-sink|aiosmtpd] [TLS-PORT|auth]
  local dir kind=${2:-smtp-sink} tlsport=${3:-} pop3 smtp host=127.0.0.1 sinkargs=()
  dir=$(mkdir -p "$1" && cd "$1" && pwd)
  rs_ensure_user
  chmod 0755 "$dir"
  mkdir -p "$dir/home/Maildir/"{new,cur,tmp} "$dir/sink" "$dir/expected"
  chown -R "$RS_USER:" "$dir/home" "$dir/sink"
  chmod -R go-rwx "$dir/home/Maildir"
  if [ -n "$tlsport" ]; then
    [ "$kind" = aiosmtpd ] || { echo "realservers: AUTH and TLS need the aiosmtpd sink" >&2; return 1; }
    sinkargs=("$RS_SMTP_USER" "$RS_SMTP_PASS")
  fi
  if [ -n "$tlsport" ] && [ "$tlsport" != auth ]; then
    rs_make_certs "$dir/tls" || return 1
    pop3=995 smtp=$tlsport host=localhost
    sinkargs+=("$dir/tls/server.pem" "$dir/tls/server.key")
    rs_port_free "$pop3" && rs_port_free "$smtp" || return 1
    rs_write_dovecot_conf "$dir" "$pop3" tls
  else
    pop3=$(rs_free_port)
    rs_write_dovecot_conf "$dir" "$pop3"
  fi
  dovecot -c "$dir/dovecot.conf" || { cat "$dir/dovecot.log" >&2; return 1; }
  rs_wait_port "$pop3" || return 1

  [ -n "${smtp:-}" ] || smtp=$(rs_free_port)
  if [ "$kind" = aiosmtpd ]; then
    rs_write_aiosmtpd_sink "$dir/sink.py"
    # The sink runs as the test user; on a port below 1024 it stays root to bind it.
    if ((smtp < 1024)); then
      "$RS_PY" "$dir/sink.py" "$dir/sink" "$smtp" "${sinkargs[@]}" >"$dir/sink.log" 2>&1 &
    else
      setpriv --reuid="$RS_USER" --regid="$(id -g "$RS_USER")" --clear-groups \
        "$RS_PY" "$dir/sink.py" "$dir/sink" "$smtp" "${sinkargs[@]}" >"$dir/sink.log" 2>&1 &
    fi
  else
    # -u drops root; -m bounds parallel sessions; the file name is the time plus a
    # random number, one file per message.
    smtp-sink -4 -u "$RS_USER" -m 64 -d "$dir/sink/%Y%m%d%H%M%S." \
      "127.0.0.1:$smtp" 100 >"$dir/sink.log" 2>&1 &
  fi
  echo $! >"$dir/sink.pid"
  rs_wait_port "$smtp" || return 1
  cat >"$dir/env" <<EOF
RS_DIR=$dir
HOST=$host
POP3_PORT=$pop3
SMTP_PORT=$smtp
POP3_USER=$RS_USER
POP3_PASS=$RS_PASS
SINK_KIND=$kind
SINK_DIR=$dir/sink
MAILDIR=$dir/home/Maildir
EOF
  [ ! -f "$dir/tls/ca.pem" ] || echo "CA_FILE=$dir/tls/ca.pem" >>"$dir/env"
  if [ -n "$tlsport" ]; then
    cat >>"$dir/env" <<EOF
SMTP_USER=$RS_SMTP_USER
SMTP_PASS=$RS_SMTP_PASS
EOF
  fi
  rs_ports "$dir"
}

# A test CA and a certificate for "localhost" (and 127.0.0.1) that it signs.
rs_make_certs() { # FOLDER
  local d=$1
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vessamo test CA" \
    -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null &&
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$d/server.key" \
      -out "$d/server.csr" 2>/dev/null &&
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$d/ext" &&
    openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial \
      -days 2 -extfile "$d/ext" -out "$d/server.pem" 2>/dev/null ||
    { echo "realservers: openssl could not make the test certificates" >&2; return 1; }
  chmod 0644 "$d/ca.pem" "$d/server.pem"
}

rs_port_free() { # PORT
  if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
    echo "realservers: 127.0.0.1:$1 is held by another program: $(ss -ltnpH "sport = :$1")" >&2
    return 1
  fi
}

# Records every packet to and from the TLS ports on the loopback interface in DIR/wire.pcap.
rs_capture_start() { # DIR
  tcpdump -i lo -U -s 0 -w "$1/wire.pcap" 'tcp port 995 or tcp port 465 or tcp port 587' \
    >"$1/tcpdump.log" 2>&1 &
  echo $! >"$1/tcpdump.pid"
  local i
  for ((i = 0; i < 50; i++)); do
    grep -q 'listening on' "$1/tcpdump.log" && return 0
    sleep 0.1
  done
  echo "realservers: tcpdump did not start: $(cat "$1/tcpdump.log")" >&2
  return 1
}

# Stops the capture and fails when any secret or any of the mail crossed the wire in clear:
# the passwords (as typed and Base64-encoded, as AUTH LOGIN and PLAIN send them), POP3
# USER/PASS commands, AUTH or MAIL commands, and the seeded messages' headers.
rs_capture_check() { # DIR
  local dir=$1
  kill -INT "$(cat "$dir/tcpdump.pid")" 2>/dev/null
  wait "$(cat "$dir/tcpdump.pid")" 2>/dev/null
  # shellcheck disable=SC1091
  (source "$dir/env" && "$RS_PY" - "$dir/wire.pcap" "$POP3_PASS" "$SMTP_PASS" "$SMTP_USER" "$POP3_USER" <<'EOF'
import base64, sys
wire = open(sys.argv[1], "rb").read()
pop3_pass, smtp_pass, smtp_user, pop3_user = (a.encode() for a in sys.argv[2:6])
secrets = [pop3_pass, smtp_pass, base64.b64encode(smtp_pass), base64.b64encode(smtp_user),
           base64.b64encode(b"\0" + smtp_user + b"\0" + smtp_pass)]
# (Long enough that encrypted bytes never hold one by chance.)
clear = [b"USER " + pop3_user, b"PASS ", b"AUTH ", b"MAIL FROM", b"RCPT TO", b"Return-Path:",
         b"+OK Dovecot"]
found = [s for s in secrets + clear if s in wire]
if len(wire) < 20000:
    sys.exit("capture: only %d bytes captured: the mail did not cross the capture" % len(wire))
if found:
    sys.exit("capture: seen in clear text on the wire: %r" % found)
print("capture: %d bytes on 995 and the SMTP port, no password, command or message in clear" % len(wire))
EOF
  )
}

rs_ports() { # DIR
  # shellcheck disable=SC1091
  (source "$1/env" && echo "pop3=$HOST:$POP3_PORT smtp=$HOST:$SMTP_PORT sink=$SINK_KIND${CA_FILE:+ tls}")
}

rs_stop() { # DIR
  local dir=$1 pid i
  [ -f "$dir/tcpdump.pid" ] && kill -INT "$(cat "$dir/tcpdump.pid")" 2>/dev/null
  if [ -f "$dir/run/master.pid" ]; then
    pid=$(cat "$dir/run/master.pid")
    kill "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  if [ -f "$dir/sink.pid" ]; then
    pid=$(cat "$dir/sink.pid")
    kill "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    rm -f "$dir/sink.pid"
  fi
  return 0
}

# Seeds the mailbox with COUNT messages of about SIZE bytes (CR LF line ends); the kinds
# are described in tests/integration/mailgen.py. "tricky"
# messages hold lines that are just ".", lines starting with ".." and ".", lines of exactly
# 998 octets, 8-bit bytes and trailing blanks. Every message starts with Return-Path: and
# Received: lines; its From: address differs from the Return-Path address, so a router
# that takes the envelope sender from the wrong header is seen. The exact bytes are kept
# in DIR/expected for rs_check; Dovecot gets them with LF line ends, as Maildir stores them.
rs_seed() { # DIR COUNT SIZE [plain|tricky] [first-number]
  local dir=$1
  "$RS_PY" "$RS_HELPERS/mailgen.py" maildir "$dir/home/Maildir" "$dir/expected" "$2" "$3" \
    "${4:-plain}" "${5:-1}" || return 1
  chown -R "$RS_USER:" "$dir/home/Maildir"
}

rs_mailbox_count() { # DIR
  find "$1/home/Maildir/new" "$1/home/Maildir/cur" -type f | wc -l
}

rs_sink_count() { # DIR
  # shellcheck disable=SC1091
  (source "$1/env"
   if [ "$SINK_KIND" = aiosmtpd ]; then
     find "$SINK_DIR" -name '*.eml' -type f | wc -l
   else
     # smtp-sink writes a file as the message comes in; the last one may be incomplete
     # until its session ends, which the checker notices (and a wait settles).
     find "$SINK_DIR" -type f | wc -l
   fi)
}

rs_clear() { # DIR
  find "$1/sink" "$1/expected" -mindepth 1 -delete
}

# Compares the sink with the seeded messages: every seeded message arrived exactly once,
# byte for byte, nothing else arrived. Options (passed to the checker):
#   --sender from|return-path|any   which header's address must be the envelope sender
#   --rcpt ADDRESS                  the envelope recipient every message must have
#   --strip-prepended NAMES         header names a router may prepend (comma separated):
#                                   removed from the top before comparing, and reported
rs_check() { # DIR [options]
  local dir=$1; shift
  # shellcheck disable=SC1091
  (source "$dir/env" && "$RS_PY" "$RS_HELPERS/mailcheck.py" "$SINK_KIND" "$SINK_DIR" \
    "$dir/expected" "$@")
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  cmd=${1:-}; shift || true
  case "$cmd" in
  install) rs_install ;;
  start) rs_install && rs_start "$@" ;;
  seed) rs_seed "$@" ;;
  check) rs_check "$@" ;;
  counts) echo "mailbox=$(rs_mailbox_count "$1") sink=$(rs_sink_count "$1")" ;;
  clear) rs_clear "$1" ;;
  ports) rs_ports "$1" ;;
  stop) rs_stop "$1" ;;
  *) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
fi
