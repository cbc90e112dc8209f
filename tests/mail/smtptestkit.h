// Shared set-up of the SMTP tests: a fake server, a socket control, a mail object aimed at
// them with the settings the router gives it, and a record of every event the object raises.
#pragma once

#include "mail/clsenviarcorreu.h"
#include "platform/socketcontrol.h"
#include "support/fakesmtp.h"
#include "support/settingsstore.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace vessamo::test {

struct MailEvents
{
    QStringList statuses;
    QStringList failures;
    int successes = 0;
    QList<qint32> progress;
};

class SmtpTest : public ::testing::Test
{
protected:
    void SetUp() override { make(); }

    // AUTH LOGIN with these credentials on the next transaction.
    void logInAs(const QString &user, const QString &password)
    {
        mail->SetUseAuthentication(true);
        mail->SetUserName(user);
        mail->SetPassword(password);
    }

    // A fresh object aimed at `server`; `timeouts` false keeps the remembered (or default)
    // connect and message times.
    void make(bool timeouts = true)
    {
        mail = std::make_unique<mail::clsEnviarCorreu>(socket);
        events = std::make_shared<MailEvents>();
        auto *object = mail.get();
        std::shared_ptr<MailEvents> ev = events;
        QObject::connect(object, &mail::clsEnviarCorreu::Status,
                         [ev](const QString &text) { ev->statuses << text; });
        QObject::connect(object, &mail::clsEnviarCorreu::SendFailed,
                         [ev](const QString &text) { ev->failures << text; });
        QObject::connect(object, &mail::clsEnviarCorreu::SendSuccesful, [ev] { ++ev->successes; });
        QObject::connect(object, &mail::clsEnviarCorreu::Progress,
                         [ev](qint32 p) { ev->progress << p; });
        mail->SetSMTPHostValidation(0);
        mail->SetEmailAddressValidation(1);
        mail->SetDelimiter(QStringLiteral(";"));
        mail->SetSMTPHost(QStringLiteral("127.0.0.1"));
        mail->SetSMTPPort(server.port());
        mail->SetFrom(QStringLiteral("ana@example.org"));
        mail->SetRecipient(QStringLiteral("joan@example.net"));
        mail->SetMessage(QByteArrayLiteral("Subject: x\r\n\r\nhello\r\n"));
        if (timeouts) {
            mail->SetConnectTimeout(5);
            mail->SetMessageTimeout(5);
        }
    }

    // For one row of a table: a new server of its own and a new object aimed at it.
    FakeSmtpServer &fresh(bool timeouts = true)
    {
        mail.reset();
        rowServer = std::make_unique<FakeSmtpServer>();
        make(timeouts);
        mail->SetSMTPPort(rowServer->port());
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
