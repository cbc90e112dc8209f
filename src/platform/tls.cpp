#include "platform/tls.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>

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
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!extraCaFile.isEmpty() && QFileInfo::exists(extraCaFile)) {
        QList<QSslCertificate> cas = tls.caCertificates();
        cas += QSslCertificate::fromPath(extraCaFile, QSsl::Pem);
        tls.setCaCertificates(cas);
    }
    return tls;
}

} // namespace vessamo::platform
