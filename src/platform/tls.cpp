#include "platform/tls.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QSslCertificate>
#include <QUrl>
#include <algorithm>
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
    // Asked once: each exists() looks at the file system again.
    const bool present = !extraCaFile.isEmpty() && file.exists();
    const QDateTime modified = present ? file.lastModified() : QDateTime();
    const qint64 size = present ? file.size() : -1;
    if (built && built->path == extraCaFile && built->modified == modified && built->size == size)
        return built->tls;

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QList<QSslCertificate> extra
        = !present ? QList<QSslCertificate>() : QSslCertificate::fromPath(extraCaFile, QSsl::Pem);
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

// What a verification depended on: the CA list of the configuration (empty: the system's,
// loaded on demand) and the state of the system's store, which update-ca-certificates
// changes.
struct Trust
{
    QList<QSslCertificate> cas;
    QDateTime systemStore;
    bool operator==(const Trust &) const = default;
};

Trust trustOf(const QSslConfiguration &tls)
{
    return {tls.caCertificates(), QFileInfo(QStringLiteral("/etc/ssl/certs")).lastModified()};
}

struct KeptTicket
{
    QByteArray ticket;
    Trust trust;
    QSslCertificate peer;
};

QHash<QString, KeptTicket> &sessionTickets()
{
    static QHash<QString, KeptTicket> tickets;
    return tickets;
}

QString ticketKey(const QString &host, quint16 port)
{
    return host.toLower() + QLatin1Char(':') + QString::number(port);
}

// A kept ticket for this server that was verified under this trust.
const KeptTicket *keptTicket(const QSslConfiguration &tls, const QString &host, quint16 port)
{
    const auto it = sessionTickets().constFind(ticketKey(host, port));
    if (it == sessionTickets().cend() || !(it->trust == trustOf(tls)))
        return nullptr;
    return &*it;
}

QString withoutFinalDot(const QString &name)
{
    return name.endsWith(u'.') ? name.chopped(1) : name;
}

// A DNS name of the certificate against the host: the same name, or a wildcard that
// stands for the host's whole first label ("*.example.org"), never for a top-level or
// second-level name alone.
bool dnsNameMatches(const QString &pattern, const QString &host)
{
    // Certificates name hosts in their ASCII (ACE) form; a host may be typed in Unicode.
    const QString p = withoutFinalDot(pattern).toLower();
    const QByteArray ace = QUrl::toAce(withoutFinalDot(host));
    const QString h = ace.isEmpty() ? withoutFinalDot(host).toLower() : QString::fromLatin1(ace);
    if (p.isEmpty() || h.isEmpty())
        return false;
    if (p == h)
        return true;
    if (!p.startsWith(QStringLiteral("*.")) || p.count(u'.') < 2)
        return false;
    const qsizetype dot = h.indexOf(u'.');
    return dot > 0 && QStringView(h).sliced(dot) == QStringView(p).sliced(1);
}

} // namespace

QSslConfiguration withSessionTicket(QSslConfiguration tls, const QString &host, quint16 port)
{
    tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    if (const KeptTicket *kept = keptTicket(tls, host, port))
        tls.setSessionTicket(kept->ticket);
    return tls;
}

void keepSessionTicket(const QSslConfiguration &tls, const QString &host, quint16 port,
                       const QByteArray &ticket, const QSslCertificate &peer)
{
    if (!ticket.isEmpty() && !peer.isNull())
        sessionTickets().insert(ticketKey(host, port), {ticket, trustOf(tls), peer});
}

void forgetSessionTicket(const QString &host, quint16 port)
{
    sessionTickets().remove(ticketKey(host, port));
}

bool matchesAlternativeNames(const QSslCertificate &certificate, const QString &host)
{
    const auto names = certificate.subjectAlternativeNames();
    const QStringList dns = names.values(QSsl::DnsEntry);
    const QStringList ips = names.values(QSsl::IpAddressEntry);
    if (dns.isEmpty() && ips.isEmpty())
        return true;
    // An address typed as the host matches an IP entry only; a name, a DNS entry only.
    const QHostAddress address(host);
    if (!address.isNull())
        return std::any_of(ips.begin(), ips.end(),
                           [&](const QString &ip) { return QHostAddress(ip) == address; });
    return std::any_of(dns.begin(), dns.end(),
                       [&](const QString &name) { return dnsNameMatches(name, host); });
}

QString peerProblem(const QSslConfiguration &tls, const QString &host, quint16 port,
                    const QSslCertificate &peer, bool resumed)
{
    if (peer.isNull())
        return QStringLiteral("the server presented no certificate");
    if (!matchesAlternativeNames(peer, host))
        return QStringLiteral("the host name %1 is not among the certificate's subject "
                              "alternative names (its common name does not count then)")
            .arg(host);
    if (!resumed)
        return {};
    const KeptTicket *kept = keptTicket(tls, host, port);
    if (!kept || kept->peer != peer)
        return QStringLiteral("a resumed session whose certificate was not verified under "
                              "the trusted CAs now in use");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (peer.expiryDate() < now || peer.effectiveDate() > now)
        return QStringLiteral("a resumed session whose certificate has expired");
    return {};
}

} // namespace vessamo::platform
