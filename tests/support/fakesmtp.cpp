#include "support/fakesmtp.h"

#include <QTimer>

namespace vessamo::test {

FakeSmtpServer::FakeSmtpServer()
    : ehlo_("250-fake.example Hello\r\n250-SIZE 100000000\r\n250 AUTH LOGIN PLAIN\r\n")
{
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, &FakeSmtpServer::onNewConnection);
}

FakeSmtpServer::~FakeSmtpServer()
{
    if (peer_)
        peer_->abort();
}

void FakeSmtpServer::script(const QByteArray &step, Reply reply)
{
    scripts_[step].push_back(std::move(reply));
}

void FakeSmtpServer::play(const char *text)
{
    for (const ScriptedReply &r : parseScript(text)) {
        const QByteArray step = r.command.split(' ').first().toUpper();
        switch (r.end) {
        case ScriptedReply::End::Silence:
            script(step, Reply::silence());
            break;
        case ScriptedReply::End::Drop:
            script(step, Reply::drop());
            break;
        case ScriptedReply::End::Close:
            script(step, Reply::thenClose(r.lines.join()));
            break;
        case ScriptedReply::End::Stay:
            script(step, Reply::text(r.lines.join()));
            break;
        }
    }
}

void FakeSmtpServer::onNewConnection()
{
    while (QTcpSocket *next = server_.nextPendingConnection()) {
        if (peer_)
            peer_->abort();
        peer_.reset(next);
        ++connections_;
        transcript_.note("connection " + QByteArray::number(connections_) + " opened");
        mode_ = Mode::Command;
        buffer_.clear();
        scanFrom_ = 0;
        peer_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(peer_.get(), &QTcpSocket::readyRead, this, &FakeSmtpServer::onReadyRead);
        answer("GREETING", "220 fake.example ESMTP ready\r\n");
    }
}

void FakeSmtpServer::onReadyRead()
{
    QTcpSocket *peer = peer_.get();
    const QByteArray chunk = peer->readAll();
    received_ += chunk;
    buffer_ += chunk;
    for (;;) {
        if (mode_ == Mode::Data) {
            qsizetype end = -1;
            qsizetype skip = 5;
            if (scanFrom_ == 0 && buffer_.startsWith(".\r\n")) {
                end = -2; // empty message
                skip = 3;
            } else {
                end = buffer_.indexOf("\r\n.\r\n", scanFrom_);
            }
            if (end == -1) {
                // Only the last few bytes can start a terminator that is still coming.
                scanFrom_ = qMax<qsizetype>(0, buffer_.size() - 4);
                return;
            }
            messages_ << (end == -2 ? QByteArray() : buffer_.left(end + 2));
            transcript_.client("<message, " + QByteArray::number(messages_.last().size())
                               + " octets>");
            transcript_.client(".");
            buffer_.remove(0, (end == -2 ? 0 : end) + skip);
            scanFrom_ = 0;
            mode_ = Mode::Command;
            answer(".", "250 2.0.0 queued\r\n");
        } else {
            const qsizetype eol = buffer_.indexOf("\r\n");
            if (eol < 0)
                return;
            const QByteArray line = buffer_.left(eol);
            buffer_.remove(0, eol + 2);
            handleLine(line);
        }
        if (!peer_ || peer != peer_.get())
            return;
    }
}

void FakeSmtpServer::handleLine(const QByteArray &line)
{
    commands_ << line;
    transcript_.client(line);
    if (hook_)
        hook_(line);
    if (mode_ == Mode::AuthUser) {
        mode_ = Mode::AuthPass;
        answer("AUTHUSER", "334 UGFzc3dvcmQ6\r\n");
        return;
    }
    if (mode_ == Mode::AuthPass) {
        mode_ = Mode::Command;
        answer("AUTHPASS", "235 2.7.0 Authentication successful\r\n");
        return;
    }
    const qsizetype blank = line.indexOf(' ');
    const QByteArray verb = (blank < 0 ? line : line.left(blank)).toUpper();
    if (verb == "EHLO") {
        answer(verb, ehlo_);
    } else if (verb == "HELO") {
        answer(verb, "250 fake.example\r\n");
    } else if (verb == "AUTH") {
        mode_ = Mode::AuthUser;
        answer(verb, "334 VXNlcm5hbWU6\r\n");
    } else if (verb == "MAIL" || verb == "RCPT" || verb == "RSET" || verb == "NOOP") {
        answer(verb, "250 2.1.0 Ok\r\n");
    } else if (verb == "DATA") {
        // Data follows only when the reply lets it (a scripted refusal does not).
        const auto it = scripts_.constFind(verb);
        const bool refused = it != scripts_.cend() && !it->empty()
            && (it->front().kind != Reply::Send || it->front().fragments.isEmpty()
                || !it->front().fragments.first().startsWith('3'));
        if (!refused) {
            mode_ = Mode::Data;
            scanFrom_ = 0;
        }
        answer(verb, "354 End data with <CR><LF>.<CR><LF>\r\n");
    } else if (verb == "QUIT") {
        answer(verb, "221 2.0.0 Bye\r\n");
        if (peer_)
            peer_->disconnectFromHost();
    } else {
        answer(verb, "502 5.5.2 Error: command not recognized\r\n");
    }
}

void FakeSmtpServer::answer(const QByteArray &step, const QByteArray &fallback)
{
    auto it = scripts_.find(step);
    if (it != scripts_.end() && !it->empty()) {
        Reply reply = std::move(it->front());
        it->pop_front();
        send(reply);
        return;
    }
    send(Reply::text(fallback));
}

void FakeSmtpServer::send(const Reply &reply)
{
    if (!peer_)
        return;
    if (reply.kind == Reply::Silence)
        return;
    if (reply.kind == Reply::Drop) {
        transcript_.note("the server dropped the connection");
        peer_->abort();
        peer_.release()->deleteLater();
        return;
    }
    int at = reply.delayMs;
    QTcpSocket *peer = peer_.get();
    for (qsizetype i = 0; i < reply.fragments.size(); ++i) {
        const QByteArray fragment = reply.fragments[i];
        const bool close = reply.closeAfter && i + 1 == reply.fragments.size();
        // The peer is the server's own: a pending write dies with it.
        auto write = [this, peer, fragment, close] {
            transcript_.server(fragment);
            peer->write(fragment);
            peer->flush();
            if (close) {
                transcript_.note("the server closed the connection");
                peer->disconnectFromHost();
            }
        };
        if (at == 0)
            write();
        else
            QTimer::singleShot(at, peer, write);
        at += reply.pauseMs;
    }
}

} // namespace vessamo::test
