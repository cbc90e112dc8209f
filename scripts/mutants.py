#!/usr/bin/python3
# Mutation check: seeds, one at a time, a fault that a real bug could make (a small edit
# of the source), rebuilds, runs the tests that should notice it, puts the source back,
# and prints whether the fault was caught. A fault that no test notices is a hole in the
# suite.
#
#   /usr/bin/python3 scripts/mutants.py [--build DIR] [--only REGEX] [--list]
#
# DIR is a configured Debug tree (default build; made with scripts/build.sh). The check
# edits files in the working tree and always restores them, also on Ctrl-C; run it on a
# clean tree. It takes about half a minute to a minute per fault on two cores.
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, file, text to find (exactly once), replacement, how to test: a ctest regex,
# "hostile:REGEX" for cases of the hostile-peer suite, or "script:NAME" for the end-to-end
# script tests/integration/NAME (run with --vessamo DIR/vessamo). Where a fault takes
# several edits, the text and the replacement are tuples of the same length, applied in
# order.
MUTANTS = [
    # --- mail: the SMTP session and the message on the wire
    ("dot-stuffing off", "src/mail/datasection.cpp",
     "            copyUpTo(i);\n            out.append('.');\n        }",
     "        }", "DataSection|PrepareBody|SmtpRelay.MessageOnTheWire"),
    ("end-of-data line without CR LF", "src/mail/smtpsession_table.cpp",
     '? QByteArrayLiteral(".\\r\\n")', '? QByteArrayLiteral(".\\n")',
     "SmtpRelay.ExactByteStream"),
    ("550 to RCPT taken as success", "src/mail/smtpsession_table.cpp",
     "case SmtpState::RcptTo:\n        if ((accepted = positive(code, {\"250\", \"251\"})))",
     "case SmtpState::RcptTo:\n        if ((accepted = positive(code, {\"250\", \"251\", \"550\"})))",
     "SmtpFaults.EveryFailure"),
    ("CR/LF address check off", "src/mail/clsenviarcorreu_relay.cpp",
     ("if (c == u'\\r' || c == u'\\n' || c == u'\\0' || c == u'<' || c == u'>')",
      "if (c.unicode() < 32 || c.unicode() == 127)"),
     ("if (c == u'\\0' || c == u'<' || c == u'>')", "if (c.unicode() < 9 || c.unicode() == 127)"),
     "SmtpRelay.LineBreaksInAddresses"),
    ("AUTH password shown in the wire log", "src/mail/smtpsession_table.cpp",
     "send(platform::toAnsi(Base64EncodeText(settings_.password)), kMasked);",
     "send(platform::toAnsi(Base64EncodeText(settings_.password)),\n"
     "             platform::toAnsi(Base64EncodeText(settings_.password)));", "SmtpFaults.WireLog"),
    ("temporary and permanent classes swapped", "src/mail/smtpsession_table.cpp",
     "if (row.transaction && first == '5')", "if (row.transaction && first == '4')",
     "SmtpFaults.EveryFailure"),
    ("no answer after the end of data taken as a temporary failure (the state table)",
     "src/mail/smtpsession.h", "SmtpWait::Message, false, true,  RelayOutcome::Ambiguous}",
     "SmtpWait::Message, false, true,  RelayOutcome::Temporary}", "SmtpFaults.EveryFailure"),
    ("the reply to PASS of the POP3 login judged as SMTP (the state table)",
     "src/mail/smtpsession.h",
     "SmtpCommand::Pop3Pass,  nullptr,                            SmtpWait::Connect, true,",
     "SmtpCommand::Pop3Pass,  nullptr,                            SmtpWait::Connect, false,",
     "SmtpSession.Pop3Login"),
    ("a session released with its mail object keeps the socket", "src/mail/smtpsession.cpp",
     "    aborted_ = true;\n    if (socket_)\n        socket_->disconnect(this);\n"
     "    socket_ = nullptr;\n", "    aborted_ = true;\n", "SmtpSend.OwnerMayRelease"),
    ("Base64 padding wrong", "src/mail/modcorreu.cpp",
     "out[out.size() - i] = '=';", "out[out.size() - i] = 'A';", "Base64\\."),
    ("the state changes before the data that came with the close", "src/platform/socketcontrol.cpp",
     "            return;\n        }\n        post(Event(Kind::Closed));",
     "            return;\n        }\n        state_ = sckClosing;\n        post(Event(Kind::Closed));",
     "hostile:250 to the end of data, then close"),
    # --- mail: setting up the mail object for a relay or a send
    ("host assigned before its check is off (a blocking look-up)", "src/mail/mailsetup.cpp",
     "    object.SetSMTPHostValidation(0);\n    object.SetEmailAddressValidation(1);\n"
     "    object.SetDelimiter(delimiter);\n    object.SetSMTPHost(host);",
     "    object.SetSMTPHost(host);\n    object.SetSMTPHostValidation(0);\n"
     "    object.SetEmailAddressValidation(1);\n    object.SetDelimiter(delimiter);",
     "MailObjectTest.SetUp"),
    # --- mail: composition (Send), its encoders and vessamo-send
    ("UU short group without its filler", "src/mail/encoders.cpp",
     'if (length == 1)\n            out.append("==");', "if (length == 1) {}", "UUEncodeLine"),
    ("phrase specials copied into Q words", "src/mail/encoders.cpp",
     "    if (phrase)\n        return (c >= 'A'", "    if (phrase && false)\n        return (c >= 'A'",
     "EncodeHeaderText"),
    ("a line break in a header text left as it is", "src/mail/encoders.cpp",
     "return c > 126 || (c < 32 && c != '\\t') || c == 127;", "return c > 126 || c == 127;",
     "EncodeHeaderText|SmtpSend.Composed"),
    ("Q chosen on a tie", "src/mail/encoders.cpp",
     "q.size() >= b.size() ? b : q", "q.size() > b.size() ? b : q", "EncodeHeaderText"),
    ("a quote left in a file-name parameter", "src/mail/encoders.cpp",
     "c.unicode() <= 126 && c != u'\"' && c != u'\\\\';", "c.unicode() <= 126 && c != u'\\\\';",
     "MimeParameter|SmtpSend.Composed"),
    ("Base64 chunks that do not join into whole lines", "src/mail/clsenviarcorreu_send.cpp",
     "constexpr qint64 kBase64Chunk = 11400;", "constexpr qint64 kBase64Chunk = 11399;",
     "SmtpSend.Composed"),
    ("no bound on the queue while a file goes out", "src/mail/clsenviarcorreu_send.cpp",
     "constexpr qint64 kQueueWhileSending = 4 * (kBase64Chunk / 57 * 78);",
     "constexpr qint64 kQueueWhileSending = qint64(1) << 40;", "SmtpSend.ServerThatStopsReading"),
    ("a file read past the length it had", "src/mail/clsenviarcorreu_send.cpp",
     "const qint64 asked = qMin(piece, remaining);", "const qint64 asked = piece + 0 * remaining;",
     "SmtpSend.FileChanging"),
    ("blind copies left out of the envelope", "src/mail/clsenviarcorreu_send.cpp",
     "        envelope << platform::trimBlanks(address);", "        (void)address;",
     "SmtpSend.Envelope"),
    ("101 recipients allowed", "src/mail/clsenviarcorreu_send.cpp",
     "if (count > kMaxRecipients)", "if (count > kMaxRecipients + 1)", "SmtpSend.Envelope"),
    ("the boundary from a second clock reading", "src/mail/clsenviarcorreu_send.cpp",
     "QString boundary = MessageBoundary(now);", "QString boundary = MessageBoundary(clock_());",
     "SmtpSend.DateAndBoundary"),
    ("a boundary the body holds kept", "src/mail/clsenviarcorreu_body.cpp",
     "for (int n = 1; read && holdsBoundary; ++n)", "for (int n = 1; false && holdsBoundary; ++n)",
     "SmtpSend.Composed"),
    ("a Content-ID for a file nobody refers to", "src/mail/clsenviarcorreu_send.cpp",
     "if (file.embedded && related)", "if (related)", "SmtpSend.Composed"),
    ("a link that merely contains a file's name rewritten", "src/mail/datasection.cpp",
     "if (!name.isEmpty() && last == name)", "if (!name.isEmpty() && lowered.contains(name) && last.size() >= 0)",
     "SmtpSend.Composed|SendCommand.Html"),
    ("only the first recipient in the envelope", "src/mail/smtpsession_table.cpp",
     "if (++rcptIndex_ < envelope_.size())", "if (false && ++rcptIndex_ < envelope_.size())",
     "SmtpSend.ExactByteStream|SmtpSend.Envelope"),
    ("vessamo-send: an empty --user keeps the login", "src/sendtool/sendcommand.cpp",
     "login = !user.isEmpty();", "login = true;", "SendCommand"),
    ("vessamo-send: any priority taken", "src/sendtool/sendcommand.cpp",
     'number(value("priority"), 1, 5)', 'number(value("priority"), 1, 9)', "SendArguments"),
    # --- composition and the data section: text beyond ISO-8859-1, every line's dot, long
    # header lines, addresses and refusals before any traffic
    ("header text beyond ISO-8859-1 written as \"?\"", "src/mail/encoders.cpp",
     "const bool utf8 = !FitsLatin1(text);", "const bool utf8 = false;",
     "EncodeHeaderText|SendCommand.TextOutside"),
    ("a UTF-8 body narrowed to ISO-8859-1 with \"?\"", "src/sendtool/bodyfile.cpp",
     "body.charset = scan.valid() && !scan.ascii() && !scan.latin1()",
     "body.charset = false && !scan.ascii() && !scan.latin1()", "SendCommand.TextOutside"),
    ("a B word cut inside a UTF-8 character", "src/mail/encoders.cpp",
     "while (end > start + 1 && inCharacter(bytes, end, utf8))",
     "while (false && inCharacter(bytes, end, utf8))", "EncodeHeaderText.Utf8Words"),
    ("a Q word cut inside a UTF-8 character", "src/mail/encoders.cpp",
     "if (word.size() >= close && !inCharacter(bytes, i + 1, utf8))",
     "if (word.size() >= close)", "EncodeHeaderText.Utf8Words"),
    ("composed pieces written without dot-stuffing (UU lines that begin with a dot)",
     "src/mail/smtpsession.cpp", "send(data_.encode(bytes), logged);", "send(bytes, logged);",
     "SmtpSend.UUEncoded|SmtpSend.ExactByteStream"),
    ("a dot after a line end in the previous piece not stuffed", "src/mail/datasection.cpp",
     "        lineStart_ = true;\n        if (d[end] == '\\r' && end + 1 < n && d[end + 1] == '\\n') {",
     "        lineStart_ = end + 2 < n;\n        if (d[end] == '\\r' && end + 1 < n && d[end + 1] == '\\n') {",
     "DataSection|SmtpSend.UUEncoded"),
    ("a header line cut without the continuation blank", "src/mail/clsenviarcorreu_text.cpp",
     "lead = header && !isBlank(line.at(cut)) ? 1 : 0;", "lead = 0;", "SmtpRelay.MessageOnTheWire"),
    ("vessamo-send: control characters in addresses passed", "src/sendtool/sendcommand.cpp",
     "        if (controlCharacter(c))\n            return refuse(",
     "        if (controlCharacter(c) && c == u'\\0')\n            return refuse(",
     "SendArguments|SendProgram"),
    ("vessamo-send: a domain outside ASCII sent as it is", "src/sendtool/sendcommand.cpp",
     "const QByteArray ace = QUrl::toAce(domain);", "const QByteArray ace = domain.toLatin1();",
     "SendCommand.TextOutside"),
    ("vessamo-send: a refusal before any traffic exits 1", "src/sendtool/sendcommand.cpp",
     "return refusedBefore ? 2 : 1;", "return 1;", "SendCommand.RefusalBefore"),
    # --- TLS: chosen by port, verified, never a fall back to clear text
    ("587 sent in clear text", "src/platform/tls.cpp",
     "return port == 587 ? TlsMode::StartTls : TlsMode::None;", "return TlsMode::None;",
     "SmtpTls"),
    ("995 read in clear text", "src/platform/tls.cpp",
     "return port == 995 ? TlsMode::Implicit : TlsMode::None;", "return TlsMode::None;",
     "Pop3Tls"),
    ("certificates not verified", "src/platform/tls.cpp",
     "tls.setPeerVerifyMode(QSslSocket::VerifyPeer);",
     "tls.setPeerVerifyMode(QSslSocket::VerifyNone);", "TlsSocket|Pop3Tls|SmtpTls"),
    ("extra CA file ignored", "src/platform/tls.cpp",
     "        tls.setCaCertificates(cas);", "",
     "TlsSocket|Pop3Tls|SmtpTls"),
    ("the extra CA file replaces the system's", "src/platform/tls.cpp",
     "QSslConfiguration::systemCaCertificates() + extra) {", "extra) {", "TlsSocket"),
    ("bytes before the handshake kept", "src/platform/socketcontrol.cpp",
     "    socket_->readAll();\n    received_.clear();\n"
     "    std::erase_if(events_, [](const Event &e) { return e.kind == Kind::Data; });\n",
     "", "TlsSocket"),
    ("587 without STARTTLS goes on in clear text", "src/mail/smtpsession_table.cpp",
     "        if (!offersExtension(reply, \"STARTTLS\")) {",
     "        if (!offersExtension(reply, \"STARTTLS\")) {\n            startTlsPending_ = false;\n"
     "            judgeHello(reply);\n            return;", "SmtpTls"),
    ("refused STARTTLS goes on in clear text", "src/mail/smtpsession_table.cpp",
     "            return;\n        }\n        break;\n    case SmtpState::TlsHandshake:",
     "            return;\n        }\n        startTlsPending_ = false;\n        enter(SmtpState::Hello);\n"
     "        return;\n    case SmtpState::TlsHandshake:", "SmtpTls"),
    ("a large TLS write handed over at once", "src/platform/socketcontrol.cpp",
     "    if (socket_->isEncrypted()) {\n        if (tlsPendingSize() == 0) {",
     "    if (false) {\n        if (tlsPendingSize() == 0) {", "TlsSocket"),
    # --- TLS trust and names, a close during the handshake, large log entries, connectivity
    ("a session ticket kept across a trust change", "src/platform/tls.cpp",
     "if (it == sessionTickets().cend() || !(it->trust == trustOf(tls)))",
     "if (it == sessionTickets().cend() || (false && !(it->trust == trustOf(tls))))",
     "TlsSocket.(SessionTickets|Resumed)"),
    ("a resumed session not checked again", "src/platform/socketcontrol.cpp",
     "socket_->peerCertificateChain().isEmpty());", "false);", "TlsSocket.Resumed"),
    ("the common name counts beside subject alternative names", "src/platform/tls.cpp",
     "    if (!matchesAlternativeNames(peer, host))", "    if (false)",
     "TlsSocket.VerificationFailures"),
    ("a close during the TLS handshake not reported", "src/platform/socketcontrol.cpp",
     "        if (handshaking_) {\n            handshaking_ = false;\n            post(Event(Kind::Error, 10053",
     "        if (false) {\n            handshaking_ = false;\n            post(Event(Kind::Error, 10053",
     "Pop3Tls.CloseDuring"),
    ("a journal entry too big for a datagram dropped", "src/platform/eventlog.cpp",
     "        return sendThroughMemoryFile(fd.get(), addr, datagram);", "        return false && sendThroughMemoryFile(fd.get(), addr, datagram);",
     "Journal.SentToTheSocket"),
    ("a syslog entry too big for a datagram not shortened", "src/platform/eventlog.cpp",
     "if (bytes.size() <= kSyslogTextMax)", "if (true)", "Journal.SyslogText"),
    ("the connectivity check looks at names, not where they lead", "src/routing/connection.cpp",
     "const QList<QHostAddress> addresses = network.resolve(server.trimmed());",
     "const QList<QHostAddress> addresses;", "Connection|ProcessTest.OnlyLoopback"),
    ("a run skipped for want of a network says nothing", "src/routing/frmenviarcorreu.cpp",
     "        ctx_.AfegirEstat(noNetworkStatus());\n", "",
     "RoutingRun.NoConnection|ProcessTest.OnlyLoopback"),
    # --- routing: POP3
    ("un-stuffing off", "src/routing/pop3reply.cpp",
     "                // A stuffed line: its first \".\" is dropped, the rest written as it came.\n"
     "                phase_ = Phase::InLine;",
     "                out.append('.');\n                phase_ = Phase::InLine;", "Pop3"),
    ("DELE sent before the message file is complete", "src/routing/pop3session.cpp",
     "    const QueuePair pair = file_->pair();\n    if (!file_->commit()) {",
     "    const QueuePair pair = file_->pair();\n"
     "    socket_.SendData(QByteArrayLiteral(\"DELE \") + QByteArray::number(number_) + \"\\r\\n\");\n"
     "    if (!file_->commit()) {", "Pop3|RoutingRun"),
    ("no flush before QUIT", "src/routing/pop3session.cpp",
     "    // QUIT makes the server delete what was marked: everything stored must be on disk first.\n"
     "    if (!committed_.isEmpty()) {",
     "    if (false) {", "Pop3|Durability"),
    ("no QUIT after a refusal once logged in", "src/routing/pop3session.cpp",
     "const bool quits = failure == Failure::Quit || failure == Failure::UnstoreAndQuit;",
     "const bool quits = false && failure == Failure::Quit;", "Pop3"),
    ("a close after QUIT logged as a failure", "src/routing/pop3session.cpp",
     "if (!quitSent_ && !failed_) {", "if (!failed_) {", "Pop3"),
    ("a session without QUIT keeps its copies", "src/routing/pop3session.cpp",
     "    if (!quitSent_) {\n        for (const QueuePair &pair : std::as_const(committed_))",
     "    if (false) {\n        for (const QueuePair &pair : std::as_const(committed_))", "Pop3"),
    ("no bound on a message's size", "src/routing/pop3session.h",
     "return total + (total > kMinSizeMargin ? total : kMinSizeMargin);",
     "return (qint64(1) << 60) + 0 * total;", "Pop3"),
    ("PASS shown in the status list", "src/routing/pop3session.cpp",
     'shown = word + QStringLiteral(" *******");',
     'shown = word + QStringLiteral(" ") + bustia.Contrassenya;', "Pop3"),
    # --- routing: the POP3 session's table of states
    ("RETR allowed more silence than the whole session", "src/routing/pop3session.cpp",
     "Argument::MessageNumber, ReplyKind::MultiLine,    kSilence,",
     "Argument::MessageNumber, ReplyKind::MultiLine,    3 * kSilence,", "Pop3Faults"),
    ("a refused DELE keeps its stored copy", "src/routing/pop3session.cpp",
     "ReplyKind::Line,         kSilence, Failure::UnstoreAndQuit},",
     "ReplyKind::Line,         kSilence, Failure::Quit},", "Pop3Faults"),
    # --- routing: queue, archives, filter, forwarding
    ("archive moves in the other order", "src/routing/queue.cpp",
     ("    StoreResult moved = moveFile(missatgeName, sourceFolder, targetFolder, missatgeName, syncs);\n"
      "    if (!moved)\n        return moved;",
      "    if (!moved)\n        moveFile(missatgeName, targetFolder, sourceFolder, missatgeName, syncs);\n"
      "    else\n        removeFirstAttempt(sourceFolder, pair);\n    return moved;"),
     ("    StoreResult moved;",
      "    if (!moved)\n        return moved;\n    removeFirstAttempt(sourceFolder, pair);\n"
      "    return moveFile(missatgeName, sourceFolder, targetFolder, missatgeName, syncs);"),
     "Queue|Durability|RoutingRun|Crash"),
    ("a copy into another file system named before it is on disk", "src/routing/queuefiles.cpp",
     "    if (err == 0)\n        err = backend.flush(out.get());", "", "Durability"),
    ("a failed copy leaves its second copy", "src/routing/queuefiles.cpp",
     "    if (const int synced = backend.flush(targetFolder, false)) {\n        backend.remove(to);",
     "    if (const int synced = backend.flush(targetFolder, false)) {", "Durability"),
    ("a full disk ignored while a message is stored", "src/routing/queue.cpp",
     "    if (const int err = queueBackend().write(file_->get(), bytes.constData(), bytes.size())) {",
     "    if (const int err = 0 * queueBackend().write(file_->get(), bytes.constData(), bytes.size())) {",
     "Durability|Pop3"),
    ("files readable by every user", "src/routing/queuebackend.h",
     "kFileMode = 0600;", "kFileMode = 0644;", "Queue"),
    ("sent mark ignored by the queue pass", "src/routing/frmenviarcorreu.cpp",
     "if (pair.isSent()) {", "if (false) {", "RoutingRun|Forward"),
    ("no queue lifetime", "src/routing/queue.cpp",
     "return waitedMs > kQueueLifetimeDays * kDayMs;",
     "return false && waitedMs > kQueueLifetimeDays * kDayMs;", "Queue|Forward"),
    ("ambiguous failure retried in the same run", "src/routing/frmenviarcorreu_forward.cpp",
     "            // duplicate, so the next run decides.\n            return ForwardOutcome::Deferred;",
     "            // duplicate, so the next run decides.\n            break;", "Forward"),
    ("spam mark matched in any case", "src/routing/spamfilter.cpp",
     "if (window.contains(needle))", "if (window.toLower().contains(needle.toLower()))", "Spam"),
    ("safety copy never restored", "src/routing/queuefiles.cpp",
     "bool SafetyCopy::restoreIfLost()\n{\n    if (!held_)",
     "bool SafetyCopy::restoreIfLost()\n{\n    if (held_ || !held_)", "Spam|Queue"),
    ("From: on the first line not found", "src/routing/remitent.cpp",
     "p = message.startsWith(header + 2) ? -2 : message.indexOf(header);",
     "p = message.indexOf(header);", "Remitent"),
    # --- routing: the queue under a stop, two routers, a read-only queue, clock steps, crashes
    ("a stop sends QUIT at once after the end of data", "src/mail/smtpsession.cpp",
     "if (!over() && waiting == SmtpState::DataEnd && stopRequested()) {", "if (false) {",
     "ForwardingFaults.StopAfterTheEndOfData|ProgramStop"),
    ("a stop sends QUIT at once after the end of data (built program)", "src/mail/smtpsession.cpp",
     "if (!over() && waiting == SmtpState::DataEnd && stopRequested()) {", "if (false) {",
     "hostile:250 to the end of data 0.6 s late"),
    ("the queue not locked for a run", "src/routing/frmenviarcorreu.cpp",
     "    if (!lock.held()) {", "    if (false) {", "RoutingRun.AQueueHeld"),
    ("the queue not locked for a run (two built programs)", "src/routing/frmenviarcorreu.cpp",
     "    if (!lock.held()) {", "    if (false) {", "hostile:two routers"),
    ("a lock file made by root stays root's", "src/platform/lockfile.cpp",
     "&& folder.st_uid != 0 && ::fchown(lock.fd.get(), folder.st_uid, folder.st_gid) != 0)",
     "&& folder.st_uid != 0 && false)", "QueueTest.QueueLock|ConfigDialogs.AfterRootsSave"),
    ("the pass goes on after a sent mark that failed", "src/routing/frmenviarcorreu.cpp",
     "        if (!fileForwarded(pair, outcome, syncs, marked))\n            break;",
     "        fileForwarded(pair, outcome, syncs, marked);",
     "RoutingRun.AnAcceptanceThatCannotBeRecorded"),
    ("a deferred pair expires at its first attempt", "src/routing/queue.cpp",
     "        recordFirstAttempt(path, now);\n        return false;",
     "        recordFirstAttempt(path, now);\n        return true;",
     "QueueLifetime|ForwardingFaults.EachFailureClass"),
    ("a lone archived message's forward-to file dropped", "src/routing/queue.cpp",
     "            if (!QFileInfo(target + messageName).isFile()\n",
     "            if (true || !QFileInfo(target + messageName).isFile()\n",
     "RoutingRun.AMoveCut"),
    ("queue files created through a link", "src/routing/queuebackend.cpp",
     "O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK", "O_WRONLY | O_CREAT | O_NONBLOCK",
     "QueueLifetime"),
    ("files root's run makes in the service's queue stay root's", "src/routing/queuebackend.cpp",
     "&& folder.st_uid != 0 && ::fchown(fd.get(), folder.st_uid, folder.st_gid) != 0)",
     "&& false)", "QueueLifetime"),
    # --- config, dns, platform, shell
    ("configuration text count read signed", "src/config/configuracio.cpp",
     "const auto count = static_cast<quint16>(int16());",
     "const auto count = static_cast<qint16>(int16());", "Config"),
    ("configuration text too long for older readers saved", "src/config/configuracio.cpp",
     "if (bytes.size() > kMaxTextEscrit)", "if (bytes.size() > 65535)", "Config"),
    ("DNS record length not checked against the reply", "src/dns/dnsmessage.cpp",
     "if (dataEnd > reply.size() || position + 2 > dataEnd)", "if (position + 2 > dataEnd)",
     "Dns|Mx"),
    ("DNS pointer loop not bounded", "src/dns/dnsmessage.cpp",
     "if (at + 1 >= reply.size() || ++pointers > kMaxPointers)",
     "if (at + 1 >= reply.size() || (++pointers > kMaxPointers && false))", "Dns|Mx"),
    ("stop request ignored by a wait", "src/platform/wait.cpp",
     "[&] { return condition() || stop->requested(); }", "[&] { return condition(); }",
     "Wait|Stop|Forward"),
    ("wait hook off", "src/platform/wait.cpp",
     "if (wait.loopLevel == QThread::currentThread()->loopLevel() && (*wait.done)())",
     "if (false && wait.loopLevel == 0 && (*wait.done)())", "Wait"),
    ("control characters reach the log", "src/platform/eventlog.cpp",
     "else if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))",
     "else if (false)", "EventLog|WireLog"),
    ("event log readable by every user", "src/platform/eventlog.cpp",
     "QFileDevice::ReadOwner | QFileDevice::WriteOwner",
     "QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther", "EventLog"),
    ("a QUIT to a closed peer counts as sent", "src/platform/socketcontrol.cpp",
     "|| socket_->state() != QAbstractSocket::ConnectedState || peerHasClosed())",
     "|| socket_->state() != QAbstractSocket::ConnectedState)", "hostile:pop3 drop at byte 2[23][0-9]"),
    ("SIGTERM does not stop the run", "src/shell/application.cpp",
     "currentRun->context().abort.request();", "(void)currentRun;", "hostile:SIGTERM"),
    ("/E tested before /C", "src/shell/commandline.cpp",
     "        {u\"/C\", Switch::Configure},\n        {u\"/E\", Switch::Standalone},",
     "        {u\"/E\", Switch::Standalone},\n        {u\"/C\", Switch::Configure},", "CommandLine"),
    ("a refused start ends with status 0", "src/shell/application.cpp",
     "        if (!main.Arrencar())\n            return 1;", "        if (!main.Arrencar())\n            return 0;",
     "ProcessTest"),
    # --- configuration forms, dialogs and text
    ("a port over 65535 wraps instead of being refused", "src/config/configform.cpp",
     "|| reading.value > maximum)", "|| reading.value > 2 * maximum)", "ConfigForm"),
    ("password confirmation compared without case", "src/config/configform.cpp",
     "            || t[kContrassenyaSMTP] != t[kConfirmacioSMTP]))",
     "            || t[kContrassenyaSMTP].compare(t[kConfirmacioSMTP], Qt::CaseInsensitive) != 0))",
     "ConfigForm|ConfigDialogs"),
    ("a folder box kept without its final /", "src/config/configform.cpp",
     "    if (!box.endsWith(u'/'))\n        box += u'/';", "", "ConfigForm|ConfigDialogs"),
    ("a save that cannot be written changes the record", "src/config/configform.cpp",
     "    if (!GravarConfiguracio(path, saved))\n",
     "    configuration = saved;\n    if (!GravarConfiguracio(path, saved))\n", "ConfigForm"),
    ("a new mailbox saved twice is added twice", "src/config/configform.cpp",
     "        index = count;\n", "", "ConfigForm|MailboxForm|ConfigDialogs"),
    ("the configuration text shows the SMTP password", "src/config/configtext.cpp",
     "passwordLine(out, name, form.text[kContrassenyaSMTP]);",
     "line(out, name, form.text[kContrassenyaSMTP]);", "ConfigForm"),
    ("a line that is not key = value skipped", "src/config/keyvalue.cpp",
     "read.error = lineError(n + 1, QStringLiteral(\"s'esperava clau = valor\"));\n            break;",
     "continue;", "Config"),
    ("a refused text leaves the new mailbox table", "src/config/configtext.cpp",
     "    if (const std::optional<Refusal> refusal = saveConfigForm(edited, form, path))\n",
     "    configuration.Busties = edited.Busties;\n"
     "    if (const std::optional<Refusal> refusal = saveConfigForm(edited, form, path))\n",
     "ConfigForm"),
    ("options after /C read as switches", "src/shell/commandline.cpp",
     "line.sw = parseSwitch(arguments.first(first));", "line.sw = parseSwitch(arguments);",
     "ConfigDialogs"),
    # --- configuration: who may change what root reads and runs, saves that lose nothing
    ("a configuration others can write accepted at start", "src/shell/frmmain.cpp",
     "config::writableByOthers(file, false)", "((void)file, std::optional<QString>())",
     "ProcessTest.AConfigurationOthersCanWrite"),
    ("a group-writable file or folder taken as safe", "src/config/filetrust.cpp",
     "    if (st.st_mode & S_IWGRP)\n", "    if (false)\n",
     "ProcessTest.AConfigurationOthersCanWrite|SpamTest.AProgramOthersCanChange"),
    ("an anti-spam program run whoever can change it", "src/routing/spamfilter.cpp",
     "config::writableByOthers(program, true)", "std::optional<QString>()",
     "SpamTest.AProgramOthersCanChange"),
    ("where a link to the program leads left unchecked", "src/config/filetrust.cpp",
     "if (!real.isEmpty() && real != named)", "if (false)", "SpamTest.AProgramOthersCanChange"),
    ("a link at the configuration's name followed on save", "src/config/configuracio.cpp",
     "    const QByteArray native = QFile::encodeName(path);\n    const QByteArray dir",
     "    const QString real = QFileInfo(path).canonicalFilePath();\n"
     "    const QByteArray native = QFile::encodeName(real.isEmpty() ? path : real);\n"
     "    const QByteArray dir", "ConfigStore.FileModes"),
    ("root's save for the service keeps the old owner", "src/config/configuracio.cpp",
     "::geteuid() == 0 && account.set ? propietariServei", "false ? propietariServei",
     "ConfigStore.RootSaves"),
    ("folders root makes for the service stay root's", "src/config/configform.cpp",
     "    if (::geteuid() != 0 || !account.set)\n        return true;\n",
     "    if (true || !account.set)\n        return true;\n", "ConfigStore.RootSaves"),
    ("another user's link to the program taken as root's", "src/config/filetrust.cpp",
     "if (!followFolders && ::lstat(nativeFile.constData(), &st) == 0 && S_ISLNK(st.st_mode))",
     "if (false)", "SpamTest.AProgramOthersCanChange"),
    ("defaults on a damaged configuration", "src/config/configuracio.h",
     "return status == Status::Unreadable || status == Status::Damaged;", "return false;",
     "ConfigDialogs.ADamagedConfiguration"),
    ("the configuration lock off", "src/platform/lockfile.cpp",
     "rc = ::flock(lock.fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB));",
     "rc = wait ? 0 : ::flock(lock.fd.get(), LOCK_EX | LOCK_NB);", "ConfigDialogs.ParallelSaves"),
    ("the dialogs' save without the lock", "src/config/configform.cpp",
     "    const ConfigurationLock lock(path);\n    if (!lock.held())",
     "    const ConfigurationLock lock(path + QStringLiteral(\".x\"));\n    if (!lock.held())",
     "ConfigDialogs.TheDialogSays"),
    ("a dialog's save over another editor's", "src/config/configform.cpp",
     "    if (changedSinceRead(path))\n", "    if (false)\n",
     "ConfigDialogs.AnotherEditorsSave"),
    ("control characters allowed in a --set argument", "src/shell/configcommand.cpp",
     "        if (c.unicode() < 0x20 || c.unicode() == 0x7F)\n            return QStringLiteral(\"--set",
     "        if (c.unicode() < 0x20 && false)\n            return QStringLiteral(\"--set",
     "ConfigDialogs.TheTextInterfaceRefuses"),
    ("control characters stored in a value", "src/config/configform.cpp",
     "        if (c.unicode() < 0x20 || c.unicode() == 0x7F)\n            return false;",
     "        if (c.unicode() < 0x20 && false)\n            return false;",
     "ConfigDialogs.TheTextInterfaceRefuses"),
    ("a password taken on --set", "src/shell/configcommand.cpp",
     "    if (config::isPasswordKey(key))", "    if (false)", "ConfigDialogs.TheTextInterfaceRefuses"),
    ("values outside the code page stored as ?", "src/config/configform.cpp",
     "return platform::fromAnsi(platform::toAnsi(text)) == text;", "return true;",
     "ConfigDialogs.TheTextInterfaceRefuses"),
    ("a failed save's reason read after logging", "src/config/configuracio.cpp",
     "        return fallada(\"fitxer temporal\", path, errno);",
     "        return fallada(\"fitxer temporal\", path, (::close(-1), errno));",
     "ConfigDialogs.AFailedSaveNamesItsReason"),
    # --- configuration as a value: what a load gives, the ports read from the record
    ("a damaged file's half-read record kept", "src/config/configuracio.cpp",
     "    if (!in.ok())\n        return damaged();\n    if (rec.NumBusties < 1) {",
     "    load.configuration.Configuracio = rec;\n    if (!in.ok())\n        return damaged();\n"
     "    if (rec.NumBusties < 1) {", "ConfigStore.DamagedFiles"),
    ("a POP3 port stored negative (above 32767) taken as no port", "src/config/configuracio.h",
     "quint16 port() const { return static_cast<quint16>(Port); }",
     "quint16 port() const { return Port < 0 ? 0 : static_cast<quint16>(Port); }",
     "Pop3Session|RoutingRun"),
    ("an SMTP port stored negative (above 32767) taken as no port", "src/config/configuracio.h",
     "quint16 smtpPort() const { return static_cast<quint16>(PortSMTP); }",
     "quint16 smtpPort() const { return PortSMTP < 0 ? 0 : static_cast<quint16>(PortSMTP); }",
     "RoutingRun|SendCommand"),
    ("the tray's dialog's changes dropped", "src/shell/frmconfiguracio.cpp",
     "    dialog.exec();\n    configuration = dialog.configuration();", "    dialog.exec();",
     "ConfigDialogs.TheTraysDialog"),
    # --- packaging and operations
    ("an unknown option is ignored", "src/shell/commandline.cpp",
     "        if (!configureOption) {", "        if (!configureOption && false) {", "CommandLine|ProcessTest.Unix"),
    ("/C's own first option taken as unknown", "src/shell/commandline.cpp",
     "&& i == candidates.size() - 1;", "&& i == candidates.size();", "CommandLine|ConfigDialogs"),
    ("every executable taken as the installed one", "src/config/layout.cpp",
     "&& executable == installedExecutable", "", "Layout"),
    ("a desktop user given the system's files", "src/config/layout.cpp",
     "layout.perUser = layout.installed && !userConfig.isEmpty()",
     "layout.perUser = false && !userConfig.isEmpty()", "Layout"),
    ("an older configuration beside the executable ignored", "src/config/layout.cpp",
     " && !besideExists;", " && (besideExists || !besideExists);", "Layout"),
    ("the installed unit may write its configuration folder", "src/shell/administracio.cpp",
     "service.setWritablePaths({layout.folderBase});",
     "service.setWritablePaths(\n        {layout.folderBase, QFileInfo(layout.configurationFile).absolutePath()});",
     "ProcessTest.TheInstalledUnit"),
    ("the unit's writable folders left unquoted", "src/platform/servicecontrol.cpp",
     "        writable << quoteWord(path);", "        writable << path;",
     "ProcessTest.TheInstalledUnit"),
    ("a journal value's length sent big-endian", "src/platform/eventlog.cpp",
     "qToLittleEndian<quint64>", "qToBigEndian<quint64>", "Journal"),
    ("a journal value with a line feed sent as a plain line", "src/platform/eventlog.cpp",
     "if (!field.value.contains('\\n')) {", "if (true) {", "Journal"),
    ("the outer log scope wins over the inner one", "src/platform/eventlog.cpp",
     "for (auto it = scopes.rbegin(); it != scopes.rend(); ++it) {",
     "for (auto it = scopes.begin(); it != scopes.end(); ++it) {", "Journal"),
    # --- mail: SASL mechanisms
    ("SCRAM server signature not checked", "src/mail/sasl_scram.cpp",
     "        if (difference != 0)", "        if (false && difference != 0)", "Sasl"),
    ("SCRAM server nonce need not start with the client's", "src/mail/sasl_scram.cpp",
     "if (!first.nonce.startsWith(clientNonce_) || ", "if (", "Sasl"),
    ("SCRAM success taken without the server's signature", "src/mail/sasl_scram.cpp",
     "        if (state_ == State::Verified\n", "        if (state_ != State::Start\n", "Sasl"),
    ("no upper bound on SCRAM iterations", "src/mail/sasl_scram.h",
     "kScramMaxIterations = 1000000;", "kScramMaxIterations = 2147483647;", "Sasl"),
    ("SCRAM password used without SASLprep", "src/mail/sasl_scram.cpp",
     "const SaslPrepared password = saslPrep(credentials.password);",
     "const SaslPrepared password {credentials.password, QString()};", "Sasl"),
    ("SASLprep keeps the characters mapped to nothing", "src/mail/saslprep.cpp",
     "        if (inTable(c, kMappedToNothing))\n            continue;\n", "", "Sasl"),
    ("SASLprep lets control characters through", "src/mail/saslprep.cpp",
     "    if (inTable(c, kControl))", "    if (false && inTable(c, kControl))", "Sasl"),
    ("auto picks PLAIN or LOGIN in clear text", "src/mail/sasl.cpp",
     "if (isPasswordInClear(mechanism) && !inTls) {",
     "if (isPasswordInClear(mechanism) && !inTls && false) {", "Sasl"),
    ("a named token mechanism allowed without TLS", "src/mail/sasl.cpp",
     "    if (usesToken(named) && !inTls)", "    if (false)", "Sasl"),
    ("a named mechanism the server lacks is used anyway", "src/mail/sasl.cpp",
     "    if (!upper.contains(named))", "    if (false)", "Sasl"),
    ("an OAuth error challenge answered with the token again", "src/mail/sasl_oauth.cpp",
     "return SaslStep::respond(errorAnswer_);", "return SaslStep::respond(message_);", "Sasl"),
    ("OAUTHBEARER user name not escaped", "src/mail/sasl_oauth.cpp",
     '"n,a=" + escapeSaslName(credentials.user.toUtf8())', '"n,a=" + credentials.user.toUtf8()',
     "Sasl"),
    # --- mail: OAuth 2.0 client
    ("loopback redirect state not checked", "src/mail/oauth_enrol.cpp",
     '    if (value("state") != state) {', '    if (value("state") != state && false) {',
     "TokenProgram.ForgedRedirectIsRefused"),
    ("PKCE verifier not sent with the code", "src/mail/oauth_enrol.cpp",
     '{QStringLiteral("code_verifier"), verifier}}', '{QStringLiteral("code_verifie"), verifier}}',
     "TokenProgram.BrowserEnrolmentWithPkce"),
    ("PKCE method plain instead of S256", "src/mail/oauth_enrol.cpp",
     '{QStringLiteral("code_challenge_method"), QStringLiteral("S256")}',
     '{QStringLiteral("code_challenge_method"), QStringLiteral("plain")}',
     "TokenProgram.BrowserEnrolmentWithPkce"),
    ("OAuth over plain http to any host", "src/mail/oauth.cpp",
     'if (scheme == QLatin1String("http") && QHostAddress(url.host()).isLoopback())',
     'if (scheme == QLatin1String("http"))', "OAuthEndpoints|TokenProgram.RefusedAnswers"),
    ("token store files mode 0644", "src/platform/privatefile.cpp",
     ("O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)", "::fchmod(fd.get(), 0600)"),
     ("O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)", "::fchmod(fd.get(), 0644)"),
     "OAuthStore|TokenProgram"),
    ("rotated refresh token not stored", "src/mail/oauth.cpp",
     "    if (rotated)\n        account.refreshToken = grant.refreshToken;\n", "",
     "TokenProgram.RefreshRotationAndCache"),
    ("cached access token not reused", "src/mail/oauth.cpp",
     "    if (fresh(account.accessToken, account.accessTokenExpires, now)) {",
     "    if (false) {", "TokenProgram.RefreshRotationAndCache"),
    ("device flow slow_down ignored", "src/mail/oauth_enrol.cpp",
     "            code.interval += 5;\n", "", "TokenProgram.DeviceEnrolmentEndToEnd"),
    ("OAuth answers not capped", "src/mail/oauth.h",
     "kOAuthMaxAnswerBytes = 64 * 1024;", "kOAuthMaxAnswerBytes = qint64(1) << 40;",
     "TokenProgram.RefusedAnswers"),
    ("a token file read through a link", "src/platform/privatefile.cpp",
     "O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC", "O_RDONLY | O_NONBLOCK | O_CLOEXEC",
     "OAuthStore"),
    ("OAuth endpoint certificate not verified", "src/mail/oauth.cpp",
     "        request.setSslConfiguration(platform::clientTlsConfiguration());",
     "    {\n        QSslConfiguration tls = platform::clientTlsConfiguration();\n"
     "        tls.setPeerVerifyMode(QSslSocket::VerifyNone);\n"
     "        request.setSslConfiguration(tls);\n    }",
     "OAuthTokenSource.HttpsOnly"),
    ("access token not kept in memory", "src/mail/oauth.cpp",
     "        cached != cache_.cend() && fresh(", "        false && cached != cache_.cend() && fresh(",
     "OAuthTokenSource.KeptInMemory"),
    # --- routing: access-token sources
    ("token command's first line not validated", "src/routing/tokencommand.cpp",
     "    if (!validBearerToken(line)) {", "    if (false && !validBearerToken(line)) {",
     "TokenCommand.FirstLine"),
    ("token command's time limit not enforced", "src/routing/tokencommand.cpp",
     "runInOwnGroup(program, arguments, limitSeconds, stop,",
     "runInOwnGroup(program, arguments, 0, stop,", "TokenCommand.AHangingCommand"),
    ("token command's process group not ended, only the command", "src/routing/processgroup.cpp",
     ("::kill(-group_, SIGKILL);", "::kill(-group, SIGTERM);", "::kill(-group, SIGKILL);"),
     ("::kill(group_, SIGKILL);", "::kill(group, SIGTERM);", "::kill(group, SIGKILL);"),
     "TokenCommand.AHangingCommand"),
    ("token command that others can change is run", "src/routing/tokencommand.cpp",
     "config::writableByOthers(program, true)", "std::optional<QString>()",
     "TokenCommand.ACommandOthersCanChange"),
    ("a failing token source reported and asked again in the same run",
     "src/routing/tokensource.cpp", "known != failed_.cend()) {",
     "false && known != failed_.cend()) {", "TokenSourcesTest"),
    # --- mail: SMTP login methods
    ("SMTP: SCRAM's success taken without verifying it", "src/mail/smtpsession_table.cpp",
     "const SaslStep verified = sasl_->verifySuccess(std::nullopt);",
     "const SaslStep verified = SaslStep::respond(QByteArray());", "SmtpLogin.MechanismsOnTheWire"),
    ("SMTP: every connection taken as TLS, so auto picks PLAIN in clear text",
     "src/mail/smtpsession_table.cpp",
     "const bool inTls = socket_ && !socket_->TlsDescription().isEmpty();",
     "const bool inTls = socket_ != nullptr;", "SmtpLogin.MechanismsOnTheWire"),
    ("SMTP: the initial response shown in the wire log", "src/mail/smtpsession_table.cpp",
     "logged = auth + ' ' + kMasked;", "logged = auth + ' ' + *saslInitial_;",
     "SmtpLogin.WireLog"),
    ("SMTP: SASL answers shown in the wire log", "src/mail/smtpsession_table.cpp",
     'send(encodeResponse(response) + "\\r\\n", kMasked);',
     'send(encodeResponse(response) + "\\r\\n");', "SmtpLogin.WireLog"),
    ("SMTP: a 4xx to AUTH classed permanent", "src/mail/smtpsession_table.cpp",
     "    saslFailed(platform::fromAnsi(reply) + sasl_->serverReason());",
     "    classify(code.startsWith('4') ? RelayOutcome::Permanent : RelayOutcome::Temporary);\n"
     "    saslFailed(platform::fromAnsi(reply) + sasl_->serverReason());",
     "SmtpLogin.MechanismsOnTheWire"),
    ("SMTP: the AUTH line's CR LF not counted", "src/mail/smtpsession_table.cpp",
     "5 + sasl_->name().size() + 1 + encoded.size() + 2;",
     "5 + sasl_->name().size() + 1 + encoded.size();", "SmtpLogin.MechanismsOnTheWire"),
    ("SMTP: a cancelled login reported with the reply to the cancel", "src/mail/smtpsession_table.cpp",
     "    if (saslCancelled_) {", "    if (false) {", "SmtpLogin.MechanismsOnTheWire"),
    ("SMTP: the old AUTH= form not read", "src/mail/smtpsession_table.cpp",
     '&& keyword != "AUTH="', '&& false', "SmtpLogin.MechanismsOnTheWire"),
    ("SMTP: no token asked for auto", "src/mail/smtpsession.cpp",
     'method == u"AUTO" || ', "", "SmtpLogin.MechanismsOnTheWire|SmtpTls.AccessTokenLogins"),
    ("SMTP: an empty login method taken as a SASL choice", "src/mail/smtpsession_table.cpp",
     "    if (!settings_.loginMethod.isEmpty()) {\n        startSasl(reply);",
     "    if (true) {\n        startSasl(reply);",
     "SmtpLogin.MechanismsOnTheWire|SmtpFaults.WireLog|SmtpSession.EhloReply"),
    # --- config: login settings
    ("a deleted mailbox's login left to the next one (/C)", "src/config/configtext.cpp",
     "        logins.erase(logins.begin() + (position - 1));\n", "",
     "ConfigDialogs.LoginSettingsThroughTheTextInterface"),
    ("a login file's key built with arg() (escapes taken as placeholders)",
     "src/config/loginfile.cpp",
     "    return QStringLiteral(\"pop3.\") + escaped(id.user, false) + u'@' + escaped(id.server, true)\n"
     "        + u':' + QString::number(id.port);",
     "    return QStringLiteral(\"pop3.%1@%2:%3\").arg(escaped(id.user, false), escaped(id.server, true))\n"
     "        .arg(id.port);", "ConfigStore.LoginSettingsRoundTrip"),
    ("a damaged login file read as classic logins", "src/config/configuracio.cpp",
     "    if (read.error.isEmpty())\n        return std::nullopt;\n    return NoFile",
     "    if (true)\n        return std::nullopt;\n    return NoFile",
     "ConfigStore.DamagedLoginFiles|ConfigDialogs.ADamagedLoginFile"),
    ("APOP offered for SMTP", "src/config/loginsettings.cpp",
     "    if (use == LoginUse::Pop3)\n        methods << QStringLiteral(\"APOP\");",
     "    if (use == LoginUse::Pop3 || true)\n        methods << QStringLiteral(\"APOP\");", "ConfigStore.DamagedLoginFiles|ConfigDialogs"),
    ("an OAuth method taken without a token source", "src/config/loginsettings.cpp",
     "    if (tokenMechanism(login.method) && !login.hasTokenSource())",
     "    if (false && !login.hasTokenSource())",
     "ConfigStore.DamagedLoginFiles|ConfigDialogs.LoginSettings|ConfigDialogs.TheAuthentication"),
    ("a token account name matched anywhere in the text", "src/config/loginsettings.cpp",
     "    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(\n"
     "        QStringLiteral(\"[A-Za-z0-9_@+-][A-Za-z0-9._@+-]{0,127}\")));",
     "    static const QRegularExpression pattern(\n"
     "        QStringLiteral(\"[A-Za-z0-9_@+-][A-Za-z0-9._@+-]{0,127}\"));",
     "ConfigStore.DamagedLoginFiles|ConfigDialogs.LoginSettings"),
    ("a token command that is not a program accepted", "src/config/loginsettings.cpp",
     "!(file.isFile() && file.isExecutable())", "!file.exists()",
     "ConfigDialogs.LoginSettings"),
    ("a login file others can write accepted at start", "src/shell/frmmain.cpp",
     "for (const QString &file : {path, config::loginFilePath(path)}) {",
     "for (const QString &file : {path}) {", "ProcessTest.AConfigurationOthersCanWrite"),
    ("the login file written in place, through a link", "src/config/configuracio.cpp",
     "        && !escriureSegur(loginPath, encodeLoginFile(configuration, path))) {",
     "        && ![&] {\n            QFile f(loginPath);\n"
     "            return f.open(QIODevice::WriteOnly)\n"
     "                && f.write(encodeLoginFile(configuration, path)) >= 0;\n        }()) {",
     "ConfigStore.LoginFileModes"),
    ("the dialog saves token boxes for a method without tokens", "src/shell/frmconfiguracio.cpp",
     "    if (!takesToken(f.login))\n", "    if (false)\n",
     "ConfigDialogs.TheAuthenticationChoice"),
    ("the port left out of a mailbox's identity", "src/config/loginsettings.cpp",
     "    return {mailbox.Servidor, mailbox.port(), mailbox.Usuari};",
     "    return {mailbox.Servidor, 0, mailbox.Usuari};", "ConfigStore.LoginsFollow"),
    # --- routing: the logins of a run follow the login settings
    ("the run's SMTP login ignores the configured method", "src/routing/frmenviarcorreu_forward.cpp",
     "object->setLoginMethod(login.method);", "object->setLoginMethod(QString());",
     "ForwardingFaults.TheSmtpLogin"),
    ("the run's POP3 logins ignore their settings", "src/routing/frmenviarcorreu.cpp",
     "pop3_->LlegirBustia(bustia, {login.method,", "pop3_->LlegirBustia(bustia, {QString(),",
     "RoutingRun.EachMailbox"),
    ("the run's POP3 logins get no token source", "src/routing/frmenviarcorreu.cpp",
     "                                                            login.tokenCommand)});",
     "                                                            QString())});",
     "RoutingRun.EachMailbox"),
    ("the run's SMTP login gets no token source", "src/routing/frmenviarcorreu_forward.cpp",
     "QStringLiteral(\"Enviant: \"), login.tokenAccount, login.tokenCommand)",
     "QStringLiteral(\"Enviant: \"), QString(), QString())", "ForwardingFaults.TheSmtpLogin"),
    # --- routing: POP3 login methods
    ("CAPA sent with no login method", "src/routing/pop3session.cpp",
     "            startLogin(reply);", "            enter(Pop3State::Capa);", "Pop3"),
    ("SCRAM success taken without the signature by the session", "src/routing/pop3login.cpp",
     "        if (!verified.ok()) {", "        if (false && !verified.ok()) {", "Pop3Login"),
    ("a failed SASL step answered instead of cancelled", "src/routing/pop3login.cpp",
     "            if (!step.ok()) {", "            if (false && !step.ok()) {", "Pop3Login"),
    ("auto allows PLAIN in clear text (the session says TLS)", "src/routing/pop3login.cpp",
     "mail::chooseMechanism(capabilities.sasl, method, inTls_, hasToken);",
     "mail::chooseMechanism(capabilities.sasl, method, true, hasToken);", "Pop3Login"),
    ("auto without SASL sends USER/PASS in clear text", "src/routing/pop3login.cpp",
     "        if (inTls_) {\n            enter(Pop3State::User);",
     "        if (true) {\n            enter(Pop3State::User);", "Pop3Login"),
    ("auto falls back to USER/PASS only when no SASL at all is offered",
     "src/routing/pop3login.cpp", "&& !offersPasswordMechanism(capabilities.sasl)) {",
     "&& capabilities.sasl.isEmpty() && !offersPasswordMechanism(capabilities.sasl)) {",
     "Pop3Login"),
    ("the SASL answers shown in the wire log", "src/routing/pop3session.cpp",
     '        shown = QStringLiteral("*******");\n        return saslResponse_;',
     "        shown = QString::fromLatin1(saslResponse_);\n        return saslResponse_;",
     "Pop3Login"),
    ("the initial response shown in the status list", "src/routing/pop3session.cpp",
     'QString::fromLatin1(initialResponseSent_ ? name + " *******" : authArgument_);',
     "QString::fromLatin1(authArgument_);", "Pop3Login"),
    ("the server's challenges shown", "src/routing/pop3login.cpp",
     "    if (!exchanging || !isChallenge(reply))", "    if (!exchanging || true)", "Pop3Login"),
    ("APOP digest over the wrong text", "src/routing/pop3login.cpp",
     "hash(timestamp + platform::toAnsi(password),",
     "hash(platform::toAnsi(password) + timestamp,", "Pop3Login"),
    ("the initial response sent however long the command", "src/routing/pop3login.cpp",
     "withResponse.size() + 2 <= kMaxCommandLine", "withResponse.size() + 2 <= 100000",
     "Pop3Login"),
    ("no bound on the CAPA reply", "src/routing/pop3session.h",
     "kMaxCapaReply = 16 * 1024;", "kMaxCapaReply = qsizetype(1) << 40;", "Pop3Login"),
    ("a refused token's explanation dropped", "src/routing/pop3login.cpp",
     "    const QString reason = mechanism_->serverReason();",
     "    const QString reason;", "Pop3Tls.LoginsInsideTls"),
    ("what the server says while the token is fetched judged at once",
     "src/routing/pop3session.cpp", "    if (awaitingToken_) {", "    if (false && awaitingToken_) {",
     "Pop3Tls.LoginsInsideTls"),
    ("a token mechanism without asking for the token", "src/routing/pop3login.cpp",
     "    if (usesToken(mechanism)) {", "    if (usesToken(mechanism) && false) {",
     "Pop3Tls.LoginsInsideTls"),
    # --- sendtool and forwarding: logins
    ("vessamo-send ignores --login", "src/sendtool/sendcommand.cpp",
     "        loginSettings.method = *o.login;", "        loginSettings.method = QString();",
     "SendCommand.LoginMethods"),
    ("vessamo-send takes --login as typed", "src/sendtool/sendcommand.cpp",
     '        o.login = config::normalisedMethod(value("login"));',
     '        o.login = value("login");', "SendCommand.LoginMethods"),
    ("vessamo-send ignores the configured login settings", "src/sendtool/sendcommand.cpp",
     "            loginSettings = load.configuration.smtpLogin;",
     "            loginSettings = {};", "SendCommand.LoginMethods"),
    ("vessamo-send does not check the login options", "src/sendtool/sendcommand.cpp",
     "if (const auto refusal = config::checkLogin(loginSettings, config::LoginUse::Smtp,\n"
     "                                                o.tokenCommand.has_value()))",
     "if (const auto refusal = std::optional<config::LoginRefusal>())",
     "SendCommand.LoginMethods"),
    ("vessamo-send's login gets no token command", "src/sendtool/sendcommand.cpp",
     "                                                     loginSettings.tokenCommand));",
     "                                                     QString()));",
     "SendCommand.(LoginMethods|TokenLogins)"),
    ("vessamo-send's --login does not turn the login on", "src/sendtool/sendcommand.cpp",
     "    if (o.login && !o.login->isEmpty())\n        login = true;\n", "",
     "SendCommand.LoginMethods"),
    ("vessamo-send's failing token source taken as a bad argument",
     "src/sendtool/sendcommand.cpp", "    if (tokenFailed)\n        return 1;\n", "",
     "SendCommand.LoginMethods"),
    ("the run attempts on after its SMTP token source failed",
     "src/routing/frmenviarcorreu_forward.cpp",
     "if (ctx_.abort.requested() || smtpTokenFailed())", "if (ctx_.abort.requested())",
     "ForwardingFaults.AFailingSmtpToken"),
    ("the token sources forget their failures when asked", "src/routing/tokensource.cpp",
     "    return failed_.contains(sourceKey(tokenAccount, tokenCommand));",
     "    return false;", "ForwardingFaults.AFailingSmtpToken"),
    # --- OAuth 2.0 end to end: Dovecot's oauth2 passdb judges the tokens the run sends
    ("a stored access token used however old", "src/mail/oauth.cpp",
     "    return !token.isEmpty() && expires.isValid() && now.secsTo(expires) > kOAuthExpiryMarginSeconds;",
     "    return !token.isEmpty() && expires.isValid() && now.isValid();", "script:oauth.sh"),
    ("XOAUTH2 sent without the user name", "src/mail/sasl_oauth.cpp",
     '"user=" + credentials.user.toUtf8() + "\\x01"', '"user=" + QByteArray() + "\\x01"',
     "script:oauth.sh"),
    ("OAUTHBEARER without the separator after its GS2 header", "src/mail/sasl_oauth.cpp",
     "    message += '\\x01';\n    if (!credentials.host.isEmpty())",
     "    if (!credentials.host.isEmpty())", "script:oauth.sh"),
    ("a failed token source not remembered in the run", "src/routing/tokensource.cpp",
     "        failed_.insert(key, error);\n", "", "script:oauth.sh"),
]


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def matches_tests(build, regex):
    if regex.startswith("script:"):
        return os.path.isfile(os.path.join(ROOT, "tests/integration", regex[len("script:"):]))
    if regex.startswith("hostile:"):
        return subprocess.run(["/usr/bin/python3", "tests/hostile/run.py", "--list", "--only",
                               regex[len("hostile:"):]], cwd=ROOT,
                              stdout=subprocess.DEVNULL).returncode == 0
    listing = subprocess.run(["ctest", "--test-dir", build, "-N", "-R", regex], cwd=ROOT,
                             capture_output=True, text=True).stdout
    found = re.search(r"Total Tests: (\d+)", listing)
    return bool(found) and int(found.group(1)) > 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--only")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    chosen = [m for m in MUTANTS if not args.only or re.search(args.only, m[0])]
    if args.list:
        for m in chosen:
            print(f"{m[0]}  ({m[1]}; {m[4]})")
        return 0
    build = os.path.join(ROOT, args.build)
    caught = missed = broken = 0
    start = time.time()
    for name, path, old, new, tests in chosen:
        file = os.path.join(ROOT, path)
        with open(file, encoding="utf-8") as f:
            original = f.read()
        olds = old if isinstance(old, tuple) else (old,)
        news = new if isinstance(new, tuple) else (new,)
        mutated = original
        stale = False
        for o, n in zip(olds, news):
            if mutated.count(o) != 1:
                stale = True
                break
            mutated = mutated.replace(o, n)
        if stale:
            print(f"STALE      {name}: the text to change is not in {path} exactly once")
            broken += 1
            continue
        if not matches_tests(build, tests):
            # A regex that matches nothing would make every fault look caught.
            print(f"NO TESTS   {name}: no test matches {tests!r}")
            broken += 1
            continue
        began = time.time()
        try:
            with open(file, "w", encoding="utf-8") as f:
                f.write(mutated)
            if run(["ninja", "-C", build], 1200) != 0:
                verdict = "NO BUILD"
                broken += 1
            else:
                if tests.startswith("hostile:"):
                    cmd = ["/usr/bin/python3", "tests/hostile/run.py", "--vessamo",
                           os.path.join(build, "vessamo"), "--only", tests[len("hostile:"):]]
                elif tests.startswith("script:"):
                    cmd = ["bash", os.path.join("tests/integration", tests[len("script:"):]),
                           "--vessamo", os.path.join(build, "vessamo")]
                else:
                    cmd = ["ctest", "--test-dir", build, "-R", tests, "-j2", "--timeout", "120"]
                if run(cmd, 1800) != 0:
                    verdict = "caught"
                    caught += 1
                else:
                    verdict = "NOT CAUGHT"
                    missed += 1
        finally:
            with open(file, "w", encoding="utf-8") as f:
                f.write(original)
        print(f"{verdict:<11}{name}  ({time.time() - began:.0f} s)", flush=True)
    run(["ninja", "-C", build], 1200)
    print(f"mutants: {caught} caught, {missed} not caught, {broken} not run "
          f"({time.time() - start:.0f} s)")
    return 0 if missed == 0 and broken == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
