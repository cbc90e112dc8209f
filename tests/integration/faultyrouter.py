#!/usr/bin/env python3
# A deliberately simple POP3-to-SMTP router with one chosen fault, used to show that the
# end-to-end checker catches each kind of damage a real router could do.
#
#   faultyrouter.py POP3-PORT USER PASSWORD SMTP-PORT RCPT FAULT
#
# FAULT: none, drop-one, twice-one, flip-byte, keep-stuffing, fold-long, strip-trailing,
# return-path-sender, keep-mailbox.
import poplib
import re
import smtplib
import sys

pop_port, user, password, smtp_port, rcpt, fault = sys.argv[1:7]
pop = poplib.POP3("127.0.0.1", int(pop_port), timeout=60)
pop.user(user)
pop.pass_(password)
count = pop.stat()[0]
smtp = smtplib.SMTP("127.0.0.1", int(smtp_port), timeout=60)


def header(data, name):
    m = re.search(rb"\r\n" + name + rb":[^\r\n]*<([^>\r\n]*)>", data, re.IGNORECASE)
    return m.group(1).decode("latin-1") if m else ""


for i in range(1, count + 1):
    _, lines, _ = pop.retr(i)  # poplib undoes the dot-stuffing
    if fault == "keep-stuffing":
        lines = [b"." + x if x.startswith(b".") else x for x in lines]
    if fault == "fold-long":
        lines = [x[:900] + b"\r\n " + x[900:] if len(x) > 900 else x for x in lines]
    if fault == "strip-trailing":
        lines = [x.rstrip(b" ") for x in lines]
    data = b"\r\n".join(lines) + b"\r\n"
    if fault == "flip-byte" and i == 2:
        data = data[:-10] + bytes([data[-10] ^ 1]) + data[-9:]
    sender = header(data, b"return-path" if fault == "return-path-sender" else b"from")
    if not (fault == "drop-one" and i == 3):
        smtp.sendmail(sender, [rcpt], data)
    if fault == "twice-one" and i == 4:
        smtp.sendmail(sender, [rcpt], data)
    if fault != "keep-mailbox":
        pop.dele(i)
smtp.quit()
pop.quit()
