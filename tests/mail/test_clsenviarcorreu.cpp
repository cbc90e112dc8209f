// Tests of the mail object's properties: range checks, list splitting and joining, the error
// list, host checks against real name lookups, attachments, the body and its 8-bit flag,
// the events and the socket hook. Every test runs against a temporary settings store.
#include "mail/clsenviarcorreu.h"
#include "mail/netutils.h"
#include "platform/socketcontrol.h"
#include "platform/wait.h"
#include "support/settingsstore.h"
#include "support/tempenv.h"

#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <memory>

using vessamo::mail::clsEnviarCorreu;
namespace errortext = vessamo::mail::errortext;
using vessamo::platform::SocketControl;

namespace {

// Opens the protected members that the session code builds on.
class Probe : public clsEnviarCorreu
{
public:
    using clsEnviarCorreu::AddError;
    using clsEnviarCorreu::CloseSession;
    using clsEnviarCorreu::clsEnviarCorreu;
    using clsEnviarCorreu::RaiseFailure;
    using clsEnviarCorreu::RemoveError;
};

// A fresh per-user settings store for every test, so that no test reads or writes the real
// one.
class MailObjectTest : public ::testing::Test
{
protected:
    vessamo::test::ScopedSettingsStore store_;
    SocketControl socket_;
};

// --- Numbers with ranges ---------------------------------------------------------------------

struct PortRow
{
    qint32 value;
    bool accepted;
};

class SmtpPortTest : public MailObjectTest, public ::testing::WithParamInterface<PortRow>
{
};

TEST_P(SmtpPortTest, RangeDecidesBetweenStoreAndComplaint)
{
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPPort(GetParam().value);
    if (GetParam().accepted) {
        EXPECT_EQ(mail.SMTPPort(), GetParam().value);
        EXPECT_TRUE(mail.ErrorList().isEmpty());
    } else {
        EXPECT_EQ(mail.SMTPPort(), 25);
        EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidRemotePort});
    }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SmtpPortTest,
                         ::testing::Values(PortRow {0, false}, PortRow {65536, false},
                                           PortRow {-25, false}, PortRow {1, true},
                                           PortRow {65535, true}, PortRow {587, true}));

TEST_F(MailObjectTest, GoodPortCancelsEarlierComplaint)
{
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPPort(0);
    mail.SetSMTPPort(65536);
    EXPECT_EQ(mail.ErrorList().size(), 1);
    mail.SetSMTPPort(587);
    EXPECT_EQ(mail.SMTPPort(), 587);
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

TEST_F(MailObjectTest, TimeoutsAndRetriesOutsideRangeAreIgnoredSilently)
{
    struct Row
    {
        qint32 value;
        qint32 timeoutAfter;
        qint32 retryAfter;
    };
    const Row rows[] = {
        {0, 30, 4}, {121, 30, 4}, {21, 21, 4}, {1, 1, 1}, {120, 120, 4}, {20, 20, 20}, {-5, 30, 4},
    };
    for (const Row &row : rows) {
        clsEnviarCorreu mail(socket_);
        mail.SetConnectTimeout(row.value);
        mail.SetConnectRetry(row.value);
        EXPECT_EQ(mail.ConnectTimeout(), row.timeoutAfter) << row.value;
        EXPECT_EQ(mail.ConnectRetry(), row.retryAfter) << row.value;
        EXPECT_TRUE(mail.ErrorList().isEmpty());
    }
}

TEST_F(MailObjectTest, MessageTimeoutKeepsMagnitude)
{
    clsEnviarCorreu mail(socket_);
    mail.SetMessageTimeout(-45);
    EXPECT_EQ(mail.MessageTimeout(), 45);
    mail.SetMessageTimeout(std::numeric_limits<qint32>::min());
    EXPECT_EQ(mail.MessageTimeout(), std::numeric_limits<qint32>::max());
}

TEST_F(MailObjectTest, PriorityWordFollowsOnlyOneThreeFive)
{
    clsEnviarCorreu mail(socket_);
    mail.SetPriority(2);
    EXPECT_EQ(mail.Priority(), 2);
    EXPECT_TRUE(mail.PriorityWord().isEmpty());
    mail.SetPriority(1);
    EXPECT_EQ(mail.PriorityWord(), QStringLiteral("High"));
    mail.SetPriority(4);
    EXPECT_EQ(mail.Priority(), 4);
    EXPECT_EQ(mail.PriorityWord(), QStringLiteral("High"));
    mail.SetPriority(5);
    EXPECT_EQ(mail.PriorityWord(), QStringLiteral("Low"));
    mail.SetPriority(3);
    EXPECT_EQ(mail.PriorityWord(), QStringLiteral("Normal"));
}

// --- Lists and the error list ----------------------------------------------------------------

TEST_F(MailObjectTest, RecipientListReadsBackCleanedAndJoined)
{
    clsEnviarCorreu mail(socket_);
    mail.SetRecipient(QStringLiteral("  a@one.org ;\tb@two.org\r\n ; c@three.org  "));
    EXPECT_EQ(mail.Recipient(), QStringLiteral("a@one.org;b@two.org;c@three.org"));
    EXPECT_EQ(mail.RecipientList().size(), 3);
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

TEST_F(MailObjectTest, TrailingDelimiterFailsOnlyWhileCheckingIsOn)
{
    struct Row
    {
        qint32 validation;
        bool complains;
    };
    for (const Row row : {Row {1, true}, Row {0, false}, Row {2, false}}) {
        clsEnviarCorreu mail(socket_);
        mail.SetEmailAddressValidation(row.validation);
        mail.SetRecipient(QStringLiteral("a@one.org;"));
        EXPECT_EQ(mail.RecipientList(), (QStringList {QStringLiteral("a@one.org"), QString()}));
        EXPECT_EQ(mail.ErrorList().contains(errortext::kInvalidRecipient), row.complains)
            << row.validation;
    }
}

TEST_F(MailObjectTest, OtherDelimitersSplitAndJoin)
{
    clsEnviarCorreu mail(socket_);
    mail.SetDelimiter(QStringLiteral(",;"));
    EXPECT_EQ(mail.Delimiter(), QStringLiteral(","));
    mail.SetCcRecipient(QStringLiteral("x@one.org, y@two.org"));
    EXPECT_EQ(mail.CcRecipient(), QStringLiteral("x@one.org,y@two.org"));
    // Reading joins with the delimiter in force now, not the one used for splitting.
    mail.SetDelimiter(QStringLiteral("|"));
    EXPECT_EQ(mail.CcRecipient(), QStringLiteral("x@one.org|y@two.org"));
    mail.SetCcDisplayName(QStringLiteral(" Xavi | Yolanda ;Puig"));
    EXPECT_EQ(mail.CcDisplayNameList(),
              (QStringList {QStringLiteral("Xavi"), QStringLiteral("Yolanda ;Puig")}));

    // No delimiter: the whole text is the one element.
    mail.SetDelimiter(QString());
    EXPECT_TRUE(mail.Delimiter().isEmpty());
    mail.SetBccRecipient(QStringLiteral("p@one.org;q@two.org"));
    EXPECT_EQ(mail.BccRecipientList(), QStringList {QStringLiteral("p@one.org;q@two.org")});
    // Checked as one address too: two "@" make it invalid.
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidBcc});

    // An empty text is an empty list, and an empty list has nothing to complain about.
    mail.SetDelimiter(QStringLiteral(";"));
    mail.SetBccRecipient(QString());
    EXPECT_TRUE(mail.BccRecipientList().isEmpty());
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

TEST_F(MailObjectTest, SameComplaintIsListedOnceWhateverItsCase)
{
    Probe mail(socket_);
    mail.SetCcRecipient(QStringLiteral("not-an-address"));
    mail.SetCcRecipient(QStringLiteral("still not"));
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidCc});

    mail.AddError(errortext::kInvalidCc.toUpper());
    mail.AddError(QStringLiteral("Other"));
    EXPECT_EQ(mail.ErrorList(), (QStringList {errortext::kInvalidCc, QStringLiteral("Other")}));
    mail.RemoveError(errortext::kInvalidCc.toLower());
    EXPECT_EQ(mail.ErrorList(), QStringList {QStringLiteral("Other")});
    mail.RemoveError(QStringLiteral("absent"));
    EXPECT_EQ(mail.ErrorList().size(), 1);

    mail.SetCcRecipient(QStringLiteral("ok@example.org"));
    mail.SetBccRecipient(QStringLiteral("bad"));
    EXPECT_EQ(mail.ErrorList(), (QStringList {QStringLiteral("Other"), errortext::kInvalidBcc}));
}

TEST_F(MailObjectTest, SenderIsTrimmedAndChecked)
{
    clsEnviarCorreu mail(socket_);
    mail.SetFrom(QStringLiteral("  nobody  "));
    EXPECT_EQ(mail.from(), QStringLiteral("nobody"));
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidSender});
    mail.SetFrom(QStringLiteral(" jo@example.cat "));
    EXPECT_EQ(mail.from(), QStringLiteral("jo@example.cat"));
    EXPECT_TRUE(mail.ErrorList().isEmpty());
    mail.SetFromDisplayName(QStringLiteral("  Jo Puig "));
    EXPECT_EQ(mail.FromDisplayName(), QStringLiteral("Jo Puig"));
    mail.SetReplyToAddress(QStringLiteral(" not checked "));
    EXPECT_EQ(mail.ReplyToAddress(), QStringLiteral("not checked"));
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

// --- Hosts -----------------------------------------------------------------------------------

const QString kUnresolvable = QStringLiteral("vessamo-no-such-host.invalid");
const QString kPrevious = QStringLiteral("previous.example");

struct HostRow
{
    const char *name;
    qint32 mode;
    QString given;
    bool accepted;
    QString stored; // when accepted
};

class HostModeTest : public MailObjectTest, public ::testing::WithParamInterface<HostRow>
{
};

TEST_P(HostModeTest, ModeDecidesAcceptance)
{
    const HostRow &row = GetParam();
    if (row.mode == 2) {
        QString address = QStringLiteral("127.0.0.1");
        QString rtt, size;
        bool match = false;
        if (!vessamo::mail::Ping(address, rtt, size, match))
            GTEST_SKIP() << "ICMP echo is not available here";
    }
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPHostValidation(0);
    mail.SetSMTPHost(kPrevious);
    mail.SetPOP3Host(kPrevious);
    // The new mode re-checks the previous SMTP host, which may now be refused; it stays.
    mail.SetSMTPHostValidation(row.mode);

    mail.SetSMTPHost(row.given);
    mail.SetPOP3Host(row.given);
    if (row.accepted) {
        EXPECT_EQ(mail.SMTPHost(), row.stored);
        EXPECT_EQ(mail.POP3Host(), row.stored);
        EXPECT_FALSE(mail.ErrorList().contains(errortext::kInvalidSmtpHost));
        EXPECT_FALSE(mail.ErrorList().contains(errortext::kInvalidPop3Host));
    } else {
        EXPECT_TRUE(mail.ErrorList().contains(errortext::kInvalidSmtpHost));
        EXPECT_TRUE(mail.ErrorList().contains(errortext::kInvalidPop3Host));
        EXPECT_EQ(mail.SMTPHost(), kPrevious);
        EXPECT_EQ(mail.POP3Host(), kPrevious);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HostModeTest,
    ::testing::Values(HostRow {"none_localhost", 0, QStringLiteral("localhost"), true,
                               QStringLiteral("localhost")},
                      HostRow {"none_unresolvable", 0, kUnresolvable, true, kUnresolvable},
                      HostRow {"syntax_single_label", 1, QStringLiteral("localhost"), false, {}},
                      HostRow {"syntax_dotted", 1, kUnresolvable, true, kUnresolvable},
                      HostRow {"echo_localhost", 2, QStringLiteral("localhost"), true,
                               QStringLiteral("127.0.0.1")},
                      HostRow {"echo_unresolvable", 2, kUnresolvable, false, {}},
                      HostRow {"lookup_localhost_blanks", 3, QStringLiteral("  localhost "), true,
                               QStringLiteral("localhost")},
                      HostRow {"lookup_unresolvable", 3, kUnresolvable, false, {}},
                      HostRow {"lookup_nul_removed", 3,
                               QStringLiteral("local") + QChar(u'\0') + QStringLiteral("host"),
                               true, QStringLiteral("localhost")},
                      HostRow {"unknown_mode", 7, QStringLiteral("localhost"), true,
                               QStringLiteral("localhost")},
                      HostRow {"empty_any_mode", 3, QString(), true, QString()}),
    [](const ::testing::TestParamInfo<HostRow> &row) { return std::string(row.param.name); });

TEST_F(MailObjectTest, RefusedHostKeepsPreviousAndLaterGoodOneClearsComplaint)
{
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPHost(QStringLiteral("localhost"));
    mail.SetSMTPHost(kUnresolvable);
    EXPECT_EQ(mail.SMTPHost(), QStringLiteral("localhost"));
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidSmtpHost});
    mail.SetSMTPHost(QString());
    EXPECT_TRUE(mail.SMTPHost().isEmpty());
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

TEST_F(MailObjectTest, NewValidationModeRechecksSmtpHostOnly)
{
    clsEnviarCorreu mail(socket_);
    mail.SetSMTPHostValidation(0);
    mail.SetSMTPHost(QStringLiteral("localhost"));
    mail.SetPOP3Host(QStringLiteral("localhost"));
    mail.SetSMTPHostValidation(1);
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kInvalidSmtpHost});
    EXPECT_EQ(mail.SMTPHost(), QStringLiteral("localhost"));
    mail.SetSMTPHostValidation(3);
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

// --- Attachments, content base, body -----------------------------------------------------------

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

TEST_F(MailObjectTest, AttachmentWithMissingMiddleFile)
{
    QTemporaryDir dir;
    const QString first = writeFile(dir, QStringLiteral("primer.txt"), "abc");
    const QString third = writeFile(dir, QStringLiteral("tercer.bin"), "12345");
    ASSERT_FALSE(first.isEmpty() || third.isEmpty());

    clsEnviarCorreu mail(socket_);
    mail.SetAttachment(first + u';' + dir.filePath(QStringLiteral("absent.txt")) + u';' + third);
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kMissingAttachment});
    ASSERT_EQ(mail.AttachmentCount(), 3);
    EXPECT_EQ(mail.AttachedFiles()[0].name, QStringLiteral("primer.txt"));
    EXPECT_TRUE(mail.AttachedFiles()[1].name.isEmpty());
    EXPECT_TRUE(mail.AttachedFiles()[2].name.isEmpty());
    EXPECT_EQ(mail.AttachmentTotalSize(), 3);
    EXPECT_EQ(mail.AttachmentTotalNameLength(), 10);

    mail.SetAttachment(first + u';' + third);
    EXPECT_TRUE(mail.ErrorList().isEmpty());
    EXPECT_EQ(mail.Attachment(), first + u';' + third);
    EXPECT_EQ(mail.AttachedFiles()[1].name, QStringLiteral("tercer.bin"));
    EXPECT_EQ(mail.AttachmentTotalSize(), 8);
    EXPECT_EQ(mail.AttachmentTotalNameLength(), 20);
    for (const auto &file : mail.AttachedFiles())
        EXPECT_FALSE(file.embedded);

    // A folder is not a file, and an empty assignment leaves no entry and no complaint.
    mail.SetAttachment(dir.path());
    EXPECT_EQ(mail.ErrorList(), QStringList {errortext::kMissingAttachment});
    mail.SetAttachment(QString());
    EXPECT_EQ(mail.AttachmentCount(), 0);
    EXPECT_EQ(mail.AttachmentTotalSize(), 0);
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

TEST_F(MailObjectTest, ContentBaseGetsSchemeAndFinalSlash)
{
    const std::pair<QString, QString> rows[] = {
        {QStringLiteral("HTTP://Host/dir"), QStringLiteral("HTTP://Host/dir/")},
        {QStringLiteral("intranet\\docs"), QStringLiteral("http://intranet/docs/")},
        {QStringLiteral("http://host/"), QStringLiteral("http://host/")},
        {QStringLiteral("https://host/a"), QStringLiteral("https://host/a/")},
        {QString(), QString()},
    };
    for (const auto &[given, expected] : rows) {
        clsEnviarCorreu mail(socket_);
        mail.SetContentBase(given);
        EXPECT_EQ(mail.ContentBase(), expected) << given.toStdString();
    }
}

TEST_F(MailObjectTest, MessageKeepsEveryByteAndSetsEightBitFlag)
{
    clsEnviarCorreu mail(socket_);
    QByteArray raw("Subject: caf\xE9\r\n\r\nNUL\0here \x80\xFF\r\n", 30);
    mail.SetMessage(raw);
    EXPECT_EQ(mail.Message(), raw);
    EXPECT_TRUE(mail.EightBit());

    struct Row
    {
        QByteArray text;
        bool eightBit;
    };
    const Row rows[] = {{"plain ~ text", false}, {"del \x7F", true}, {"\xA0", true}, {"", false}};
    for (const Row &row : rows) {
        mail.SetMessage(row.text);
        EXPECT_EQ(mail.EightBit(), row.eightBit) << row.text.toHex().toStdString();
    }
}

TEST_F(MailObjectTest, MessageIsPreparedOnAssignment)
{
    clsEnviarCorreu mail(socket_);
    mail.SetMessage(QByteArrayLiteral(".\r\nline\r\n..two"));
    EXPECT_EQ(mail.Message(), QByteArrayLiteral("..\r\nline\r\n...two"));
}

TEST_F(MailObjectTest, DefaultsOfNewObject)
{
    clsEnviarCorreu mail(socket_);
    EXPECT_EQ(mail.ConnectRetry(), 4);
    EXPECT_EQ(mail.ConnectTimeout(), 30);
    EXPECT_EQ(mail.MessageTimeout(), 60);
    EXPECT_EQ(mail.Delimiter(), QStringLiteral(";"));
    EXPECT_EQ(mail.EmailAddressValidation(), 1);
    EXPECT_EQ(mail.EncodeType(), 0);
    EXPECT_EQ(mail.Priority(), 3);
    EXPECT_TRUE(mail.PriorityWord().isEmpty());
    EXPECT_EQ(mail.SMTPHostValidation(), 3);
    EXPECT_EQ(mail.SMTPPort(), 25);
    EXPECT_FALSE(mail.PersistentSettings());
    EXPECT_FALSE(mail.UseAuthentication() || mail.UsePopAuthentication() || mail.AsHTML()
                 || mail.Receipt());
    EXPECT_TRUE(mail.SMTPHost().isEmpty() && mail.POP3Host().isEmpty() && mail.from().isEmpty());
    EXPECT_EQ(mail.AttachmentCount(), 0);
    EXPECT_TRUE(mail.ErrorList().isEmpty());
    EXPECT_EQ(clsEnviarCorreu::DayName(1), QStringLiteral("Sun"));
    EXPECT_EQ(clsEnviarCorreu::DayName(7), QStringLiteral("Sat"));
    EXPECT_TRUE(clsEnviarCorreu::DayName(0).isEmpty() && clsEnviarCorreu::DayName(8).isEmpty());
    EXPECT_EQ(clsEnviarCorreu::MonthName(12), QStringLiteral("Dec"));
    EXPECT_TRUE(clsEnviarCorreu::MonthName(13).isEmpty()
                && clsEnviarCorreu::MonthName(-1).isEmpty());
    EXPECT_EQ(mail.sckMail(), &socket_);
}

// --- Failure report and the socket -------------------------------------------------------------

// A loopback listener that the socket control can connect to.
struct Listener
{
    Listener() { listening = server.listen(QHostAddress::LocalHost, 0); }
    QTcpServer server;
    bool listening = false;
};

bool connectTo(SocketControl &socket, const Listener &listener)
{
    socket.Connect(QStringLiteral("127.0.0.1"), listener.server.serverPort());
    return vessamo::platform::waitUntil(
        [&] { return socket.State() == SocketControl::sckConnected; }, QDeadlineTimer(5000));
}

TEST_F(MailObjectTest, RaiseFailureReportsEveryEntryClosesAndEmpties)
{
    Listener listener;
    ASSERT_TRUE(listener.listening);
    ASSERT_TRUE(connectTo(socket_, listener));

    Probe mail(socket_);
    mail.AddError(QStringLiteral("first"));
    mail.AddError(QStringLiteral("second"));
    QStringList reports;
    QObject::connect(&mail, &clsEnviarCorreu::SendFailed,
                     [&](const QString &text) { reports.append(text); });
    mail.RaiseFailure();
    EXPECT_EQ(reports, QStringList {QStringLiteral("first\r\nsecond\r\n")});
    EXPECT_TRUE(mail.ErrorList().isEmpty());
    EXPECT_EQ(socket_.State(), SocketControl::sckClosed);
}

TEST_F(MailObjectTest, OwnerMayDeleteObjectFromItsFailureHandler)
{
    auto mail = std::make_unique<Probe>(socket_);
    mail->AddError(QStringLiteral("boom"));
    int reports = 0;
    QObject::connect(mail.get(), &clsEnviarCorreu::SendFailed, [&] {
        ++reports;
        mail.reset();
    });
    mail->RaiseFailure(); // `mail` is gone when this returns; nothing may touch it
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(mail, nullptr);
}

TEST_F(MailObjectTest, DestructionClosesOpenSocket)
{
    Listener listener;
    ASSERT_TRUE(listener.listening);
    ASSERT_TRUE(connectTo(socket_, listener));
    ASSERT_TRUE(vessamo::platform::waitUntil(
        [&] { return listener.server.hasPendingConnections(); }, QDeadlineTimer(5000)));
    std::unique_ptr<QTcpSocket> peer(listener.server.nextPendingConnection());
    {
        clsEnviarCorreu mail(socket_);
    }
    EXPECT_EQ(socket_.State(), SocketControl::sckClosed);
    EXPECT_TRUE(vessamo::platform::waitUntil(
        [&] { return peer->state() == QAbstractSocket::UnconnectedState; }, QDeadlineTimer(5000)));
}

TEST_F(MailObjectTest, SocketGoneBeforeObjectIsHarmless)
{
    auto socket = std::make_unique<SocketControl>();
    Probe mail(*socket);
    socket.reset();
    EXPECT_EQ(mail.sckMail(), nullptr);
    mail.CloseSession();
    mail.AddError(QStringLiteral("x"));
    mail.RaiseFailure();
    EXPECT_TRUE(mail.ErrorList().isEmpty());
}

} // namespace
