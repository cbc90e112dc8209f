// The set-up the routing tests share: a temporary directory holding the queue and the
// three archive folders, named in a configuration value the tests hand to what they run,
// and the event log; and helpers to place, list, read and age the files in them.
#pragma once

#include "config/configuracio.h"
#include "support/eventlogfile.h"
#include "support/tempenv.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace vessamo::test {

class MailFolders
{
public:
    MailFolders()
    {
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"})
            QDir(dir.path()).mkpath(QString::fromLatin1(name));
        config::ConfiguracioRecord &record = configuration.Configuracio;
        record.CarpetaCua = queue();
        record.CarpetaSiEnviats = sent();
        record.CarpetaNoEnviats = failed();
        record.CarpetaSpam = spam();
    }

    QString folder(const char *name) const
    {
        return dir.filePath(QString::fromLatin1(name)) + u'/';
    }
    QString queue() const { return folder("Cua"); }
    QString sent() const { return folder("SiEnviats"); }
    QString failed() const { return folder("NoEnviats"); }
    QString spam() const { return folder("SPam"); }
    // The texts of the event-log entries, unescaped.
    QStringList logged() const { return eventLogTexts(logPath); }

    // Every file in a folder, sorted.
    static QStringList files(const QString &folder)
    {
        return QDir(folder).entryList(QDir::Files, QDir::Name);
    }
    static QByteArray bytesOf(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        f.write(bytes);
    }
    static void setModified(const QString &path, const QDateTime &when)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite | QIODevice::Append));
        ASSERT_TRUE(f.setFileTime(when, QFileDevice::FileModificationTime));
    }
    // Places a pair as an earlier run would have left it.
    static void placePair(const QString &folder, const QString &stem, const QByteArray &forwardTo,
                          const QByteArray &message)
    {
        writeFile(folder + stem + QStringLiteral(".destinatari"), forwardTo);
        writeFile(folder + stem + QStringLiteral(".missatge"), message);
    }

    QTemporaryDir dir;
    // The folders above; the tests add what else they need.
    config::Configuration configuration;
    QString logPath = dir.filePath(QStringLiteral("events.log"));
    ScopedEnv logEnv {"VESSAMO_EVENTLOG", QFile::encodeName(logPath)};
};

// The anti-spam program: `script` as a shell script in `folder`, run as "/bin/sh SCRIPT
// %i %o"; what it writes holds "X-Spam: YES" for spam.
inline void useSpamScript(config::Configuration &configuration, const QString &folder,
                          const QByteArray &script)
{
    const QString path = folder + QStringLiteral("/filter.sh");
    MailFolders::writeFile(path, script);
    configuration.Configuracio.FiltreSpam = -1;
    configuration.Configuracio.ProgramaSpam = QStringLiteral("/bin/sh %1 %i %o").arg(path);
    configuration.Configuracio.MarcaSpam = QStringLiteral("X-Spam: YES");
}

} // namespace vessamo::test
