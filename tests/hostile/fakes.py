# Hostile fake POP3 and SMTP servers on 127.0.0.1, a thread per connection. A connection is
# served well unless its Behaviour replaces the reply to one step by an action, or drops
# the connection after `drop_at` bytes sent. The POP3 fake deletes only at a QUIT it does
# not refuse; the SMTP fake keeps every message it accepted, un-stuffed, in order.
import collections
import socket
import socketserver
import threading
import time

# Steps: greeting, a command's verb, END (the end of data); `number` only for RETR and DELE.
Behaviour = collections.namedtuple("Behaviour", "step action number drop_at", defaults=(None,) * 4)


class Dropped(Exception):
    """The connection ends on purpose, or the client closed it."""


# Actions: ("send", bytes, then): then None, "close", or "silence" until the client closes;
# ("stream", head, chunk, pause): the head, then chunk after chunk until the client goes;
# ("late", bytes, seconds): the bytes after a pause.
def send(data, then=None):
    return ("send", data, then)


def late(data, seconds):
    return ("late", data, seconds)


def flood(head, chunk):  # at about 20 MB/s
    return ("stream", head, chunk, len(chunk) / (20 << 20))


SILENCE, CLOSE = send(b"", "silence"), send(b"", "close")


def sends(action, prefix):
    return action is not None and action[0] in ("send", "late") and action[1].startswith(prefix)


class Conn:
    def __init__(self, sock, behaviour):
        self.sock, self.behaviour, self.buffer, self.sent = sock, behaviour, b"", 0

    def cork(self):
        # The last bytes and the close leave in one segment: the program sees both at once.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)

    def send(self, data):
        limit = self.behaviour.drop_at
        drop = limit is not None and self.sent + len(data) >= limit
        if drop:
            self.cork()
            data = data[:limit - self.sent]
        self.sock.sendall(data)
        self.sent += len(data)
        if drop:
            raise Dropped()

    def recv(self):
        data = self.sock.recv(65536)
        if not data:
            raise Dropped()
        self.buffer += data

    def read_until(self, end):
        at = 0
        while self.buffer.find(end, at) < 0:
            at = max(0, len(self.buffer) - len(end))  # a message may have 12 MB
            self.recv()
        data, _, self.buffer = self.buffer.partition(end)
        return data

    def action(self, step, number=None):
        b = self.behaviour
        return b.action if b.step == step and b.number in (None, number) else None

    def act(self, step, default, number=None):
        """The reply to `step`: the behaviour's action there, else `default`."""
        kind, data, *rest = self.action(step, number) or send(default)
        if kind == "late":
            time.sleep(rest[0])
            kind, rest = "send", [None]
        while kind == "stream":
            self.send(data)
            data = rest[0]
            time.sleep(rest[1])
        if rest[0] == "close":
            self.cork()
        self.send(data)
        while rest[0] == "silence":
            self.recv()
        if rest[0]:
            raise Dropped()


class FakeServer(socketserver.ThreadingTCPServer):
    """Each connection takes the next scripted behaviour, else the default."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), None)
        self.port = self.server_address[1]
        self.lock = threading.Lock()
        self.connections = self.open = 0  # accepted since the start; open now
        self.set_script([])
        threading.Thread(target=self.serve_forever, args=(0.1,), daemon=True).start()

    def set_script(self, behaviours, default=None):
        """Also forgets the commands seen so far."""
        with self.lock:
            self.script, self.default, self.commands = list(behaviours), default or Behaviour(), set()

    def stop(self):
        self.shutdown()
        self.server_close()

    def process_request(self, sock, address):
        with self.lock:
            self.connections += 1
            self.open += 1
            behaviour = self.script.pop(0) if self.script else self.default
        threading.Thread(target=self.serve, args=(sock, behaviour), daemon=True).start()

    def serve(self, sock, behaviour):
        conn = Conn(sock, behaviour)
        try:
            self.session(conn, lambda: conn.read_until(b"\n").rstrip(b"\r").decode("latin-1"))
        except (Dropped, OSError):
            pass
        finally:
            self.shutdown_request(sock)
            with self.lock:
                self.open -= 1


POP3_GREETING, POP3_OK, POP3_BYE = b"+OK hostile POP3 ready\r\n", b"+OK\r\n", b"+OK bye\r\n"


def pop3_retr(message):
    """Status line, dot-stuffed message (which ends with CR LF), end line."""
    return b"+OK %d octets\r\n" % len(message) + b"".join(
        (b"." + l if l.startswith(b".") else l) + b"\r\n" for l in message.split(b"\r\n")[:-1]) + b".\r\n"


class FakePop3(FakeServer):
    def __init__(self):
        self.mailbox = {}  # message id -> bytes, in order
        super().__init__()

    def add(self, mid, data):
        with self.lock:
            self.mailbox[mid] = data

    def ids(self):
        with self.lock:
            return list(self.mailbox)

    def session(self, conn, readline):
        with self.lock:
            view = list(self.mailbox.items())  # the maildrop as locked at the start
        marked = set()
        conn.act("greeting", POP3_GREETING)
        while True:
            text = readline()
            verb, _, arg = text.partition(" ")
            verb = verb.upper()
            self.commands.add(text if verb != "PASS" else verb)
            number = int(arg) if arg.isdigit() and 1 <= int(arg) <= len(view) and int(arg) not in marked else 0
            if verb in ("USER", "PASS", "NOOP", "RSET"):
                conn.act(verb, POP3_OK)
            elif verb == "STAT":
                live = [m for i, m in enumerate(view) if i + 1 not in marked]
                conn.act(verb, b"+OK %d %d\r\n" % (len(live), sum(len(m[1]) for m in live)))
            elif verb == "RETR" and number:
                conn.act(verb, pop3_retr(view[number - 1][1]), number)
            elif verb == "DELE" and number:
                if conn.action(verb, number) is None or sends(conn.action(verb, number), b"+"):
                    marked.add(number)
                conn.act(verb, POP3_OK, number)
            elif verb == "QUIT":
                # The server removes what was marked, then answers; a refused QUIT keeps all.
                if not sends(conn.action(verb), b"-"):
                    with self.lock:
                        for n in marked:
                            self.mailbox.pop(view[n - 1][0], None)
                conn.act(verb, POP3_BYE)
                return
            else:
                conn.act(None, b"-ERR unknown command\r\n")


SMTP_REPLIES = [  # (step, default reply), in the order of a session
    ("greeting", b"220 hostile ESMTP\r\n"), ("HELO", b"250 hostile\r\n"), ("MAIL", b"250 2.1.0 ok\r\n"),
    ("RCPT", b"250 2.1.5 ok\r\n"), ("DATA", b"354 go ahead\r\n"), ("END", b"250 2.0.0 queued\r\n"),
    ("QUIT", b"221 2.0.0 bye\r\n"),
]
SMTP = dict(SMTP_REPLIES)


class FakeSmtp(FakeServer):
    """A message counts as accepted when the server decides to answer 250 to its end of
    data, before the reply is sent."""

    def __init__(self):
        self.accepted = []  # message bytes
        super().__init__()

    def session(self, conn, readline):
        conn.act("greeting", SMTP["greeting"])
        while True:
            verb = readline().split(" ", 1)[0].upper().rstrip(":")
            verb = "HELO" if verb == "EHLO" else verb
            self.commands.add(verb)
            if verb in SMTP:
                conn.act(verb, SMTP[verb])
            if verb == "DATA":
                lines = conn.read_until(b"\r\n.\r\n").split(b"\r\n")
                self.commands.add("END")
                if conn.action("END") is None or sends(conn.action("END"), b"250"):
                    with self.lock:
                        self.accepted.append(b"".join((l[1:] if l.startswith(b".") else l) + b"\r\n" for l in lines))
                conn.act("END", SMTP["END"])
            elif verb == "QUIT":
                return
            elif verb not in SMTP:
                conn.act(None, b"250 ok\r\n" if verb in ("RSET", "NOOP") else b"502 5.5.2 no\r\n")
