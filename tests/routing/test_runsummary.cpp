// The summary a whole run collects for the shell: per mailbox what it fetched and its last
// error, what the queue pass did with each pair, and the queue it leaves.
#include "test_routingrun_kit.h"

using namespace vessamo;
using test::storedMessage;
using RunSummaryTest = test::RoutingRunTest;

namespace {

routing::RunSummary summaryOf(const config::Configuration &configuration, test::RecordingView &view,
                              bool connected)
{
    routing::frmEnviarCorreu form(view, configuration);
    form.connectionCheck = [connected](const QStringList &) { return connected; };
    form.run();
    return form.summary();
}

} // namespace

TEST_F(RunSummaryTest, CountsEveryOutcomeAndTheQueueLeft)
{
    // Spam, refused, sent, and one that keeps failing for a reason that may pass.
    test::useSpamScript(configuration, dir.path(),
                        "grep -q PILLS \"$1\" && printf 'X-Spam: YES' > \"$2\"\n");
    for (const char *subject : {"CHEAP PILLS", "refused", "sent", "deferred"})
        pop1.addMessage(storedMessage("From: a@example.org", subject));
    smtp.script("RCPT", test::LineServer::Reply::text("550 5.1.1 no such user\r\n"));
    smtp.script("RCPT", test::LineServer::Reply::text("250 2.1.0 Ok\r\n"));
    for (int i = 0; i < 5; ++i)
        smtp.script("RCPT", test::LineServer::Reply::text("450 4.2.0 try later\r\n"));
    pop2.setCredentials("pere", "another");

    const routing::RunSummary summary = summaryOf(configuration, view, true);
    EXPECT_TRUE(summary.ran);
    EXPECT_LE(summary.started, summary.ended);
    ASSERT_EQ(summary.mailboxes.size(), 2u);
    EXPECT_EQ(summary.mailboxes[0].name, QStringLiteral("ana@127.0.0.1"));
    EXPECT_EQ(summary.mailboxes[0].fetched, 4);
    EXPECT_EQ(summary.mailboxes[0].lastError, QString());
    EXPECT_EQ(summary.mailboxes[1].name, QStringLiteral("pere@127.0.0.1"));
    EXPECT_EQ(summary.mailboxes[1].fetched, 0);
    EXPECT_TRUE(summary.mailboxes[1].lastError.startsWith(QStringLiteral("Rebent")))
        << summary.mailboxes[1].lastError.toStdString();
    EXPECT_EQ(summary.spam, 1);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(summary.forwarded, 1);
    EXPECT_EQ(summary.queueSize, 1);
    EXPECT_GE(summary.oldestAgeSeconds, 0);
    EXPECT_LT(summary.oldestAgeSeconds, 600);

    // Without a network nothing is tried, and the summary says the run was left out.
    const routing::RunSummary skipped = summaryOf(configuration, view, false);
    EXPECT_FALSE(skipped.ran);
    EXPECT_TRUE(skipped.mailboxes.empty());
}
