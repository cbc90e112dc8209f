// Composition (Send) through a real loopback socket: the exact bytes of a plain message;
// composed messages read back by Python's email package with every attached file compared
// byte for byte; UU blocks; the envelope; refusals before any traffic; one report for a
// failure at each step; one clock reading per message; files that change while they go
// out; a server that stops reading.
#include "smtptestkit.h"
#include "support/pycheck.h"
#include "support/uudecode.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>
#include <functional>

using namespace vessamo;
using namespace Qt::StringLiterals;
using mail::clsEnviarCorreu;
using test::FakeSmtpServer;
using Reply = test::FakeSmtpServer::Reply;

namespace {

const QDateTime kNow(QDate(2026, 12, 5), QTime(6, 25, 22), QTimeZone(3600));

QByteArray randomBytes(qsizetype n, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(n, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

QList<QByteArray> rcpts(const FakeSmtpServer &server)
{
    QList<QByteArray> out;
    for (const QByteArray &command : server.commands()) {
        if (command.startsWith("RCPT"))
            out << command;
    }
    return out;
}

QJsonObject summary(const QByteArray &message)
{
    const auto result = test::runPython(test::kMessageSummary, message);
    EXPECT_EQ(result.status, 0) << result.out.toStdString();
    return QJsonDocument::fromJson(result.out).object();
}

QByteArray payload(const QJsonObject &part)
{
    return QByteArray::fromBase64(part[u"payload"_s].toString().toLatin1());
}

// Base64 of the whole file in 76-character lines: what the chunks must add up to.
QByteArray base64Lines(const QByteArray &bytes)
{
    const QByteArray flat = bytes.toBase64();
    QByteArray out;
    for (qsizetype i = 0; i < flat.size(); i += 76)
        out += flat.mid(i, 76) + "\r\n";
    return out;
}

class SmtpSend : public test::SmtpTest
{
protected:
    void SetUp() override
    {
        test::SmtpTest::SetUp();
        prepare();
    }

    // A fresh server and object for one row of a table.
    FakeSmtpServer &row()
    {
        FakeSmtpServer &fake = fresh();
        prepare();
        return fake;
    }

    void prepare()
    {
        mail->SetClock([] { return kNow; });
        mail->SetMessage(QByteArrayLiteral("Hello\r\n"));
        mail->SetSubject(u"Hi"_s);
    }

    QString file(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        return path;
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(SmtpSend, ExactByteStreamOfAPlainMessage)
{
    mail->SetFromDisplayName(u"Ana Vidal"_s);
    mail->SetRecipient(u"joan@example.net; pere@example.net"_s);
    mail->SetRecipientDisplayName(u"Joan"_s);
    mail->SetCcRecipient(u"marta@example.com"_s);
    mail->SetCcDisplayName(u"Mart\u00e9"_s);
    mail->SetBccRecipient(u"secret@example.com"_s);
    mail->SetReplyToAddress(u"replies@example.org"_s);
    mail->SetMessage(QByteArrayLiteral("Hello\r\n.dot\r\n"));
    mail->Send();
    EXPECT_EQ(server.received(),
              QByteArray("HELO example.org\r\nMAIL FROM: <ana@example.org>\r\n"
                         "RCPT TO: <joan@example.net>\r\nRCPT TO: <pere@example.net>\r\n"
                         "RCPT TO: <marta@example.com>\r\nRCPT TO: <secret@example.com>\r\n"
                         "DATA\r\n"
                         "From: \"Ana Vidal\" <ana@example.org>\r\n"
                         "To: \"Joan\" <joan@example.net>, \r\n"
                         "\t\"pere@example.net\" <pere@example.net>\r\n"
                         "Cc: =?ISO-8859-1?Q?Mart=E9?= <marta@example.com>\r\n"
                         "Subject: Hi\r\n"
                         "Reply-to: <replies@example.org>\r\n"
                         "Date: Sat, 5 Dec 2026 06:25:22 +0100\r\n"
                         "MIME-Version: 1.0\r\n"
                         "Content-Type: text/plain;\r\n"
                         "\tcharset=\"iso-8859-1\"\r\n"
                         "Content-Transfer-Encoding: 7bit\r\n"
                         "\r\n\r\n"
                         "Hello\r\n..dot\r\n\r\n\r\n\r\n"
                         ".\r\nQUIT\r\n"));
    expectDeliveredOnce();
}

TEST_F(SmtpSend, ComposedMessagesReadBackByPython)
{
    const QByteArray gif = "GIF89a" + randomBytes(3000, 1);
    const QByteArray notes = randomBytes(700, 2);
    const QByteArray full = randomBytes(11400, 3);
    const QByteArray plus = randomBytes(11401, 4);
    const QByteArray odd = randomBytes(1000, 5);
    const QString boundary = mail::MessageBoundary(kNow);
    struct Row
    {
        const char *name;
        std::function<void(clsEnviarCorreu &)> setup;
        std::function<void(const QJsonObject &, const QByteArray &raw)> check;
    };
    const Row rows[] = {
        {"HTML with an embedded picture: related, a Content-ID only for it",
         [&](clsEnviarCorreu &m) {
             m.SetAsHTML(true);
             m.SetMessage("<html><img src=\"C:\\img\\LOGO.GIF\"><img src=logo.gif alt=x> "
                          "logo.gif</html>");
             m.SetAttachment(file(u"logo.gif"_s, gif) + u';' + file(u"notes.txt"_s, notes));
         },
         [&](const QJsonObject &s, const QByteArray &) {
             const QJsonArray parts = s[u"parts"_s].toArray();
             EXPECT_EQ(s[u"type"_s], u"multipart/related"_s);
             ASSERT_EQ(parts.size(), 3);
             EXPECT_EQ(payload(parts[0].toObject()).trimmed(),
                       "<html><img src=\"cid:logo.gif\"><img src=cid:logo.gif alt=x> "
                       "logo.gif</html>");
             EXPECT_EQ(parts[1].toObject()[u"cid"_s], u"<logo.gif>"_s);
             EXPECT_EQ(parts[1].toObject()[u"type"_s], u"image/gif"_s);
             EXPECT_EQ(payload(parts[1].toObject()), gif);
             EXPECT_TRUE(parts[2].toObject()[u"cid"_s].isNull());
             EXPECT_EQ(payload(parts[2].toObject()), notes);
             EXPECT_TRUE(events->statuses.contains(u"Sending Embedded File, logo.gif..."_s));
             EXPECT_TRUE(events->statuses.contains(u"Sending Attachment, notes.txt..."_s));
         }},
        {"files in a mixed message: empty, one chunk, two chunks, an awkward name",
         [&](clsEnviarCorreu &m) {
             m.SetAttachment(file(u"empty.bin"_s, {}) + u';' + file(u"full.bin"_s, full) + u';'
                             + file(u"plus.bin"_s, plus) + u';'
                             + file(u"a \"b\" \u00e9_x.bin"_s, odd));
         },
         [&](const QJsonObject &s, const QByteArray &raw) {
             const QJsonArray parts = s[u"parts"_s].toArray();
             EXPECT_EQ(s[u"type"_s], u"multipart/mixed"_s);
             ASSERT_EQ(parts.size(), 5);
             EXPECT_EQ(payload(parts[0].toObject()).trimmed(), "Hello");
             const std::pair<QString, QByteArray> files[] = {{u"empty.bin"_s, {}},
                                                             {u"full.bin"_s, full},
                                                             {u"plus.bin"_s, plus},
                                                             {u"a \"b\" \u00e9_x.bin"_s, odd}};
             for (int i = 0; i < 4; ++i) {
                 EXPECT_EQ(parts[i + 1].toObject()[u"filename"_s], files[i].first);
                 EXPECT_EQ(payload(parts[i + 1].toObject()), files[i].second);
                 EXPECT_TRUE(parts[i + 1].toObject()[u"cid"_s].isNull());
                 // The chunks join into the lines of one encoding of the whole file.
                 if (!files[i].second.isEmpty()) {
                     EXPECT_TRUE(
                         raw.contains("\r\n\r\n" + base64Lines(files[i].second) + "\r\n--"));
                 }
             }
             // An empty file: nothing between its headers and the next boundary.
             EXPECT_TRUE(
                 raw.contains("filename=\"empty.bin\"\r\n\r\n\r\n--" + boundary.toLatin1()));
         }},
        {"priority, receipt, 8-bit HTML body with a base",
         [&](clsEnviarCorreu &m) {
             m.SetAsHTML(true);
             m.SetContentBase(u"intranet.example\\docs"_s);
             m.SetMessage("<p>caf\xe9</p>\r\n");
             m.SetPriority(1);
             m.SetReceipt(true);
             m.SetFromDisplayName(u"Ana"_s);
         },
         [&](const QJsonObject &s, const QByteArray &) {
             const QJsonObject h = s[u"headers"_s].toObject();
             EXPECT_EQ(h[u"X-Priority"_s], u"1"_s);
             EXPECT_EQ(h[u"X-MSMail-Priority"_s], u"High"_s);
             EXPECT_EQ(h[u"Disposition-Notification-To"_s], u"\"Ana\" <ana@example.org>"_s);
             EXPECT_EQ(h[u"From"_s], u"Ana <ana@example.org>"_s);
             EXPECT_EQ(h[u"Content-Transfer-Encoding"_s], u"8bit"_s);
             EXPECT_EQ(h[u"Content-Base"_s], u"\"http://intranet.example/docs/\""_s);
             EXPECT_EQ(s[u"type"_s], u"text/html"_s);
             EXPECT_EQ(payload(s[u"parts"_s].toArray()[0].toObject()).trimmed(), "<p>caf\xe9</p>");
         }},
        {"a line break in the subject and a display name: encoded, no header smuggled",
         [&](clsEnviarCorreu &m) {
             m.SetSubject(u"Hi\r\nBcc: victim@example.org"_s);
             m.SetRecipientDisplayName(u"Joan \"the boss\" <x@y>"_s);
         },
         [&](const QJsonObject &s, const QByteArray &) {
             const QJsonObject h = s[u"headers"_s].toObject();
             EXPECT_FALSE(h.contains(u"Bcc"_s));
             EXPECT_EQ(h[u"Subject"_s], u"Hi\r\nBcc: victim@example.org"_s);
             EXPECT_EQ(h[u"To"_s], u"\"Joan \\\"the boss\\\" <x@y>\" <joan@example.net>"_s);
         }},
        {"an HTML body holding the boundary: it changes",
         [&](clsEnviarCorreu &m) {
             m.SetAsHTML(true);
             m.SetMessage("<pre>\r\n--" + boundary.toLatin1() + "\r\nnot a part</pre>\r\n");
             m.SetAttachment(file(u"notes.txt"_s, notes));
         },
         [&](const QJsonObject &s, const QByteArray &) {
             const QJsonArray parts = s[u"parts"_s].toArray();
             EXPECT_NE(s[u"boundary"_s].toString(), boundary);
             ASSERT_EQ(parts.size(), 2);
             EXPECT_TRUE(payload(parts[0].toObject()).contains("\r\nnot a part</pre>"));
             EXPECT_EQ(payload(parts[1].toObject()), notes);
         }},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        FakeSmtpServer &fake = row();
        r.setup(*mail);
        mail->Send();
        EXPECT_EQ(events->successes, 1);
        EXPECT_TRUE(events->failures.isEmpty()) << events->failures.join(u'|').toStdString();
        ASSERT_EQ(fake.messages().size(), 1);
        const QJsonObject s = summary(fake.messages().first());
        EXPECT_TRUE(s[u"defects"_s].toArray().isEmpty())
            << QJsonDocument(s[u"defects"_s].toArray()).toJson().toStdString();
        r.check(s, fake.messages().first());
    }
}

TEST_F(SmtpSend, UUEncodedFilesWithoutMime)
{
    const QByteArray a = randomBytes(45 * 50 + 7, 6); // a full write of 50 lines, then more
    const QByteArray b = randomBytes(1, 7);
    const QByteArray c = randomBytes(14, 8); // its line begins with "." (the count 14)
    mail->SetEncodeType(1);
    mail->SetAttachment(file(u"a.bin"_s, a) + u';' + file(u"b.bin"_s, b) + u';'
                        + file(u"c.bin"_s, c));
    mail->Send();
    EXPECT_EQ(events->successes, 1);
    ASSERT_EQ(server.messages().size(), 1);
    // What any server keeps: the first dot of every line that begins with one taken off.
    const QByteArray data = QByteArray(server.messages().first()).replace("\r\n.", "\r\n");
    EXPECT_FALSE(data.contains("MIME-Version"));
    EXPECT_FALSE(data.contains("Content-Type"));
    EXPECT_TRUE(data.contains("+0100\r\n\r\n\r\nHello\r\n\r\n\r\n\r\nbegin 600 a.bin\r\n"));
    EXPECT_TRUE(data.endsWith("end\r\n"));
    EXPECT_EQ(test::uuDecodeBlock(data, "a.bin"), a);
    EXPECT_EQ(test::uuDecodeBlock(data, "b.bin"), b);
    EXPECT_EQ(test::uuDecodeBlock(data, "c.bin"), c);
}

TEST_F(SmtpSend, EnvelopeOfBlindCopiesAndTheRecipientLimit)
{
    mail->SetRecipient(QString());
    mail->SetBccRecipient(u" hidden@example.org ; other@example.org"_s);
    mail->Send();
    EXPECT_EQ(events->successes, 1);
    EXPECT_EQ(rcpts(server),
              QList<QByteArray>({"RCPT TO: <hidden@example.org>", "RCPT TO: <other@example.org>"}));
    ASSERT_EQ(server.messages().size(), 1);
    EXPECT_TRUE(server.messages().first().contains("\r\nTo: \r\nSubject: Hi\r\n"));
    EXPECT_FALSE(server.messages().first().contains("Cc:"));
    EXPECT_FALSE(server.messages().first().contains("hidden"));

    for (const int count : {100, 101}) {
        SCOPED_TRACE(count);
        FakeSmtpServer &fake = row();
        QStringList to, cc;
        for (int i = 0; i < count; ++i)
            (i % 2 ? to : cc) << u"r%1@example.org"_s.arg(i);
        mail->SetRecipient(to.join(u';'));
        mail->SetCcRecipient(cc.join(u';'));
        mail->Send();
        EXPECT_EQ(rcpts(fake).size(), count == 100 ? 100 : 0);
        EXPECT_EQ(events->successes, count == 100 ? 1 : 0);
        EXPECT_EQ(events->failures,
                  count == 100 ? QStringList() : QStringList {u"Too many recipients\r\n"_s});
    }
}

TEST_F(SmtpSend, RefusalsBeforeAnyTraffic)
{
    struct Row
    {
        const char *name;
        std::function<void(clsEnviarCorreu &)> setup;
        QString failure;
    };
    const Row rows[] = {
        {"no sender, HTML without MIME, no recipient: all three at once",
         [](clsEnviarCorreu &m) {
             m.SetFrom(QString());
             m.SetAsHTML(true);
             m.SetEncodeType(1);
             m.SetRecipient(QString());
         },
         u"Missing or Invalid Sender E-mail Address\r\nSending HTML requires MIME encoding\r\n"
         u"No Recipient E-mail Address Specified\r\n"_s},
        {"a line break in the reply address",
         [](clsEnviarCorreu &m) { m.SetReplyToAddress(u"a@b.c\r\nBcc: x@y.z"_s); },
         mail::errortext::kUnsafeAddress + u"\r\n"_s},
        {"an address outside ASCII: never sent with \"?\" in it",
         [](clsEnviarCorreu &m) { m.SetBccRecipient(u"\u0430nna@example.org"_s); },
         mail::errortext::kNonAsciiAddress + u"\r\n"_s},
        {"an angle bracket in a Cc address",
         [](clsEnviarCorreu &m) { m.SetCcRecipient(u"x@y.z> NOTIFY=NEVER"_s); },
         mail::errortext::kUnsafeAddress + u"\r\n"_s},
        {"a line break in a file name",
         [&](clsEnviarCorreu &m) { m.SetAttachment(file(u"a\nContent-Type: x.bin"_s, "x")); },
         mail::errortext::kUnsafeFileName + u"\r\n"_s},
        {"a missing file, left by the assignment",
         [&](clsEnviarCorreu &m) { m.SetAttachment(dir.filePath(u"none.bin"_s)); },
         u"The file you tried to attach does not exist\r\n"_s},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        FakeSmtpServer &fake = row();
        r.setup(*mail);
        mail->Send();
        EXPECT_EQ(events->failures, QStringList {r.failure});
        EXPECT_EQ(fake.connections(), 0);
        // The report emptied the list: a corrected message goes out.
        EXPECT_TRUE(mail->ErrorList().isEmpty());
    }
}

// A failure at any step is reported once, ends the session, and nothing is written after
// it: no end of data unless the failure was the reply to it.
TEST_F(SmtpSend, FailureAtEachStepReportedOnce)
{
    struct Row
    {
        const char *name;
        const char *script;
        const char *failure;
        bool fileGone = false;
    };
    const Row rows[] = {
        {"greeting refused", "S: 554 no service", "554 no service"},
        {"sender refused", "C: MAIL\nS: 550 5.7.1 sender refused", "550 5.7.1 sender refused"},
        {"second recipient refused", "C: RCPT\nS: 250 ok\nC: RCPT\nS: 550 5.1.1 no such user",
         "550 5.1.1 no such user"},
        {"DATA refused", "C: DATA\nS: 554 5.3.0 no", "554 5.3.0 no"},
        {"dropped as the content begins", "C: DATA\nS: 354 go\nS: <close>", "SMTP Host"},
        {"end of data refused", "C: .\nS: 554 5.6.0 content rejected",
         "554 5.6.0 content rejected"},
        {"file gone before it is read", "", "Cannot read the attached file gone.bin: ", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        FakeSmtpServer &fake = row();
        if (*r.script)
            fake.play(r.script);
        mail->SetRecipient(u"joan@example.net;pere@example.net"_s);
        const QString gone = file(u"gone.bin"_s, randomBytes(30000, 8));
        mail->SetAttachment(file(u"first.bin"_s, randomBytes(30000, 9)) + u';' + gone);
        if (r.fileGone)
            QFile::remove(gone);
        mail->Send();
        ASSERT_EQ(events->failures.size(), 1);
        EXPECT_TRUE(events->failures.first().contains(QString::fromLatin1(r.failure)))
            << events->failures.first().toStdString();
        EXPECT_EQ(events->successes, 0);
        const bool endOfDataSent = QByteArray(r.name).startsWith("end of data");
        EXPECT_EQ(fake.messages().size(), endOfDataSent ? 1 : 0);
        EXPECT_EQ(socket.State(), 0);
    }
}

// The owner may release the object from its events, Accepted included: here from the k-th
// one, for every k, of a composed message with a file that is sent, refused at its second
// recipient, or cut short by its file gone before it is read. (Progress, which comes between the
// pieces of the content, is the relay's case.) The released object leaves the socket closed
// and its next user served.
TEST_F(SmtpSend, OwnerMayReleaseTheObjectFromAnyEvent)
{
    for (const char *failing : {"", "C: RCPT\nS: 250 ok\nC: RCPT\nS: 550 no", "file"}) {
        for (int k = 1;; ++k) {
            SCOPED_TRACE(std::string(failing) + " event " + std::to_string(k));
            FakeSmtpServer &fake = row();
            if (failing != std::string("file"))
                fake.play(failing);
            mail->SetRecipient(u"joan@example.net;pere@example.net"_s);
            const QString attached = file(u"attached.bin"_s, randomBytes(3000, 1));
            mail->SetAttachment(attached);
            if (failing == std::string("file"))
                QFile::remove(attached);
            using M = clsEnviarCorreu;
            if (!releasedAtEvent(
                    k, [](M &object) { object.Send(); }, &M::Status, &M::SendFailed, &M::Accepted,
                    &M::SendSuccesful))
                break; // fewer than k events: each one has been tried
            EXPECT_EQ(socket.State(), 0);
            row();
            mail->Send();
            EXPECT_EQ(events->successes, 1);
        }
    }
}

// The Date header and the boundary come from one reading of the clock: a message composed
// across midnight never has the date of one day and the boundary of the next.
TEST_F(SmtpSend, DateAndBoundaryFromOneReading)
{
    EXPECT_EQ(mail::MessageBoundary(kNow), u"----_=_NextPart_000_0000B519.01985966"_s);
    int readings = 0;
    const QTimeZone zone = QTimeZone(-18000);
    mail->SetClock([&] {
        return ++readings == 1 ? QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59, 999), zone)
                               : QDateTime(QDate(2026, 12, 6), QTime(0, 0, 0, 500), zone);
    });
    mail->SetAttachment(file(u"notes.txt"_s, "x"));
    mail->Send();
    ASSERT_EQ(server.messages().size(), 1);
    const QJsonObject s = summary(server.messages().first());
    EXPECT_EQ(s[u"headers"_s].toObject()[u"Date"_s], u"Sat, 05 Dec 2026 23:59:59 -0500"_s);
    EXPECT_EQ(s[u"boundary"_s], u"----_=_NextPart_000_0000B519.05F5E0FF"_s);
}

// A file that shrinks while it goes out ends at the short read; one that grows is sent as
// long as it was: either way the message stays well formed.
TEST_F(SmtpSend, FileChangingWhileSent)
{
    const QByteArray original = randomBytes(40 * 11400 + 1000, 10);
    for (const bool shrink : {true, false}) {
        SCOPED_TRACE(shrink ? "shrinks" : "grows");
        FakeSmtpServer &fake = row();
        const QString path = file(u"big.bin"_s, original);
        mail->SetAttachment(path);
        bool changed = false;
        QObject::connect(mail.get(), &clsEnviarCorreu::Progress, [&] {
            if (changed || !events->statuses.last().startsWith(u"Sending Attachment"))
                return;
            changed = true;
            QFile f(path);
            if (shrink)
                f.resize(200000);
            else if (f.open(QIODevice::Append))
                f.write(randomBytes(9000, 11));
        });
        mail->Send();
        EXPECT_TRUE(changed);
        EXPECT_EQ(events->successes, 1);
        ASSERT_EQ(fake.messages().size(), 1);
        const QJsonObject s = summary(fake.messages().first());
        EXPECT_TRUE(s[u"defects"_s].toArray().isEmpty());
        const QByteArray got = payload(s[u"parts"_s].toArray()[1].toObject());
        if (shrink) {
            EXPECT_GE(got.size(), 200000);
            EXPECT_LT(got.size(), original.size());
            EXPECT_TRUE(original.startsWith(got));
        } else {
            EXPECT_EQ(got, original);
        }
    }
}

// A server that stops reading while a file goes out: the client's queue stops moving, and
// after MessageTimeout without movement one time-out is reported and nothing more is sent.
// One that resumes within the time is waited for.
TEST_F(SmtpSend, ServerThatStopsReading)
{
    const QByteArray big = randomBytes(6 << 20, 12);
    for (const bool resumes : {true, false}) {
        SCOPED_TRACE(resumes ? "resumes" : "stalls");
        FakeSmtpServer &fake = row();
        mail->SetMessageTimeout(2);
        mail->SetAttachment(file(u"big.bin"_s, big) + u';' + file(u"second.bin"_s, "x"));
        fake.stallAfter("DATA", resumes ? 1500 : -1);
        mail->Send();
        if (resumes) {
            EXPECT_EQ(events->successes, 1);
            EXPECT_TRUE(events->failures.isEmpty());
            continue;
        }
        EXPECT_EQ(
            events->failures,
            QStringList {u"Timeout occurred: The SMTP Host did not respond to the request\r\n"_s});
        EXPECT_FALSE(events->statuses.contains(u"Sending Attachment, second.bin..."_s));
        EXPECT_EQ(socket.State(), 0);
    }
}
