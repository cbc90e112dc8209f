// SMTP over TLS, chosen by port: 465 from the first byte, 587 with STARTTLS required; and the
// logins with an access token, which need it. The fake server listens on the real ports (as
// root) with certificates made at test time.
#include "mail/smtptestkit.h"
#include "support/tempenv.h"
#include "support/testcerts.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <unistd.h>

using namespace vessamo;
using namespace Qt::StringLiterals;
using test::TestCerts;

namespace {

using SmtpTls = test::SmtpTest;

TEST_F(SmtpTls, PortsDecideTlsAndNothingFallsBackToClearText)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "ports 465 and 587 need root";
    const TestCerts &certs = TestCerts::get();
    const test::ScopedEnv ca("VESSAMO_CA_FILE", QFile::encodeName(certs.caFile()));
    struct Row
    {
        const char *name;
        quint16 port;
        std::optional<TestCerts::Pair> tls; // none: the server has no TLS
        const char *starttlsReply; // scripted reply to STARTTLS, or nullptr
        const char *failure; // empty: sent
        const char *dialogue; // what the server read, in clear (inside TLS)
    };
    const Row rows[] = {
        {"465, verified", 465, certs.good(), nullptr, "", "EHLO example.org\r\nAUTH LOGIN"},
        {"587, STARTTLS then EHLO again", 587, certs.good(), nullptr, "",
         "EHLO example.org\r\nSTARTTLS\r\nEHLO example.org\r\nAUTH LOGIN"},
        {"465, wrong host", 465, certs.wrongHost(), nullptr, "host name", ""},
        {"465, expired", 465, certs.expired(), nullptr, "expired", ""},
        {"587, unknown CA", 587, certs.unknownCa(), nullptr, "self-signed",
         "EHLO example.org\r\nSTARTTLS\r\n"},
        // A reply smuggled in after the STARTTLS reply, in the same packet, must never be
        // read as the answer to the EHLO inside TLS.
        {"587, reply injected after STARTTLS", 587, certs.good(),
         "220 2.0.0 Ready\r\n554 5.7.1 injected\r\n", "",
         "EHLO example.org\r\nSTARTTLS\r\nEHLO example.org\r\nAUTH LOGIN"},
        {"587, STARTTLS not offered", 587, std::nullopt, nullptr, "does not offer STARTTLS",
         "EHLO example.org\r\n"},
        {"587, STARTTLS refused", 587, certs.good(), "454 4.7.0 TLS not available\r\n", "454",
         "EHLO example.org\r\nSTARTTLS\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        test::FakeSmtpServer &s = fresh();
        if (row.tls)
            s.setTls(row.tls->certificate, row.tls->key, row.port == 465);
        ASSERT_TRUE(s.listenOn(QHostAddress::LocalHost, row.port))
            << "port " << row.port << " is held by another program (a system mail server?)";
        if (row.starttlsReply)
            s.script("STARTTLS", test::FakeSmtpServer::Reply::text(row.starttlsReply));
        mail->SetSMTPHost(u"localhost"_s);
        mail->SetSMTPPort(row.port);
        logInAs();
        mail->Enruta();
        const QString failures = events->failures.join(u'\n');
        if (*row.failure == 0) {
            EXPECT_EQ(events->successes, 1) << failures.toStdString();
            EXPECT_TRUE(events->statuses.join(u'|').contains(u"TLS established: TLSv1."_s));
            EXPECT_EQ(s.messages().size(), 1);
        } else {
            EXPECT_EQ(events->successes, 0);
            EXPECT_TRUE(failures.contains(QLatin1String(row.failure), Qt::CaseInsensitive))
                << failures.toStdString();
            // Neither the login nor the message was ever sent in clear text.
            EXPECT_FALSE(s.received().contains("AUTH") || s.received().contains("MAIL"));
        }
        EXPECT_TRUE(s.received().startsWith(row.dialogue)) << s.received().toStdString();
    }

    // A stored message of several blocks, read from its file and written block by block as
    // the TLS socket drains its queue: byte exact.
    {
        SCOPED_TRACE("message file over TLS");
        QByteArray message = "From: <a@b.c>\r\n\r\n";
        while (message.size() < 5 * mail::kRelayBlock)
            message += ".a line that needs its dot\r\n" + QByteArray(1200, 'q') + "\r\n";
        QTemporaryFile file;
        ASSERT_TRUE(file.open());
        ASSERT_EQ(file.write(message), message.size());
        test::FakeSmtpServer &s = fresh();
        s.setTls(certs.good().certificate, certs.good().key, true);
        ASSERT_TRUE(s.listenOn(QHostAddress::LocalHost, 465)) << "port 465 is held";
        mail->SetSMTPHost(u"localhost"_s);
        mail->SetSMTPPort(465);
        logInAs();
        mail->SetMessageSource(&file);
        mail->Enruta();
        mail::DataSection data;
        ASSERT_EQ(s.messages().size(), 1) << events->failures.join(u'|').toStdString();
        EXPECT_TRUE(s.messages()[0] == data.encode(mail::PrepareMessage(message)));
        rowServer.reset(); // port 465 free again
    }

    // A server that cuts the connection during the handshake, or never answers it, fails
    // the session within the connect time-out; the message stays for a later attempt. (In
    // the same test: the ports are one for the whole binary.)
    for (const bool cut : {true, false}) {
        SCOPED_TRACE(cut ? "cut" : "stalled");
        QTcpServer peer;
        ASSERT_TRUE(peer.listen(QHostAddress::LocalHost, 465)) << "port 465 is held";
        std::vector<std::unique_ptr<QTcpSocket>> accepted;
        QObject::connect(&peer, &QTcpServer::newConnection, [&] {
            accepted.emplace_back(peer.nextPendingConnection());
            if (cut)
                accepted.back()->abort();
        });
        fresh();
        mail->SetSMTPHost(u"localhost"_s);
        mail->SetSMTPPort(465);
        mail->SetConnectTimeout(1);
        mail->SetConnectRetry(1);
        QElapsedTimer clock;
        clock.start();
        mail->Enruta();
        EXPECT_LT(clock.elapsed(), 4000);
        EXPECT_EQ(events->successes, 0);
        EXPECT_FALSE(events->failures.isEmpty());
        EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Temporary);
    }
}

// The logins with an access token, which never go out without TLS: here over TLS from the
// first byte on port 465, and after STARTTLS on 587. The token source is asked once per login; a
// source that gives no token ends the operation before anything is sent.
TEST_F(SmtpTls, AccessTokenLogins)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "ports 465 and 587 need root";
    const TestCerts &certs = TestCerts::get();
    const test::ScopedEnv ca("VESSAMO_CA_FILE", QFile::encodeName(certs.caFile()));
    const QString longToken(600, u'T');
    const QByteArray a = "\x01"; // the separator of the OAuth messages
    const QByteArray xoauth2Long
        = ("user=ana" + a + "auth=Bearer " + longToken.toLatin1() + a + a).toBase64();
    struct Row
    {
        const char *name;
        const char *method;
        QByteArray offered; // the EHLO reply's last line, after "250 "
        std::optional<QString> token; // what the source gives; none: it fails
        QByteArray script;
        QByteArray dialogue; // what the server read after EHLO, up to MAIL FROM or QUIT
        const char *failure = nullptr;
        quint16 port = 465;
    };
    const Row rows[] = {
        {"XOAUTH2 named", "XOAUTH2", "AUTH PLAIN XOAUTH2", u"ya29.tok"_s,
         "C: AUTH\nS: 235 2.7.0 Accepted",
         "AUTH XOAUTH2 dXNlcj1hbmEBYXV0aD1CZWFyZXIgeWEyOS50b2sBAQ==\r\n"},
        // The error comes as a challenge, answered with an empty line; its status and scope
        // join the refusal's text.
        {"XOAUTH2 refused", "XOAUTH2", "AUTH XOAUTH2", u"ya29.tok"_s,
         "C: AUTH\nS: 334 eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21h"
         "aWwuZ29vZ2xlLmNvbS8ifQ==\nC: AUTHUSER\nS: 535 5.7.8 Username and Password not accepted",
         "AUTH XOAUTH2 dXNlcj1hbmEBYXV0aD1CZWFyZXIgeWEyOS50b2sBAQ==\r\n\r\n",
         "535 5.7.8 Username and Password not accepted\r\nThe server refused the access token "
         "(status 401, scope https://mail.google.com/)"},
        {"auto with a token: OAUTHBEARER, with host and port", "auto",
         "AUTH PLAIN XOAUTH2 OAUTHBEARER", u"ya29.tok"_s, "C: AUTH\nS: 235 2.7.0 Accepted",
         "AUTH OAUTHBEARER "
             + ("n,a=ana," + a + "host=localhost" + a + "port=465" + a + "auth=Bearer ya29.tok" + a
                + a)
                   .toBase64()
             + "\r\n"},
        {"a token too long for the AUTH line", "XOAUTH2", "AUTH XOAUTH2", longToken,
         "C: AUTH\nS: 334 \nC: AUTHUSER\nS: 235 2.7.0 Accepted",
         "AUTH XOAUTH2\r\n" + xoauth2Long + "\r\n"},
        {"XOAUTH2 after STARTTLS, from the EHLO inside TLS", "XOAUTH2", "AUTH XOAUTH2",
         u"ya29.tok"_s, "C: AUTH\nS: 235 2.7.0 Accepted",
         "AUTH XOAUTH2 dXNlcj1hbmEBYXV0aD1CZWFyZXIgeWEyOS50b2sBAQ==\r\n", nullptr, 587},
        {"auto without a token, inside TLS: PLAIN", "auto", "AUTH LOGIN PLAIN", std::nullopt,
         "C: AUTH\nS: 235 2.7.0 Accepted", "AUTH PLAIN AGFuYQBwdw==\r\n"},
        {"no token to be had", "OAUTHBEARER", "AUTH OAUTHBEARER", std::nullopt, "", "",
         "No access token for the SMTP login: the token store is locked"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        test::FakeSmtpServer &s = fresh();
        s.setTls(certs.good().certificate, certs.good().key, row.port == 465);
        ASSERT_TRUE(s.listenOn(QHostAddress::LocalHost, row.port))
            << "port " << row.port << " is held";
        s.setEhloReply("250-fake.example Hello\r\n250 " + row.offered + "\r\n");
        s.play(row.script.constData());
        mail->SetSMTPHost(u"localhost"_s);
        mail->SetSMTPPort(row.port);
        logInAs();
        mail->setLoginMethod(QString::fromLatin1(row.method));
        int asked = 0;
        const bool tokenSource = row.token || row.failure;
        if (tokenSource) {
            mail->setAccessTokenSource([&asked, &row](QString &error) {
                ++asked;
                if (!row.token)
                    error = u"the token store is locked"_s;
                return row.token;
            });
        }
        mail->Enruta();
        EXPECT_EQ(asked, tokenSource ? 1 : 0);
        const QByteArray ehlo = row.port == 465
            ? "EHLO example.org\r\n"_ba
            : "EHLO example.org\r\nSTARTTLS\r\nEHLO example.org\r\n"_ba;
        const std::string failures = events->failures.join(u'|').toStdString();
        if (!row.failure) {
            EXPECT_EQ(events->successes, 1) << failures;
            EXPECT_TRUE(s.received().startsWith(ehlo + row.dialogue + "MAIL FROM: <"))
                << s.received().toStdString();
            continue;
        }
        ASSERT_EQ(events->failures.size(), 1);
        EXPECT_TRUE(events->failures[0].contains(QString::fromLatin1(row.failure))) << failures;
        EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Temporary);
        if (row.dialogue.isEmpty())
            EXPECT_EQ(s.connections(), 0);
        else
            EXPECT_EQ(s.received(), ehlo + row.dialogue + "QUIT\r\n");
        EXPECT_FALSE(events->failures[0].contains(u"ya29"_s));
    }
}

} // namespace
