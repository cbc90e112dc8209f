// DNS replies built the way a server writes them, and a scripted DNS server on 127.0.0.1.
#pragma once

#include "dns/dnsmessage.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace vessamo::test {

inline QByteArray u16(qsizetype value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xff);
}

// Uncompressed, with the final zero.
inline QByteArray dnsName(const QString &domain)
{
    QByteArray bytes;
    for (const QString &label : domain.split(u'.', Qt::SkipEmptyParts))
        bytes += char(label.size()) + label.toLatin1();
    return bytes + '\0';
}

// An answer record whose owner points at the question (offset 12).
inline QByteArray dnsRecord(quint16 type, const QByteArray &data)
{
    return "\xC0\x0C" + u16(type) + u16(1) + QByteArray("\0\0\x0e\x10", 4) + u16(data.size())
        + data;
}

inline QByteArray mxRecord(int preference, const QString &exchange)
{
    return dnsRecord(15, u16(preference) + dnsName(exchange));
}

// Header (response, no error), the question, the records; the answer count is the number
// of records unless given.
inline QByteArray dnsReply(const QString &question, const QByteArrayList &records = {},
                           int answerCount = -1, quint16 identifier = 4575)
{
    return u16(identifier) + QByteArray("\x81\x80\0\x01", 4)
        + u16(answerCount < 0 ? records.size() : answerCount) + QByteArray(4, '\0')
        + dnsName(question) + u16(15) + u16(1) + records.join();
}

// Query n is answered with script[n], after the strangers' datagrams from another socket;
// queries past the script, and empty replies, get no answer.
class FakeDns
{
public:
    FakeDns()
    {
        socket_.bind(QHostAddress::LocalHost, 0);
        stranger_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] { readQueries(); });
    }
    quint16 port() const { return socket_.localPort(); }

    QList<QByteArrayList> script;
    QByteArrayList strangers;
    QByteArrayList queries;
    // The question names of the queries, joined by spaces.
    QString queried() const
    {
        QStringList names;
        for (const QByteArray &query : queries) {
            qsizetype at = vessamo::dns::kHeaderSize;
            names.append(vessamo::dns::DecodeDnsName(query, at).value_or(QStringLiteral("?")));
        }
        return names.join(u' ');
    }

private:
    void readQueries()
    {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram query = socket_.receiveDatagram();
            queries.append(query.data());
            if (queries.size() > script.size())
                continue;
            const auto port = quint16(query.senderPort());
            for (const QByteArray &reply : std::as_const(strangers))
                stranger_.writeDatagram(reply, query.senderAddress(), port);
            for (const QByteArray &reply : script.at(queries.size() - 1)) {
                if (!reply.isEmpty())
                    socket_.writeDatagram(reply, query.senderAddress(), port);
            }
        }
    }

    QUdpSocket socket_;
    QUdpSocket stranger_;
};

} // namespace vessamo::test
