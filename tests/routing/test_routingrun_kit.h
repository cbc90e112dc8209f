// Shared set-up of the whole-run tests: a configuration of two mailboxes on fake POP3
// servers and one fake SMTP server, the four folders in a temporary directory, the event
// log in a file, a view that records what the run shows, and helpers to place, list and
// read queued pairs.
#pragma once

#include "config/configuracio.h"
#include "routing/frmenviarcorreu.h"
#include "routing/routingview.h"
#include "support/eventlogfile.h"
#include "support/fakepop3.h"
#include "support/fakesmtp.h"
#include "support/mailwire.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

namespace vessamo::test {

// What a run showed, in order.
class RecordingView : public routing::RoutingView
{
public:
    void open() override { ++opened; }
    void close() override { ++closed; }
    void addStatus(const QString &line) override { statuses << line; }
    void setLabel(const QString &text) override { labels << text; }
    void setProgressMaximum(qint32) override { }
    void setProgress(qint32) override { }

    int opened = 0;
    int closed = 0;
    QStringList statuses;
    QStringList labels;
};

// A message as a POP3 server stores it: a Received: line first (so From: is never on the
// first line), the From: header given, a body with lines that need dot-stuffing.
inline QByteArray storedMessage(const QByteArray &fromLine, const QByteArray &subject)
{
    return "Received: from mx.example.org by pop.example.org; Mon, 1 Jan 2024 10:00:00\r\n"
        + fromLine + "\r\nTo: someone@example.org\r\nSubject: " + subject
        + "\r\n\r\nHello,\r\n.leading dot\r\n..\r\n.\r\nend of " + subject + "\r\n";
}

using vessamo::test::relayedData;

// The envelope of each SMTP transaction: the MAIL FROM line and its RCPT TO lines.
struct Envelope
{
    QByteArray mailFrom;
    QList<QByteArray> rcptTo;
};

inline QList<Envelope> envelopes(const QList<QByteArray> &commands)
{
    QList<Envelope> out;
    for (const QByteArray &line : commands) {
        if (line.startsWith("MAIL FROM:"))
            out << Envelope {line, {}};
        else if (line.startsWith("RCPT TO:") && !out.isEmpty())
            out.last().rcptTo << line;
    }
    return out;
}

class RoutingRunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        config::resetConfiguration();
        logPath = dir.filePath(QStringLiteral("events.log"));
        logEnv.emplace("VESSAMO_EVENTLOG", logPath.toLocal8Bit());
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"})
            ASSERT_TRUE(QDir(dir.path()).mkpath(QString::fromLatin1(name)));
        config::ConfiguracioRecord &c = config::Configuracio;
        c.CarpetaCua = queue();
        c.CarpetaSiEnviats = sent();
        c.CarpetaNoEnviats = failed();
        c.CarpetaSpam = spam();
        c.ServidorSMTP = QStringLiteral("127.0.0.1");
        c.PortSMTP = static_cast<qint16>(smtp.port());
        c.NumBusties = 2;
        pop1.setCredentials("ana", "secret1");
        pop2.setCredentials("pere", "secret2");
        config::Busties = {
            {QStringLiteral("127.0.0.1"), static_cast<qint16>(pop1.port()), QStringLiteral("ana"),
             QStringLiteral("secret1"), QStringLiteral("joan@example.net")},
            {QStringLiteral("127.0.0.1"), static_cast<qint16>(pop2.port()), QStringLiteral("pere"),
             QStringLiteral("secret2"), QStringLiteral("marta@example.net")},
        };
    }
    void TearDown() override { config::resetConfiguration(); }

    // One whole run; `tweak` adjusts the form before it starts.
    void runOnce(const std::function<void(routing::frmEnviarCorreu &)> &tweak = {})
    {
        routing::frmEnviarCorreu form(view);
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

    QString folder(const char *name) const
    {
        return dir.filePath(QString::fromLatin1(name)) + u'/';
    }
    QString queue() const { return folder("Cua"); }
    QString sent() const { return folder("SiEnviats"); }
    QString failed() const { return folder("NoEnviats"); }
    QString spam() const { return folder("SPam"); }

    // Places a pair in a folder as an earlier run would have left it.
    static void placePair(const QString &folderPath, const QString &stem,
                          const QByteArray &forwardTo, const QByteArray &message)
    {
        QFile d(folderPath + stem + QStringLiteral(".destinatari"));
        ASSERT_TRUE(d.open(QIODevice::WriteOnly));
        d.write(forwardTo);
        QFile m(folderPath + stem + QStringLiteral(".missatge"));
        ASSERT_TRUE(m.open(QIODevice::WriteOnly));
        m.write(message);
    }
    // Every file in a folder, sorted.
    static QStringList files(const QString &folderPath)
    {
        return QDir(folderPath).entryList(QDir::Files, QDir::Name);
    }
    // The stems of the pairs (forward-to files) in a folder, oldest first.
    static QStringList stems(const QString &folderPath)
    {
        QStringList out;
        for (const QString &name :
             QDir(folderPath).entryList({QStringLiteral("*.destinatari")}, QDir::Files, QDir::Name))
            out << name.left(19);
        return out;
    }
    static QByteArray bytesOf(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // A folder's files with their contents, to show that nothing changed.
    static QStringList snapshot(const QString &folderPath)
    {
        QStringList out;
        for (const QString &name : files(folderPath))
            out << name + u'=' + QString::fromLatin1(bytesOf(folderPath + name).toHex());
        return out;
    }

    // The texts of the event-log entries, unescaped.
    QStringList logged() const { return test::eventLogTexts(logPath); }
    // Entries whose text begins with the phase given.
    QStringList loggedWith(const QString &phase) const
    {
        QStringList out;
        for (const QString &text : logged()) {
            if (text.startsWith(phase))
                out << text;
        }
        return out;
    }

    QTemporaryDir dir;
    QString logPath;
    std::optional<ScopedEnv> logEnv;
    FakePop3 pop1;
    FakePop3 pop2;
    FakeSmtpServer smtp;
    RecordingView view;
    bool connected = true;
    QStringList checkedServers;
};

} // namespace vessamo::test
