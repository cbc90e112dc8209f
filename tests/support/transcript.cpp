#include "support/transcript.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <iostream>
#include <vector>

namespace vessamo::test {

namespace {

// Enough for every dialogue of the tests; a message of megabytes must not flood the output.
constexpr int kMaxLines = 300;
constexpr qsizetype kMaxLineLength = 160;

std::vector<const LineServer *> &live()
{
    static std::vector<const LineServer *> servers;
    return servers;
}

class Printer : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo &) override { printed_ = false; }
    void OnTestPartResult(const ::testing::TestPartResult &result) override
    {
        if (!result.failed() || std::exchange(printed_, true))
            return;
        for (const LineServer *server : live())
            std::cout << server->dialogue().toStdString() << std::flush;
    }
    bool printed_ = false;
};

} // namespace

LineServer::LineServer(const char *name, bool repeat)
    : name_(name)
    , repeat_(repeat)
{
    live().push_back(this);
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (auto *next = static_cast<QSslSocket *>(server_.nextPendingConnection())) {
            if (socket_) {
                socket_->abort();
                socket_->deleteLater();
            }
            socket_ = next; // owned by server_
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            input_.clear();
            pending_.clear();
            waiting_ = false;
            note("connection " + QByteArray::number(++connections_) + " opened");
            connect(next, &QSslSocket::readyRead, this, [this, next] { read(next); });
            opened();
        }
    });
}

LineServer::~LineServer()
{
    std::erase(live(), this);
}

void LineServer::Server::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this); // owned by the server, like its own sockets
    socket->setSocketDescriptor(descriptor);
    if (tls) {
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        if (fromFirstByte)
            socket->startServerEncryption();
    }
    addPendingConnection(socket);
}

bool LineServer::listenOn(const QHostAddress &address, quint16 port)
{
    server_.close();
    return server_.listen(address, port);
}

void LineServer::setTls(const QSslCertificate &certificate, const QSslKey &key, bool fromFirstByte)
{
    server_.certificate = certificate;
    server_.key = key;
    server_.tls = true;
    server_.fromFirstByte = fromFirstByte;
}

void LineServer::startTls()
{
    if (!socket_)
        return;
    socket_->flush();
    note("TLS starts");
    socket_->startServerEncryption();
}

void LineServer::play(const char *text)
{
    QList<std::pair<QByteArray, Reply>> replies;
    for (const QByteArray &raw : QByteArray(text).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith("C: ")) {
            replies.append({line.mid(3).trimmed(), Reply::text({})});
            continue;
        }
        if (line.isEmpty())
            continue;
        if (!line.startsWith("S:")) {
            ADD_FAILURE() << "a script line must begin with \"C: \" or \"S: \": " << line.data();
            continue;
        }
        if (replies.isEmpty())
            replies.append({"GREETING", Reply::text({})});
        Reply &reply = replies.last().second;
        const QByteArray word = line.mid(2).trimmed();
        if (reply.kind != Reply::Send || reply.closeAfter)
            ADD_FAILURE() << "nothing can follow the end of a reply: " << line.data();
        else if (word == "<silence>")
            reply.kind = Reply::Silence;
        else if (word == "<drop>")
            reply.kind = Reply::Drop;
        else if (word == "<close>")
            reply.closeAfter = true;
        else
            reply.fragments[0] += line.mid(line.startsWith("S: ") ? 3 : 2) + "\r\n";
    }
    for (const auto &[step, reply] : replies)
        script(step, reply);
}

std::optional<LineServer::Reply> LineServer::scripted(const QByteArray &step,
                                                      const QByteArray &line)
{
    for (const QByteArray &key : {line, step}) {
        const auto it = scripts_.find(key);
        if (it != scripts_.end() && !it->isEmpty())
            return repeat_ ? it->last() : it->takeFirst();
    }
    return std::nullopt;
}

void LineServer::record(const QByteArray &line)
{
    commands_ << line;
    show("C: ", line);
    if (hook_)
        hook_(line);
}

void LineServer::pauseReading(bool paused)
{
    readingPaused_ = paused;
    if (!socket_)
        return;
    // A full read buffer makes Qt stop reading from the kernel, which then stops the peer.
    socket_->setReadBufferSize(paused ? 4096 : 0);
    if (!paused)
        read(socket_);
}

void LineServer::stallAfter(const QByteArray &command, int resumeAfterMs)
{
    setCommandHook([this, command, resumeAfterMs](const QByteArray &line) {
        if (line != command)
            return;
        pauseReading(true);
        if (resumeAfterMs >= 0)
            QTimer::singleShot(resumeAfterMs, this, [this] { pauseReading(false); });
    });
}

void LineServer::read(QSslSocket *socket)
{
    if (readingPaused_)
        return;
    const QByteArray bytes = socket->readAll();
    received_ += bytes;
    input_ += bytes;
    qsizetype from = 0;
    // A reply may drop the connection: the rest of its input is then left unread.
    for (qsizetype eol; socket == socket_ && (eol = input_.indexOf("\r\n", from)) >= 0;
         from = eol + 2)
        line(input_.mid(from, eol - from));
    input_.remove(0, from);
}

void LineServer::send(const Reply &reply)
{
    if (!socket_ || reply.kind == Reply::Silence)
        return;
    if (reply.kind == Reply::Drop) {
        note("the server dropped the connection");
        socket_->abort();
        socket_->deleteLater(); // perhaps inside its own signal
        socket_ = nullptr;
        return;
    }
    const int pause = reply.pauseMs > 0 ? reply.pauseMs : pauseMs_;
    for (qsizetype i = 0; i < reply.fragments.size(); ++i)
        pending_.append({reply.fragments[i], i == 0 ? reply.delayMs : pause,
                         reply.closeAfter && i + 1 == reply.fragments.size()});
    if (!waiting_)
        pump();
}

void LineServer::pump()
{
    waiting_ = false;
    while (!pending_.isEmpty() && socket_->isOpen()) {
        if (const int ms = std::exchange(pending_.first().waitMs, 0)) {
            waiting_ = true;
            QTimer::singleShot(ms, Qt::PreciseTimer, socket_, [this, s = socket_] {
                if (s == socket_)
                    pump();
            });
            return;
        }
        const Piece piece = pending_.takeFirst();
        served(piece.bytes);
        socket_->write(piece.bytes);
        socket_->flush();
        if (piece.close) {
            note("the server closed the connection");
            socket_->disconnectFromHost();
        }
    }
}

void LineServer::show(const QByteArray &side, const QByteArray &line)
{
    if (++shownLines_ <= kMaxLines)
        shown_ += "  " + side + line.left(kMaxLineLength)
            + (line.size() > kMaxLineLength ? "...\n" : "\n");
}

void LineServer::served(const QByteArray &bytes)
{
    partial_ += bytes;
    qsizetype from = 0;
    for (qsizetype eol; (eol = partial_.indexOf("\r\n", from)) >= 0; from = eol + 2)
        show("S: ", partial_.mid(from, eol - from));
    partial_.remove(0, from);
}

void LineServer::note(const QByteArray &text)
{
    if (!partial_.isEmpty())
        show("S: ", std::exchange(partial_, {}) + " (no line end)");
    show("-- ", text);
}

QByteArray LineServer::dialogue() const
{
    QByteArray text = "Dialogue of the fake " + QByteArray(name_) + " server:\n" + shown_;
    if (shownLines_ > kMaxLines)
        text += "  ... and " + QByteArray::number(shownLines_ - kMaxLines) + " more lines\n";
    return text;
}

void printTranscriptsOnFailure()
{
    static bool installed = false;
    if (!std::exchange(installed, true))
        ::testing::UnitTest::GetInstance()->listeners().Append(new Printer); // takes ownership
}

} // namespace vessamo::test
