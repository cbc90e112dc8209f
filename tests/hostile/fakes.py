# Hostile fake POP3 and SMTP servers on 127.0.0.1, one thread per connection. Each
# connection follows a behaviour: by default a well-behaved server, otherwise a hook
# that replaces the reply of a chosen step (send other bytes, say nothing, close, flood,
# drip) and an optional byte budget after which the server drops the connection.
#
# The POP3 fake keeps a mailbox of messages (deleted only at a QUIT it accepts); the SMTP
# fake keeps every message it accepted, un-stuffed, in order.
import socket
import threading
import time


class Dropped(Exception):
    """The connection was ended on purpose (or by the client) in the middle of a step."""


# What a hook returns for a step: None keeps the default reply.
class Send:
    def __init__(self, data, close_after=False):
        self.data, self.close_after = data, close_after


class Silence:
    """Say nothing more; keep the connection open until the client closes it."""


class Close:
    """Close without a reply."""


class Flood:
    """Send `head`, then `chunk` again and again (at most `rate` bytes a second) until the
    client stops reading or `limit` bytes were sent; then stay silent."""

    def __init__(self, head, chunk, rate, limit):
        self.head, self.chunk, self.rate, self.limit = head, chunk, rate, limit


class Drip:
    """Send `data` one byte every `interval` seconds."""

    def __init__(self, data, interval):
        self.data, self.interval = data, interval


class Behaviour:
    def __init__(self, hook=None, drop_at=None):
        self.hook = hook or (lambda step, arg: None)
        self.drop_at = drop_at


class Conn:
    """One accepted connection: line reading, and writes that honour the byte budget."""

    def __init__(self, sock, server, behaviour):
        self.sock, self.server, self.behaviour = sock, server, behaviour
        self.buffer = b""
        self.sent = 0
        sock.settimeout(0.2)

    def alive(self):
        return not self.server.stopping.is_set()

    def send(self, data):
        budget = self.behaviour.drop_at
        if budget is not None and self.sent + len(data) >= budget:
            self.cork()
            self._sendall(data[: budget - self.sent])
            self.sent = budget
            raise Dropped()
        self._sendall(data)
        self.sent += len(data)

    def cork(self):
        """The last bytes and the close leave together, in one segment: the program sees
        the reply and the end of the connection at the same moment."""
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)

    def _sendall(self, data):
        view = memoryview(data)
        while view and self.alive():
            try:
                n = self.sock.send(view)
            except socket.timeout:
                continue
            except OSError:
                raise Dropped()
            view = view[n:]
        if view:
            raise Dropped()

    def readline(self, limit=1 << 20):
        while b"\n" not in self.buffer:
            if len(self.buffer) > limit:
                raise Dropped()
            self.buffer += self._recv()
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def read_until(self, terminator):
        pieces, searched = [self.buffer], self.buffer
        while terminator not in searched:
            piece = self._recv()
            pieces.append(piece)
            searched = searched[-len(terminator):] + piece
        data, _, self.buffer = b"".join(pieces).partition(terminator)
        return data

    def _recv(self):
        while self.alive():
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                raise Dropped()
            if not data:
                raise Dropped()
            return data
        raise Dropped()

    def wait_for_close(self):
        try:
            while True:
                self._recv()
        except Dropped:
            pass

    def act(self, action, default):
        """Carries out a step's action; False when the session is over."""
        if action is None:
            action = Send(default)
        if isinstance(action, list):  # one action after the other
            return all(self.act(a, default) for a in action)
        if isinstance(action, Send):
            if action.close_after:
                self.cork()
            self.send(action.data)
            if action.close_after:
                raise Dropped()
            return True
        if isinstance(action, Close):
            raise Dropped()
        if isinstance(action, Silence):
            self.wait_for_close()
            raise Dropped()
        if isinstance(action, Flood):
            self.send(action.head)
            started, total = time.monotonic(), 0
            while total < action.limit and self.alive():
                self.send(action.chunk)
                total += len(action.chunk)
                ahead = total / action.rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)
            self.wait_for_close()
            raise Dropped()
        if isinstance(action, Drip):
            for i in range(len(action.data)):
                self.send(action.data[i:i + 1])
                end = time.monotonic() + action.interval
                while time.monotonic() < end:
                    if not self.alive() or self._client_gone():
                        raise Dropped()
                    time.sleep(0.05)
            return True
        raise TypeError(action)

    def _client_gone(self):
        try:
            self.sock.settimeout(0)
            data = self.sock.recv(65536)
            if not data:
                return True
            self.buffer += data
            return False
        except (BlockingIOError, socket.timeout):
            return False
        except OSError:
            return True
        finally:
            self.sock.settimeout(0.2)


class FakeServer:
    """Accepts connections; each takes the next scripted behaviour, else the default."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.script = []
        self.default = Behaviour()
        self.connections = 0  # accepted since the start
        self.open = 0  # open now
        self.events = []  # (time, text): commands received, for anchors
        self.threads = []
        self.accepter = threading.Thread(target=self._accept, daemon=True)
        self.accepter.start()

    def note(self, text):
        with self.lock:
            self.events.append((time.monotonic(), text))

    def seen(self, text):
        with self.lock:
            return any(t == text for _, t in self.events)

    def set_script(self, behaviours, default=None):
        with self.lock:
            self.script = list(behaviours)
            self.default = default or Behaviour()

    def idle(self):
        with self.lock:
            return self.open == 0

    def stop(self):
        self.stopping.set()
        self.accepter.join()
        for t in self.threads:
            t.join(5)
        self.listener.close()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                behaviour = self.script.pop(0) if self.script else self.default
                self.connections += 1
                self.open += 1
            t = threading.Thread(target=self._serve, args=(sock, behaviour), daemon=True)
            self.threads = [x for x in self.threads if x.is_alive()] + [t]
            t.start()

    def _serve(self, sock, behaviour):
        conn = Conn(sock, self, behaviour)
        try:
            self.session(conn)
        except Dropped:
            pass
        finally:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
            with self.lock:
                self.open -= 1


def stuff(message):
    """POP3/SMTP dot-stuffing of a message that ends with CR LF, with the end line."""
    lines = message.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    out = [b"." + l if l.startswith(b".") else l for l in lines]
    return b"\r\n".join(out) + b"\r\n.\r\n"


def unstuff(data):
    """The message carried by the bytes between DATA's 354 and the "." line."""
    if not data:
        return b""
    lines = data.split(b"\r\n")
    return b"".join((l[1:] if l.startswith(b".") else l) + b"\r\n" for l in lines)


POP3_GREETING = b"+OK hostile POP3 ready\r\n"
POP3_OK = b"+OK\r\n"
POP3_BYE = b"+OK bye\r\n"


def pop3_stat(count, size):
    return b"+OK %d %d\r\n" % (count, size)


def pop3_retr(data):
    return b"+OK %d octets\r\n" % len(data) + stuff(data)


SMTP_REPLIES = [  # (step, default reply), in the order of a session
    ("greeting", b"220 hostile ESMTP\r\n"),
    ("HELO", b"250 hostile\r\n"),
    ("MAIL", b"250 2.1.0 ok\r\n"),
    ("RCPT", b"250 2.1.5 ok\r\n"),
    ("DATA", b"354 go ahead\r\n"),
    ("END", b"250 2.0.0 queued\r\n"),
    ("QUIT", b"221 2.0.0 bye\r\n"),
]
_SMTP = dict(SMTP_REPLIES)


class FakePop3(FakeServer):
    """Steps: greeting, USER, PASS, STAT, RETR (arg: number), DELE (arg: number), QUIT."""

    def __init__(self):
        super().__init__()
        self.mailbox = []  # [message id, bytes], in order; removed at an accepted QUIT

    def add(self, mid, data):
        with self.lock:
            self.mailbox.append([mid, data])

    def ids(self):
        with self.lock:
            return [m[0] for m in self.mailbox]

    def clear(self):
        with self.lock:
            self.mailbox = []

    def session(self, conn):
        with self.lock:
            view = list(self.mailbox)  # the maildrop as locked at the start
        marked = set()
        hook = conn.behaviour.hook
        conn.act(hook("greeting", None), POP3_GREETING)
        while True:
            line = conn.readline()
            text = line.rstrip(b"\r\n").decode("latin-1")
            verb, _, arg = text.partition(" ")
            verb = verb.upper()
            self.note(text if verb != "PASS" else "PASS")
            number = int(arg) if arg.isdigit() else 0
            if verb in ("USER", "PASS", "NOOP", "RSET"):
                conn.act(hook(verb, None), POP3_OK)
            elif verb == "STAT":
                live = [m for i, m in enumerate(view) if i + 1 not in marked]
                size = sum(len(m[1]) for m in live)
                conn.act(hook("STAT", None), pop3_stat(len(live), size))
            elif verb == "RETR" and 1 <= number <= len(view) and number not in marked:
                data = view[number - 1][1]
                conn.act(hook("RETR", number), pop3_retr(data))
            elif verb == "DELE" and 1 <= number <= len(view) and number not in marked:
                action = hook("DELE", number)
                if action is None or (isinstance(action, Send) and action.data.startswith(b"+")):
                    marked.add(number)
                conn.act(action, POP3_OK)
            elif verb == "QUIT":
                action = hook("QUIT", None)
                # The server removes what was marked, then answers; a refused QUIT keeps all.
                if not (isinstance(action, Send) and action.data.startswith(b"-")):
                    doomed = {view[n - 1][0] for n in marked}
                    with self.lock:
                        self.mailbox = [m for m in self.mailbox if m[0] not in doomed]
                conn.act(action, POP3_BYE)
                return
            else:
                conn.act(None, b"-ERR unknown command\r\n")


class FakeSmtp(FakeServer):
    """Steps: greeting, HELO (EHLO too), MAIL, RCPT, DATA, END (end of data), QUIT. A
    message counts as accepted when the server decides to answer 250 to its end of data,
    before the reply is sent."""

    def __init__(self):
        super().__init__()
        self.accepted = []  # (envelope sender, recipient, message bytes)

    def session(self, conn):
        hook = conn.behaviour.hook
        conn.act(hook("greeting", None), _SMTP["greeting"])
        sender = rcpt = None
        while True:
            line = conn.readline()
            text = line.rstrip(b"\r\n").decode("latin-1")
            verb = text.split(" ", 1)[0].upper().rstrip(":")
            verb = {"EHLO": "HELO"}.get(verb, verb)
            self.note(verb)
            if verb == "HELO":
                conn.act(hook("HELO", None), _SMTP["HELO"])
            elif verb == "MAIL":
                sender = text.partition(":")[2].strip()
                conn.act(hook("MAIL", None), _SMTP["MAIL"])
            elif verb == "RCPT":
                rcpt = text.partition(":")[2].strip()
                conn.act(hook("RCPT", None), _SMTP["RCPT"])
            elif verb == "DATA":
                conn.act(hook("DATA", None), _SMTP["DATA"])
                body = conn.read_until(b"\r\n.\r\n")
                message = unstuff(body)
                self.note("END")
                action = hook("END", message)
                if action is None or (isinstance(action, Send) and action.data.startswith(b"250")):
                    with self.lock:
                        self.accepted.append((sender, rcpt, message))
                conn.act(action, _SMTP["END"])
            elif verb == "QUIT":
                conn.act(hook("QUIT", None), _SMTP["QUIT"])
                return
            elif verb in ("RSET", "NOOP"):
                conn.act(None, b"250 ok\r\n")
            else:
                conn.act(None, b"502 5.5.2 not implemented\r\n")
