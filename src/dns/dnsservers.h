// Discovery of the machine's name servers and DNS domain for the MX lookup.
// /etc/resolv.conf is read first ("nameserver" lines, "domain", else the first "search"
// entry); when servers or domain are still missing, the fall-back sources replace them,
// in order, each non-empty value winning: the systemd-resolved upstream file, then the
// domain part of the host's fully qualified name. The result is kept by the caller for
// the life of the process; discovery runs again only while it has found no server.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace vessamo::dns {

// What discovery found: the server table (dotted addresses or names, in the order
// found), the domain used when a lookup names none, and the limit of the parent walk.
struct DnsServers
{
    QStringList servers;
    QString defaultDomain;
    QString baseDomain;

    int serverCount() const { return int(servers.size()); }
};

// Where discovery looks. Every source can be replaced, so tests run on temporary files
// and scripted host names instead of the machine's own settings.
struct DnsSources
{
    QString resolvConf = QStringLiteral("/etc/resolv.conf");
    QString fallbackResolvConf = QStringLiteral("/run/systemd/resolve/resolv.conf");
    // The host's fully qualified name (e.g. "mail.example.com"); empty when unknown.
    std::function<QString()> fullyQualifiedHostName;
    // Reverse lookup of a dotted address; empty when it fails. LookUpHostName when unset.
    std::function<QString(const QString &)> lookUpHostName;
};

// The machine's own sources.
DnsSources systemDnsSources();

// Fills the server table and the two domains from `sources`.
DnsServers FindDnsServers(const DnsSources &sources = systemDnsSources());

// The host name registered for a dotted IPv4 address; empty when the text is not a
// dotted address or the reverse lookup fails. Blocks while the lookup runs.
QString LookUpHostName(const QString &address);

// The host's fully qualified name (gethostname + canonical name); empty when unknown.
QString fullyQualifiedHostName();

// "nameserver", "domain" and "search" read from one resolv.conf-style file.
struct ResolvConf
{
    QStringList servers;
    QString domain;
};
// A missing or unreadable file gives an empty result.
ResolvConf readResolvConf(const QString &path);

// The last two labels of `domain` joined by "."; the domain itself with fewer labels.
QString baseDomainOf(const QString &domain);

} // namespace vessamo::dns
