// Crash safety of the built program: it is killed (SIGKILL) again and again in the middle
// of routing runs, at chosen points of the POP3 dialogue, of the forwarding and at
// spread-out times, and finally left to finish a run. No message may be lost, cut off or
// altered on the way from the POP3 mailbox to the SMTP server; a message may arrive twice
// (a kill between the server's acceptance and the archiving makes the next run send it
// again).
//
// The fake servers are served while the test waits in the event loop; their replies are
// slowed down a little so that one run lasts about a second.
#include "programfixture.h"
#include "support/mailwire.h"

#include <QFile>
#include <QSet>
#include <algorithm>
#include <array>

using namespace vessamo;
using Reply = test::FakeSmtpServer::Reply;

namespace {

constexpr int kEndOfDataDelayMs = 25;

// A message with a Received: line first, its own From: and Message-ID, lines that need
// dot-stuffing and a line that is a "." alone. Some are large, so that kills land in the
// middle of a transfer.
QByteArray makeMessage(int n)
{
    const qsizetype size
        = QList<int> {3, 8, 14, 19, 24, 28}.contains(n) ? 300 * 1024 : 300 + (n * 977) % 6000;
    const QByteArray num = QByteArray::number(n);
    QByteArray m = "Received: from mx" + num
        + ".example.org by pop.example.org; Tue, 2 Jan 2024 10:00:00 +0100\r\nFrom: Sender " + num
        + " <s" + num + "@example.org>\r\nTo: box@example.net\r\nMessage-ID: <" + num
        + "@crash.test>\r\nSubject: message " + num + "\r\n\r\n";
    for (int line = 0; m.size() < size; ++line) {
        if (line % 9 == 0)
            m += '.';
        m += "m" + num + " line " + QByteArray::number(line) + ' '
            + QByteArray(40 + (line * 13 + n) % 50, char('a' + (line + n) % 26)) + "\r\n";
    }
    return m + ".\r\nend of message " + num + "\r\n";
}

// Where a kill lands: the count-th POP3 ('p') or SMTP ('s') command line of the run that
// starts with `text`, the count-th end of data ('.'), or the read-now signal (0); then a
// delay. Without delay the kill comes before the server answers.
struct KillPoint
{
    char where;
    QByteArray text;
    int count;
    int delayMs;
};

class CrashSafety : public test::ProgramTest
{
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        pop3.setSplitter([](const QByteArray &wire) {
            QList<QByteArray> pieces;
            for (qsizetype at = 0; at < wire.size(); at += 16 * 1024)
                pieces << wire.mid(at, 16 * 1024);
            return pieces;
        });
        pop3.setPieceDelayMs(10);
        const auto hook = [this](const QByteArray &) {
            if (armed && armed->delayMs == 0 && anchorReached())
                signal(SIGKILL);
        };
        pop3.setCommandHook(hook);
        smtp.setCommandHook(hook);
        // Every acceptance of a message comes a little late: room for a kill in between.
        for (int i = 0; i < 3000; ++i)
            smtp.script(".", Reply {Reply::Send, {"250 2.0.0 queued\r\n"}, 0, kEndOfDataDelayMs});
        // No tick of the routing timer comes during the test: only the signal starts runs.
        writeConfig(30000);
    }

    void addMessages(int first, int last)
    {
        for (int n = first; n <= last; ++n) {
            originals << makeMessage(n);
            pop3.addMessage(originals.last());
        }
    }
    bool anchorReached() const
    {
        if (armed->where == '.')
            return smtp.messages().size() - before[2] >= armed->count;
        const QList<QByteArray> lines
            = armed->where == 'p' ? pop3.commands().mid(before[0]) : smtp.commands().mid(before[1]);
        return armed->where == 0
            || std::count_if(lines.begin(), lines.end(),
                             [&](const QByteArray &line) {
                                 return line == armed->text || line.startsWith(armed->text + ' ');
                             })
            >= armed->count;
    }
    // One run of the program, killed at the point given. False when the anchor never came.
    bool killedRun(const KillPoint &point)
    {
        start({QStringLiteral("/E")}, true);
        if (HasFatalFailure())
            return false;
        before = {pop3.commands().size(), smtp.commands().size(), smtp.messages().size()};
        armed = &point;
        signal(SIGUSR1);
        const bool reached
            = waitFor([&] { return anchorReached() || !running(); }, 15000) && anchorReached();
        if (point.delayMs > 0)
            waitFor([&] { return !running(); }, point.delayMs);
        if (running())
            signal(SIGKILL);
        armed = nullptr;
        EXPECT_TRUE(waitFor([&] { return !running(); }));
        return reached;
    }
    QStringList files(const char *name) const
    {
        return QDir(folder(name)).entryList(QDir::Files, QDir::Name);
    }

    QList<QByteArray> originals;
    const KillPoint *armed = nullptr;
    std::array<qsizetype, 3> before {}; // POP3 and SMTP commands, ends of data
};

} // namespace

TEST_F(CrashSafety, KilledRunsLoseAndAlterNothing)
{
    addMessages(1, 20);
    // While the mailbox is being read: no QUIT reaches the server, so every run finds the
    // whole mailbox again and the anchors below all come.
    const KillPoint reading[] = {
        {0, "", 0, 2},           {'p', "STAT", 1, 0},    {'p', "RETR 1", 1, 0},
        {'p', "RETR 3", 1, 25}, // in a large message
        {'p', "DELE 3", 1, 0},   {'p', "RETR 8", 1, 40}, {'p', "DELE 10", 1, 1},
        {'p', "RETR 14", 1, 60}, {'p', "DELE 20", 1, 0}, // all stored, QUIT not sent yet
        {'p', "QUIT", 1, 0}, // the server deletes; the program dies before the reply
    };
    // While the queue is being forwarded: around the DATA transfer, between the end of data
    // and the server's acceptance (the next run sends that message again), and just after
    // the acceptance, while the pair is being archived.
    const KillPoint forwarding[] = {
        {'s', "DATA", 1, 1},
        {'.', "", 1, 5},
        {'.', "", 2, kEndOfDataDelayMs + 1},
        {'s', "MAIL", 2, 0},
        {'.', "", 1, kEndOfDataDelayMs},
        {'.', "", 3, kEndOfDataDelayMs + 3},
        {'s', "QUIT", 2, 0},
        {'.', "", 2, kEndOfDataDelayMs + 6},
    };
    for (const KillPoint &point : reading)
        EXPECT_TRUE(killedRun(point)) << point.where << point.text.constData() << point.count;
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(pop3.messages().isEmpty()) << "the kill at QUIT came before the server's QUIT";
    for (const KillPoint &point : forwarding)
        EXPECT_TRUE(killedRun(point)) << point.where << point.text.constData() << point.count;
    ASSERT_FALSE(HasFatalFailure());

    // New mail, and kills at times spread over whole runs that read and forward.
    addMessages(21, 30);
    for (const int ms : {3, 40, 100, 180, 280, 400, 550, 700, 900, 1100, 1350, 1600})
        killedRun(KillPoint {0, "", 0, ms});
    ASSERT_FALSE(HasFatalFailure());

    // One more run, left alone, works off everything; it ends with the purge, so it gets a
    // moment before the stop.
    start({QStringLiteral("/E")}, true);
    ASSERT_FALSE(HasFatalFailure());
    signal(SIGUSR1);
    EXPECT_TRUE(waitFor([&] { return pop3.messages().isEmpty() && files("Cua").isEmpty(); }, 60000))
        << files("Cua").join(u' ').toStdString();
    waitFor([] { return false; }, 300);
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);

    // Every original came, whole and unchanged, to the forward-to address, and nothing
    // else did. The sent archive holds each original (no later pair may take a forwarded
    // message's place) and nothing else; nothing failed, nothing was left behind.
    QSet<QByteArray> relayed, archived;
    for (const QByteArray &message : originals)
        relayed << test::relayedData(message);
    const QList<QByteArray> deliveries = smtp.messages();
    const QSet<QByteArray> delivered(deliveries.begin(), deliveries.end());
    EXPECT_EQ((relayed - delivered).size(), 0) << "originals that never arrived";
    EXPECT_EQ((delivered - relayed).size(), 0) << "deliveries that are no original";
    for (const QByteArray &line : smtp.commands()) {
        if (line.startsWith("RCPT")) {
            EXPECT_EQ(line, "RCPT TO: <joan@example.net>");
        }
    }
    for (const QString &name : files("SiEnviats")) {
        QFile file(folder("SiEnviats") + name);
        if (name.endsWith(QStringLiteral(".missatge")) && file.open(QIODevice::ReadOnly))
            archived << file.readAll();
    }
    const QSet<QByteArray> stored(originals.begin(), originals.end());
    EXPECT_EQ((stored - archived).size(), 0) << "originals missing from the sent archive";
    EXPECT_EQ((archived - stored).size(), 0) << "archived messages that are no original";
    EXPECT_TRUE(files("Cua").isEmpty()) << files("Cua").join(u' ').toStdString();
    EXPECT_TRUE(files("NoEnviats").isEmpty());
    EXPECT_TRUE(files("SPam").isEmpty());
    EXPECT_EQ(logged(), QString());
    RecordProperty("duplicates", int(deliveries.size() - originals.size()));
}
