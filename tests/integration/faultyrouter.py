#!/usr/bin/env python3
# A deliberately simple POP3-to-SMTP router with one chosen fault, to show that the
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
smtp = smtplib.SMTP("127.0.0.1", int(smtp_port), timeout=60)
for i in range(1, pop.stat()[0] + 1):
    lines = pop.retr(i)[1]  # poplib undoes the dot-stuffing
    lines = {"keep-stuffing": [b"." + x if x.startswith(b".") else x for x in lines],
             "fold-long": [x[:900] + b"\r\n " + x[900:] if len(x) > 900 else x for x in lines],
             "strip-trailing": [x.rstrip(b" ") for x in lines]}.get(fault, lines)
    data = b"\r\n".join(lines) + b"\r\n"
    if fault == "flip-byte" and i == 2:
        data = data[:-10] + bytes([data[-10] ^ 1]) + data[-9:]
    header = b"return-path" if fault == "return-path-sender" else b"from"
    sender = re.search(rb"(?:^|\r\n)" + header + rb":[^\r\n]*<([^>\r\n]*)>", data, re.I).group(1).decode()
    for _ in range({"drop-one": 0 if i == 3 else 1, "twice-one": 2 if i == 4 else 1}.get(fault, 1)):
        smtp.sendmail(sender, [rcpt], data)
    if fault != "keep-mailbox":
        pop.dele(i)
smtp.quit()
pop.quit()
