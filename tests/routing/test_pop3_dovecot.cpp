// The POP3 session's logins against a real Dovecot: every method with the right password
// (the mailbox is read) and with a wrong one (Dovecot's refusal is logged, nothing is read).
// Dovecot is started by tests/integration/pop3login.sh (scripts/realservers.sh), which runs
// this program with the server's address in the environment; it is not run by ctest.
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "support/mailfolders.h"
#include "support/recordingview.h"

using namespace vessamo;
using namespace Qt::StringLiterals;

namespace {

struct RealServer
{
    QString host = qEnvironmentVariable("HOST");
    qint16 port = static_cast<qint16>(qEnvironmentVariableIntValue("POP3_PORT"));
    QString user = qEnvironmentVariable("POP3_USER");
    QString password = qEnvironmentVariable("POP3_PASS");
    int seeded = qEnvironmentVariableIntValue("SEEDED");
};

TEST(Pop3Dovecot, EveryMethodWithTheRightAndAWrongPassword)
{
    const RealServer dovecot;
    ASSERT_TRUE(dovecot.port > 0 && !dovecot.user.isEmpty() && dovecot.seeded > 0)
        << "run by tests/integration/pop3login.sh, which starts Dovecot";
    struct Row
    {
        QString method;
        QString shown; // the login command as the status list shows it
    };
    const Row rows[] = {
        {u"PLAIN"_s, u"AUTH PLAIN *******"_s},
        {u"LOGIN"_s, u"AUTH LOGIN"_s},
        {u"CRAM-MD5"_s, u"AUTH CRAM-MD5"_s},
        {u"SCRAM-SHA-1"_s, u"AUTH SCRAM-SHA-1 *******"_s},
        {u"SCRAM-SHA-256"_s, u"AUTH SCRAM-SHA-256 *******"_s},
        // In clear text auto takes the strongest: SCRAM-SHA-256, never PLAIN.
        {u"auto"_s, u"AUTH SCRAM-SHA-256 *******"_s},
        {u"APOP"_s, u"APOP "_s + dovecot.user + u" *******"_s},
        {u"USER"_s, u"PASS *******"_s},
    };
    test::MailFolders folders;
    config::Configuration &configuration = folders.configuration;
    configuration.Configuracio.NumBusties = 1;
    int fetched = 0;
    for (const Row &row : rows) {
        for (const bool right : {true, false}) {
            SCOPED_TRACE((row.method + (right ? u", right password"_s : u", wrong password"_s))
                             .toStdString());
            configuration.Busties = {{dovecot.host, dovecot.port, dovecot.user,
                                      right ? dovecot.password : u"not-the-password"_s,
                                      u"x@y.cat"_s}};
            QFile::remove(folders.logPath);
            test::RecordingView view;
            routing::RunContext ctx {view, configuration};
            platform::SocketControl socket;
            routing::Pop3Session session {socket, ctx};
            session.LlegirBustia(configuration.Busties[0], {row.method, {}});
            const QString statuses = view.statuses.join(u'\n');
            EXPECT_TRUE(view.statuses.contains(row.shown)) << statuses.toStdString();
            EXPECT_FALSE(statuses.contains(dovecot.password));
            const QStringList log = folders.logged();
            if (right) {
                EXPECT_TRUE(log.isEmpty()) << log.join(u'\n').toStdString();
                EXPECT_TRUE(view.statuses.contains(u"STAT"_s)) << statuses.toStdString();
                fetched += int(session.messageCount());
            } else {
                EXPECT_EQ(log, QStringList {u"Rebent: -ERR [AUTH] Authentication failed.\r\n"_s});
                EXPECT_FALSE(view.statuses.contains(u"STAT"_s)) << statuses.toStdString();
            }
        }
    }
    // The first login read the whole mailbox, once.
    EXPECT_EQ(fetched, dovecot.seeded);
    EXPECT_EQ(folders.files(folders.queue()).size(), 2 * dovecot.seeded);
}

} // namespace
