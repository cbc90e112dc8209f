// The postmaster's notices, through whole runs against the fake SMTP server: one notice per
// pair filed as failed, to the postmaster alone (envelope and headers), never to the
// message's sender; none on a later run, none for a failure already told of, at most the
// bound per run with the others named; a notice that cannot be sent is logged and changes
// nothing else. Every notice is read back by Python's email package.
#include "routing/postmasternotice.h"
#include "routing/queue.h"
#include "support/pycheck.h"
#include "test_routingrun_kit.h"

using namespace vessamo;
using test::storedMessage;
using Reply = test::FakeSmtpServer::Reply;

namespace {

using PostmasterNotices = test::RoutingRunTest;

const QString kPostmaster = QStringLiteral("postmaster@example.org");

// Checks one notice as received (still dot-stuffed): argv: postmaster, stem, a text the
// body must hold, the original headers in hex. Prints what is wrong and exits 1.
constexpr const char *kCheckNotice = R"(
import email, email.policy, email.utils, re, sys
postmaster, stem, needle, headers = sys.argv[1], sys.argv[2], sys.argv[3], bytes.fromhex(sys.argv[4])
raw = re.sub(rb"(?m)^\.", b"", sys.stdin.buffer.read())
problems = []
if any(b > 126 for b in raw) or any(len(l) > 998 for l in raw.split(b"\r\n")):
    problems.append("not 7-bit with lines within 998 bytes")
msg = email.message_from_bytes(raw, policy=email.policy.default)
for part in msg.walk():
    problems += ["defect %s in %s" % (type(d).__name__, part.get_content_type()) for d in part.defects]
if str(msg["To"]) != postmaster or str(msg["From"]) != postmaster:
    problems.append("addressed %s from %s" % (msg["To"], msg["From"]))
if str(msg["Subject"]) != "Avís de Vessamo: missatge no enviat " + stem:
    problems.append("subject %r" % str(msg["Subject"]))
if msg["Auto-Submitted"] != "auto-generated" or not msg["Message-ID"] or not msg["Date"].datetime:
    problems.append("Auto-Submitted, Message-ID or Date")
text = [p for p in msg.walk() if p.get_content_type() == "text/plain"]
original = [p for p in msg.walk() if p.get_content_type() == "text/rfc822-headers"]
if len(text) != 1 or len(original) != 1:
    problems.append("parts: %s" % [p.get_content_type() for p in msg.walk()])
else:
    body = text[0].get_content()
    for wanted in (stem, needle, "vessamo --requeue " + stem, "vessamo --failed"):
        if wanted not in body:
            problems.append("body lacks %r: %r" % (wanted, body))
    if original[0].get_payload(decode=True) != headers:
        problems.append("headers %r" % original[0].get_payload(decode=True)[:200])
print("\n".join(problems))
sys.exit(1 if problems else 0)
)";

void expectNotice(const QByteArray &notice, const QString &stem, const QString &needle,
                  const QByteArray &headers)
{
    const test::PythonResult checked = test::runPython(
        kCheckNotice, notice, {kPostmaster, stem, needle, QString::fromLatin1(headers.toHex())});
    EXPECT_EQ(checked.status, 0) << checked.out.constData() << "\n"
                                 << notice.left(3000).constData();
}

QString stemNumber(int n)
{
    return routing::stemFor(QDateTime::currentDateTime(), n);
}

// Envelope commands seen by the server that start so (blanks left out).
QList<QByteArray> commandsStarting(const test::FakeSmtpServer &smtp, const QByteArray &start)
{
    QList<QByteArray> out;
    for (QByteArray line : smtp.commands()) {
        line.replace(' ', "");
        if (line.startsWith(start))
            out << line;
    }
    return out;
}

TEST_F(PostmasterNotices, EachFailedPairIsToldOnceToThePostmasterAlone)
{
    // A bare CR, 8-bit bytes, a NUL, a line of 5,000 bytes, a leading dot, a boundary's look.
    QByteArray hostileHeaders = "Received: from x\r\nFrom: Pau <pau@example.org>\r\n"
                                "Subject: bare\rCR \xe9t\xe9 ";
    hostileHeaders += '\0';
    hostileHeaders
        += "nul\r\nX-Long: " + QByteArray(5000, 'a') + "\r\n.dot\r\n--=_vessamo_x\r\n\r\n";
    struct Row
    {
        const char *name;
        QByteArray message;
        QByteArray headers; // its header section
        const char *needle; // the reason the body gives
        QByteArray recordMark = {}; // an attempts record already in the queue
    };
    const QByteArray plain = storedMessage("From: Pau <pau@example.org>", "plain");
    const QByteArray noSender = "Subject: nobody\r\n\r\nbody\r\n";
    const Row rows[] = {
        {"550 to RCPT", plain, plain.left(plain.indexOf("\r\n\r\n") + 4), "550 5.1.1 unknown"},
        {"hostile headers", QByteArray(hostileHeaders).append("body\r\n"), hostileHeaders,
         "550 5.1.1 unknown"},
        {"no sender", noSender, "Subject: nobody\r\n\r\n", "no té remitent"},
        {"already told", noSender, {}, nullptr, "1 1700000000000\nEnviant: 550 x\nnotice 1\n"},
    };
    configuration.postmaster = kPostmaster;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<test::FakeSmtpServer> server(std::in_place);
        configuration.Configuracio.PortSMTP = static_cast<qint16>(server->port());
        const int forwarded = row.message.contains("From:") ? 1 : 0;
        if (forwarded)
            server->script("RCPT", Reply::text("550 5.1.1 unknown\r\n"));
        const QString stem = stemNumber(1);
        placePair(queue(), stem, "joan@example.net", row.message);
        if (!row.recordMark.isEmpty())
            writeFile(queue() + stem + routing::kAttemptsSuffix, row.recordMark);

        runOnce();
        EXPECT_EQ(stems(failed()), QStringList {stem});
        const qsizetype notices = row.needle ? 1 : 0;
        ASSERT_EQ(server->messages().size(), notices);
        if (notices)
            expectNotice(server->messages().first(), stem, QString::fromUtf8(row.needle),
                         row.headers);
        // The envelope: the postmaster at both ends, the sender never a recipient.
        EXPECT_EQ(commandsStarting(*server, "MAILFROM:<postmaster@").size(), notices);
        EXPECT_EQ(commandsStarting(*server, "RCPTTO:<postmaster@example.org>").size(), notices);
        EXPECT_EQ(commandsStarting(*server, "RCPT").size(), forwarded + notices);
        EXPECT_TRUE(commandsStarting(*server, "RCPTTO:<pau@").isEmpty());

        // The failure is marked as told in its record, which moved with the pair.
        if (forwarded) {
            EXPECT_TRUE(routing::readAttemptRecord(failed(), routing::QueuePair::fromStem(stem))
                            .value_or(routing::AttemptRecord {})
                            .noticeSent);
        }
        // A later run tells nothing more.
        runOnce();
        EXPECT_EQ(server->messages().size(), notices);
        for (const QString &name : files(failed()))
            QFile::remove(failed() + name);
    }
}

TEST_F(PostmasterNotices, AtMostTheBoundPerRunAndTheOthersNamed)
{
    configuration.postmaster = kPostmaster;
    const int pairs = routing::kNoticesPerRun + 2;
    QStringList all;
    for (int i = 1; i <= pairs; ++i) {
        all << stemNumber(i);
        placePair(queue(), all.last(), "joan@example.net",
                  storedMessage("From: pau@example.org", "many"));
        smtp.script("RCPT", Reply::text("550 5.1.1 unknown\r\n"));
    }
    runOnce();
    EXPECT_EQ(stems(failed()), all);
    ASSERT_EQ(smtp.messages().size(), routing::kNoticesPerRun);
    // The last notice and the event log name the two beyond the bound.
    const QStringList beyond = all.mid(routing::kNoticesPerRun);
    const QByteArray last = smtp.messages().last();
    const QStringList log = logged().filter(QStringLiteral("Avís al postmaster: 2 missatges"));
    ASSERT_EQ(log.size(), 1) << logged().join(u'|').toStdString();
    for (const QString &stem : beyond) {
        EXPECT_TRUE(last.contains(stem.toLatin1() + ": Enviant: 550")) << stem.toStdString();
        EXPECT_TRUE(log.first().contains(stem));
    }
    EXPECT_FALSE(smtp.messages().first().contains(beyond.first().toLatin1()));
}

// A notice that cannot be sent is one entry in the event log; the pair stays archived and
// the other pairs are forwarded as ever. With no postmaster nothing is sent at all.
TEST_F(PostmasterNotices, AFailedNoticeIsLoggedAndChangesNothingElse)
{
    for (const QString &postmaster : {kPostmaster, QString()}) {
        SCOPED_TRACE(postmaster.toStdString());
        std::optional<test::FakeSmtpServer> server(std::in_place);
        configuration.Configuracio.PortSMTP = static_cast<qint16>(server->port());
        configuration.postmaster = postmaster;
        QFile::remove(logPath);
        const QString refused = stemNumber(1), good = stemNumber(2);
        placePair(queue(), refused, "joan@example.net",
                  storedMessage("From: pau@example.org", "a"));
        placePair(queue(), good, "joan@example.net", storedMessage("From: pau@example.org", "b"));
        server->script("RCPT", Reply::text("550 5.1.1 unknown\r\n"));
        server->script("RCPT", Reply::text("250 ok\r\n"));
        server->script("RCPT", Reply::text("550 5.1.1 no postmaster here\r\n"));
        runOnce();
        EXPECT_EQ(stems(failed()), QStringList {refused});
        EXPECT_EQ(stems(sent()), QStringList {good});
        EXPECT_EQ(server->messages().size(), 1);
        const QStringList log = logged().filter(QStringLiteral("Avís al postmaster"));
        if (postmaster.isEmpty()) {
            EXPECT_TRUE(log.isEmpty());
            EXPECT_EQ(server->connections(), 2);
        } else {
            ASSERT_EQ(log.size(), 1) << logged().join(u'|').toStdString();
            EXPECT_TRUE(log.first().contains(refused));
            EXPECT_TRUE(log.first().contains(QStringLiteral("no postmaster here")));
        }
        for (const QString &folder : {failed(), sent()}) {
            for (const QString &name : files(folder))
                QFile::remove(folder + name);
        }
    }
}

} // namespace
