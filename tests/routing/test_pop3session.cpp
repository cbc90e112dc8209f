// POP3 retrieval: the STAT parser and the RETR un-stuffer on their own (every way a reply
// can be cut into blocks), then whole sessions over loopback against the fake server.
#include "config/configuracio.h"
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "routing/routingview.h"
#include "routing/runcontext.h"
#include "support/fakepop3.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace vessamo;
using namespace Qt::StringLiterals;
using routing::Pop3MessageReceiver;
using routing::Pop3Session;
using routing::Pop3State;
using test::FakePop3;

namespace {

// ---- STAT replies ----------------------------------------------------------------------

struct StatRow
{
    const char *name;
    QByteArray reply;
    bool ok;
    qint64 count;
    qint64 size;
};

const StatRow kStatRows[] = {
    {"plain", "+OK 2 320\r\n", true, 2, 320},
    {"empty mailbox", "+OK 0 0\r\n", true, 0, 0},
    {"more than 32767 messages", "+OK 40000 123456789012\r\n", true, 40000, 123456789012},
    {"extra text after the size (RFC 1939 allows it)", "+OK 2 320 octets\r\n", true, 2, 320},
    {"two blanks", "+OK 2  320\r\n", true, 2, 320},
    {"no line end", "+OK 7 70", true, 7, 70},
    {"count without size", "+OK 2\r\n", false, 0, 0},
    {"no blank after count", "+OK 2,320\r\n", false, 0, 0},
    {"indicator only", "+OK\r\n", false, 0, 0},
    {"words instead of numbers", "+OK two 320\r\n", false, 0, 0},
    {"negative count", "+OK -1 5\r\n", false, 0, 0},
    {"negative reply", "-ERR 2 320\r\n", false, 0, 0},
    {"count too large for 64 bits", "+OK 99999999999999999999 1\r\n", false, 0, 0},
    {"size on the second line", "+OK 2\r\n320\r\n", false, 0, 0},
};

TEST(Pop3StatReply, ParsesCountAndSizeOrRefuses)
{
    for (const StatRow &row : kStatRows) {
        SCOPED_TRACE(row.name);
        const auto stat = routing::parseStatReply(row.reply);
        ASSERT_EQ(stat.has_value(), row.ok);
        if (stat) {
            EXPECT_EQ(stat->count, row.count);
            EXPECT_EQ(stat->size, row.size);
        }
    }
}

// ---- RETR replies ----------------------------------------------------------------------

struct RetrRow
{
    const char *name;
    QByteArray wire;
    QByteArray stored;
};

const RetrRow kRetrRows[] = {
    {"two plain lines", "+OK 12 octets\r\nSubject: a\r\n\r\nbody\r\n.\r\n",
     "Subject: a\r\n\r\nbody\r\n"},
    {"empty message", "+OK 0 octets\r\n.\r\n", ""},
    {"line of two dots is one dot", "+OK\r\nA\r\n..\r\nB\r\n.\r\n", "A\r\n.\r\nB\r\n"},
    {"dot and text loses the stuffing dot", "+OK\r\nA\r\n..text\r\n.\r\n", "A\r\n.text\r\n"},
    {"three dots become two", "+OK\r\n...\r\n.\r\n", "..\r\n"},
    {"first line stuffed", "+OK\r\n..first\r\nx\r\n.\r\n", ".first\r\nx\r\n"},
    {"last line is a stuffed dot", "+OK\r\nx\r\n..\r\n.\r\n", "x\r\n.\r\n"},
    {"dot inside a line untouched", "+OK\r\na.b\r\nc.\r\n.\r\n", "a.b\r\nc.\r\n"},
    {"dot CR without LF is a stuffed line", "+OK\r\n.\rX\r\n.\r\n", "\rX\r\n"},
    {"dot after a bare LF is not a line start", "+OK\r\na\n.b\r\n.\r\n", "a\n.b\r\n"},
    {"bare CR before the end", "+OK\r\na\r\rb\r\n.\r\n", "a\r\rb\r\n"},
    {"status line with a long text", "+OK 27 octets follow, message text\r\nX: y\r\n.\r\n",
     "X: y\r\n"},
    {"bytes after the terminator ignored", "+OK\r\nA\r\n.\r\n+OK junk\r\n", "A\r\n"},
    {"terminator text in the middle of a line", "+OK\r\nA\r\nb\r\n.x\r\n.\r\n", "A\r\nb\r\nx\r\n"},
};

// Feeds the pieces in order; `completed` tells whether the message was complete at the end.
QByteArray feedPieces(const QList<QByteArray> &pieces, bool &completed)
{
    Pop3MessageReceiver receiver;
    QByteArray out;
    auto r = Pop3MessageReceiver::Result::NeedMore;
    for (const QByteArray &piece : pieces)
        r = receiver.feed(piece, out);
    completed = r == Pop3MessageReceiver::Result::Complete;
    return out;
}

// The position just after the terminating "." line.
qsizetype endOfReply(const QByteArray &wire)
{
    const qsizetype status = wire.indexOf("\r\n");
    if (wire.mid(status + 2).startsWith(".\r\n"))
        return status + 5;
    return wire.indexOf("\r\n.\r\n", status) + 5;
}

TEST(Pop3MessageReceiver, StoredBytesExactForEverySplitInTwoAndThree)
{
    for (const RetrRow &row : kRetrRows) {
        SCOPED_TRACE(row.name);
        const QByteArray &w = row.wire;
        bool done = false;
        EXPECT_EQ(feedPieces({w}, done), row.stored);
        EXPECT_TRUE(done);
        for (qsizetype a = 1; a < w.size(); ++a) {
            SCOPED_TRACE(a);
            EXPECT_EQ(feedPieces({w.left(a), w.mid(a)}, done), row.stored);
            EXPECT_TRUE(done);
            for (qsizetype b = a + 1; b < w.size(); ++b) {
                ASSERT_EQ(feedPieces({w.left(a), w.mid(a, b - a), w.mid(b)}, done), row.stored)
                    << "cut at " << a << " and " << b;
                ASSERT_TRUE(done);
            }
        }
    }
}

TEST(Pop3MessageReceiver, OneByteAtATimeCompletesOnTheLastByteOfTheTerminator)
{
    for (const RetrRow &row : kRetrRows) {
        SCOPED_TRACE(row.name);
        const qsizetype end = endOfReply(row.wire);
        Pop3MessageReceiver receiver;
        QByteArray out;
        for (qsizetype i = 0; i < end; ++i) {
            const auto r = receiver.feed(row.wire.mid(i, 1), out);
            ASSERT_EQ(r == Pop3MessageReceiver::Result::Complete, i == end - 1) << "byte " << i;
        }
        EXPECT_EQ(out, row.stored);
    }
}

TEST(Pop3MessageReceiver, CountsTheBytesAfterTheStatusLine)
{
    Pop3MessageReceiver receiver;
    QByteArray out;
    receiver.feed("+OK 9 oc", out);
    EXPECT_EQ(receiver.dataReceived(), 0);
    receiver.feed("tets\r\nab\r\n", out);
    EXPECT_EQ(receiver.dataReceived(), 4);
    receiver.feed("..\r\n.\r\n", out);
    EXPECT_EQ(receiver.dataReceived(), 11);
    EXPECT_EQ(receiver.statusLine(), QByteArray("+OK 9 octets\r\n"));
}

TEST(Pop3MessageReceiver, NegativeStatusJudgedOnlyWhenTheLineIsComplete)
{
    struct Row
    {
        const char *name;
        QList<QByteArray> pieces;
    };
    const Row rows[] = {
        {"whole", {"-ERR no such message\r\n"}},
        {"minus alone first", {"-", "ERR no such message\r\n"}},
        {"CR and LF apart", {"-ERR locked\r", "\n"}},
        {"not a POP3 reply at all", {"HTTP/1.0 400\r\n"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Pop3MessageReceiver receiver;
        QByteArray out;
        for (qsizetype i = 0; i + 1 < row.pieces.size(); ++i)
            EXPECT_EQ(receiver.feed(row.pieces[i], out), Pop3MessageReceiver::Result::NeedMore);
        EXPECT_EQ(receiver.feed(row.pieces.last(), out),
                  Pop3MessageReceiver::Result::NegativeStatus);
        EXPECT_TRUE(out.isEmpty());
        EXPECT_EQ(receiver.statusLine(), row.pieces.join());
    }
}

TEST(Pop3MessageReceiver, StatusLineWithoutLineEndIsBounded)
{
    Pop3MessageReceiver receiver;
    QByteArray out;
    const QByteArray chunk(1000, 'x');
    Pop3MessageReceiver::Result r = Pop3MessageReceiver::Result::NeedMore;
    int fed = 0;
    while (r == Pop3MessageReceiver::Result::NeedMore && fed < 100) {
        r = receiver.feed(QByteArray("+") + chunk, out);
        ++fed;
    }
    EXPECT_EQ(r, Pop3MessageReceiver::Result::StatusTooLong);
    EXPECT_LE(receiver.statusLine().size(), Pop3MessageReceiver::kMaxStatusLine);
    EXPECT_TRUE(out.isEmpty());
}

// ---- Sessions against the fake server ----------------------------------------------------

class RecordingView : public routing::RoutingView
{
public:
    void open() override { }
    void close() override { }
    void addStatus(const QString &line) override { status << line; }
    void setLabel(const QString &text) override { labels << text; }
    void setProgressMaximum(qint32 maximum) override { maxima << maximum; }
    void setProgress(qint32 value) override { values << value; }

    QStringList status;
    QStringList labels;
    QList<qint32> maxima;
    QList<qint32> values;
};

const QByteArray kMessage1 = "From: a@b.cat\r\nSubject: one\r\n\r\n..\r\n.leading dot\r\nend\r\n";
const QByteArray kMessage2 = ".starts with a dot\r\n\r\nsecond\r\n";

class Pop3SessionTest : public ::testing::Test
{
protected:
    Pop3SessionTest()
        : logEnv("VESSAMO_EVENTLOG", QFile::encodeName(dir.filePath(QStringLiteral("events.log"))))
    {
        QDir(dir.path()).mkdir(QStringLiteral("Cua"));
        config::resetConfiguration();
        config::Configuracio.CarpetaCua = dir.filePath(QStringLiteral("Cua")) + u'/';
    }
    ~Pop3SessionTest() override { config::resetConfiguration(); }

    void addMailbox(const FakePop3 &server,
                    const QString &enviarA = QStringLiteral("a@b.cat;c@d.cat"))
    {
        config::Bustia b;
        b.Servidor = QStringLiteral("127.0.0.1");
        b.Port = static_cast<qint16>(server.port()); // ports above 32767 are stored negative
        b.Usuari = QStringLiteral("usuari");
        b.Contrassenya = QStringLiteral("secret");
        b.EnviarA = enviarA;
        config::Busties.push_back(b);
        config::Configuracio.NumBusties = static_cast<qint16>(config::Busties.size());
    }

    // One session, as the run does it; the run's safety timer is stood in for by `abortAfterMs`.
    void read(qsizetype index, int abortAfterMs = 20000)
    {
        QTimer safety;
        safety.setSingleShot(true);
        QObject::connect(&safety, &QTimer::timeout, [this] { ctx.abort.request(); });
        safety.start(abortAfterMs);
        session.LlegirBustia(index);
    }

    QStringList queueFiles() const
    {
        return QDir(config::Configuracio.CarpetaCua).entryList(QDir::Files, QDir::Name);
    }
    void emptyQueue() const
    {
        for (const QString &name : queueFiles())
            QFile::remove(config::Configuracio.CarpetaCua + name);
    }
    QByteArray queued(const QString &name) const
    {
        QFile f(config::Configuracio.CarpetaCua + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // The texts of the event-log entries, escaped as in the file.
    QStringList events() const
    {
        QFile f(dir.filePath(QStringLiteral("events.log")));
        QStringList texts;
        if (!f.open(QIODevice::ReadOnly))
            return texts;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() >= 4)
                texts << QString::fromUtf8(fields.mid(3).join('\t'));
        }
        return texts;
    }
    static QString stem(const QString &name) { return name.left(19); }

    QTemporaryDir dir;
    test::ScopedEnv logEnv;
    RecordingView view;
    routing::RunContext ctx {view};
    platform::SocketControl socket;
    Pop3Session session {socket, ctx};
};

TEST_F(Pop3SessionTest, TwoMessagesDialogueStatusLinesAndStoredPairs)
{
    FakePop3 server;
    server.addMessage(kMessage1);
    server.addMessage(kMessage2);
    addMailbox(server);
    // DELE only once the message has its final name; QUIT only once both are there.
    QStringList filesAtCommand;
    server.setCommandHook([&](const QByteArray &line) {
        if (line.startsWith("DELE") || line == "QUIT")
            filesAtCommand << QString::fromLatin1(line) + u':' + queueFiles().join(u',');
    });
    read(0);

    const QString total = QString::number(kMessage1.size() + kMessage2.size());
    EXPECT_EQ(view.status,
              QStringList({u"+OK fake POP3 server ready"_s, u"USER usuari"_s, u"+OK"_s,
                           u"PASS *******"_s, u"+OK logged in"_s, u"STAT"_s, u"+OK 2 "_s + total,
                           u"RETR 1"_s, u"DELE 1"_s, u"+OK message 1 deleted"_s, u"RETR 2"_s,
                           u"DELE 2"_s, u"+OK message 2 deleted"_s, u"QUIT"_s, u"+OK bye"_s}));
    EXPECT_EQ(server.commands(),
              QList<QByteArray>({"USER usuari", "PASS secret", "STAT", "RETR 1", "DELE 1", "RETR 2",
                                 "DELE 2", "QUIT"}));
    EXPECT_EQ(view.labels, QStringList({u"Llegint correu de usuari"_s}));
    EXPECT_EQ(view.maxima, QList<qint32>({total.toInt()}));
    ASSERT_FALSE(view.values.isEmpty());
    EXPECT_EQ(view.values.first(), 0);
    EXPECT_EQ(view.values.last(), total.toInt());

    const QStringList files = queueFiles();
    ASSERT_EQ(files.size(), 4) << files.join(u' ').toStdString();
    EXPECT_TRUE(files[0].endsWith(QStringLiteral("0001.destinatari")));
    EXPECT_TRUE(files[1].endsWith(QStringLiteral("0001.missatge")));
    EXPECT_TRUE(files[2].endsWith(QStringLiteral("0002.destinatari")));
    EXPECT_EQ(stem(files[2]) + QStringLiteral(".missatge"), files[3]);
    EXPECT_EQ(queued(files[0]), QByteArray("a@b.cat;c@d.cat"));
    EXPECT_EQ(queued(files[1]), kMessage1);
    EXPECT_EQ(queued(files[3]), kMessage2);
    EXPECT_EQ(filesAtCommand,
              QStringList({u"DELE 1:"_s + files[0] + u',' + files[1],
                           u"DELE 2:"_s + files.join(u','), u"QUIT:"_s + files.join(u',')}));

    EXPECT_TRUE(server.messages().isEmpty()); // deleted at QUIT
    EXPECT_FALSE(session.busy());
    EXPECT_FALSE(ctx.abort.requested());
    EXPECT_EQ(ctx.runCounter, 2);
    EXPECT_EQ(session.state(), Pop3State::Quit);
    EXPECT_TRUE(events().isEmpty());
}

TEST_F(Pop3SessionTest, EmptyMailboxSendsQuitAndCreatesNothing)
{
    FakePop3 server;
    addMailbox(server);
    read(0);
    EXPECT_EQ(server.commands(), QList<QByteArray>({"USER usuari", "PASS secret", "STAT", "QUIT"}));
    EXPECT_TRUE(queueFiles().isEmpty());
    EXPECT_TRUE(view.maxima.isEmpty());
    EXPECT_TRUE(view.values.isEmpty());
    EXPECT_FALSE(ctx.abort.requested());
    EXPECT_FALSE(session.busy());
}

TEST_F(Pop3SessionTest, WrongPasswordIsLoggedAndTheRunGoesOn)
{
    FakePop3 server;
    server.setCredentials("usuari", "other");
    server.addMessage(kMessage1);
    addMailbox(server);
    read(0);
    EXPECT_EQ(events(), QStringList({u"Rebent: -ERR [AUTH] Authentication failed.\\r\\n"_s}));
    EXPECT_EQ(server.commands(), QList<QByteArray>({"USER usuari", "PASS secret"}));
    EXPECT_EQ(view.status.last(), QStringLiteral("-ERR [AUTH] Authentication failed."));
    EXPECT_FALSE(ctx.abort.requested());
    EXPECT_FALSE(session.busy());
    EXPECT_TRUE(queueFiles().isEmpty());
}

TEST_F(Pop3SessionTest, UnreachableServerIsASocketErrorThatDoesNotStopTheRun)
{
    quint16 port = 0;
    {
        FakePop3 closed;
        port = closed.port();
    }
    config::Busties.push_back({QStringLiteral("127.0.0.1"), static_cast<qint16>(port),
                               QStringLiteral("u"), QStringLiteral("p"),
                               QStringLiteral("x@y.cat")});
    read(0);
    const QStringList logged = events();
    ASSERT_EQ(logged.size(), 1);
    EXPECT_TRUE(logged[0].startsWith(QStringLiteral("Rebent Winsock: 10061: ")))
        << logged[0].toStdString();
    EXPECT_FALSE(ctx.abort.requested());
    EXPECT_FALSE(session.busy());
}

// Without QUIT the server keeps every message: nothing of the session stays queued, so
// the next run's copies are the only ones forwarded.
TEST_F(Pop3SessionTest, DropInTheMiddleOfAMessageQueuesNothingAndTheNextRunFetchesAllWhole)
{
    FakePop3 server;
    server.addMessage(kMessage1);
    server.addMessage(kMessage2);
    server.setRetrCut(2, 25, FakePop3::Cut::Close);
    addMailbox(server);
    read(0);

    EXPECT_EQ(events(),
              QStringList({u"Rebent Winsock: 10053: The remote host closed the connection"_s}));
    EXPECT_FALSE(ctx.abort.requested());
    EXPECT_FALSE(server.commands().contains("QUIT"));
    EXPECT_TRUE(server.commands().contains("DELE 1"));
    EXPECT_FALSE(server.commands().contains("DELE 2"));
    EXPECT_TRUE(queueFiles().isEmpty()) << queueFiles().join(u' ').toStdString();
    EXPECT_EQ(server.messages().size(), 2); // no QUIT: nothing deleted

    // The next run: the same mailbox, the server no longer cutting.
    FakePop3 again;
    again.addMessage(kMessage1);
    again.addMessage(kMessage2);
    config::Busties[0].Port = static_cast<qint16>(again.port());
    ctx.runCounter = 0;
    read(0);
    const QStringList second = queueFiles();
    ASSERT_EQ(second.size(), 4);
    EXPECT_EQ(queued(second[1]), kMessage1);
    EXPECT_EQ(queued(second[3]), kMessage2);
    EXPECT_FALSE(ctx.abort.requested());
}

TEST_F(Pop3SessionTest, AbortWhileTheServerIsSilentEndsTheSessionWithoutALeftoverPair)
{
    struct Row
    {
        const char *name;
        std::function<void(FakePop3 &)> script;
    };
    const Row rows[] = {
        {"silent after STAT", [](FakePop3 &s) { s.setSilent("STAT"); }},
        {"stalled in a message", [](FakePop3 &s) { s.setRetrCut(1, 30, FakePop3::Cut::Stall); }},
        {"no greeting", [](FakePop3 &s) { s.setSilent("GREETING"); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3 server;
        server.addMessage(kMessage1);
        row.script(server);
        config::Busties.clear();
        addMailbox(server);
        ctx.abort.reset();
        read(0, 300);
        EXPECT_TRUE(ctx.abort.requested());
        EXPECT_FALSE(session.busy());
        EXPECT_EQ(socket.State(), platform::SocketControl::sckClosed);
        EXPECT_TRUE(queueFiles().isEmpty()) << queueFiles().join(u' ').toStdString();
        EXPECT_FALSE(server.commands().contains("QUIT"));
        EXPECT_TRUE(events().isEmpty()); // the safety timer logs, not the session
    }
}

// The same message through the socket, its RETR reply cut in the places that trip readers.
TEST_F(Pop3SessionTest, StoredBytesExactWhateverTheBlocks)
{
    const QByteArray message = "X: 1\r\n\r\n..\r\n.dot\r\nlast\r\n";
    const QByteArray wire = FakePop3::retrWire(message);
    const qsizetype stuffedLine = wire.indexOf("\r\n...") + 2; // the line "..." starts here
    struct Row
    {
        const char *name;
        FakePop3::Splitter splitter;
    };
    const Row rows[] = {
        {"one block", {}},
        {"terminator alone", FakePop3::cutAt({-3})},
        {"CR LF dot, then CR LF", FakePop3::cutAt({-2})},
        {"last CR LF and terminator alone", FakePop3::cutAt({-5})},
        {"CR apart from LF before the terminator", FakePop3::cutAt({-4})},
        {"status line split after +", FakePop3::cutAt({1})},
        {"status line CR apart from its LF", FakePop3::cutAt({wire.indexOf('\n')})},
        {"just before a line that starts with a dot", FakePop3::cutAt({stuffedLine})},
        {"between the dots of a stuffed line", FakePop3::cutAt({stuffedLine + 1})},
        {"one byte at a time", FakePop3::byteByByte()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3 server;
        server.addMessage(message);
        server.setSplitter(row.splitter);
        config::Busties.clear();
        addMailbox(server);
        emptyQueue();
        read(0);
        const QStringList files = queueFiles();
        ASSERT_EQ(files.size(), 2) << files.join(u' ').toStdString();
        EXPECT_EQ(queued(files[1]), message);
        EXPECT_TRUE(server.commands().endsWith("QUIT"));
        EXPECT_FALSE(ctx.abort.requested());
    }
}

TEST_F(Pop3SessionTest, ReplySplitBeforeItsLineEndIsOneReply)
{
    FakePop3 server;
    server.setReply("GREETING", {"+", "OK hello\r\n"});
    server.setReply("USER", {"+OK", " user\r", "\n"});
    addMailbox(server);
    read(0);
    EXPECT_EQ(view.status.mid(0, 3),
              QStringList({u"+OK hello"_s, u"USER usuari"_s, u"+OK user"_s}));
    EXPECT_EQ(server.commands().last(), QByteArray("QUIT"));
    EXPECT_TRUE(events().isEmpty());
}

// Once logged in, a refusal still ends with QUIT, which commits the DELEs made before.
TEST_F(Pop3SessionTest, NegativeRepliesEndTheSessionWithQuitOnceLoggedIn)
{
    struct Row
    {
        const char *name;
        QByteArray verb;
        QByteArray reply;
        QList<QByteArray> commands;
    };
    const Row rows[] = {
        {"greeting refused", "GREETING", "-ERR busy\r\n", {}},
        {"STAT without a size",
         "STAT",
         "+OK 1\r\n",
         {"USER usuari", "PASS secret", "STAT", "QUIT"}},
        {"RETR refused",
         "RETR",
         "-ERR message locked\r\n",
         {"USER usuari", "PASS secret", "STAT", "RETR 1", "QUIT"}},
        {"DELE refused",
         "DELE",
         "-ERR read-only\r\n",
         {"USER usuari", "PASS secret", "STAT", "RETR 1", "DELE 1", "QUIT"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3 server;
        server.addMessage(kMessage1);
        server.setReply(row.verb, {row.reply});
        config::Busties.clear();
        addMailbox(server);
        QFile::remove(dir.filePath(QStringLiteral("events.log")));
        emptyQueue();
        read(0);
        QByteArray escaped = row.reply;
        escaped.replace("\r\n", "\\r\\n");
        EXPECT_EQ(events(), QStringList({u"Rebent: "_s + QString::fromLatin1(escaped)}));
        EXPECT_EQ(server.commands(), row.commands);
        EXPECT_FALSE(ctx.abort.requested());
        EXPECT_FALSE(session.busy());
        // The message stays on the server, so no copy stays queued.
        EXPECT_TRUE(queueFiles().isEmpty()) << queueFiles().join(u' ').toStdString();
        EXPECT_EQ(server.messages().size(), 1);
    }
}

TEST_F(Pop3SessionTest, EmptyMessageGivesAnEmptyMessageFile)
{
    FakePop3 server;
    server.addMessage(QByteArray());
    addMailbox(server);
    read(0);
    const QStringList files = queueFiles();
    ASSERT_EQ(files.size(), 2);
    EXPECT_TRUE(files[1].endsWith(QStringLiteral(".missatge")));
    EXPECT_TRUE(queued(files[1]).isEmpty());
    EXPECT_TRUE(server.commands().contains("DELE 1"));
    EXPECT_EQ(server.commands().last(), QByteArray("QUIT"));
}

// The wire log, switched on: the dialogue line by line, the password masked, one line in
// place of each message's text.
QStringList wireLines;

TEST_F(Pop3SessionTest, WireLogHoldsTheDialogueButNoPasswordAndNoMessageText)
{
    FakePop3 server;
    server.addMessage(kMessage1);
    addMailbox(server);
    wireLines.clear();
    QLoggingCategory::setFilterRules(u"vessamo.wire.pop3.debug=true"_s);
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &context, const QString &text) {
            if (qstrcmp(context.category, "vessamo.wire.pop3") == 0)
                wireLines << text;
        });
    read(0);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());

    const QString size = QString::number(kMessage1.size());
    EXPECT_EQ(
        wireLines,
        QStringList({u"S: +OK fake POP3 server ready"_s, u"C: USER usuari"_s, u"S: +OK"_s,
                     u"C: PASS *******"_s, u"S: +OK logged in"_s, u"C: STAT"_s,
                     u"S: +OK 1 "_s + size, u"C: RETR 1"_s, u"S: +OK "_s + size + u" octets"_s,
                     u"S: <message 1, "_s + size + u" octets>"_s, u"C: DELE 1"_s,
                     u"S: +OK message 1 deleted"_s, u"C: QUIT"_s, u"S: +OK bye"_s}));
    EXPECT_FALSE(wireLines.join(u'\n').contains(u"secret"_s));
}

TEST_F(Pop3SessionTest, RunCounterGoesOnAcrossMailboxes)
{
    FakePop3 first;
    first.addMessage(kMessage1);
    first.addMessage(kMessage2);
    FakePop3 second;
    second.addMessage(kMessage2);
    addMailbox(first, QStringLiteral("one@x.cat"));
    addMailbox(second, QStringLiteral("two@x.cat"));
    read(0);
    read(1);
    EXPECT_EQ(ctx.runCounter, 3);
    const QStringList files = queueFiles().filter(QStringLiteral(".destinatari"));
    ASSERT_EQ(files.size(), 3);
    QStringList counters;
    for (const QString &f : files)
        counters << f.mid(15, 4) + u'=' + QString::fromLatin1(queued(f));
    EXPECT_EQ(counters,
              QStringList({u"0001=one@x.cat"_s, u"0002=one@x.cat"_s, u"0003=two@x.cat"_s}));
    EXPECT_EQ(view.labels,
              QStringList({u"Llegint correu de usuari"_s, u"Llegint correu de usuari"_s}));
}

} // namespace
