# Writes Vessamo's binary configuration file (version 2): little-endian integers, each text
# a 16-bit byte count followed by its Windows-1252 bytes. The same layout as
# scripts/lib/vsmconfig.sh, for the hostile suite.
import struct


def _int16(value):
    return struct.pack("<H", value & 0xFFFF)


def _text(value):
    data = value.encode("cp1252", errors="replace")
    if len(data) > 32767:
        raise ValueError("text too long")
    return _int16(len(data)) + data


def write_config(path, queue, failed, sent, spam, smtp_port, mailboxes, interval=30000,
                 days=30, spam_program="", spam_mark="SPAM"):
    """mailboxes: (server, port, user, password, forward-to) tuples. Folders end in "/"."""
    out = struct.pack("<i", 2)
    out += _int16(interval) + _text(queue) + _text(failed) + _text(sent) + _int16(days)
    out += _text("127.0.0.1") + _int16(smtp_port) + _int16(0) + _text("") + _text("")
    out += _int16(len(mailboxes))
    out += _int16(-1 if spam_program else 0) + _text(spam_program) + _text(spam) + _text(spam_mark)
    for server, port, user, password, forward_to in mailboxes:
        out += _text(server) + _int16(port) + _text(user) + _text(password) + _text(forward_to)
    with open(path, "wb") as f:
        f.write(out)
