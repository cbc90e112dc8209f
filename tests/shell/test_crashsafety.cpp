// Crash safety of the built program: it is killed (SIGKILL) again and again in the middle
// of routing runs, at chosen points of the POP3 dialogue and of the forwarding and at
// spread-out times, then left to finish a run. No message may be lost, cut off or altered
// on the way from the POP3 mailbox to the SMTP server; one may arrive twice (a kill between
// the server's acceptance and the archiving makes the next run send it again). The fake
// servers answer a little slowly, so that a run lasts about a second.
#include "programfixture.h"
#include "support/mailwire.h"

#include <QFile>
#include <QSet>
#include <algorithm>
#include <array>

using namespace vessamo;
using namespace Qt::StringLiterals;
using Reply = test::FakeSmtpServer::Reply;

namespace {

constexpr int kAckMs = 25; // the fake SMTP server waits that long before it accepts a message

// A Received: line first, its own From: and Message-ID, lines that need dot-stuffing and a
// "." line alone. Some are large, so that kills land in the middle of a transfer.
QByteArray makeMessage(int n)
{
    const qsizetype size
        = QList<int> {3, 8, 14, 19, 24, 28}.contains(n) ? 300 * 1024 : 300 + (n * 977) % 6000;
    QByteArray m = u"Received: from mx%1.example.org by pop.example.org; Tue, 2 Jan 2024 10:00:00 "
                   u"+0100\r\nFrom: Sender %1 <s%1@example.org>\r\nTo: box@example.net\r\n"
                   u"Message-ID: <%1@crash.test>\r\nSubject: message %1\r\n\r\n"_s.arg(n)
                       .toLatin1();
    for (int line = 0; m.size() < size; ++line)
        m += (line % 9 ? "m" : ".m") + QByteArray::number(n) + " line " + QByteArray::number(line)
            + ' ' + QByteArray(40 + (line * 13 + n) % 50, char('a' + (line + n) % 26)) + "\r\n";
    return m + ".\r\nend of message " + QByteArray::number(n) + "\r\n";
}

// Where a kill lands: at the count-th POP3 ('p') or SMTP ('s') command line of the run that
// starts with `text`, at the count-th end of data ('.'), or at the read-now signal (0); then
// after delayMs. Without a delay the kill comes before the server answers.
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
            smtp.script(".", Reply {Reply::Send, {"250 2.0.0 queued\r\n"}, 0, kAckMs});
        writeConfig(30000); // no tick of the routing timer in the test: only the signal
    }

    void addMessages(int first, int last)
    {
        for (int n = first; n <= last; ++n)
            pop3.addMessage(originals.emplace_back(makeMessage(n)));
    }
    bool anchorReached() const
    {
        if (armed->where == 0 || armed->where == '.')
            return smtp.messages().size() - before[2] >= armed->count;
        const QList<QByteArray> lines
            = armed->where == 'p' ? pop3.commands().mid(before[0]) : smtp.commands().mid(before[1]);
        return std::count_if(lines.begin(), lines.end(),
                             [&](const QByteArray &line) {
                                 return (line + ' ').startsWith(armed->text + ' ');
                             })
            >= armed->count;
    }
    // One run of the program, killed at the point given. False when the anchor never came.
    bool killedRun(const KillPoint &point)
    {
        start({u"/E"_s}, true);
        if (HasFatalFailure())
            return false;
        before = {pop3.commands().size(), smtp.commands().size(), smtp.messages().size()};
        armed = &point;
        signal(SIGUSR1);
        const bool reached
            = waitFor([&] { return anchorReached() || !running(); }, 15000) && anchorReached();
        waitFor([&] { return !running(); }, point.delayMs);
        signal(SIGKILL);
        armed = nullptr;
        EXPECT_TRUE(waitFor([&] { return !running(); }));
        return reached;
    }

    QList<QByteArray> originals;
    const KillPoint *armed = nullptr;
    std::array<qsizetype, 3> before {}; // POP3 and SMTP commands, ends of data
};

} // namespace

TEST_F(CrashSafety, KilledRunsLoseAndAlterNothing)
{
    addMessages(1, 20);
    // First while the mailbox is read: no QUIT reaches the server, so every run finds the
    // whole mailbox again and every anchor comes. RETR 3 is a large message; after DELE 20
    // all is stored; at QUIT the server deletes, and the program dies before the reply.
    // Then while the queue is forwarded: around the DATA transfer, between the end of data
    // and the acceptance (the next run sends that message again), and just after the
    // acceptance, while the pair is archived.
    // clang-format off
    const KillPoint points[] = {
        {0, "", 0, 2}, {'p', "STAT", 1, 0}, {'p', "RETR 1", 1, 0}, {'p', "RETR 3", 1, 25},
        {'p', "DELE 3", 1, 0}, {'p', "RETR 8", 1, 40}, {'p', "DELE 10", 1, 1}, {'p', "RETR 14", 1, 60},
        {'p', "DELE 20", 1, 0}, {'p', "QUIT", 1, 0}, {'s', "DATA", 1, 1}, {'.', "", 1, 5},
        {'.', "", 2, kAckMs + 1}, {'s', "MAIL", 2, 0}, {'.', "", 1, kAckMs}, {'.', "", 3, kAckMs + 3},
        {'s', "QUIT", 2, 0}, {'.', "", 2, kAckMs + 6}};
    // clang-format on
    for (const KillPoint &point : points)
        EXPECT_TRUE(killedRun(point)) << point.where << point.text.constData() << point.count;
    // New mail, and kills at times spread over whole runs that read and forward.
    addMessages(21, 30);
    for (const int ms : {3, 40, 100, 180, 280, 400, 550, 700, 900, 1100, 1350, 1600})
        killedRun(KillPoint {0, "", 0, ms});
    ASSERT_FALSE(HasFatalFailure());

    // A run left alone works off everything; it ends with the purge, so it gets a moment
    // before the stop.
    start({u"/E"_s}, true);
    ASSERT_FALSE(HasFatalFailure());
    signal(SIGUSR1);
    EXPECT_TRUE(
        waitFor([&] { return pop3.messages().isEmpty() && files("Cua").isEmpty(); }, 60000));
    waitFor([] { return false; }, 300);
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);

    // Every original came, whole and unchanged, to the forward-to address, and nothing else
    // did; the sent archive holds each original (no later pair took a forwarded message's
    // place) and nothing else; nothing failed, nothing was left behind.
    const QList<QByteArray> deliveries = smtp.messages();
    QSet<QByteArray> relayed, delivered(deliveries.begin(), deliveries.end()), archived;
    for (const QByteArray &message : originals)
        relayed << test::relayedData(message);
    EXPECT_TRUE(delivered == relayed) << (relayed - delivered).size() << " never arrived, "
                                      << (delivered - relayed).size() << " are no original";
    for (const QByteArray &line : smtp.commands())
        EXPECT_TRUE(!line.startsWith("RCPT") || line == "RCPT TO: <joan@example.net>")
            << line.data();
    for (const QString &name : files("SiEnviats").filter(u".missatge"_s)) {
        QFile file(folder("SiEnviats") + name);
        if (file.open(QIODevice::ReadOnly))
            archived << file.readAll();
    }
    const QSet<QByteArray> stored(originals.begin(), originals.end());
    EXPECT_TRUE(archived == stored) << (stored - archived).size() << " not archived, "
                                    << (archived - stored).size() << " are no original";
    EXPECT_EQ((files("Cua") + files("NoEnviats") + files("SPam")).join(u' ').toStdString(), "");
    EXPECT_EQ(logged(), QString());
}

namespace {

using ProgramStop = test::ProgramTest;

} // namespace

// SIGTERM (systemctl stop) once the end of data is out: the program waits for the server's
// reply, for 30 safety ticks at most (here 4.5 s), and records what it says before it ends. A
// reply 2 s late is an acceptance: the pair is filed as sent and a second run sends
// nothing. A server that never answers is left when the grace is over; the pair stays
// queued for the next run.
TEST_F(ProgramStop, SigtermWaitsForTheReplyToTheEndOfData)
{
    env.insert(u"VESSAMO_SAFETY_TICK_MS"_s, u"150"_s);
    writeConfig(30000);
    const QByteArray original = makeMessage(1);
    const struct
    {
        const char *name;
        Reply reply;
        const char *folder;
    } rows[] = {
        {"250 2 s late", Reply {Reply::Send, {"250 2.0.0 queued\r\n"}, 0, 2000}, "SiEnviats"},
        {"no reply", Reply::silence(), "Cua"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString stem = u"M202401020304050001"_s;
        for (const char *name : {"Cua", "SiEnviats"}) {
            for (const QString &file : files(name))
                QFile::remove(folder(name) + file);
        }
        QFile pair(folder("Cua") + stem + u".destinatari"_s);
        QFile message(folder("Cua") + stem + u".missatge"_s);
        ASSERT_TRUE(pair.open(QIODevice::WriteOnly) && message.open(QIODevice::WriteOnly));
        pair.write("joan@example.net");
        message.write(original);
        pair.close();
        message.close();
        const qsizetype sent = smtp.messages().size();
        smtp.script(".", row.reply);

        start({u"/E"_s}, true);
        ASSERT_FALSE(HasFatalFailure());
        signal(SIGUSR1);
        ASSERT_TRUE(waitFor([&] { return smtp.messages().size() > sent; }, 20000));
        signal(SIGTERM);
        EXPECT_EQ(finish(15000), 0);
        EXPECT_EQ(smtp.messages().size(), sent + 1);
        EXPECT_EQ(files(row.folder),
                  (QStringList {stem + u".destinatari"_s, stem + u".missatge"_s}));

        // The next run sends again only what no server took.
        const bool taken = QByteArray(row.folder) == "SiEnviats";
        start({u"/E"_s}, true);
        ASSERT_FALSE(HasFatalFailure());
        const int quits = int(pop3.commands().count("QUIT"));
        signal(SIGUSR1);
        EXPECT_TRUE(waitFor(
            [&] {
                return taken ? pop3.commands().count("QUIT") > quits
                             : smtp.messages().size() == sent + 2;
            },
            20000));
        waitFor([] { return false; }, 300);
        signal(SIGTERM);
        EXPECT_EQ(finish(15000), 0);
        EXPECT_EQ(smtp.messages().size(), sent + (taken ? 1 : 2));
    }
}
