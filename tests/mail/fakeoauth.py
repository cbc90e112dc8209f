#!/usr/bin/python3
# A fake OAuth 2.0 authorization server on a loopback port, for vessamo-token's tests.
# Prints its port on the first line of standard output, then serves until killed.
#
#   POST /device     device authorization (RFC 8628): the polls of a code answer
#                    authorization_pending, then slow_down, then the tokens; a poll sooner
#                    than the interval (5 s more after slow_down) gets "polled_too_fast"
#   GET  /authorize  authorization request: remembers state, redirect_uri and the PKCE
#                    challenge, answers 302 to redirect_uri?code=...&state=...
#   POST /token      device_code, authorization_code (checks the redirect and the PKCE
#                    verifier with S256) and refresh_token grants. Refresh tokens rotate: each
#                    use gives a new one and the old is spent. By the token's prefix:
#                    rt-/seed- good, gone- invalid_grant, malformed- broken JSON, wrongtype-
#                    an access_token that is a number, huge- a 1 MB body without a length,
#                    longbody- a 1 MB body with its length
#   POST /introspect token introspection (RFC 7662), as a mail server asks: form field
#                    "token"; a live access token answers active with its subject as
#                    "username", anything else {"active": false}
#   POST /control    the test's controls, form fields: subject=NAME (the username of the
#                    tokens issued from now on), approve_after=N (a device code's Nth poll
#                    gets the tokens, the earlier ones authorization_pending, no slow_down),
#                    expire=1 (every access token issued so far is dead), revoke=1 (every
#                    refresh token issued so far is refused as revoked)
#   GET  /stats      the number of requests per grant (and introspections), as JSON
# The client "confidential" must send the client_secret "s3cret".
# With arguments CERT KEY (PEM files) it speaks HTTPS instead.
import base64, hashlib, json, ssl, sys, threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.Lock()
stats = {"device": 0, "device_code": 0, "authorization_code": 0, "refresh_token": 0,
         "introspect": 0, "introspect_active": 0}
devices = {}      # device_code -> {"polls": n, "last": time, "interval": s}
codes = {}        # code -> {"challenge", "method", "redirect_uri", "client_id"}
spent = set()
serial = [0]
access = {}       # access token -> subject, while it lives
refresh = set()   # refresh tokens issued and not yet used
settings = {"subject": "user@example.org", "approve_after": 0}


def next_serial():
    serial[0] += 1
    return serial[0]


def tokens():
    n = next_serial()
    access[f"at-{n}"] = settings["subject"]
    refresh.add(f"rt-{n}")
    return {"access_token": f"at-{n}", "refresh_token": f"rt-{n}", "token_type": "Bearer",
            "expires_in": 3600, "scope": "mail"}


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, obj=None, raw=None, length=True):
        body = raw if raw is not None else json.dumps(obj).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def error(self, code, description="", status=400):
        self.answer(status, {"error": code, "error_description": description})

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path == "/stats":
            with lock:
                return self.answer(200, stats)
        if url.path == "/authorize":
            if query.get("response_type") != "code" or "state" not in query:
                return self.answer(400, raw=b"bad authorization request")
            with lock:
                code = f"code-{next_serial()}"
                codes[code] = {"challenge": query.get("code_challenge"),
                               "method": query.get("code_challenge_method"),
                               "redirect_uri": query.get("redirect_uri"),
                               "client_id": query.get("client_id")}
            target = query["redirect_uri"] + "?" + urllib.parse.urlencode(
                {"code": code, "state": query["state"]})
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.answer(404, raw=b"not found")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
        path = urllib.parse.urlsplit(self.path).path
        with lock:
            if path == "/device":
                stats["device"] += 1
                device = f"dev-{next_serial()}"
                devices[device] = {"polls": 0, "last": time.monotonic(), "interval": 1}
                return self.answer(200, {
                    "device_code": device, "user_code": "WDJB-MJHT",
                    "verification_uri": f"http://127.0.0.1:{self.server.server_port}/verify",
                    "verification_uri_complete":
                        f"http://127.0.0.1:{self.server.server_port}/verify?user_code=WDJB-MJHT",
                    "expires_in": 60, "interval": 1})
            if path == "/introspect":
                stats["introspect"] += 1
                subject = access.get(form.get("token", ""))
                if subject is None:
                    return self.answer(200, {"active": False})
                stats["introspect_active"] += 1
                return self.answer(200, {"active": True, "username": subject, "scope": "mail",
                                         "token_type": "Bearer"})
            if path == "/control":
                if "subject" in form:
                    settings["subject"] = form["subject"]
                if "approve_after" in form:
                    settings["approve_after"] = int(form["approve_after"])
                if form.get("expire") == "1":
                    access.clear()
                if form.get("revoke") == "1":
                    spent.update(refresh)
                    refresh.clear()
                return self.answer(200, {})
            if path != "/token":
                return self.answer(404, raw=b"not found")
            grant = form.get("grant_type", "")
            if form.get("client_id") == "confidential" and form.get("client_secret") != "s3cret":
                return self.error("invalid_client", "client authentication failed", 401)
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                stats["device_code"] += 1
                device = devices.get(form.get("device_code"))
                if device is None:
                    return self.error("invalid_grant", "unknown device code")
                now = time.monotonic()
                early = now - device["last"] < device["interval"] - 0.2
                device["last"] = now
                device["polls"] += 1
                if early:
                    return self.error("polled_too_fast", "the client ignored the interval")
                if settings["approve_after"]:
                    if device["polls"] < settings["approve_after"]:
                        return self.error("authorization_pending")
                    del devices[form["device_code"]]
                    return self.answer(200, tokens())
                if device["polls"] == 1:
                    return self.error("authorization_pending")
                if device["polls"] == 2:
                    device["interval"] += 5
                    return self.error("slow_down")
                del devices[form["device_code"]]
                return self.answer(200, tokens())
            if grant == "authorization_code":
                stats["authorization_code"] += 1
                code = codes.pop(form.get("code"), None)
                verifier = form.get("code_verifier", "")
                if code is None or code["redirect_uri"] != form.get("redirect_uri"):
                    return self.error("invalid_grant", "unknown code or another redirect_uri")
                digest = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest())
                if code["method"] != "S256" or digest.rstrip(b"=").decode() != code["challenge"]:
                    return self.error("invalid_grant", "PKCE verification failed")
                return self.answer(200, tokens())
            if grant == "refresh_token":
                stats["refresh_token"] += 1
                token = form.get("refresh_token", "")
                if token.startswith("gone-") or token in spent:
                    return self.error("invalid_grant", "Token has been expired or revoked.")
                if token.startswith("malformed-"):
                    return self.answer(200, raw=b'{"access_token": "at-x", "token_type": ')
                if token.startswith("wrongtype-"):
                    return self.answer(200, {"access_token": 12, "token_type": "Bearer"})
                if token.startswith("huge-"):
                    return self.answer(200, raw=b'{"access_token": "' + b"a" * (1 << 20) + b'"}',
                                       length=False)
                if token.startswith("longbody-"):
                    return self.answer(200, raw=b" " * (1 << 20) + b"{}")
                if token.startswith(("rt-", "seed-")):
                    spent.add(token)
                    refresh.discard(token)
                    return self.answer(200, tokens())
                return self.error("invalid_grant", "unknown refresh token")
            return self.error("unsupported_grant_type")


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if len(sys.argv) == 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_port, flush=True)
server.serve_forever()
