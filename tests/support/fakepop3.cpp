#include "support/fakepop3.h"

namespace vessamo::test {

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
    return "+OK " + QByteArray::number(message.size()) + " octets\r\n" + body + ".\r\n";
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

void FakePop3::opened()
{
    userOk_ = loggedIn_ = false;
    marked_.clear();
    send(scripted("GREETING").value_or(Reply::text("+OK fake POP3 server ready\r\n")));
}

void FakePop3::line(const QByteArray &line)
{
    record(line);
    const QByteArray verb = line.split(' ').first().toUpper();
    const QByteArray arg = line.mid(verb.size() + 1);
    const std::optional<Reply> custom = scripted(verb, line);
    if (custom && custom->kind != Reply::Send)
        return send(*custom); // silent or dropped: the command has no effect
    Reply answer = reply(verb, arg);
    if (custom) {
        // A refused DELE marks nothing, as on a real server.
        if (verb == "DELE" && custom->fragments.join().startsWith('-'))
            marked_.remove(arg.toInt());
        answer.fragments = custom->fragments;
        answer.closeAfter = answer.closeAfter || custom->closeAfter;
    }
    send(answer);
}

FakePop3::Reply FakePop3::reply(const QByteArray &verb, const QByteArray &arg)
{
    if (verb == "USER") {
        userOk_ = arg == user_;
        return Reply::text("+OK\r\n");
    }
    if (verb == "PASS") {
        loggedIn_ = userOk_ && arg == password_;
        return Reply::text(loggedIn_ ? "+OK logged in\r\n"
                                     : "-ERR [AUTH] Authentication failed.\r\n");
    }
    if (verb == "QUIT") {
        for (qsizetype n = messages_.size(); n >= 1; --n)
            if (marked_.contains(n))
                messages_.removeAt(n - 1);
        marked_.clear();
        return Reply::thenClose("+OK bye\r\n");
    }
    if (!loggedIn_)
        return Reply::text("-ERR not logged in\r\n");
    if (verb == "STAT") {
        qsizetype size = 0;
        for (const QByteArray &m : messages_)
            size += m.size();
        return Reply::text("+OK " + QByteArray::number(messages_.size()) + ' '
                           + QByteArray::number(size) + "\r\n");
    }
    if (verb != "DELE" && verb != "RETR")
        return Reply::text("-ERR unknown command\r\n");
    bool ok = false;
    const int n = arg.toInt(&ok);
    if (!ok || n < 1 || n > messages_.size() || marked_.contains(n))
        return Reply::text("-ERR no such message\r\n");
    if (verb == "DELE") {
        marked_.insert(n);
        return Reply::text("+OK message " + arg + " deleted\r\n");
    }
    QByteArray wire = retrWire_.value(n, retrWire(messages_[n - 1]));
    Reply retr;
    if (cuts_.contains(n)) {
        wire.truncate(cuts_[n].first);
        // A stalled reply simply stops: the connection stays open.
        retr.closeAfter = cuts_[n].second == Cut::Close;
    }
    retr.fragments = splitter_ ? splitter_(wire) : QList {wire};
    return retr;
}

} // namespace vessamo::test
