// The mail object's properties, each with a temporary settings store; then the body
// preparation for the DATA phase (dot-stuffing, folding of long lines), whole and for a
// stored message read in blocks.
#include "mail/clsenviarcorreu.h"
#include "mail/mailsetup.h"
#include "platform/socketcontrol.h"
#include "support/settingsstore.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

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

// The Message's references to attached files, rewritten in place: only attribute values
// that name a file (whole, or as the last path segment), without regard to case.
TEST_F(MailObjectTest, LinkEmbeddedFilesRewritesOnlyValuesThatNameAFile)
{
    QTemporaryDir dir;
    for (const char *name : {"a", "pic.png"}) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    clsEnviarCorreu mail(socket_);
    mail.SetAsHTML(true);
    mail.SetAttachment(dir.filePath(QStringLiteral("a")) + u';'
                       + dir.filePath(QStringLiteral("pic.png")));
    mail.SetMessage("<a href=\"https://example.org/page\">a</a><img src='img\\PIC.PNG'>pic.png");
    EXPECT_TRUE(mail.LinkEmbeddedFiles());
    EXPECT_EQ(mail.Message(),
              "<a href=\"https://example.org/page\">a</a><img src='cid:pic.png'>pic.png");
    EXPECT_FALSE(mail.AttachedFiles()[0].embedded);
    EXPECT_TRUE(mail.AttachedFiles()[1].embedded);
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

// Set up for a relay or for a send, the object takes the host as given, without the look-up
// that would block there and refuse a name the session resolves only when it connects; each
// use's lists are split at its own delimiter.
TEST_F(MailObjectTest, SetUpTakesTheHostWithoutALookup)
{
    namespace mail = vessamo::mail;
    const QString host = QStringLiteral("vessamo-no-such-host.invalid");
    const QStringList two {QStringLiteral("a@one.org"), QStringLiteral("b@two.org")};
    const std::function<void(clsEnviarCorreu &)> relay = [&](clsEnviarCorreu &object) {
        mail::RelaySettings settings;
        settings.server.host = host;
        settings.forwardTo = two.join(u';');
        settings.senderAddress = QStringLiteral("s@three.org");
        mail::setUpForRelay(object, settings);
    };
    const std::function<void(clsEnviarCorreu &)> send = [&](clsEnviarCorreu &object) {
        mail::SendSettings settings;
        settings.server.host = host;
        settings.from = QStringLiteral("s@three.org");
        settings.to = two;
        mail::setUpForSend(object, settings);
    };
    for (const auto &[use, setUp] : {std::pair {"relay", relay}, std::pair {"send", send}}) {
        clsEnviarCorreu object(socket_);
        setUp(object);
        EXPECT_EQ(object.SMTPHost(), host) << use;
        EXPECT_EQ(object.RecipientList(), two) << use;
        EXPECT_EQ(object.ErrorList(), QStringList()) << use;
    }
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

// Each object reads the store as it is when the object is made, though an unchanged store
// is not read again: an edit in place that keeps the size, the organisation's file that
// appears beside the application's, and the application's file that goes, are each seen
// by the next object.
TEST_F(MailObjectTest, StoreChangedBetweenObjectsIsReadAgain)
{
    const QString folder = store_.path() + QStringLiteral("/Postiera");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString appFile = folder + QStringLiteral("/Postiera.ini");
    const QString orgFile = store_.path() + QStringLiteral("/Postiera.ini");
    const auto put = [](const QString &path, const QByteArray &text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_EQ(file.write(text), text.size());
    };
    put(appFile, "[Settings]\nPersistentSettings=-1\nRemotePort=\" 2525\"\n");
    EXPECT_EQ(clsEnviarCorreu(socket_).SMTPPort(), 2525);
    EXPECT_EQ(clsEnviarCorreu(socket_).SMTPPort(), 2525);

    // Same size, same file; its time set apart, as a later edit's would be.
    put(appFile, "[Settings]\nPersistentSettings=-1\nRemotePort=\" 2626\"\n");
    {
        QFile file(appFile);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const QDateTime modified = file.fileTime(QFileDevice::FileModificationTime);
        ASSERT_TRUE(file.setFileTime(modified.addSecs(1), QFileDevice::FileModificationTime));
    }
    EXPECT_EQ(clsEnviarCorreu(socket_).SMTPPort(), 2626);

    put(orgFile, "[Settings]\nRemoteHost=relay.example.org\n");
    EXPECT_EQ(clsEnviarCorreu(socket_).SMTPHost(), QStringLiteral("relay.example.org"));

    ASSERT_TRUE(QFile::remove(appFile));
    const clsEnviarCorreu defaults(socket_);
    EXPECT_EQ(defaults.SMTPPort(), 25);
    EXPECT_TRUE(defaults.SMTPHost().isEmpty());
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

using vessamo::mail::DataSection;
using vessamo::mail::PrepareBody;

TEST(PrepareBody, FoldsEveryLine)
{
    const QByteArray x2500(2500, 'x');
    QByteArray blanks; // a blank at every tenth octet: cut after the last one within 998
    while (blanks.size() < 2500)
        blanks += "aaaaaaaaa ";
    const std::tuple<const char *, QByteArray, QByteArray> rows[] = {
        {"empty", "", ""},
        {"dots are left to the data section", "a\r\n.\r\n.b", "a\r\n.\r\n.b"},
        {"998 whole", QByteArray(998, 'y'), QByteArray(998, 'y')},
        {"999 cut", QByteArray(999, 'y'), QByteArray(998, 'y') + "\r\ny"},
        {"no blanks", "h\r\n" + x2500 + "\r\nt",
         "h\r\n" + x2500.left(998) + "\r\n" + x2500.mid(998, 998) + "\r\n" + x2500.mid(1996)
             + "\r\nt"},
        {"blanks", blanks + "\r\n",
         blanks.left(990) + "\r\n" + blanks.mid(990, 990) + "\r\n" + blanks.mid(1980) + "\r\n"},
        {"cr only folds with cr", "x\r" + QByteArray(1500, 'c'),
         "x\r" + QByteArray(998, 'c') + "\r" + QByteArray(502, 'c')},
    };
    for (const auto &[name, given, expected] : rows) {
        EXPECT_EQ(PrepareBody(given), expected) << name;
        // The streaming folder of a composed body cuts at the same places, whatever the
        // pieces it is given (its fold is CR LF, which the data section writes anyway).
        for (const qsizetype step : {qsizetype(1), qsizetype(7), qsizetype(1000)}) {
            vessamo::mail::BodyFolder folder;
            QByteArray streamed;
            for (qsizetype i = 0; i < given.size(); i += step)
                streamed
                    += folder.feed(QByteArrayView(given).sliced(i, qMin(step, given.size() - i)));
            streamed += folder.finish();
            DataSection a, b;
            EXPECT_EQ(a.encode(streamed), b.encode(PrepareBody(given))) << name << " " << step;
        }
    }
}

// Every line the data section holds that begins with "." gets another one, whatever wrote
// it and however it was cut into writes; every line end becomes CR LF.
TEST(DataSection, StuffsEveryLineAcrossPieces)
{
    const std::tuple<const char *, QList<QByteArray>, QByteArray, bool> rows[] = {
        {"lone dot line", {"a\r\n.\r\nb"}, "a\r\n..\r\nb", false},
        {"first line", {".hidden\r\nx"}, "..hidden\r\nx", false},
        {"last line", {"end\r\n."}, "end\r\n..", false},
        {"a UU line that begins with a dot",
         {"begin 600 a\r\n", ".4%0`\r\n", "end\r\n"},
         "begin 600 a\r\n..4%0`\r\nend\r\n",
         true},
        {"split after CR LF", {"a\r\n", ".b"}, "a\r\n..b", false},
        {"split inside CR LF", {"a\r", "\n.b\r\n"}, "a\r\n..b\r\n", true},
        {"bare lf", {"a\r\nb\n.\r\nc"}, "a\r\nb\r\n..\r\nc", false},
        {"bare cr", {"a\r.b\r\n.c"}, "a\r\n..b\r\n..c", false},
        {"bare cr at the end", {"a\r", "b"}, "a\r\nb", false},
        {"an empty write between CR and LF", {"a\r", "", "\n.b"}, "a\r\n..b", false},
        {"no line end", {"abc", "..."}, "abc...", false},
        {"untouched", {"a\r\nb\r\n"}, "a\r\nb\r\n", true},
    };
    for (const auto &[name, pieces, expected, ends] : rows) {
        DataSection data;
        QByteArray out;
        for (const QByteArray &piece : pieces)
            out += data.encode(piece);
        EXPECT_EQ(out, expected) << name;
        EXPECT_EQ(data.atLineStart(), ends) << name;
    }
}

// For random texts: no line the server sees is longer than 998 octets or a lone ".", and
// taking out the inserted line ends and the stuffing dots gives the text back.
TEST(PrepareBody, RandomTextsSurviveTheRoundTrip)
{
    QRandomGenerator random(20240517);
    const char alphabet[] = {'a', 'b', ' ', '.', '\xE9', '\0'};
    for (int round = 0; round < 200; ++round) {
        QByteArray text;
        const int lines = random.bounded(1, 6);
        for (int l = 0; l < lines; ++l) {
            const int length = random.bounded(0, 3000);
            for (int i = 0; i < length; ++i)
                text.append(alphabet[random.bounded(int(sizeof alphabet))]);
            if (l + 1 < lines)
                text.append("\r\n");
        }
        QByteArray restored;
        DataSection data;
        for (const QByteArray &piece : data.encode(PrepareBody(text)).split('\n')) {
            const QByteArray line = piece.endsWith('\r') ? piece.chopped(1) : piece;
            ASSERT_LE(line.size() - (line.startsWith("..") ? 1 : 0), 998) << round;
            ASSERT_NE(line, QByteArrayLiteral(".")) << round;
            ASSERT_TRUE(!line.startsWith('.') || line.startsWith("..")) << round;
            restored += line.startsWith('.') ? line.mid(1) : line;
        }
        text.replace("\r\n", "");
        ASSERT_EQ(restored, text) << round;
    }
}

// A stored message read in blocks goes out exactly as the whole message would (folded,
// then stuffed, then the end-of-data line after a line end): blocks of every size up to a
// few dozen octets, and around the line limit, put an edge at every place of each row.
TEST(MessageBlocks, MatchTheWholeMessageAtEveryEdge)
{
    const QByteArray a(995, 'a');
    QByteArray blanks; // a body line of 2,000 octets with a blank at every tenth
    while (blanks.size() < 2000)
        blanks += "aaaaaaaaa ";
    const std::pair<const char *, QByteArray> rows[] = {
        {"dots at line starts", ".a\r\n..\r\n.\r\nb\r\n.\r\n"},
        {"CR LF after a header", "X: y\r\nSubject: " + a + " tail\r\n\r\nbody\r\n"},
        {"998-octet lines", "X: y\r\n\r\n" + QByteArray(998, 'b') + "\r\n." + QByteArray(997, 'c')},
        {"999-octet line", "X: y\r\n\r\n" + QByteArray(999, 'b') + "\r\n.d\r\n"},
        {"header with no blank", "X:" + QByteArray(2500, 'b') + "\r\nY: z\r\n\r\n.\r\n"},
        {"body with blanks", "X: y\r\n\r\n" + blanks + "\r\n"},
        {"bare LF", "a\n.\nb\n" + QByteArray(1200, 'e') + "\n"},
        {"bare CR and CR CR LF", "X: y\r\r\n.z\r" + QByteArray(1100, 'f') + "\r\n"},
        {"only CRs, long line (folded with CR whole)", "x\r" + QByteArray(1500, 'c') + "\r.y"},
        {"its LF after a long line", QByteArray(1500, 'g') + "\nh"},
        {"a CR first, its LF after a long line", "a\r" + QByteArray(1500, 'g') + "\nh"},
        {"last line without CR LF", "X: y\r\n\r\nlast"},
        {"ends with CR", "X: y\r\n\r\nlast\r"},
        {"empty", ""},
    };
    QList<qsizetype> sizes;
    for (qsizetype size = 1; size <= 40; ++size)
        sizes << size;
    sizes << 997 << 998 << 999 << 1000 << 1001 << vessamo::mail::kRelayBlock;
    for (const auto &[name, message] : rows) {
        DataSection whole;
        QByteArray expected = whole.encode(vessamo::mail::PrepareMessage(message));
        expected += whole.atLineStart() ? "" : "\r\n";
        for (const qsizetype size : sizes) {
            QBuffer device;
            device.setData(message);
            ASSERT_TRUE(device.open(QIODevice::ReadOnly));
            vessamo::mail::MessageBlocks blocks(device, size);
            DataSection data;
            QByteArray streamed;
            for (QByteArray block = blocks.next(); !block.isEmpty(); block = blocks.next()) {
                ASSERT_LE(block.size(), 2 * size + 2100) << name << " " << size; // never whole
                streamed += data.encode(block);
            }
            streamed += data.atLineStart() ? "" : "\r\n";
            ASSERT_EQ(streamed, expected) << name << ", blocks of " << size;
            EXPECT_TRUE(blocks.error().isEmpty());
        }
    }
}
