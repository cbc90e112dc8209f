// Whole runs against a POP3 server that fails at one step of its session: no server at
// all, refusals before and after login, a close instead of the QUIT reply, silence, a
// drop, a RETR far larger than STAT announced and a RETR that drips without end. Whatever
// the step, every message is either still on the server or forwarded once (never both,
// never neither), the next mailbox is read and the queue pass runs.
#include "test_routingrun_kit.h"

using namespace vessamo;
using test::FakePop3;
using test::relayedData;
using test::storedMessage;

namespace {

// Session limits follow the tick: 0.6 s of silence, 1.21 s for a small mailbox.
constexpr int kTickMs = 10;

struct FaultRow
{
    const char *name;
    std::function<void(FakePop3 &)> script; // none: no server listens at all
    QString logged; // the start of the one event-log entry; empty: nothing logged
    int deletedOnServer; // messages 1.. removed from the server (their DELEs committed)
    bool quitSent;
};

// Message 2's RETR reply, cut into one-byte pieces, with no end.
const QByteArray kDrip = "+OK drip\r\n" + QByteArray(20000, 'd');

const FaultRow kRows[] = {
    {"no server", nullptr, QStringLiteral("Rebent Winsock: 10061: "), 0, false},
    // Refused before login: no QUIT. Once logged in a refusal still ends with QUIT, which
    // commits the DELEs made before.
    {"greeting refused", [](FakePop3 &s) { s.play("S: -ERR busy"); },
     QStringLiteral("Rebent: -ERR busy\r\n"), 0, false},
    {"wrong password", [](FakePop3 &s) { s.setCredentials("ana", "other"); },
     QStringLiteral("Rebent: -ERR [AUTH] Authentication failed.\r\n"), 0, false},
    {"RETR 2 refused", [](FakePop3 &s) { s.setRetrWire(2, "-ERR message locked\r\n"); },
     QStringLiteral("Rebent: -ERR message locked"), 1, true},
    {"DELE 2 refused", [](FakePop3 &s) { s.play("C: DELE 2\nS: -ERR read-only"); },
     QStringLiteral("Rebent: -ERR read-only"), 1, true},
    {"STAT refused", [](FakePop3 &s) { s.play("C: STAT\nS: -ERR locked"); },
     QStringLiteral("Rebent: -ERR locked"), 0, true},
    {"QUIT answered by a close", [](FakePop3 &s) { s.play("C: QUIT\nS: <close>"); }, QString(), 3,
     true},
    {"no greeting", [](FakePop3 &s) { s.play("S: <silence>"); },
     QStringLiteral("Rebent: el servidor 127.0.0.1 no ha respost"), 0, false},
    // A silent server is not asked to QUIT: message 1's copy goes, the server keeps it.
    {"stalled inside RETR 2", [](FakePop3 &s) { s.setRetrCut(2, 40, FakePop3::Cut::Stall); },
     QStringLiteral("Rebent: el servidor 127.0.0.1 no ha respost"), 0, false},
    {"dropped inside RETR 2", [](FakePop3 &s) { s.setRetrCut(2, 40, FakePop3::Cut::Close); },
     QStringLiteral("Rebent Winsock: 10053: "), 0, false},
    {"RETR 2 far larger than STAT said",
     [](FakePop3 &s) {
         QByteArray wire = "+OK\r\n";
         while (wire.size() < 3 * 1024 * 1024)
             wire += QByteArray(998, 'x') + "\r\n";
         s.setRetrWire(2, wire);
     },
     QStringLiteral("Rebent: el missatge 2 de 127.0.0.1 supera"), 1, true},
    {"RETR 2 drips without end",
     [](FakePop3 &s) {
         s.setRetrWire(2, kDrip);
         s.setPieceDelayMs(20);
         s.setSplitter([](const QByteArray &wire) {
             return wire == kDrip ? FakePop3::byteByByte()(wire) : QList<QByteArray> {wire};
         });
     },
     QStringLiteral("Rebent: la sessió amb 127.0.0.1 ha superat"), 1, true},
};

using Pop3Faults = test::RoutingRunTest;

TEST_F(Pop3Faults, AFailingMailboxKeepsEveryMessageOnceAndTheRunGoesOn)
{
    const QList<QByteArray> mine
        = {storedMessage("From: a@example.org", "one"), storedMessage("From: b@example.org", "two"),
           storedMessage("From: c@example.org", "three")};
    for (const FaultRow &row : kRows) {
        SCOPED_TRACE(row.name);
        FakePop3 bad;
        bad.setCredentials("ana", "secret1");
        for (const QByteArray &m : mine)
            bad.addMessage(m);
        quint16 port = bad.port();
        if (row.script)
            row.script(bad);
        else
            port = FakePop3().port(); // closed again at once
        configuration.Busties[0].Port = static_cast<qint16>(port);
        const QByteArray next = storedMessage("From: d@example.org", row.name);
        pop2.addMessage(next);
        QFile::remove(logPath);
        const qsizetype forwardedBefore = smtp.messages().size();

        runOnce([](routing::frmEnviarCorreu &form) { form.setSafetyTickMs(kTickMs); });

        const QList<QByteArray> forwarded = smtp.messages().mid(forwardedBefore);
        for (qsizetype i = 0; i < mine.size(); ++i) {
            SCOPED_TRACE(i + 1);
            const bool onServer = bad.messages().contains(mine[i]);
            EXPECT_EQ(forwarded.count(relayedData(mine[i])), onServer ? 0 : 1);
            EXPECT_EQ(onServer, i >= row.deletedOnServer);
        }
        // The next mailbox was read and the queue pass forwarded all: nothing cut off.
        EXPECT_EQ(forwarded.count(relayedData(next)), 1);
        EXPECT_EQ(forwarded.size(), row.deletedOnServer + 1);
        EXPECT_TRUE(files(queue()).isEmpty()) << files(queue()).join(u' ').toStdString();
        EXPECT_EQ(bad.commands().contains("QUIT"), row.quitSent);
        const QStringList log = logged();
        EXPECT_EQ(log.size(), row.logged.isEmpty() ? 0 : 1) << log.join(u'|').toStdString();
        EXPECT_TRUE(log.value(0).startsWith(row.logged)) << log.value(0).toStdString();
    }
}

} // namespace
