#include "routing/connection.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace vessamo::routing {

bool isLoopbackHost(const QString &host)
{
    const QString name = host.trimmed();
    if (name.compare(u"localhost", Qt::CaseInsensitive) == 0
        || name.endsWith(u".localhost", Qt::CaseInsensitive))
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

bool isConnected(const QStringList &servers, bool networkInterfaceUp)
{
    if (networkInterfaceUp)
        return true;
    for (const QString &server : servers) {
        if (!isLoopbackHost(server))
            return false;
    }
    return true;
}

namespace {

bool anyInterfaceUp()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nic : interfaces) {
        const auto flags = nic.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp)
            || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        if (!nic.addressEntries().isEmpty())
            return true;
    }
    return false;
}

} // namespace

bool machineConnected(const QStringList &servers)
{
    return isConnected(servers, anyInterfaceUp());
}

} // namespace vessamo::routing
