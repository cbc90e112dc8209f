// Tests of the mail object's MX lookup: the Status events it raises and the exchanger it
// returns, against a name server on loopback.
#include "mail/clsenviarcorreu.h"
#include "platform/socketcontrol.h"
#include "support/settingsstore.h"
#include "support/tempenv.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

using vessamo::mail::clsEnviarCorreu;
using vessamo::platform::SocketControl;

namespace {

// The object reads its remembered settings at creation: keep it away from the real store.
class MailMxTest : public ::testing::Test
{
protected:
    vessamo::test::ScopedSettingsStore store_;
    SocketControl socket_;
};

// A name server on loopback that answers every MX question with one exchanger.
class FakeNameServer
{
public:
    explicit FakeNameServer(QByteArray exchange)
        : exchange_(std::move(exchange))
    {
        bound = socket_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, [this] { answer(); });
    }
    quint16 port() const { return socket_.localPort(); }
    bool bound = false;
    int questions = 0;

private:
    static void put16(QByteArray &out, quint16 value)
    {
        out.append(char(value >> 8));
        out.append(char(value & 0xFF));
    }

    void answer()
    {
        while (socket_.hasPendingDatagrams()) {
            QByteArray query(int(socket_.pendingDatagramSize()), '\0');
            QHostAddress from;
            quint16 fromPort = 0;
            socket_.readDatagram(query.data(), query.size(), &from, &fromPort);
            if (query.size() < 12)
                continue;
            ++questions;
            QByteArray reply = query.left(2); // identifier
            reply.append("\x81\x80", 2); // response, recursion desired and available
            put16(reply, 1); // questions
            put16(reply, 1); // answers
            put16(reply, 0);
            put16(reply, 0);
            reply.append(query.mid(12)); // the question as asked
            reply.append("\xC0\x0C", 2); // owner: the question's name
            put16(reply, 15); // MX
            put16(reply, 1); // IN
            reply.append("\x00\x00\x0E\x10", 4); // TTL
            QByteArray rdata;
            put16(rdata, 10); // preference
            for (const QByteArray &label : exchange_.split('.')) {
                rdata.append(char(label.size()));
                rdata.append(label);
            }
            rdata.append('\0');
            put16(reply, quint16(rdata.size()));
            reply.append(rdata);
            socket_.writeDatagram(reply, from, fromPort);
        }
    }

    QUdpSocket socket_;
    QByteArray exchange_;
};

TEST_F(MailMxTest, MxQueryReportsStepsAndReturnsExchanger)
{
    FakeNameServer dns("mx1.example.cat");
    ASSERT_TRUE(dns.bound);
    vessamo::dns::DnsServers servers;
    servers.servers = QStringList {QStringLiteral("127.0.0.1")};
    servers.defaultDomain = QStringLiteral("example.cat");
    vessamo::dns::MxQueryOptions options;
    options.servers = &servers;
    options.port = dns.port();

    clsEnviarCorreu mail(socket_);
    mail.SetMxQueryOptions(options);
    QStringList statuses;
    QObject::connect(&mail, &clsEnviarCorreu::Status,
                     [&](const QString &text) { statuses.append(text); });

    EXPECT_EQ(mail.MXQuery(QStringLiteral("  example.cat ")), QStringLiteral("mx1.example.cat"));
    EXPECT_EQ(statuses, QStringList {QStringLiteral("Performing MX Query, Domain: example.cat")});

    statuses.clear();
    EXPECT_EQ(mail.MXQuery(), QStringLiteral("mx1.example.cat"));
    EXPECT_EQ(statuses, QStringList {QStringLiteral("Performing MX Query")});

    // A domain too short to be one is refused before anything is sent.
    statuses.clear();
    const int asked = dns.questions;
    EXPECT_TRUE(mail.MXQuery(QStringLiteral("a.cd")).isEmpty());
    EXPECT_EQ(statuses,
              (QStringList {QStringLiteral("Performing MX Query, Domain: a.cd"),
                            QStringLiteral("No Valid Domain Specified")}));
    EXPECT_EQ(dns.questions, asked);
}

} // namespace
