#include "support/fakepop3.h"

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

namespace vessamo::test {

FakePop3::FakePop3()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &FakePop3::onNewConnection);
}

FakePop3::~FakePop3()
{
    for (auto &c : m_connections) {
        c->socket->disconnect(this);
        c->socket->abort();
    }
}

void FakePop3::setCredentials(const QByteArray &user, const QByteArray &password)
{
    m_user = user;
    m_password = password;
}

void FakePop3::addMessage(const QByteArray &message)
{
    m_messages << message;
}

void FakePop3::setReply(const QByteArray &verb, const QList<QByteArray> &pieces)
{
    m_replies.insert(verb, pieces);
}

void FakePop3::play(const char *script)
{
    for (const ScriptedReply &r : parseScript(script)) {
        if (r.end == ScriptedReply::End::Silence) {
            setSilent(r.command);
            continue;
        }
        if (r.end == ScriptedReply::End::Drop)
            ADD_FAILURE() << "the fake POP3 server closes, it does not drop: " << r.command.data();
        if (r.end != ScriptedReply::End::Stay)
            m_closeAfter.insert(r.command);
        setReply(r.command, {r.lines.join()});
    }
}

void FakePop3::setSilent(const QByteArray &verb)
{
    m_silent.insert(verb);
}

void FakePop3::setRetrWire(int number, const QByteArray &wire)
{
    m_retrWire.insert(number, wire);
}

void FakePop3::setRetrCut(int number, qsizetype bytes, Cut how)
{
    m_retrCut.insert(number, RetrCut {bytes, how});
}

QByteArray FakePop3::retrWire(const QByteArray &message)
{
    // Written independently of the client's un-stuffer, the plain way: a "." is added in
    // front of every line that begins with one.
    QByteArray body = message;
    if (!body.isEmpty() && !body.endsWith("\r\n"))
        body += "\r\n";
    body.replace("\r\n.", "\r\n..");
    if (body.startsWith('.'))
        body.prepend('.');
    return QByteArrayLiteral("+OK ") + QByteArray::number(message.size())
        + QByteArrayLiteral(" octets\r\n") + body + QByteArrayLiteral(".\r\n");
}

FakePop3::Splitter FakePop3::byteByByte()
{
    return [](const QByteArray &wire) {
        QList<QByteArray> pieces;
        for (char c : wire)
            pieces << QByteArray(1, c);
        return pieces;
    };
}

void FakePop3::onNewConnection()
{
    while (QTcpSocket *s = m_server.nextPendingConnection()) {
        ++m_connectionCount;
        m_transcript.note("connection " + QByteArray::number(m_connectionCount) + " opened");
        auto c = std::make_unique<Connection>();
        c->socket.reset(s);
        s->setParent(nullptr);
        Connection *raw = c.get();
        m_connections.push_back(std::move(c));
        connect(s, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(*raw); });
        if (m_silent.contains("GREETING"))
            continue;
        send(*raw,
             m_replies.value("GREETING", {QByteArrayLiteral("+OK fake POP3 server ready\r\n")}),
             m_closeAfter.contains("GREETING"));
    }
}

void FakePop3::onReadyRead(Connection &c)
{
    c.input += c.socket->readAll();
    qsizetype lf;
    while ((lf = c.input.indexOf('\n')) >= 0) {
        QByteArray line = c.input.left(lf);
        c.input.remove(0, lf + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        m_commands << line;
        m_transcript.client(line);
        if (m_hook)
            m_hook(line);
        handleCommand(c, line);
    }
}

void FakePop3::handleCommand(Connection &c, const QByteArray &line)
{
    const qsizetype blank = line.indexOf(' ');
    const QByteArray verb = (blank < 0 ? line : line.left(blank)).toUpper();
    const QByteArray arg = blank < 0 ? QByteArray() : line.mid(blank + 1);
    if (m_silent.contains(verb))
        return;
    bool closeAfter = false;
    QList<QByteArray> pieces
        = verb == "RETR" ? retrReply(c, arg, closeAfter) : normalReply(c, verb, arg, closeAfter);
    const QByteArray key = m_replies.contains(line) ? line : verb;
    if (m_replies.contains(key)) {
        pieces = m_replies.value(key);
        closeAfter = closeAfter || m_closeAfter.contains(key);
        // A refused DELE marks nothing, as on a real server.
        if (verb == "DELE" && pieces.join().startsWith('-'))
            c.marked.remove(arg.toInt());
    }
    send(c, pieces, closeAfter);
}

QList<QByteArray> FakePop3::normalReply(Connection &c, const QByteArray &verb,
                                        const QByteArray &arg, bool &closeAfter)
{
    if (verb == "USER") {
        c.userOk = arg == m_user;
        return {QByteArrayLiteral("+OK\r\n")};
    }
    if (verb == "PASS") {
        c.loggedIn = c.userOk && arg == m_password;
        if (c.loggedIn)
            return {QByteArrayLiteral("+OK logged in\r\n")};
        return {QByteArrayLiteral("-ERR [AUTH] Authentication failed.\r\n")};
    }
    if (!c.loggedIn && verb != "QUIT")
        return {QByteArrayLiteral("-ERR not logged in\r\n")};
    if (verb == "STAT") {
        qsizetype size = 0;
        for (const QByteArray &m : m_messages)
            size += m.size();
        return {"+OK " + QByteArray::number(m_messages.size()) + ' ' + QByteArray::number(size)
                + "\r\n"};
    }
    if (verb == "DELE") {
        bool ok = false;
        const int n = arg.toInt(&ok);
        if (!ok || n < 1 || n > m_messages.size() || c.marked.contains(n))
            return {QByteArrayLiteral("-ERR no such message\r\n")};
        c.marked.insert(n);
        return {"+OK message " + arg + " deleted\r\n"};
    }
    if (verb == "QUIT") {
        closeAfter = true;
        QList<int> numbers(c.marked.begin(), c.marked.end());
        std::sort(numbers.begin(), numbers.end(), std::greater<int>());
        for (int n : numbers)
            m_messages.removeAt(n - 1);
        c.marked.clear();
        return {QByteArrayLiteral("+OK bye\r\n")};
    }
    return {QByteArrayLiteral("-ERR unknown command\r\n")};
}

QList<QByteArray> FakePop3::retrReply(Connection &c, const QByteArray &arg, bool &closeAfter)
{
    bool ok = false;
    const int n = arg.toInt(&ok);
    if (!c.loggedIn)
        return {QByteArrayLiteral("-ERR not logged in\r\n")};
    if (!ok || n < 1 || n > m_messages.size() || c.marked.contains(n))
        return {QByteArrayLiteral("-ERR no such message\r\n")};
    QByteArray wire = m_retrWire.contains(n) ? m_retrWire.value(n) : retrWire(m_messages[n - 1]);
    if (m_retrCut.contains(n)) {
        const RetrCut cut = m_retrCut.value(n);
        wire.truncate(cut.bytes);
        // A stalled reply simply stops: the connection stays open.
        closeAfter = cut.how == Cut::Close;
    }
    return m_splitter ? m_splitter(wire) : QList<QByteArray> {wire};
}

void FakePop3::send(Connection &c, const QList<QByteArray> &pieces, bool closeAfter)
{
    for (const QByteArray &p : pieces)
        c.pending << Piece {p, false};
    if (closeAfter)
        c.pending << Piece {QByteArray(), true};
    if (!c.sending)
        pump(c);
}

void FakePop3::pump(Connection &c)
{
    c.sending = false;
    if (c.pending.isEmpty())
        return;
    const Piece piece = c.pending.takeFirst();
    if (piece.closeAfter) {
        m_transcript.note("the server closed the connection");
        c.socket->flush();
        c.socket->disconnectFromHost();
        return;
    }
    m_transcript.server(piece.bytes);
    c.socket->write(piece.bytes);
    c.socket->flush();
    if (c.pending.isEmpty())
        return;
    c.sending = true;
    Connection *raw = &c;
    QTimer::singleShot(m_delayMs, Qt::PreciseTimer, this, [this, raw] { pump(*raw); });
}

} // namespace vessamo::test
