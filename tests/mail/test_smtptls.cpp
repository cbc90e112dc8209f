// SMTP over TLS, chosen by port: 465 from the first byte, 587 with STARTTLS required. The
// fake server listens on the real ports (as root) with certificates made at test time.
#include "mail/smtptestkit.h"
#include "support/tempenv.h"
#include "support/testcerts.h"

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
        {"465, verified", 465, certs.good(), nullptr, "", "EHLO example.org\r\nAUTH Login"},
        {"587, STARTTLS then EHLO again", 587, certs.good(), nullptr, "",
         "EHLO example.org\r\nSTARTTLS\r\nEHLO example.org\r\nAUTH Login"},
        {"465, wrong host", 465, certs.wrongHost(), nullptr, "host name", ""},
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
        if (!s.listenOn(QHostAddress::LocalHost, row.port))
            GTEST_SKIP() << "port " << row.port << " is taken";
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
}

} // namespace
