// POP3 retrieval: the STAT parser and the RETR un-stuffer on their own (every way a reply
// can be cut into blocks), then whole sessions over loopback against the fake server, the
// queue's durable steps recorded (support/recordingbackend.h) and failed on purpose.
// Faults of a session inside a whole run: test_pop3_faults.cpp.
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "support/wirelogcapture.h"
#include "support/fakepop3.h"
#include "support/mailfolders.h"
#include "support/recordingbackend.h"
#include "support/recordingview.h"

#include <QLoggingCategory>
#include <QRegularExpression>

using namespace vessamo;
using namespace Qt::StringLiterals;
using routing::Pop3MessageReceiver;
using test::FakePop3;
using Result = Pop3MessageReceiver::Result;

namespace {

TEST(Pop3StatReply, ParsesCountAndSizeOrRefuses)
{
    const std::tuple<QByteArray, qint64, qint64> rows[] = {
        // reply, count, size; -1: refused
        {"+OK 2 320\r\n", 2, 320}, {"+OK 40000 123456789012 octets\r\n", 40000, 123456789012},
        {"+OK 7 70", 7, 70},       {"+OK 2\r\n320\r\n", -1, 0},
        {"+OK 2,320\r\n", -1, 0},  {"+OK -1 5\r\n", -1, 0},
        {"-ERR 2 320\r\n", -1, 0}, {"+OK 99999999999999999999 1\r\n", -1, 0},
    };
    for (const auto &[reply, count, size] : rows) {
        const auto stat = routing::parseStatReply(reply);
        EXPECT_EQ(stat ? std::pair(stat->count, stat->size) : std::pair(qint64(-1), qint64(0)),
                  std::pair(count, size))
            << reply.constData();
    }
}

// Whatever the blocks, the stored bytes are the same, and the reply is complete exactly at
// the last byte of its terminator.
TEST(Pop3MessageReceiver, StoredBytesExactForEverySplit)
{
    const std::pair<QByteArray, QByteArray> rows[] = {
        // wire, stored
        {"+OK 12 octets\r\nSubject: a\r\n\r\nbody\r\n.\r\n", "Subject: a\r\n\r\nbody\r\n"},
        {"+OK 0 octets\r\n.\r\n", ""},
        {"+OK\r\nA\r\n..\r\nB\r\n.\r\n", "A\r\n.\r\nB\r\n"},
        {"+OK\r\n..first\r\n...\r\n.\r\n", ".first\r\n..\r\n"},
        {"+OK\r\na.b\r\nc.\r\n.\r\n", "a.b\r\nc.\r\n"},
        {"+OK\r\n.\rX\r\n.\r\n", "\rX\r\n"}, // dot CR without LF is a stuffed line
        {"+OK\r\na\n.b\r\n.\r\n", "a\n.b\r\n"}, // a bare LF starts no line
        {"+OK\r\na\r\rb\r\n.\r\n", "a\r\rb\r\n"},
        {"+OK\r\nA\r\n.x\r\n.\r\n+OK junk\r\n", "A\r\nx\r\n"}, // bytes after the end ignored
    };
    for (const auto &[w, stored] : rows) {
        SCOPED_TRACE(w.constData());
        for (qsizetype a = 1; a < w.size(); ++a) {
            for (qsizetype b = a; b < w.size(); ++b) {
                Pop3MessageReceiver receiver;
                QByteArray out;
                Result r = Result::NeedMore;
                for (const QByteArray &piece : {w.left(a), w.mid(a, b - a), w.mid(b)})
                    r = receiver.feed(piece, out);
                ASSERT_EQ(out, stored) << "cut at " << a << " and " << b;
                ASSERT_EQ(r, Result::Complete);
            }
        }
        const qsizetype end = w.indexOf("+OK junk") < 0 ? w.size() : w.indexOf("+OK junk");
        Pop3MessageReceiver receiver;
        QByteArray out;
        for (qsizetype i = 0; i < end; ++i)
            ASSERT_EQ(receiver.feed(w.mid(i, 1), out) == Result::Complete, i == end - 1) << i;
    }
}

// A status line without line end is refused at a bound, not collected for ever.
TEST(Pop3MessageReceiver, StatusLineIsBounded)
{
    Pop3MessageReceiver receiver;
    QByteArray out;
    Result r = Result::NeedMore;
    for (int fed = 0; r == Result::NeedMore && fed < 100; ++fed)
        r = receiver.feed("+" + QByteArray(1000, 'x'), out);
    EXPECT_EQ(r, Result::StatusTooLong);
    EXPECT_LE(receiver.statusLine().size(), Pop3MessageReceiver::kMaxStatusLine);
}

// ---- Sessions against the fake server, the queue's durable steps recorded ----------------

const QByteArray kMessage1 = "From: a@b.cat\r\nSubject: one\r\n\r\n..\r\n.leading dot\r\nend\r\n";
const QByteArray kMessage2 = ".starts with a dot\r\n\r\nsecond\r\n";
QStringList wireLines;

class Pop3SessionTest : public ::testing::Test, public test::MailFolders
{
protected:
    Pop3SessionTest()
    {
        server.addMessage(kMessage1);
        server.addMessage(kMessage2);
        // Ports above 32767 are stored negative.
        configuration.Busties = {{u"127.0.0.1"_s, static_cast<qint16>(server.port()),
                                  u"usuari"_s, u"secret"_s, u"a@b.cat;c@d.cat"_s}};
        configuration.Configuracio.NumBusties = 1;
    }
    // One session, as the run does it.
    void read()
    {
        session.LlegirBustia(configuration.Busties[0]);
        EXPECT_FALSE(session.busy());
    }

    FakePop3 server;
    test::RecordingBackend backend {dir.path()};
    routing::ScopedQueueBackend use {backend};
    test::RecordingView view;
    routing::RunContext ctx {view, configuration};
    platform::SocketControl socket;
    routing::Pop3Session session {socket, ctx};
};

TEST_F(Pop3SessionTest, TwoMessagesDialogueLogsAndStoredPairs)
{
    // Replies split before their line end are one reply each; the messages come one byte at
    // a time, so every line and the terminator are cut wherever they can be.
    server.setReply("GREETING", {"+", "OK hello\r\n"});
    server.setReply("USER", {"+OK", " user\r", "\n"});
    server.setSplitter(FakePop3::byteByByte());
    server.setCommandHook([&](const QByteArray &line) {
        if (line.startsWith("DELE") || line == "QUIT")
            backend.steps << u"C: "_s + QString::fromLatin1(line);
    });
    // The wire log, switched on: the password masked, one line in place of each message.
    {
        test::WireLogCapture capture("vessamo.wire.pop3");
        read();
        wireLines = capture.lines;
    }
    EXPECT_TRUE(wireLines.contains(u"C: PASS *******"_s));
    EXPECT_TRUE(wireLines.contains(u"S: <message 2, %1 octets>"_s.arg(kMessage2.size())));
    EXPECT_FALSE(wireLines.join(u'\n').contains(u"secret"_s)
                 || wireLines.join(u'\n').contains(u"second"_s));

    const QString total = QString::number(kMessage1.size() + kMessage2.size());
    EXPECT_EQ(view.statuses,
              QStringList({u"+OK hello"_s, u"USER usuari"_s, u"+OK user"_s, u"PASS *******"_s,
                           u"+OK logged in"_s, u"STAT"_s, u"+OK 2 "_s + total, u"RETR 1"_s,
                           u"DELE 1"_s, u"+OK message 1 deleted"_s, u"RETR 2"_s, u"DELE 2"_s,
                           u"+OK message 2 deleted"_s, u"QUIT"_s, u"+OK bye"_s}));
    // The progress bar goes from nothing to the mailbox size.
    EXPECT_EQ(view.maxima, QList<qint32>({total.toInt()}));
    EXPECT_EQ(view.values.value(view.values.size() - 1), total.toInt());

    const QStringList queued = files(queue());
    ASSERT_EQ(queued.size(), 4) << queued.join(u' ').toStdString();
    EXPECT_EQ(bytesOf(queue() + queued[0]), "a@b.cat;c@d.cat");
    EXPECT_EQ(bytesOf(queue() + queued[1]), kMessage1);
    EXPECT_EQ(bytesOf(queue() + queued[3]), kMessage2);
    EXPECT_EQ(queued[2].left(19) + u".missatge"_s, queued[3]);
    // DELE only once the message has its final name; QUIT, which lets the server delete,
    // only once every stored file and the queue folder are on disk.
    EXPECT_EQ(backend.steps.filter(QRegularExpression(u"^(rename|flush|C:)"_s)),
              QStringList({u"rename Cua/%1.part Cua/%1"_s.arg(queued[1]), u"C: DELE 1"_s,
                           u"rename Cua/%1.part Cua/%1"_s.arg(queued[3]), u"C: DELE 2"_s,
                           u"flush Cua/"_s + queued[1], u"flush Cua/"_s + queued[0],
                           u"flush Cua/"_s + queued[3], u"flush Cua/"_s + queued[2],
                           u"flush Cua/"_s, u"C: QUIT"_s}));
    EXPECT_TRUE(server.messages().isEmpty()); // deleted at QUIT
    EXPECT_TRUE(logged().isEmpty());
}

// A store step that fails during the download leaves the message on the server and nothing
// half-stored in the queue; the log says why.
TEST_F(Pop3SessionTest, AFailedStoreStepKeepsTheMessageOnTheServer)
{
    const std::tuple<const char *, test::RecordingBackend::Fault, bool, QString> rows[] = {
        // fault, DELE sent, logged
        {"the disk is full", {"^write Cua/.*part$", ENOSPC}, false, u"el disc és ple"_s},
        {"no forward-to file", {"^create Cua/.*destinatari$", EACCES}, false, u"permís denegat"_s},
        {"no final name", {"^rename Cua/.*part ", EIO}, false, u"no s'ha pogut desar"_s},
        // No QUIT: the server deletes nothing, and the copies go so nothing goes out twice.
        {"the queue folder cannot be flushed", {"^flush Cua/$", EIO}, true, u"desar a disc"_s},
    };
    for (const auto &[name, fault, deleSent, reason] : rows) {
        SCOPED_TRACE(name);
        backend.faults = {fault};
        QFile::remove(logPath);
        const qsizetype before = server.commands().size();
        read();
        SCOPED_TRACE(backend.steps.join(u'\n').toStdString());
        EXPECT_EQ(server.messages().size(), 2);
        EXPECT_EQ(server.commands().mid(before).contains("DELE 1"), deleSent);
        EXPECT_TRUE(files(queue()).isEmpty());
        ASSERT_EQ(logged().size(), 1);
        EXPECT_TRUE(logged()[0].contains(reason)) << logged()[0].toStdString();
    }
}

} // namespace
