// The TCP socket control: a small class over QSslSocket with the members and events of
// the old Winsock control that the POP3 reader and the mail object were designed around,
// plus TLS: from the first byte (ConnectEvent then means the handshake is done and the
// certificate verified), or started on an open connection by StartTls (TlsReady). After
// Qt's verification, every handshake (a resumed one too) passes the checks of tls.h
// before the caller hears of it.
//
// Events are queued as the network produces them and delivered one at a time from the
// event loop, in order. Received bytes are taken out of QSslSocket at once, so a handler
// that waits in a nested event loop still sees later data arrive (QSslSocket never
// re-emits readyRead while a readyRead slot is running). A handler may delete the control:
// delivery stops cleanly.
//
// States follow the old control: 0 closed, 6 connecting, 7 connected, 8 peer closing,
// 9 error. A close by the peer is the CloseEvent, never an Error, except during a TLS
// handshake, which it ends as a failure (an Error that says so). The peer's close and an
// error change the state when their event is delivered, so every byte the peer sent before
// them reaches DataArrival, in order, while the state still reads connected.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <deque>
#include <memory>

namespace vessamo::platform {

class SocketControl : public QObject
{
    Q_OBJECT
public:
    enum StateValue : qint16 {
        sckClosed = 0,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    explicit SocketControl(QObject *parent = nullptr);
    ~SocketControl() override;

    void SetRemoteHost(const QString &host) { remoteHost_ = host; }
    QString RemoteHost() const { return remoteHost_; }
    void SetRemotePort(qint32 port) { remotePort_ = port; }
    qint32 RemotePort() const { return remotePort_; }
    void SetLocalPort(qint32 port) { localPort_ = port; }
    qint16 State() const { return state_; }

    // TLS from the first byte of the next connections, with this configuration; verified
    // against the host name given to Connect. Off again with SetImplicitTls(false).
    void SetImplicitTls(bool on, const QSslConfiguration &tls = {});
    // Returns at once; success arrives as ConnectEvent, failure as Error (state 9).
    void Connect();
    void Connect(const QString &host, qint32 port);
    // Queues the bytes, in call order. False when they cannot reach the peer (not
    // connected, or the peer has already closed even if its close is not yet delivered).
    bool SendData(const QByteArray &bytes);
    // Everything received since the last read.
    QByteArray GetData();
    // Closes; harmless on a closed socket. Events of the old connection still queued are
    // dropped, so none is ever delivered for a new one.
    void Close();

    // Starts TLS on the open connection (after a STARTTLS reply). Whatever was received
    // and not yet read is discarded first: bytes a server (or a man in the middle) sent
    // before the handshake must never be read as a reply inside TLS. Success arrives as
    // TlsReady, failure as Error.
    bool StartTls(const QSslConfiguration &tls);
    // "TLSv1.3, TLS_AES_256_GCM_SHA384" once TLS is up, else empty.
    QString TlsDescription() const;

    // Bytes handed to SendData and not yet written to the network.
    qint64 BytesQueued() const;

Q_SIGNALS:
    void ConnectEvent();
    void CloseEvent();
    void DataArrival(qint32 bytesTotal);
    void Error(qint16 number, const QString &description);
    void SendProgress(qint32 bytesSent, qint32 bytesRemaining);
    void TlsReady();

private:
    enum class Kind { Connected, Data, Closed, Error, Progress, Secured };
    struct Event
    {
        explicit Event(Kind k, qint64 first = 0, qint64 second = 0, QString description = {})
            : kind(k)
            , a(first)
            , b(second)
            , text(std::move(description))
        {
        }
        Kind kind;
        qint64 a;
        qint64 b;
        QString text;
    };

    void attachSocket();
    void releaseSocket();
    void post(Event event);
    void deliver();
    void onReadyRead();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    // Ends a handshake whose peer must not be used, as a TLS error.
    void failHandshake(const QString &problem);
    // The peer's close has reached this end, whether or not it was delivered yet.
    bool peerHasClosed() const;
    // Writes what the kernel takes now of a clear-text connection's bytes, without
    // waiting; the count written (0 on any failure).
    qint64 sendNow(const QByteArray &bytes);
    // Over TLS a large write goes to the socket a window at a time, as the encrypted bytes
    // leave: given at once, Qt would hold all of it twice (as text and encrypted).
    void feedTls();
    qint64 tlsPendingSize() const { return tlsPending_.size() - tlsPendingAt_; }

    std::unique_ptr<QSslSocket> socket_;
    bool implicitTls_ = false;
    QSslConfiguration tls_;
    // What the handshake in progress (or the last one) runs with, its ticket included.
    QSslConfiguration handshakeTls_;
    // Connected, and the TLS handshake not yet over.
    bool handshaking_ = false;
    // Why the last handshake failed, for the Error text.
    QString tlsError_;
    QString remoteHost_;
    qint32 remotePort_ = 0;
    qint32 localPort_ = 0;
    qint16 state_ = sckClosed;
    QByteArray received_;
    // What SendData was given over TLS and the socket has not taken yet (shares the
    // caller's bytes, no copy).
    QByteArray tlsPending_;
    qsizetype tlsPendingAt_ = 0;
    std::deque<Event> events_;
    bool deliveryPosted_ = false;
};

// The Winsock error number for a socket error, so that texts stay those of the old control.
// TLS failures, which Winsock never had, are kTlsErrorNumber.
qint16 winsockErrorNumber(QAbstractSocket::SocketError error);
inline constexpr qint16 kTlsErrorNumber = 10100;

} // namespace vessamo::platform
