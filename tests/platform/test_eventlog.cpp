// The event-log file and the wire log's transcript: one line per entry, control
// characters shown escaped, never passed on to a terminal.
#include "platform/eventlog.h"
#include "platform/wirelog.h"
#include "support/tempenv.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vessamo::platform;
using namespace Qt::StringLiterals;

TEST(EventLog, FileLinesAreEscapedAndPrivate)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"events.log"_s);
    vessamo::test::ScopedEnv env("VESSAMO_EVENTLOG", path.toLocal8Bit());
    logError(u"Arrencant: bústia"_s);
    // A server's terminal escapes, TAB (the field separator), DEL and a C1 control.
    logError(u"a\\b\r\nc \x1b[2J\tx\x7f\u0085é"_s);
    QFile file(path);
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0)
        << "the log quotes addresses and replies: owner only";
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QRegularExpression shape(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\t1\t109\t(.*)$"_s);
    QStringList texts;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts))
        texts << shape.match(line).captured(1);
    EXPECT_EQ(texts,
              QStringList({u"Arrencant: bústia"_s, u"a\\\\b\\r\\nc \\x1b[2J\\tx\\x7f\\x85é"_s}));
}

TEST(WireLog, TranscriptLines)
{
    const std::tuple<WireSide, QByteArray, QStringList> rows[] = {
        {WireSide::Server, "250-a\r\n250 b\r\n", {u"S: 250-a"_s, u"S: 250 b"_s}},
        {WireSide::Client, "QUIT\nRSET", {u"C: QUIT"_s, u"C: RSET"_s}}, // bare LF, no last end
        {WireSide::Server, "+OK \x1b[31mred\rx\r\n", {u"S: +OK \\x1b[31mred\\rx"_s}},
        {WireSide::Server, "\r\n", {u"S: "_s}},
    };
    for (const auto &[side, bytes, lines] : rows)
        EXPECT_EQ(transcriptLines(side, bytes), lines) << bytes.toStdString();
}

// The native journal protocol: plain NAME=VALUE lines, and a value holding a line feed
// sent with its length (64-bit little-endian) instead.
TEST(Journal, DatagramLayout)
{
    const std::pair<std::vector<JournalField>, QByteArray> rows[] = {
        {{{"MESSAGE", "Rebent: ok"}, {"PRIORITY", "3"}}, "MESSAGE=Rebent: ok\nPRIORITY=3\n"},
        {{{"A", ""}}, "A=\n"},
        {{{"MESSAGE", "a\nb"}, {"B", "c=d"}},
         QByteArray("MESSAGE\n\x03\0\0\0\0\0\0\0a\nb\nB=c=d\n", 26)},
        {{{"X", QByteArray(300, 'z') + '\n'}},
         QByteArray("X\n\x2d\x01\0\0\0\0\0\0", 10) + QByteArray(300, 'z') + "\n\n"},
    };
    for (const auto &[fields, datagram] : rows)
        EXPECT_EQ(journalDatagram(fields), datagram) << datagram.toStdString();
}

// Each entry names its priority, identifier and the text as the log file has it, plus the
// fields of the scopes alive: the innermost of a name wins, and a scope's end removes it.
TEST(Journal, FieldsAndScopes)
{
    const auto field = [](const std::vector<JournalField> &fields, const char *name) {
        for (const JournalField &f : fields) {
            if (f.name == name)
                return f.value;
        }
        return QByteArray("<none>");
    };
    const auto count = [](const std::vector<JournalField> &fields, const char *name) {
        return std::count_if(fields.begin(), fields.end(),
                             [&](const JournalField &f) { return f.name == name; });
    };
    std::vector<JournalField> outside;
    {
        const LogScope mailbox("VESSAMO_MAILBOX", u"ana@pop.example.org"_s);
        {
            const LogScope message("VESSAMO_MESSAGE", u"20240101-1"_s);
            const LogScope again("VESSAMO_MAILBOX", u"joan@pop"_s);
            const auto inner = journalFields(kEventError, kEventId, u"línia\r\nsegona"_s);
            EXPECT_EQ(field(inner, "MESSAGE"), u"línia\\r\\nsegona"_s.toUtf8());
            EXPECT_EQ(field(inner, "PRIORITY"), "3");
            EXPECT_EQ(field(inner, "SYSLOG_IDENTIFIER"), "Vessamo");
            EXPECT_EQ(field(inner, "SYSLOG_FACILITY"), "3");
            EXPECT_EQ(field(inner, "VESSAMO_EVENT_ID"), "109");
            EXPECT_EQ(field(inner, "VESSAMO_MAILBOX"), "joan@pop");
            EXPECT_EQ(count(inner, "VESSAMO_MAILBOX"), 1);
            EXPECT_EQ(field(inner, "VESSAMO_MESSAGE"), "20240101-1");
        }
        const auto middle = journalFields(2, kEventId, u"x"_s);
        EXPECT_EQ(field(middle, "PRIORITY"), "4");
        EXPECT_EQ(field(middle, "VESSAMO_MAILBOX"), "ana@pop.example.org");
        EXPECT_EQ(field(middle, "VESSAMO_MESSAGE"), "<none>");
    }
    outside = journalFields(kEventError, kEventId, u"x"_s);
    EXPECT_EQ(field(outside, "VESSAMO_MAILBOX"), "<none>");
}

// A datagram reaches whatever listens at the path, whole; nothing listening is a failure
// the caller sees (it then uses syslog). An entry too big for a datagram (a hostile
// server's 300 KB reply) goes whole in a sealed memory file passed with an empty datagram,
// as journald expects it.
TEST(Journal, SentToTheSocket)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(u"socket"_s));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), std::size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    const QByteArray datagram = journalDatagram(journalFields(kEventError, kEventId, u"hola"_s));
    EXPECT_TRUE(sendToJournal(datagram, path));
    QByteArray received(65536, '\0');
    const ssize_t n = ::recv(fd, received.data(), std::size_t(received.size()), MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    EXPECT_EQ(received.first(n), datagram);
    EXPECT_TRUE(received.first(n).contains("\nSYSLOG_IDENTIFIER=Vessamo\n"));

    const QByteArray huge = journalDatagram(
        journalFields(kEventError, kEventId, u"Rebent: -ERR "_s + QString(300 * 1024, u'x')));
    EXPECT_TRUE(sendToJournal(huge, path));
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    char payload[16];
    iovec part {payload, sizeof payload};
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    const cmsghdr *header = CMSG_FIRSTHDR(&message);
    ::close(fd);
    ASSERT_EQ(got, 0) << "the entry goes in the file, not in the datagram";
    ASSERT_TRUE(header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS);
    int memory = -1;
    std::memcpy(&memory, CMSG_DATA(header), sizeof memory);
    const int seals = ::fcntl(memory, F_GET_SEALS);
    ::lseek(memory, 0, SEEK_SET); // the writer's offset: journald maps the file whole
    QFile entry;
    ASSERT_TRUE(entry.open(memory, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    EXPECT_TRUE(entry.readAll() == huge);
    EXPECT_EQ(seals, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);

    EXPECT_FALSE(sendToJournal(datagram, QFile::encodeName(dir.filePath(u"absent"_s))));
    EXPECT_FALSE(sendToJournal(datagram, QByteArray(200, 'a')));
}

// Where syslog carries the entry, one too long for a syslog datagram is cut with a marker
// (never dropped, never half a character); a short one is the file's text.
TEST(Journal, SyslogTextShortened)
{
    EXPECT_EQ(syslogText(u"Rebent: a\r\nb"_s), "Rebent: a\\r\\nb");
    const QString exact(kSyslogTextMax, u'a');
    EXPECT_EQ(syslogText(exact), exact.toUtf8());
    for (const QString &text : {QString(300 * 1024, u'x'), u"-ERR "_s + QString(9000, u'é')}) {
        const QByteArray cut = syslogText(text);
        EXPECT_LE(cut.size(), kSyslogTextMax);
        EXPECT_GT(cut.size(), kSyslogTextMax - 64);
        EXPECT_TRUE(cut.endsWith(" bytes in all, cut]")) << cut.right(40).toStdString();
        EXPECT_TRUE(text.startsWith(QString::fromUtf8(cut.left(cut.indexOf(" [... ")))));
    }
}
