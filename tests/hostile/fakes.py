# Hostile fake POP3 and SMTP servers on 127.0.0.1, one thread per connection. A connection
# is served well unless its Behaviour replaces the reply of one step by an action, or
# drops the connection after `drop_at` bytes sent. The POP3 fake deletes only at a QUIT
# it accepts; the SMTP fake keeps every message it accepted, un-stuffed, in order.
import collections
import select
import socket
import socketserver
import threading
import time

# Actions: ("send", bytes, close after), ("silence",) until the client closes, ("close",),
# ("flood", head, chunk) at about 20 MB/s until the client goes, ("drip", bytes, seconds
# between two bytes); or a list of them. Steps: greeting, a command's verb, END (the end
# of data); `number` only for RETR and DELE.
SILENCE, CLOSE = ("silence",), ("close",)
Behaviour = collections.namedtuple("Behaviour", "step action number drop_at", defaults=(None,) * 4)


def send(data, close_after=False):
    return ("send", data, close_after)


def sends(action, prefix):
    return action is not None and action[0] == "send" and action[1].startswith(prefix)


class Dropped(Exception):
    """The connection ended, on purpose or by the client."""


class Conn:
    def __init__(self, sock, server, behaviour):
        self.sock, self.server, self.behaviour = sock, server, behaviour
        self.buffer, self.sent = b"", 0
        sock.settimeout(0.2)

    def cork(self):
        # The last bytes and the close leave in one segment: the program sees both at once.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)

    def send(self, data):
        limit = self.behaviour.drop_at
        drop = limit is not None and self.sent + len(data) >= limit
        if drop:
            self.cork()
            data = data[:limit - self.sent]
        view = memoryview(data)
        while view and not self.server.stopping.is_set():
            try:
                view = view[self.sock.send(view):]
            except socket.timeout:
                continue
            except OSError:
                break
        self.sent += len(data)
        if view or drop:
            raise Dropped()

    def recv(self):
        while not self.server.stopping.is_set():
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not data:
                break
            self.buffer += data
            return
        raise Dropped()

    def read_until(self, end, limit=None):
        at = 0
        while self.buffer.find(end, at) < 0:
            if limit and len(self.buffer) > limit:
                raise Dropped()
            at = max(0, len(self.buffer) - len(end))  # a message may have 12 MB
            self.recv()
        data, _, self.buffer = self.buffer.partition(end)
        return data

    def action(self, step, number=None):
        b = self.behaviour
        return b.action if b.step == step and b.number in (None, number) else None

    def act(self, step, default, number=None):
        """The reply to `step`: the behaviour's action there, else `default`."""
        action = self.action(step, number) or send(default)
        for kind, *args in action if isinstance(action, list) else [action]:
            if kind == "send":
                if args[1]:
                    self.cork()
                self.send(args[0])
                if args[1]:
                    raise Dropped()
            elif kind == "drip":
                for i in range(len(args[0])):
                    self.send(args[0][i:i + 1])
                    end = time.monotonic() + args[1]
                    while select.select([self.sock], [], [], max(0, end - time.monotonic()))[0]:
                        self.recv()  # a close ends the drip
            else:
                while kind == "flood":
                    self.send(args[0])
                    args[0] = args[1]
                    time.sleep(len(args[1]) / (20 << 20))
                while kind == "silence":
                    self.recv()
                raise Dropped()


class FakeServer(socketserver.ThreadingTCPServer):
    """Each connection takes the next scripted behaviour, else the default."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), None)
        self.port = self.server_address[1]
        self.lock, self.stopping = threading.Lock(), threading.Event()
        self.connections = self.open = 0  # accepted since the start; open now
        self.set_script([])
        threading.Thread(target=self.serve_forever, args=(0.1,), daemon=True).start()

    def set_script(self, behaviours, default=None):
        """Also forgets the commands seen so far."""
        with self.lock:
            self.script, self.default, self.commands = list(behaviours), default or Behaviour(), set()

    def seen(self, command):
        return command in self.commands

    def note(self, command):
        with self.lock:
            self.commands.add(command)

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()

    def process_request(self, sock, address):
        with self.lock:
            self.connections += 1
            self.open += 1
            behaviour = self.script.pop(0) if self.script else self.default
        threading.Thread(target=self.serve, args=(sock, behaviour), daemon=True).start()

    def serve(self, sock, behaviour):
        conn = Conn(sock, self, behaviour)
        try:
            self.session(conn, lambda: conn.read_until(b"\n", 1 << 20).rstrip(b"\r").decode("latin-1"))
        except Dropped:
            pass
        finally:
            self.shutdown_request(sock)
            with self.lock:
                self.open -= 1


POP3_GREETING, POP3_OK, POP3_BYE = b"+OK hostile POP3 ready\r\n", b"+OK\r\n", b"+OK bye\r\n"


def pop3_retr(message):
    """Status line, dot-stuffed message (which ends with CR LF), end line."""
    lines = message.split(b"\r\n")[:-1]
    return b"+OK %d octets\r\n" % len(message) + b"".join(
        (b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines) + b".\r\n"


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

    def clear(self):
        with self.lock:
            self.mailbox.clear()

    def session(self, conn, readline):
        with self.lock:
            view = list(self.mailbox.items())  # the maildrop as locked at the start
        marked = set()
        conn.act("greeting", POP3_GREETING)
        while True:
            text = readline()
            verb, _, arg = text.partition(" ")
            verb = verb.upper()
            self.note(text if verb != "PASS" else verb)
            number = int(arg) if arg.isdigit() and 1 <= int(arg) <= len(view) else 0
            if verb in ("USER", "PASS", "NOOP", "RSET"):
                conn.act(verb, POP3_OK)
            elif verb == "STAT":
                live = [m for i, m in enumerate(view) if i + 1 not in marked]
                conn.act(verb, b"+OK %d %d\r\n" % (len(live), sum(len(m[1]) for m in live)))
            elif verb == "RETR" and number and number not in marked:
                conn.act(verb, pop3_retr(view[number - 1][1]), number)
            elif verb == "DELE" and number and number not in marked:
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
    ("greeting", b"220 hostile ESMTP\r\n"),
    ("HELO", b"250 hostile\r\n"),
    ("MAIL", b"250 2.1.0 ok\r\n"),
    ("RCPT", b"250 2.1.5 ok\r\n"),
    ("DATA", b"354 go ahead\r\n"),
    ("END", b"250 2.0.0 queued\r\n"),
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
            self.note(verb)
            if verb in SMTP:
                conn.act(verb, SMTP[verb])
            if verb == "DATA":
                lines = conn.read_until(b"\r\n.\r\n").split(b"\r\n")
                self.note("END")
                if conn.action("END") is None or sends(conn.action("END"), b"250"):
                    with self.lock:
                        self.accepted.append(b"".join((l[1:] if l.startswith(b".") else l) + b"\r\n"
                                                      for l in lines))
                conn.act("END", SMTP["END"])
            elif verb == "QUIT":
                return
            elif verb not in SMTP:
                conn.act(None, b"250 ok\r\n" if verb in ("RSET", "NOOP") else b"502 5.5.2 no\r\n")
