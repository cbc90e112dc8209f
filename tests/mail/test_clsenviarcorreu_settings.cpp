// Tests of the mail object's remembered settings: what is written (and the exact value
// texts in the INI file), what a new object reads back, hand-edited stores, and the zone
// text fixed at creation. Each test has its own temporary settings folder.
#include "mail/clsenviarcorreu.h"
#include "platform/socketcontrol.h"
#include "support/settingsstore.h"
#include "support/tempenv.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vessamo::mail::clsEnviarCorreu;
using vessamo::platform::SocketControl;
using vessamo::test::ScopedEnv;

namespace {

class MailSettingsTest : public ::testing::Test
{
protected:
    QString iniPath() const { return store_.path() + QStringLiteral("/Postiera/Postiera.ini"); }

    QByteArray iniText() const
    {
        QFile file(iniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The lines of the "Settings" group as written in the file.
    QList<QByteArray> settingsLines() const
    {
        QList<QByteArray> out;
        bool inGroup = false;
        for (QByteArray line : iniText().split('\n')) {
            line = line.trimmed();
            if (line.startsWith('['))
                inGroup = line == "[Settings]";
            else if (inGroup && !line.isEmpty())
                out.append(line);
        }
        return out;
    }

    QString stored(const QString &key) const
    {
        QSettings store(iniPath(), QSettings::IniFormat);
        return store.value(QStringLiteral("Settings/") + key).toString();
    }

    void writeIni(const QByteArray &text)
    {
        ASSERT_TRUE(QDir().mkpath(store_.path() + QStringLiteral("/Postiera")));
        QFile file(iniPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(text), text.size());
    }

    vessamo::test::ScopedSettingsStore store_;
    SocketControl socket_;
};

TEST_F(MailSettingsTest, NothingIsWrittenWhileRememberingIsOff)
{
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPPort(2525);
    mail.SetFrom(QStringLiteral("jo@example.cat"));
    mail.SetUseAuthentication(true);
    EXPECT_TRUE(settingsLines().isEmpty());
    clsEnviarCorreu next(socket_);
    EXPECT_EQ(next.SMTPPort(), 25);
}

TEST_F(MailSettingsTest, RememberedValuesHaveTheOldTextsAndComeBack)
{
    {
        clsEnviarCorreu mail(socket_);
        mail.SetPersistentSettings(true);
        mail.SetSMTPHostValidation(0);
        mail.SetSMTPHost(QStringLiteral("smtp.example.cat"));
        mail.SetPOP3Host(QStringLiteral("pop.example.cat"));
        mail.SetSMTPPort(2525);
        mail.SetSMTPPort(0); // refused: not written
        mail.SetConnectTimeout(45);
        mail.SetConnectTimeout(500); // ignored: not written
        mail.SetConnectRetry(7);
        mail.SetMessageTimeout(-90);
        mail.SetEncodeType(-1);
        mail.SetEmailAddressValidation(0);
        mail.SetFrom(QStringLiteral("  jo@example.cat "));
        mail.SetFromDisplayName(QStringLiteral(" Jo Puig, Sr. "));
        mail.SetUserName(QStringLiteral("jo"));
        mail.SetPassword(QStringLiteral("secret"));
        mail.SetUseAuthentication(true);
        mail.SetUsePopAuthentication(false);
        mail.SetSubject(QStringLiteral("not remembered"));
    }
    const QList<QByteArray> lines = settingsLines();
    for (const char *expected :
         {"PersistentSettings=-1", "SMTPHostValidation=\" 0\"", "RemoteHost=smtp.example.cat",
          "Pop3Host=pop.example.cat", "RemotePort=\" 2525\"", "ConnectTimeout=\" 45\"",
          "ConnectRetry=\" 7\"", "MessageTimeout=\" 90\"", "EncodeType=-1",
          "EmailValidation=\" 0\"", "From=jo@example.cat", "Username=jo", "UseAuthentication=-1",
          "UsePopAuthentication=0"}) {
        EXPECT_TRUE(lines.contains(QByteArray(expected))) << expected << "\n"
                                                          << iniText().toStdString();
    }
    EXPECT_EQ(lines.size(), 15) << iniText().toStdString();
    EXPECT_EQ(stored(QStringLiteral("FromDisplayName")), QStringLiteral("Jo Puig, Sr."));
    EXPECT_EQ(stored(QStringLiteral("RemotePort")), QStringLiteral(" 2525"));
    EXPECT_FALSE(iniText().contains("secret"));

    clsEnviarCorreu next(socket_);
    EXPECT_TRUE(next.PersistentSettings());
    EXPECT_EQ(next.SMTPPort(), 2525);
    EXPECT_EQ(next.SMTPHost(), QStringLiteral("smtp.example.cat"));
    EXPECT_EQ(next.POP3Host(), QStringLiteral("pop.example.cat"));
    EXPECT_EQ(next.SMTPHostValidation(), 0);
    EXPECT_EQ(next.ConnectTimeout(), 45);
    EXPECT_EQ(next.ConnectRetry(), 7);
    EXPECT_EQ(next.MessageTimeout(), 90);
    EXPECT_EQ(next.EncodeType(), -1);
    EXPECT_EQ(next.EmailAddressValidation(), 0);
    EXPECT_EQ(next.from(), QStringLiteral("jo@example.cat"));
    EXPECT_EQ(next.FromDisplayName(), QStringLiteral("Jo Puig, Sr."));
    EXPECT_EQ(next.UserName(), QStringLiteral("jo"));
    EXPECT_TRUE(next.Password().isEmpty());
    EXPECT_TRUE(next.UseAuthentication());
    EXPECT_FALSE(next.UsePopAuthentication());
    EXPECT_TRUE(next.Subject().isEmpty());
    EXPECT_TRUE(next.ErrorList().isEmpty());

    // Switching off is itself remembered; the other values stay in the store unused.
    next.SetPersistentSettings(false);
    next.SetSMTPPort(587);
    EXPECT_TRUE(settingsLines().contains(QByteArrayLiteral("PersistentSettings=0")));
    EXPECT_EQ(stored(QStringLiteral("RemotePort")), QStringLiteral(" 2525"));
    clsEnviarCorreu fresh(socket_);
    EXPECT_FALSE(fresh.PersistentSettings());
    EXPECT_EQ(fresh.SMTPPort(), 25);
    EXPECT_TRUE(fresh.SMTPHost().isEmpty());
    EXPECT_EQ(fresh.SMTPHostValidation(), 3);
}

TEST_F(MailSettingsTest, HandEditedStoreIsReadLeniently)
{
    writeIni("[Settings]\n"
             "PersistentSettings=True\n"
             "RemotePort=\"   587\"\n"
             "ConnectTimeout=abc\n"
             "ConnectRetry=\" 99\"\n"
             "MessageTimeout=\" 15\"\n"
             "UseAuthentication=true\n"
             "UsePopAuthentication=\" 7\"\n"
             "EmailValidation=\" 0\"\n"
             "SMTPHostValidation=\" 3\"\n"
             "RemoteHost=vessamo-no-such-host.invalid\n");
    clsEnviarCorreu mail(socket_);
    EXPECT_TRUE(mail.PersistentSettings());
    EXPECT_EQ(mail.SMTPPort(), 587);
    EXPECT_EQ(mail.ConnectTimeout(), 30); // not a number: the default
    EXPECT_EQ(mail.ConnectRetry(), 99); // loaded as stored, without the assignment's check
    EXPECT_EQ(mail.MessageTimeout(), 15);
    EXPECT_TRUE(mail.UseAuthentication());
    EXPECT_TRUE(mail.UsePopAuthentication());
    EXPECT_EQ(mail.EmailAddressValidation(), 0);
    // Loaded without a lookup: creation makes no network traffic and adds no complaint.
    EXPECT_EQ(mail.SMTPHost(), QStringLiteral("vessamo-no-such-host.invalid"));
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

TEST_F(MailSettingsTest, RememberedPortOutsideRangeGivesDefault)
{
    for (const QByteArray &port : {QByteArrayLiteral("0"), QByteArrayLiteral("\" 70000\""),
                                   QByteArrayLiteral("-25"), QByteArrayLiteral("99999999999")}) {
        writeIni("[Settings]\nPersistentSettings=-1\nRemotePort=" + port + "\n");
        clsEnviarCorreu mail(socket_);
        EXPECT_TRUE(mail.PersistentSettings());
        EXPECT_EQ(mail.SMTPPort(), 25) << port.toStdString();
    }
}

TEST_F(MailSettingsTest, PersistentFlagReadFromNumbersAndWords)
{
    const std::pair<QByteArray, bool> rows[] = {
        {"0", false},   {"-1", true},     {"\" 5\"", true}, {"False", false},
        {"TRUE", true}, {"maybe", false}, {"", false},
    };
    for (const auto &[text, expected] : rows) {
        writeIni("[Settings]\nPersistentSettings=" + text + "\nRemotePort=\" 2525\"\n");
        clsEnviarCorreu mail(socket_);
        EXPECT_EQ(mail.PersistentSettings(), expected) << text.toStdString();
        EXPECT_EQ(mail.SMTPPort(), expected ? 2525 : 25) << text.toStdString();
    }
}

TEST_F(MailSettingsTest, ZoneTextFixedAtCreationFromSystemZone)
{
    const std::pair<const char *, const char *> rows[] = {
        {"UTC", "+0000"},
        {"Asia/Kolkata", "+0530"},
        {"Asia/Kathmandu", "+0545"},
    };
    for (const auto &[zone, text] : rows) {
        const ScopedEnv tz("TZ", zone);
        clsEnviarCorreu mail(socket_);
        EXPECT_EQ(mail.TimeZoneText(), QString::fromLatin1(text)) << zone;
    }
}

} // namespace
