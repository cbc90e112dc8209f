#include "support/fakepop3.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>

namespace vessamo::test {

namespace {

QByteArray challenge(const QByteArray &bytes)
{
    return "+ " + bytes.toBase64() + "\r\n";
}

QByteArray decoded(const QByteArray &base64)
{
    return QByteArray::fromBase64(base64.trimmed());
}

QByteArray field(const QByteArray &message, const QByteArray &key)
{
    for (const QByteArray &part : message.split(',')) {
        if (part.startsWith(key + '='))
            return part.mid(key.size() + 1);
    }
    return {};
}

} // namespace

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
    authMechanism_.clear();
    const QByteArray stamp = apopTimestamp_.isEmpty() ? QByteArray() : ' ' + apopTimestamp_;
    send(scripted("GREETING").value_or(Reply::text("+OK fake POP3 server ready" + stamp + "\r\n")));
}

void FakePop3::line(const QByteArray &line)
{
    record(line);
    if (!authMechanism_.isEmpty()) {
        Reply answer = authData(line);
        if (const std::optional<Reply> custom = scripted("AUTHDATA", line))
            answer = *custom;
        return send(answer);
    }
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

FakePop3::Reply FakePop3::loggedIn(bool ok)
{
    loggedIn_ = ok;
    authMechanism_.clear();
    return Reply::text(ok ? "+OK logged in\r\n" : "-ERR [AUTH] Authentication failed.\r\n");
}

FakePop3::Reply FakePop3::startAuth(const QByteArray &arg)
{
    const QByteArrayList words = arg.split(' ');
    const QByteArray mechanism = words[0].toUpper();
    if (!mechanisms_.contains(mechanism))
        return Reply::text("-ERR [AUTH] Unsupported authentication mechanism.\r\n");
    authMechanism_ = mechanism;
    authStep_ = 0;
    if (words.size() > 1)
        return authData(words[1] == "=" ? QByteArray() : words[1]);
    if (mechanism == "LOGIN")
        return Reply::text(challenge("Username:"));
    if (mechanism == "CRAM-MD5") {
        authKept_ = "<1896.697170952@fake.example>";
        authStep_ = 1;
        return Reply::text(challenge(authKept_));
    }
    return Reply::text("+ \r\n");
}

FakePop3::Reply FakePop3::authData(const QByteArray &line)
{
    if (line == "*") {
        authMechanism_.clear();
        return Reply::text("-ERR [AUTH] Authentication aborted.\r\n");
    }
    const QByteArray data = decoded(line);
    const int step = authStep_++;
    if (authMechanism_ == "PLAIN")
        return loggedIn(data == '\0' + user_ + '\0' + password_);
    if (authMechanism_ == "LOGIN") {
        if (step == 0) {
            userOk_ = data == user_;
            return Reply::text(challenge("Password:"));
        }
        return loggedIn(userOk_ && data == password_);
    }
    if (authMechanism_ == "CRAM-MD5") {
        const QByteArray expected = user_ + ' '
            + QMessageAuthenticationCode::hash(authKept_, password_, QCryptographicHash::Md5)
                  .toHex();
        return loggedIn(data == expected);
    }
    if (authMechanism_.startsWith("SCRAM-"))
        return scram(data);
    if (authMechanism_ == "XOAUTH2" || authMechanism_ == "OAUTHBEARER") {
        // The answer to the error challenge ends the exchange with a refusal.
        if (step > 0)
            return loggedIn(false);
        const QByteArray user
            = authMechanism_ == "XOAUTH2" ? "user=" + user_ + '\x01' : "a=" + user_ + ',';
        if (data.contains(user) && data.contains("auth=Bearer " + token_ + '\x01'))
            return loggedIn(true);
        return Reply::text(
            challenge(R"({"status":"401","schemes":"bearer","scope":"https://mail.example/"})"));
    }
    return loggedIn(false);
}

// RFC 5802 section 3, the server's side, with a fixed salt and server nonce.
FakePop3::Reply FakePop3::scram(const QByteArray &data)
{
    const auto algorithm
        = authMechanism_ == "SCRAM-SHA-1" ? QCryptographicHash::Sha1 : QCryptographicHash::Sha256;
    const auto hmac = [algorithm](const QByteArray &key, const QByteArray &text) {
        return QMessageAuthenticationCode::hash(text, key, algorithm);
    };
    const QByteArray salt = "fake-salt-16byte";
    if (authStep_ == 1) {
        // client-first: "n,," then the bare message
        const QByteArray bare = data.mid(3);
        if (!data.startsWith("n,,") || field(bare, "n") != user_)
            return loggedIn(false);
        const QByteArray serverFirst
            = "r=" + field(bare, "r") + "fakeservernonce,s=" + salt.toBase64() + ",i=4096";
        authKept_ = bare + ',' + serverFirst;
        return Reply::text(challenge(serverFirst));
    }
    if (authStep_ == 2) {
        const qsizetype proofAt = data.indexOf(",p=");
        const QByteArray authMessage = authKept_ + ',' + data.left(proofAt);
        const QByteArray salted = QPasswordDigestor::deriveKeyPbkdf2(
            algorithm, password_, salt, 4096, QCryptographicHash::hashLength(algorithm));
        const QByteArray clientKey = hmac(salted, "Client Key");
        QByteArray proof = hmac(QCryptographicHash::hash(clientKey, algorithm), authMessage);
        for (qsizetype i = 0; i < proof.size(); ++i)
            proof[i] = char(proof[i] ^ clientKey[i]);
        if (proofAt < 0 || QByteArray::fromBase64(data.mid(proofAt + 3)) != proof)
            return loggedIn(false);
        QByteArray signature = hmac(hmac(salted, "Server Key"), authMessage);
        if (spoilSignature_)
            signature[0] = char(signature[0] ^ 1);
        return Reply::text(challenge("v=" + signature.toBase64()));
    }
    // The empty answer after the server's signature.
    return loggedIn(data.isEmpty());
}

FakePop3::Reply FakePop3::reply(const QByteArray &verb, const QByteArray &arg)
{
    if (verb == "USER") {
        userOk_ = arg == user_;
        return Reply::text("+OK\r\n");
    }
    if (verb == "PASS")
        return loggedIn(userOk_ && arg == password_);
    if (verb == "CAPA") {
        QByteArray list = "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\n";
        if (!mechanisms_.isEmpty())
            list += "SASL " + mechanisms_.join(' ') + "\r\n";
        return Reply::text(list + ".\r\n");
    }
    if (verb == "APOP") {
        const QByteArrayList words = arg.split(' ');
        const QByteArray digest
            = QCryptographicHash::hash(apopTimestamp_ + password_, QCryptographicHash::Md5).toHex();
        if (apopTimestamp_.isEmpty())
            return Reply::text("-ERR APOP not supported\r\n");
        return loggedIn(words.size() == 2 && words[0] == user_ && words[1] == digest);
    }
    if (verb == "AUTH")
        return startAuth(arg);
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
