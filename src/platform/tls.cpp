#include "platform/tls.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSslCertificate>
#include <optional>

namespace vessamo::platform {

TlsMode tlsModeFor(MailProtocol protocol, quint16 port)
{
    if (protocol == MailProtocol::Pop3)
        return port == 995 ? TlsMode::Implicit : TlsMode::None;
    if (port == 465)
        return TlsMode::Implicit;
    return port == 587 ? TlsMode::StartTls : TlsMode::None;
}

QString extraCaFilePath(const QString &configurationFile)
{
    const QString fromEnv = qEnvironmentVariable("VESSAMO_CA_FILE");
    if (!fromEnv.isEmpty())
        return fromEnv;
    const QString system = QStringLiteral("/etc/vessamo/ca.pem");
    if (QFileInfo::exists(system) || configurationFile.isEmpty())
        return system;
    return QFileInfo(configurationFile).absolutePath() + QStringLiteral("/ca.pem");
}

namespace {

QString &extraCaFileSetting()
{
    static QString path;
    return path;
}

} // namespace

void setExtraCaFile(const QString &path)
{
    extraCaFileSetting() = path;
}

QString extraCaFile()
{
    const QString &set = extraCaFileSetting();
    return set.isEmpty() ? extraCaFilePath(QString()) : set;
}

QSslConfiguration clientTlsConfiguration()
{
    return clientTlsConfiguration(extraCaFile());
}

QSslConfiguration clientTlsConfiguration(const QString &extraCaFile)
{
    // Built again only when the file changes: reading the system's CAs takes a fifth of a
    // second, and every connection asks.
    struct Built
    {
        QString path;
        QDateTime modified;
        qint64 size = -1;
        QSslConfiguration tls;
    };
    static std::optional<Built> built;
    const QFileInfo file(extraCaFile);
    const QDateTime modified = file.exists() ? file.lastModified() : QDateTime();
    const qint64 size = file.exists() ? file.size() : -1;
    if (built && built->path == extraCaFile && built->modified == modified && built->size == size)
        return built->tls;

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QList<QSslCertificate> extra = extraCaFile.isEmpty() || !file.exists()
        ? QList<QSslCertificate>()
        : QSslCertificate::fromPath(extraCaFile, QSsl::Pem);
    // A list set by hand replaces Qt's loading of the system's CAs on demand: they must be in
    // it too, or adding a private CA would stop every public server from verifying.
    if (!extra.isEmpty()) {
        // The system's folder lists each certificate twice (file and hash link).
        QList<QSslCertificate> cas;
        QSet<QSslCertificate> seen;
        for (const QSslCertificate &ca : QSslConfiguration::systemCaCertificates() + extra) {
            if (!seen.contains(ca)) {
                seen.insert(ca);
                cas.append(ca);
            }
        }
        tls.setCaCertificates(cas);
    }
    built = Built {extraCaFile, modified, size, tls};
    return tls;
}

namespace {

QHash<QString, QByteArray> &sessionTickets()
{
    static QHash<QString, QByteArray> tickets;
    return tickets;
}

QString ticketKey(const QString &host, quint16 port)
{
    return host.toLower() + QLatin1Char(':') + QString::number(port);
}

} // namespace

QSslConfiguration withSessionTicket(QSslConfiguration tls, const QString &host, quint16 port)
{
    tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    tls.setSessionTicket(sessionTickets().value(ticketKey(host, port)));
    return tls;
}

void keepSessionTicket(const QString &host, quint16 port, const QByteArray &ticket)
{
    if (!ticket.isEmpty())
        sessionTickets().insert(ticketKey(host, port), ticket);
}

} // namespace vessamo::platform
