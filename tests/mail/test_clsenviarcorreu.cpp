// Tests of the mail object's properties: the port, list splitting and checking, host checks
// against real name lookups, the remembered settings, the values only composition would use,
// and a socket that goes before the object. Every test has a temporary settings store.
#include "mail/clsenviarcorreu.h"
#include "platform/socketcontrol.h"
#include "support/settingsstore.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>

using vessamo::mail::clsEnviarCorreu;
namespace errortext = vessamo::mail::errortext;
using vessamo::platform::SocketControl;

namespace {

class MailObjectTest : public ::testing::Test
{
protected:
    vessamo::test::ScopedSettingsStore store_;
    SocketControl socket_;
};

// The router assigns its configured port: one out of range is a complaint and leaves 25.
TEST_F(MailObjectTest, PortOutsideItsRangeIsRefused)
{
    for (const auto &[given, stored] :
         {std::pair {0, 25}, std::pair {65536, 25}, std::pair {1, 1}, std::pair {65535, 65535}}) {
        clsEnviarCorreu mail(socket_);
        mail.SetSMTPPort(given);
        EXPECT_EQ(mail.SMTPPort(), stored) << given;
        EXPECT_EQ(mail.ErrorList(),
                  given == stored ? QStringList() : QStringList {errortext::kInvalidRemotePort})
            << given;
    }
}

// The router's forward-to text and sender go through these checks.
TEST_F(MailObjectTest, ListsAreSplitCleanedAndChecked)
{
    clsEnviarCorreu mail(socket_);
    mail.SetRecipient(QStringLiteral("  a@one.org ;\tb@two.org\r\n ; c@three.org  "));
    EXPECT_EQ(mail.Recipient(), QStringLiteral("a@one.org;b@two.org;c@three.org"));
    mail.SetFrom(QStringLiteral("  nobody  "));
    EXPECT_EQ(mail.from(), QStringLiteral("nobody"));
    mail.SetCcRecipient(QStringLiteral("x@one.org;not-an-address"));
    EXPECT_EQ(mail.ErrorList(), (QStringList {errortext::kInvalidSender, errortext::kInvalidCc}));
    mail.SetFrom(QStringLiteral(" jo@example.cat "));
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidCc});
    // A trailing delimiter leaves an empty element, a complaint only while checking is on.
    for (const int validation : {1, 0}) {
        clsEnviarCorreu other(socket_);
        other.SetEmailAddressValidation(validation);
        other.SetRecipient(QStringLiteral("a@one.org;"));
        EXPECT_EQ(other.RecipientList(), (QStringList {QStringLiteral("a@one.org"), QString()}));
        EXPECT_EQ(other.ErrorList().contains(errortext::kInvalidRecipient), validation == 1);
    }
}

// Host checks: none in the router's mode 0, a real lookup in the default mode 3, where a
// refused host keeps the previous one and leaves a complaint.
TEST_F(MailObjectTest, HostCheckModes)
{
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPHostValidation(0);
    mail.SetSMTPHost(QStringLiteral("smtp"));
    EXPECT_EQ(mail.SMTPHost(), QStringLiteral("smtp"));
    mail.SetSMTPHostValidation(3);
    mail.SetSMTPHost(QStringLiteral("  local") + QChar(u'\0') + QStringLiteral("host "));
    EXPECT_EQ(mail.SMTPHost(), QStringLiteral("localhost"));
    EXPECT_TRUE(mail.ErrorList().isEmpty());
    mail.SetSMTPHost(QStringLiteral("vessamo-no-such-host.invalid"));
    EXPECT_EQ(mail.SMTPHost(), QStringLiteral("localhost"));
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidSmtpHost});
}

TEST_F(MailObjectTest, RememberedSettingsComeBackWithoutThePassword)
{
    const QString ini = store_.path() + QStringLiteral("/Postiera/Postiera.ini");
    {
        clsEnviarCorreu mail(socket_);
        mail.SetSMTPPort(2525); // remembering is off: not written
        EXPECT_FALSE(QFile::exists(ini));
        mail.SetPersistentSettings(true);
        mail.SetSMTPPort(2525);
        mail.SetSMTPPort(0); // refused: not written
        mail.SetUserName(QStringLiteral("jo"));
        mail.SetPassword(QStringLiteral("secret"));
    }
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    EXPECT_FALSE(file.readAll().contains("secret"));
    clsEnviarCorreu next(socket_);
    EXPECT_EQ(next.SMTPPort(), 2525);
    EXPECT_EQ(next.UserName(), QStringLiteral("jo"));
    EXPECT_TRUE(next.Password().isEmpty());

    // A store edited by hand is read leniently, without a lookup or a complaint; a port out
    // of range gives the default rather than a server nobody can reach.
    file.resize(0);
    file.write("[Settings]\nPersistentSettings=True\nRemotePort=\" 70000\"\n"
               "RemoteHost=vessamo-no-such-host.invalid\n");
    file.close();
    clsEnviarCorreu edited(socket_);
    EXPECT_EQ(edited.SMTPPort(), 25);
    EXPECT_EQ(edited.SMTPHost(), QStringLiteral("vessamo-no-such-host.invalid"));
    EXPECT_TRUE(edited.ErrorList().isEmpty());

    // Switching off is itself remembered: the next object has the defaults again.
    edited.SetPersistentSettings(false);
    EXPECT_TRUE(clsEnviarCorreu(socket_).SMTPHost().isEmpty());
}

// What only composition would use (the router sends stored messages as they are): one
// look at each.
TEST_F(MailObjectTest, CompositionValues)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("primer.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("abc") == 3);
    file.close();
    clsEnviarCorreu mail(socket_);
    mail.SetAttachment(file.fileName() + u';' + dir.filePath(QStringLiteral("absent.txt")));
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kMissingAttachment});
    ASSERT_EQ(mail.AttachmentCount(), 2);
    EXPECT_EQ(mail.AttachmentTotalSize(), 3);
    mail.SetContentBase(QStringLiteral("intranet\\docs"));
    EXPECT_EQ(mail.ContentBase(), QStringLiteral("http://intranet/docs/"));
    mail.SetPriority(5);
    EXPECT_EQ(mail.PriorityWord(), QStringLiteral("Low"));
    mail.SetMessage(QByteArrayLiteral("del \x7F"));
    EXPECT_TRUE(mail.EightBit());
}

// The owner's socket may go first at shutdown: the object must not touch it afterwards.
TEST_F(MailObjectTest, SocketGoneBeforeObjectIsHarmless)
{
    auto socket = std::make_unique<SocketControl>();
    clsEnviarCorreu mail(*socket);
    socket.reset();
    EXPECT_EQ(mail.sckMail(), nullptr);
    mail.SetRecipient(QStringLiteral("joan@example.net"));
    mail.Enruta();
    mail.Disconnect();
    EXPECT_NE(mail.Outcome(), vessamo::mail::RelayOutcome::Sent);
}

} // namespace
