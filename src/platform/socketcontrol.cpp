#include "platform/socketcontrol.h"

#include "platform/tls.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QSslCipher>
#include <cerrno>
#include <sys/socket.h>

namespace vessamo::platform {

qint16 winsockErrorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10053;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::NetworkError:
        return 10054;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10045;
    case QAbstractSocket::DatagramTooLargeError:
        return 10040;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return kTlsErrorNumber;
    default:
        return 10050;
    }
}

SocketControl::SocketControl(QObject *parent)
    : QObject(parent)
{
}

SocketControl::~SocketControl()
{
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

void SocketControl::attachSocket()
{
    releaseSocket();
    socket_ = std::make_unique<QSslSocket>();
    QSslSocket *s = socket_.get();
    tlsError_.clear();
    handshaking_ = false;
    QObject::connect(s, &QSslSocket::connected, this, [this] {
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // With TLS from the first byte the connection is usable once it is encrypted.
        if (implicitTls_) {
            handshaking_ = true;
            return;
        }
        state_ = sckConnected;
        post(Event(Kind::Connected));
    });
    QObject::connect(s, &QSslSocket::encrypted, this, [this] {
        handshaking_ = false;
        const QString problem = peerProblem(handshakeTls_, remoteHost_, quint16(remotePort_),
                                            socket_->peerCertificate(),
                                            socket_->peerCertificateChain().isEmpty());
        if (!problem.isEmpty()) {
            failHandshake(problem);
            return;
        }
        if (state_ == sckConnecting) {
            state_ = sckConnected;
            post(Event(Kind::Connected));
        } else {
            post(Event(Kind::Secured));
        }
    });
    // Nothing is ignored: the handshake then fails and errorOccurred reports it.
    QObject::connect(s, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &e : errors)
            texts << e.errorString();
        tlsError_ = texts.join(QStringLiteral("; "));
    });
    QObject::connect(s, &QSslSocket::newSessionTicketReceived, this, [this] {
        keepSessionTicket(handshakeTls_, remoteHost_, static_cast<quint16>(remotePort_),
                          socket_->sslConfiguration().sessionTicket(), socket_->peerCertificate());
    });
    QObject::connect(s, &QSslSocket::readyRead, this, &SocketControl::onReadyRead);
    QObject::connect(s, &QSslSocket::disconnected, this, [this] {
        // Data that came with the close is still in the socket's buffer. The state changes
        // only when the close is delivered, after every byte received before it: a reply
        // followed at once by the close is handed over while the socket still reads as
        // connected.
        onReadyRead();
        // A close before the handshake ended is a failure of TLS: with TLS from the first
        // byte the caller would otherwise wait for a connection that never comes.
        if (handshaking_) {
            handshaking_ = false;
            post(Event(Kind::Error, 10053, 0,
                       QStringLiteral("TLS: the server closed the connection during the TLS "
                                      "handshake")));
            return;
        }
        post(Event(Kind::Closed));
    });
    QObject::connect(s, &QSslSocket::errorOccurred, this, &SocketControl::onErrorOccurred);
    // Over TLS too this counts the application's bytes, not the encrypted records.
    QObject::connect(s, &QSslSocket::bytesWritten, this, [this](qint64 written) {
        // Nobody counting (the POP3 reader): no event, so no wake-up and no loop pass for
        // it after every command.
        if (isSignalConnected(QMetaMethod::fromSignal(&SocketControl::SendProgress)))
            post(Event(Kind::Progress, written, BytesQueued()));
    });
    QObject::connect(s, &QSslSocket::encryptedBytesWritten, this, [this] { feedTls(); });
}

void SocketControl::SetImplicitTls(bool on, const QSslConfiguration &tls)
{
    implicitTls_ = on;
    tls_ = tls;
}

void SocketControl::Connect()
{
    Connect(remoteHost_, remotePort_);
}

void SocketControl::Connect(const QString &host, qint32 port)
{
    remoteHost_ = host;
    remotePort_ = port;
    events_.clear();
    received_.clear();
    attachSocket();
    state_ = sckConnecting;
    if (localPort_ > 0 && localPort_ <= 65535)
        socket_->bind(QHostAddress::AnyIPv4, static_cast<quint16>(localPort_));
    if (port < 0 || port > 65535) {
        state_ = sckError;
        post(Event(Kind::Error, 10049, 0, QStringLiteral("Invalid port")));
        return;
    }
    if (implicitTls_) {
        handshakeTls_ = withSessionTicket(tls_, host, static_cast<quint16>(port));
        socket_->setSslConfiguration(handshakeTls_);
        socket_->connectToHostEncrypted(host, static_cast<quint16>(port), host);
        return;
    }
    socket_->connectToHost(host, static_cast<quint16>(port));
}

bool SocketControl::StartTls(const QSslConfiguration &tls)
{
    if (!socket_ || state_ != sckConnected || socket_->mode() != QSslSocket::UnencryptedMode)
        return false;
    // Read and thrown away: anything that came before the handshake.
    socket_->readAll();
    received_.clear();
    std::erase_if(events_, [](const Event &e) { return e.kind == Kind::Data; });
    handshakeTls_ = withSessionTicket(tls, remoteHost_, static_cast<quint16>(remotePort_));
    socket_->setSslConfiguration(handshakeTls_);
    socket_->setPeerVerifyName(remoteHost_);
    handshaking_ = true;
    socket_->startClientEncryption();
    return true;
}

QString SocketControl::TlsDescription() const
{
    if (!socket_ || !socket_->isEncrypted())
        return {};
    const QSslCipher cipher = socket_->sessionCipher();
    return cipher.protocolString() + QStringLiteral(", ") + cipher.name();
}

bool SocketControl::SendData(const QByteArray &bytes)
{
    // The peer may have gone while its close waits to be delivered: nothing to write to.
    if (!socket_ || state_ != sckConnected || bytes.isEmpty()
        || socket_->state() != QAbstractSocket::ConnectedState || peerHasClosed())
        return false;
    if (socket_->isEncrypted()) {
        if (tlsPendingSize() == 0) {
            tlsPending_ = bytes;
            tlsPendingAt_ = 0;
        } else {
            tlsPending_.append(bytes);
        }
        feedTls();
    } else if (socket_->mode() == QSslSocket::UnencryptedMode && socket_->bytesToWrite() == 0) {
        // Nothing waits in Qt's buffer: straight to the kernel. QAbstractSocket would turn
        // its write notifier on and off around the same write, each turn a wake-up of the
        // event loop. Only what the kernel does not take now goes through Qt.
        const qint64 sent = sendNow(bytes);
        if (sent > 0 && isSignalConnected(QMetaMethod::fromSignal(&SocketControl::SendProgress)))
            post(Event(Kind::Progress, sent, bytes.size() - sent));
        if (sent == bytes.size())
            return true;
        socket_->write(sent > 0 ? bytes.sliced(sent) : bytes);
    } else {
        socket_->write(bytes);
    }
    // Out now rather than on the next pass of the event loop: a command reaches the
    // server one loop pass (and one wake-up) sooner. Whatever the socket reports from
    // here is queued like every other event.
    socket_->flush();
    return true;
}

qint64 SocketControl::sendNow(const QByteArray &bytes)
{
    const int fd = int(socket_->socketDescriptor());
    if (fd < 0)
        return 0;
    ssize_t n;
    do {
        n = ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    // A failure is left to the socket, which meets it again and reports it as ever.
    return n > 0 ? qint64(n) : 0;
}

void SocketControl::feedTls()
{
    constexpr qint64 kWindow = 256 * 1024;
    constexpr qsizetype kPiece = 64 * 1024;
    while (socket_ && tlsPendingSize() > 0
           && socket_->bytesToWrite() + socket_->encryptedBytesToWrite() < kWindow) {
        const qsizetype n = qMin(kPiece, qsizetype(tlsPendingSize()));
        socket_->write(tlsPending_.constData() + tlsPendingAt_, n);
        tlsPendingAt_ += n;
    }
    if (tlsPendingSize() == 0) {
        tlsPending_.clear();
        tlsPendingAt_ = 0;
    }
}

bool SocketControl::peerHasClosed() const
{
    // The peer's FIN may sit in the kernel before Qt has read it: a command written now
    // would never be read, and the caller must know (a POP3 QUIT that never arrived
    // deletes nothing). Pending data hides a later FIN; then nothing is known yet.
    const qintptr fd = socket_->socketDescriptor();
    if (fd < 0)
        return false;
    char c;
    ssize_t n;
    do {
        n = ::recv(int(fd), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == 0;
}

QByteArray SocketControl::GetData()
{
    QByteArray out;
    out.swap(received_);
    return out;
}

qint64 SocketControl::BytesQueued() const
{
    if (!socket_)
        return 0;
    // Over TLS the socket's own count is only the text not yet encrypted.
    return socket_->bytesToWrite() + tlsPendingSize()
        + (socket_->isEncrypted() ? socket_->encryptedBytesToWrite() : 0);
}

void SocketControl::Close()
{
    events_.clear();
    received_.clear();
    state_ = sckClosed;
    releaseSocket();
}

void SocketControl::releaseSocket()
{
    if (!socket_)
        return;
    socket_->disconnect(this);
    socket_->abort();
    tlsPending_.clear();
    tlsPendingAt_ = 0;
    // Deleted now, not later: a deferred delete waits for the outermost event loop, and a
    // run that opens thousands of connections inside nested waits would pile them up, each
    // pending one slowing every pass over the posted events. No code of the socket is on
    // the stack here: our handlers of its signals only queue events and never call out.
    socket_.reset();
}

void SocketControl::onReadyRead()
{
    if (!socket_)
        return;
    const QByteArray chunk = socket_->readAll();
    if (chunk.isEmpty())
        return;
    received_.append(chunk);
    post(Event(Kind::Data, chunk.size()));
}

void SocketControl::failHandshake(const QString &problem)
{
    // The session is not offered again, nothing more of this connection reaches the
    // caller, and nothing can be sent on it. The socket is running this handler: it is
    // aborted from the event loop (or goes with the next Connect or Close).
    forgetSessionTicket(remoteHost_, static_cast<quint16>(remotePort_));
    socket_->disconnect(this);
    QSslSocket *s = socket_.get();
    QMetaObject::invokeMethod(s, [s] { s->abort(); }, Qt::QueuedConnection);
    state_ = sckError;
    post(Event(Kind::Error, kTlsErrorNumber, 0, QStringLiteral("TLS: ") + problem));
}

void SocketControl::onErrorOccurred(QAbstractSocket::SocketError error)
{
    // The peer's close is reported by `disconnected` as the CloseEvent.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    // The error state, too, is taken when the event is delivered, after the data before it.
    QString text = socket_ ? socket_->errorString() : QString();
    if (winsockErrorNumber(error) == kTlsErrorNumber && !tlsError_.isEmpty())
        text = QStringLiteral("TLS: ") + tlsError_;
    else if (handshaking_)
        text = QStringLiteral("TLS: ") + text + QStringLiteral(" during the TLS handshake");
    // The error ends the handshake: the close that follows it is no second failure.
    handshaking_ = false;
    post(Event(Kind::Error, winsockErrorNumber(error), 0, text));
}

void SocketControl::post(Event event)
{
    events_.push_back(std::move(event));
    if (!deliveryPosted_) {
        deliveryPosted_ = true;
        QMetaObject::invokeMethod(this, &SocketControl::deliver, Qt::QueuedConnection);
    }
}

void SocketControl::deliver()
{
    deliveryPosted_ = false;
    if (events_.empty())
        return;
    Event event = std::move(events_.front());
    events_.pop_front();
    // One event per pass, the next one posted before this one is raised: a handler that
    // waits in a nested event loop then receives what follows, still in network order.
    if (!events_.empty()) {
        deliveryPosted_ = true;
        QMetaObject::invokeMethod(this, &SocketControl::deliver, Qt::QueuedConnection);
    }
    switch (event.kind) {
    case Kind::Connected:
        Q_EMIT ConnectEvent();
        break;
    case Kind::Data:
        if (!received_.isEmpty())
            Q_EMIT DataArrival(static_cast<qint32>(qMin<qint64>(received_.size(), INT32_MAX)));
        break;
    case Kind::Closed:
        // A close after an error is no news: the error was the end.
        if (state_ != sckConnected && state_ != sckClosing)
            break;
        state_ = sckClosing;
        Q_EMIT CloseEvent();
        break;
    case Kind::Error:
        state_ = sckError;
        Q_EMIT Error(static_cast<qint16>(event.a), event.text);
        break;
    case Kind::Secured:
        Q_EMIT TlsReady();
        break;
    case Kind::Progress:
        Q_EMIT SendProgress(static_cast<qint32>(qMin<qint64>(event.a, INT32_MAX)),
                            static_cast<qint32>(qMin<qint64>(event.b, INT32_MAX)));
        break;
    }
}

} // namespace vessamo::platform
