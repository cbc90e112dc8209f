// Shared set-up of the SMTP tests: a fake server and a mail object aimed at it with the
// router's settings, whose events are recorded.
#pragma once

#include "mail/clsenviarcorreu.h"
#include "platform/socketcontrol.h"
#include "support/fakesmtp.h"
#include "support/settingsstore.h"

#include <gtest/gtest.h>
#include <memory>

namespace vessamo::test {

struct MailEvents
{
    QStringList statuses, failures;
    int successes = 0;
    QList<qint32> progress;
};

class SmtpTest : public ::testing::Test
{
protected:
    void SetUp() override { make(server); }

    // AUTH LOGIN as "ana".
    void logInAs(const QString &password = QStringLiteral("pw"))
    {
        mail->SetUseAuthentication(true);
        mail->SetUserName(QStringLiteral("ana"));
        mail->SetPassword(password);
    }

    // A fresh object aimed at `target`; `timeouts` false keeps the remembered (or default)
    // connect and message times. The events outlive an object released from its handlers.
    void make(const FakeSmtpServer &target, bool timeouts = true)
    {
        using M = mail::clsEnviarCorreu;
        mail = std::make_unique<M>(socket);
        const auto ev = events = std::make_shared<MailEvents>();
        QObject::connect(mail.get(), &M::Status, [ev](const QString &t) { ev->statuses << t; });
        QObject::connect(mail.get(), &M::SendFailed, [ev](const QString &t) { ev->failures << t; });
        QObject::connect(mail.get(), &M::SendSuccesful, [ev] { ++ev->successes; });
        QObject::connect(mail.get(), &M::Progress, [ev](qint32 p) { ev->progress << p; });
        mail->SetSMTPHostValidation(0);
        mail->SetEmailAddressValidation(1);
        mail->SetDelimiter(QStringLiteral(";"));
        mail->SetSMTPHost(QStringLiteral("127.0.0.1"));
        mail->SetSMTPPort(target.port());
        mail->SetFrom(QStringLiteral("ana@example.org"));
        mail->SetRecipient(QStringLiteral("joan@example.net"));
        mail->SetMessage(QByteArrayLiteral("Subject: x\r\n\r\nhello\r\n"));
        if (timeouts) {
            mail->SetConnectTimeout(5);
            mail->SetMessageTimeout(5);
        }
    }

    // The events of one message taken by the server in a session of its own: every status
    // of a routing run, one success, no failure, progress ending at 100.
    void expectDeliveredOnce() const
    {
        EXPECT_EQ(events->statuses.join(u'|'),
                  QStringLiteral(
                      "Connecting to SMTP Server (127.0.0.1)...|Initializing Communications...|"
                      "Sending Sender Information...|Sending Recipient Information...|"
                      "Sending Message...|Transmission Complete...|Closing Connection..."));
        EXPECT_EQ(events->successes, 1);
        EXPECT_TRUE(events->failures.isEmpty());
        EXPECT_EQ(events->progress.value(events->progress.size() - 1), 100);
    }

    // Runs `operation` on the object, which the owner deletes at the k-th of the events
    // `signals` it raises; true when it was deleted (it raised at least k of them).
    template<typename Operation, typename... Signals>
    bool releasedAtEvent(int k, Operation operation, Signals... signals)
    {
        int seen = 0;
        const auto release = [&] {
            if (++seen == k)
                mail.reset();
        };
        mail::clsEnviarCorreu *object = mail.get();
        (QObject::connect(object, signals, release), ...);
        operation(*object);
        return !mail;
    }

    // For one row of a table: a server of its own and a new object aimed at it.
    FakeSmtpServer &fresh(bool timeouts = true)
    {
        mail.reset();
        rowServer = std::make_unique<FakeSmtpServer>();
        make(*rowServer, timeouts);
        return *rowServer;
    }

    // Mail objects read remembered settings at creation: never the real store.
    ScopedSettingsStore store;
    FakeSmtpServer server;
    std::unique_ptr<FakeSmtpServer> rowServer;
    platform::SocketControl socket;
    std::unique_ptr<mail::clsEnviarCorreu> mail;
    std::shared_ptr<MailEvents> events;
};

} // namespace vessamo::test
