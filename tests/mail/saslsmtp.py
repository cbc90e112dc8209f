#!/usr/bin/python3
# An SMTP server for the login tests: aiosmtpd with its own PLAIN and LOGIN and, added here,
# CRAM-MD5 (RFC 2195), SCRAM-SHA-1 and SCRAM-SHA-256 (RFC 5802, RFC 7677), computed with
# hashlib and hmac, independently of the client under test. It listens on 127.0.0.1 at a port
# of its own, prints that port on its first line, then one line per login it judged:
# "ok MECHANISM USER", "refused MECHANISM USER" or "cancelled MECHANISM USER". Mail is
# accepted and dropped.
#
#   saslsmtp.py USER PASSWORD [--wrong-signature]
#
# --wrong-signature: SCRAM's server signature is spoiled, as from a server that does not know
# the password (or a man in the middle). LOGIN compares the password in Windows-1252, the
# others in UTF-8: what each client sends.
import asyncio
import base64
import hashlib
import hmac
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, MISSING, auth_mechanism

USER, PASSWORD = sys.argv[1], sys.argv[2]
WRONG_SIGNATURE = "--wrong-signature" in sys.argv[3:]
ITERATIONS = 4096


def judged(verdict, mechanism, user):
    print(verdict, mechanism, user.decode("utf-8", "replace"), flush=True)


def authenticator(server, session, envelope, mechanism, auth_data):
    assert isinstance(auth_data, LoginPassword)
    expected = PASSWORD.encode("cp1252" if mechanism == "LOGIN" else "utf-8")
    ok = auth_data.login == USER.encode() and auth_data.password == expected
    judged("ok" if ok else "refused", mechanism, auth_data.login)
    return AuthResult(success=ok, handled=False)


async def scram(server, args, name, algorithm):
    first = await server.challenge_auth("") if len(args) < 2 else base64.b64decode(args[1])
    if first is MISSING:
        return AuthResult(success=False, handled=True)
    # gs2 header "n,," then "n=user,r=nonce"
    header_end = first.index(b",", first.index(b",") + 1) + 1
    header, bare = first[:header_end], first[header_end:]
    fields = dict(part.split(b"=", 1) for part in bare.split(b","))
    user, client_nonce = fields[b"n"], fields[b"r"]
    salt = os.urandom(16)
    nonce = client_nonce + base64.b64encode(os.urandom(18))
    server_first = b"r=%s,s=%s,i=%d" % (nonce, base64.b64encode(salt), ITERATIONS)
    final = await server.challenge_auth(server_first)
    if final is MISSING:
        judged("cancelled", name, user)
        return AuthResult(success=False, handled=True)
    without_proof, _, proof = final.rpartition(b",p=")
    salted = hashlib.pbkdf2_hmac(algorithm, PASSWORD.encode(), salt, ITERATIONS)
    client_key = hmac.new(salted, b"Client Key", algorithm).digest()
    stored_key = hashlib.new(algorithm, client_key).digest()
    message = bare + b"," + server_first + b"," + without_proof
    signature = hmac.new(stored_key, message, algorithm).digest()
    expected = bytes(a ^ b for a, b in zip(client_key, signature))
    channel = b"c=" + base64.b64encode(header) + b",r=" + nonce
    if user != USER.encode() or without_proof != channel or \
            base64.b64decode(proof) != expected:
        judged("refused", name, user)
        return AuthResult(success=False, handled=False)
    server_key = hmac.new(salted, b"Server Key", algorithm).digest()
    verifier = hmac.new(server_key, message, algorithm).digest()
    if WRONG_SIGNATURE:
        verifier = bytes([verifier[0] ^ 1]) + verifier[1:]
    last = await server.challenge_auth(b"v=" + base64.b64encode(verifier))
    if last is MISSING or last != b"":
        judged("cancelled", name, user)
        return AuthResult(success=False, handled=True)
    judged("ok", name, user)
    return AuthResult(success=True, auth_data=user)


class Handler:
    async def handle_DATA(self, server, session, envelope):
        return "250 2.0.0 Ok: accepted"

    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, server, args):
        challenge = b"<%d.%s@saslsmtp.test>" % (os.getpid(), base64.b16encode(os.urandom(6)))
        answer = await server.challenge_auth(challenge)
        if answer is MISSING:
            return AuthResult(success=False, handled=True)
        user, _, digest = answer.partition(b" ")
        expected = hmac.new(PASSWORD.encode(), challenge, "md5").hexdigest().encode()
        ok = user == USER.encode() and hmac.compare_digest(digest, expected)
        judged("ok" if ok else "refused", "CRAM-MD5", user)
        return AuthResult(success=ok, handled=False, auth_data=user)

    @auth_mechanism("SCRAM-SHA-1")
    async def auth_SCRAM_SHA_1(self, server, args):
        return await scram(server, args, "SCRAM-SHA-1", "sha1")

    @auth_mechanism("SCRAM-SHA-256")
    async def auth_SCRAM_SHA_256(self, server, args):
        return await scram(server, args, "SCRAM-SHA-256", "sha256")


async def main():
    loop = asyncio.get_running_loop()
    listener = await loop.create_server(
        lambda: SMTP(Handler(), authenticator=authenticator, auth_require_tls=False,
                     hostname="saslsmtp.test"),
        "127.0.0.1", 0)
    print(listener.sockets[0].getsockname()[1], flush=True)
    await listener.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
