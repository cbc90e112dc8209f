// Discovery of the name servers and the DNS domain: resolv.conf first, then the
// fall-back sources, each non-empty value replacing what came before, then the default
// and base domains derived from what was found.
#include "dns/dnsservers.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>

namespace vessamo::dns {

namespace {

// resolv.conf is a few lines; anything beyond this is not a resolver file.
constexpr qint64 kMaxResolvConfSize = 64 * 1024;

// The value of a domain or search entry; "." (the root) counts as none.
QString domainValue(QString value)
{
    if (value.endsWith(u'.'))
        value.chop(1);
    return value;
}

} // namespace

ResolvConf readResolvConf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray content = file.read(kMaxResolvConfSize);
    ResolvConf result;
    QString domain;
    QString firstSearch;
    for (const QByteArray &rawLine : content.split('\n')) {
        const QByteArray line = rawLine.simplified();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        const QList<QByteArray> words = line.split(' ');
        if (words.size() < 2)
            continue;
        const QString value = QString::fromUtf8(words.at(1));
        if (words.at(0) == "nameserver")
            result.servers.append(value);
        else if (words.at(0) == "domain")
            domain = domainValue(value);
        else if (words.at(0) == "search")
            firstSearch = domainValue(value);
    }
    result.domain = domain.isEmpty() ? firstSearch : domain;
    return result;
}

QString baseDomainOf(const QString &domain)
{
    const QStringList parts = domain.split(u'.');
    if (parts.size() < 2)
        return domain;
    return parts.at(parts.size() - 2) + u'.' + parts.last();
}

DnsServers FindDnsServers(const DnsSources &sources)
{
    const ResolvConf primary = readResolvConf(sources.resolvConf);
    QStringList servers = primary.servers;
    QString domain = primary.domain;

    if (servers.isEmpty() || domain.isEmpty()) {
        const ResolvConf fallback = readResolvConf(sources.fallbackResolvConf);
        if (!fallback.servers.isEmpty())
            servers = fallback.servers;
        if (!fallback.domain.isEmpty())
            domain = fallback.domain;
        const QString fqdn
            = sources.fullyQualifiedHostName ? sources.fullyQualifiedHostName() : QString();
        const qsizetype dot = fqdn.indexOf(u'.');
        if (dot >= 0 && !domainValue(fqdn.mid(dot + 1)).isEmpty())
            domain = domainValue(fqdn.mid(dot + 1));
    }

    DnsServers result;
    result.servers = servers;
    result.defaultDomain = domain;
    if (domain.isEmpty() && !servers.isEmpty()) {
        // No domain anywhere: the first server's own name tells which domain we are in.
        domain = sources.lookUpHostName ? sources.lookUpHostName(servers.first())
                                        : LookUpHostName(servers.first());
        const qsizetype dot = domain.indexOf(u'.');
        if (dot >= 0)
            result.defaultDomain = domain.mid(dot + 1);
    }
    result.baseDomain = baseDomainOf(domain);
    return result;
}

QString LookUpHostName(const QString &address)
{
    QHostAddress host;
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol)
        return {};
    sockaddr_in socketAddress {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = htonl(host.toIPv4Address());
    char name[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&socketAddress), sizeof socketAddress, name,
                    sizeof name, nullptr, 0, NI_NAMEREQD)
        != 0)
        return {};
    return QString::fromUtf8(name);
}

QString fullyQualifiedHostName()
{
    const QByteArray host = QHostInfo::localHostName().toUtf8();
    if (host.isEmpty())
        return {};
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *answer = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &answer) != 0 || !answer)
        return {};
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> found(answer, &freeaddrinfo);
    return found->ai_canonname ? QString::fromUtf8(found->ai_canonname) : QString();
}

DnsSources systemDnsSources()
{
    DnsSources sources;
    sources.fullyQualifiedHostName = &fullyQualifiedHostName;
    sources.lookUpHostName = &LookUpHostName;
    return sources;
}

} // namespace vessamo::dns
