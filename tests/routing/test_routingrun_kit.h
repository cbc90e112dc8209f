// Shared set-up of the whole-run tests: two mailboxes on fake POP3 servers and one fake
// SMTP server in the configuration, the folders and the event log of MailFolders, and a
// view that records what the run shows.
#pragma once

#include "routing/frmenviarcorreu.h"
#include "support/fakepop3.h"
#include "support/fakesmtp.h"
#include "support/mailfolders.h"
#include "support/mailwire.h"
#include "support/recordingview.h"

#include <functional>

namespace vessamo::test {

// A message as a POP3 server stores it: a Received: line first (so From: is never on the
// first line), the From: header given, a body with lines that need dot-stuffing.
inline QByteArray storedMessage(const QByteArray &fromLine, const QByteArray &subject)
{
    return "Received: from mx.example.org by pop.example.org; Mon, 1 Jan 2024 10:00:00\r\n"
        + fromLine + "\r\nTo: someone@example.org\r\nSubject: " + subject
        + "\r\n\r\nHello,\r\n.leading dot\r\n..\r\n.\r\nend of " + subject + "\r\n";
}

class RoutingRunTest : public ::testing::Test, public MailFolders
{
protected:
    RoutingRunTest()
    {
        configuration.Configuracio.ServidorSMTP = QStringLiteral("127.0.0.1");
        configuration.Configuracio.PortSMTP = static_cast<qint16>(smtp.port());
        configuration.Configuracio.NumBusties = 2;
        pop1.setCredentials("ana", "secret1");
        pop2.setCredentials("pere", "secret2");
        configuration.Busties = {
            {QStringLiteral("127.0.0.1"), static_cast<qint16>(pop1.port()), QStringLiteral("ana"),
             QStringLiteral("secret1"), QStringLiteral("joan@example.net")},
            {QStringLiteral("127.0.0.1"), static_cast<qint16>(pop2.port()), QStringLiteral("pere"),
             QStringLiteral("secret2"), QStringLiteral("marta@example.net")},
        };
    }

    // One whole run; `tweak` adjusts the form before it starts.
    void runOnce(const std::function<void(routing::frmEnviarCorreu &)> &tweak = {})
    {
        routing::frmEnviarCorreu form(view, configuration);
        form.connectionCheck = [this](const QStringList &servers) {
            checkedServers = servers;
            return connected;
        };
        if (tweak)
            tweak(form);
        form.run();
        EXPECT_TRUE(form.unloaded());
        EXPECT_EQ(view.opened, view.closed);
    }

    // The stems of the pairs (forward-to files) in a folder, oldest first.
    static QStringList stems(const QString &folder)
    {
        QStringList out;
        for (const QString &name : files(folder).filter(QStringLiteral(".destinatari")))
            out << name.left(19);
        return out;
    }

    FakePop3 pop1;
    FakePop3 pop2;
    FakeSmtpServer smtp;
    RecordingView view;
    bool connected = true;
    QStringList checkedServers;
};

} // namespace vessamo::test
