// The SMTP login with a SASL mechanism through a real loopback socket: the exact bytes of
// each mechanism (with the examples of RFC 2195 and RFC 7677), the choice among the offered
// ones, a server whose SCRAM signature is wrong, refusals and their class, the initial
// response too long for the AUTH line, a wire log that shows no answer; and the mechanisms
// against a real SMTP server (aiosmtpd, tests/mail/saslsmtp.py) with right and wrong
// passwords. The logins that need TLS (tokens) are in test_smtptls.cpp.
#include "smtptestkit.h"
#include "support/wirelogcapture.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QProcess>

using namespace vessamo;
using namespace Qt::StringLiterals;
using test::FakeSmtpServer;
using Outcome = mail::RelayOutcome;

namespace {

// The RFC 7677 exchange (user "user", password "pencil") in Base64, as on the wire.
const QByteArray kScramClientFirst = "biwsbj11c2VyLHI9ck9wck5HZndFYmVSV2diTkVrcU8=";
const QByteArray kScramServerFirst
    = "cj1yT3ByTkdmd0ViZVJXZ2JORWtxTyVodllEcFdVYTJSYVRDQWZ1eEZJbGopaE5sRiRrMCxzPVcyMlphSjBTTlk3c2"
      "9Fc1VFamI2Z1E9PSxpPTQwOTY=";
const QByteArray kScramClientFinal
    = "Yz1iaXdzLHI9ck9wck5HZndFYmVSV2diTkVrcU8laHZZRHBXVWEyUmFUQ0FmdXhGSWxqKWhObEYkazAscD1kSHpi"
      "WmFwV0lrNGpVaE4rVXRlOXl0YWc5empmTUhnc3FtbWl6N0FuZFZRPQ==";
const QByteArray kScramServerFinal
    = "dj02cnJpVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==";
// The same with its first bytes changed: a server that does not know the password.
const QByteArray kScramWrongFinal
    = "dj1BQUFBVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==";
const char kScramNonce[] = "rOprNGfwEbeRWgbNEkqO";

QByteArray script(std::initializer_list<QByteArray> lines)
{
    QByteArray out;
    for (const QByteArray &line : lines)
        out += line + '\n';
    return out;
}

// A PLAIN initial response for "ana" and a password of `length` x's, in Base64.
QByteArray plainOf(qsizetype length)
{
    return ("\0ana\0"_ba + QByteArray(length, 'x')).toBase64();
}

} // namespace

using SmtpLogin = test::SmtpTest;

// Each row: the login method, what the EHLO reply offers, the server's side of the login and
// what the client sends after EHLO up to MAIL FROM (or, after a failure, up to QUIT). A failed
// login is one report, leaves the message for a later attempt and sends no MAIL FROM.
TEST_F(SmtpLogin, MechanismsOnTheWire)
{
    struct Row
    {
        const char *name;
        const char *method;
        QByteArray offered; // the EHLO reply's last line, after "250 "
        QByteArray script; // the server's side, for FakeSmtpServer::play
        QByteArray dialogue;
        const char *failure = nullptr; // none: logged in and sent
        QString user = u"ana"_s;
        QString password = u"pw"_s;
        QString token = {}; // a token source giving this token
    };
    const QByteArray scramStart = "C: AUTH\nS: 334 " + kScramServerFirst + "\nC: AUTHUSER\n";
    const QByteArray scramSent
        = "AUTH SCRAM-SHA-256 " + kScramClientFirst + "\r\n" + kScramClientFinal + "\r\n";
    const Row rows[] = {
        {"no method: AUTH LOGIN, as always, even where the server offers only others", "",
         "AUTH PLAIN CRAM-MD5", "", "AUTH LOGIN\r\nYW5h\r\ncHc=\r\n"},
        {"PLAIN with its initial response", "PLAIN", "AUTH PLAIN LOGIN", "C: AUTH\nS: 235 2.7.0 ok",
         "AUTH PLAIN AGFuYQBwdw==\r\n"},
        {"PLAIN at the longest AUTH line (509 octets)", "PLAIN", "AUTH PLAIN",
         "C: AUTH\nS: 235 2.7.0 ok", "AUTH PLAIN " + plainOf(367) + "\r\n", nullptr, u"ana"_s,
         QString(367, u'x')},
        {"PLAIN too long for the AUTH line: sent after the empty challenge", "PLAIN", "AUTH PLAIN",
         "C: AUTH\nS: 334\nC: AUTHUSER\nS: 235 2.7.0 ok", "AUTH PLAIN\r\n" + plainOf(368) + "\r\n",
         nullptr, u"ana"_s, QString(368, u'x')},
        {"LOGIN named", "login", "AUTH PLAIN LOGIN", "", "AUTH LOGIN\r\nYW5h\r\ncHc=\r\n"},
        // RFC 2195's example, offered in the old "AUTH=" form.
        {"auto in clear text: CRAM-MD5 before PLAIN and LOGIN", "auto", "AUTH=PLAIN LOGIN CRAM-MD5",
         script({"C: AUTH", "S: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+",
                 "C: AUTHUSER", "S: 235 2.7.0 ok"}),
         "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n", nullptr, u"tim"_s,
         u"tanstaaftanstaaf"_s},
        {"auto: SCRAM-SHA-256 first; its signature verified", "auto",
         "AUTH PLAIN LOGIN CRAM-MD5 SCRAM-SHA-1 SCRAM-SHA-256",
         scramStart + "S: 334 " + kScramServerFinal + "\nC: AUTHPASS\nS: 235 2.7.0 ok",
         scramSent + "\r\n", nullptr, u"user"_s, u"pencil"_s},
        {"SCRAM: a wrong server signature is cancelled", "SCRAM-SHA-256", "AUTH SCRAM-SHA-256",
         scramStart + "S: 334 " + kScramWrongFinal + "\nC: AUTHPASS\nS: 501 5.7.0 Auth aborted",
         scramSent + "*\r\n", "The server's SCRAM-SHA-256 signature is wrong", u"user"_s,
         u"pencil"_s},
        {"SCRAM: success without the server's signature", "SCRAM-SHA-256", "AUTH SCRAM-SHA-256",
         scramStart + "S: 235 2.7.0 ok", scramSent, "without proving", u"user"_s, u"pencil"_s},
        {"a challenge that is not Base64 is cancelled", "CRAM-MD5", "AUTH CRAM-MD5",
         "C: AUTH\nS: 334 !!!\nC: AUTHUSER\nS: 501 5.7.0 Auth aborted", "AUTH CRAM-MD5\r\n*\r\n",
         "challenge is not Base64"},
        {"auto in clear text with only PLAIN and LOGIN: no login", "auto", "AUTH PLAIN LOGIN", "",
         "", "password in clear text"},
        {"auto in clear text with a token source: no token sent", "auto",
         "AUTH PLAIN XOAUTH2 OAUTHBEARER", "", "", "never sent without TLS", u"ana"_s, u"pw"_s,
         u"tok3n"_s},
        {"a named mechanism the server lacks", "CRAM-MD5", "AUTH PLAIN LOGIN", "", "",
         "The server does not offer CRAM-MD5 (it offers: PLAIN LOGIN)"},
        {"auto with no AUTH offered", "auto", "SIZE 1000", "", "", "it offers: none"},
        {"refused", "PLAIN", "AUTH PLAIN", "C: AUTH\nS: 535 5.7.8 Bad credentials",
         "AUTH PLAIN AGFuYQBwdw==\r\n", "535 5.7.8 Bad credentials"},
        {"refused for now: still temporary", "PLAIN", "AUTH PLAIN",
         "C: AUTH\nS: 454 4.7.0 Try later", "AUTH PLAIN AGFuYQBwdw==\r\n", "454 4.7.0 Try later"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakeSmtpServer &fake = fresh();
        fake.setEhloReply("250-fake.example Hello\r\n250 " + row.offered + "\r\n");
        fake.play(row.script.constData());
        logInAs(row.password);
        mail->SetUserName(row.user);
        mail->setLoginMethod(QString::fromLatin1(row.method));
        mail->setSaslClientNonce(kScramNonce);
        int asked = 0;
        if (!row.token.isEmpty()) {
            mail->setAccessTokenSource([&asked, token = row.token](QString &) {
                ++asked;
                return std::optional<QString>(token);
            });
        }
        mail->Enruta();
        const QByteArray ehlo = "EHLO example.org\r\n";
        const std::string failures = events->failures.join(u'|').toStdString();
        if (!row.failure) {
            EXPECT_TRUE(fake.received().startsWith(ehlo + row.dialogue + "MAIL FROM: <"))
                << fake.received().toStdString();
            EXPECT_EQ(events->successes, 1) << failures;
            EXPECT_TRUE(events->statuses.contains(u"Host Login OK!"_s));
            continue;
        }
        EXPECT_EQ(fake.received(), ehlo + row.dialogue + "QUIT\r\n");
        ASSERT_EQ(events->failures.size(), 1);
        EXPECT_TRUE(events->failures[0].contains(QString::fromLatin1(row.failure))) << failures;
        EXPECT_TRUE(events->statuses.contains(u"Host Login Failed!"_s));
        EXPECT_EQ(mail->Outcome(), Outcome::Temporary);
        EXPECT_TRUE(fake.messages().isEmpty());
        // The token was asked for (the login needs one), but never went out.
        EXPECT_EQ(asked, row.token.isEmpty() ? 0 : 1);
    }
}

// Every SASL answer, the initial response on the AUTH line included, is masked in the wire
// log; the server's challenges and the commands stay readable.
TEST_F(SmtpLogin, WireLogMasksEveryAnswer)
{
    QStringList lines;
    {
        test::WireLogCapture capture("vessamo.wire.smtp");
        server.setEhloReply("250-fake.example Hello\r\n250 AUTH PLAIN SCRAM-SHA-256\r\n");
        server.play(("C: AUTH\nS: 235 2.7.0 ok\nC: AUTH\nS: 334 " + kScramServerFirst
                     + "\nC: AUTHUSER\nS: 334 " + kScramServerFinal + "\nC: AUTHPASS\nS: 235 2.7.0 ok")
                        .constData());
        logInAs(u"s3cr3t-pw"_s);
        mail->setLoginMethod(u"PLAIN"_s);
        mail->Enruta();
        mail->SetUserName(u"user"_s);
        mail->SetPassword(u"pencil"_s);
        mail->setLoginMethod(u"SCRAM-SHA-256"_s);
        mail->setSaslClientNonce(kScramNonce);
        mail->Enruta();
        lines = capture.lines;
    }

    EXPECT_EQ(events->successes, 2) << events->failures.join(u'|').toStdString();
    const QString all = lines.join(u'\n');
    for (const QByteArray &secret : {"AGFuYQBzM2NyM3QtcHc="_ba, "s3cr3t"_ba, kScramClientFirst,
                                     kScramClientFinal, "pencil"_ba})
        EXPECT_FALSE(all.contains(QLatin1StringView(secret))) << secret.constData();
    const qsizetype scram = lines.indexOf(u"C: AUTH SCRAM-SHA-256 ********"_s);
    EXPECT_TRUE(lines.contains(u"C: AUTH PLAIN ********"_s)) << all.toStdString();
    EXPECT_EQ(lines.mid(scram, 6).join(u'|'),
              u"C: AUTH SCRAM-SHA-256 ********|S: 334 "_s + QLatin1StringView(kScramServerFirst)
                  + u"|C: ********|S: 334 "_s + QLatin1StringView(kScramServerFinal)
                  + u"|C: ********|S: 235 2.7.0 ok"_s)
        << all.toStdString();
}

// aiosmtpd with SCRAM-SHA-1, SCRAM-SHA-256 and CRAM-MD5 added to its PLAIN and LOGIN
// (tests/mail/saslsmtp.py) is the independent peer: it computes the exchange itself and
// prints one line per login it judged.
TEST_F(SmtpLogin, RealMechanismsAgainstAiosmtpd)
{
    struct Peer
    {
        explicit Peer(bool wrongSignature)
        {
            QStringList arguments {QStringLiteral(SASL_SMTP_SCRIPT), u"ana"_s, u"p\u00e0ss w0rd"_s};
            if (wrongSignature)
                arguments << u"--wrong-signature"_s;
            process.start(u"/usr/bin/python3"_s, arguments);
            const QDeadlineTimer deadline(20000);
            while (!process.canReadLine() && process.waitForReadyRead(deadline.remainingTime())) { }
            port = process.readLine().trimmed().toInt();
        }
        ~Peer()
        {
            process.kill();
            process.waitForFinished(5000);
        }
        QProcess process;
        int port = 0;
    };
    Peer peer(false);
    Peer forger(true);
    ASSERT_GT(peer.port, 0) << "aiosmtpd did not start: "
                            << peer.process.readAllStandardError().toStdString();
    ASSERT_GT(forger.port, 0);
    struct Row
    {
        const char *method;
        const char *password;
        bool forged;
        const char *judged; // the server's line ("ok SCRAM-SHA-256 ana"), empty for none
        const char *failure; // none: sent
    };
    const Row rows[] = {
        {"auto", "p\u00e0ss w0rd", false, "ok SCRAM-SHA-256 ana", nullptr},
        {"SCRAM-SHA-1", "p\u00e0ss w0rd", false, "ok SCRAM-SHA-1 ana", nullptr},
        {"CRAM-MD5", "p\u00e0ss w0rd", false, "ok CRAM-MD5 ana", nullptr},
        {"PLAIN", "p\u00e0ss w0rd", false, "ok PLAIN ana", nullptr},
        {"LOGIN", "p\u00e0ss w0rd", false, "ok LOGIN ana", nullptr},
        {"SCRAM-SHA-256", "wrong", false, "refused SCRAM-SHA-256 ana", "535"},
        {"SCRAM-SHA-1", "wrong", false, "refused SCRAM-SHA-1 ana", "535"},
        {"CRAM-MD5", "wrong", false, "refused CRAM-MD5 ana", "535"},
        {"PLAIN", "wrong", false, "refused PLAIN ana", "535"},
        {"SCRAM-SHA-256", "p\u00e0ss w0rd", true, "cancelled SCRAM-SHA-256 ana",
         "signature is wrong"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.password + (row.forged ? " forged" : ""));
        fresh();
        Peer &judge = row.forged ? forger : peer;
        mail->SetSMTPPort(judge.port);
        logInAs(QString::fromUtf8(row.password));
        mail->setLoginMethod(QString::fromLatin1(row.method));
        mail->Enruta();
        const std::string failures = events->failures.join(u'|').toStdString();
        if (!row.failure) {
            EXPECT_EQ(events->successes, 1) << failures;
        } else {
            ASSERT_EQ(events->failures.size(), 1);
            EXPECT_TRUE(events->failures[0].contains(QString::fromLatin1(row.failure))) << failures;
            EXPECT_EQ(mail->Outcome(), Outcome::Temporary);
        }
        const QDeadlineTimer deadline(5000);
        while (!judge.process.canReadLine() && !deadline.hasExpired())
            judge.process.waitForReadyRead(100);
        EXPECT_EQ(judge.process.readLine().trimmed(), QByteArray(row.judged));
    }
}

// The owner may release the object from any of its events during a login, and a token source
// may release it too: the k-th event, for every k, of a SCRAM login that succeeds, one whose
// server signature is wrong and one refused; nothing more reaches the socket, and the socket
// serves the next object.
TEST_F(SmtpLogin, OwnerMayReleaseTheObjectDuringTheLogin)
{
    const QByteArray scram = "C: AUTH\nS: 334 " + kScramServerFirst + "\nC: AUTHUSER\nS: 334 ";
    for (const QByteArray &script :
         {scram + kScramServerFinal + "\nC: AUTHPASS\nS: 235 2.7.0 ok",
          scram + kScramWrongFinal + "\nC: AUTHPASS\nS: 501 5.7.0 Auth aborted",
          "C: AUTH\nS: 535 5.7.8 Bad credentials"_ba}) {
        for (int k = 1;; ++k) {
            SCOPED_TRACE(script.right(20).toStdString() + " event " + std::to_string(k));
            FakeSmtpServer &fake = fresh();
            fake.setEhloReply("250 AUTH SCRAM-SHA-256\r\n");
            fake.play(script.constData());
            logInAs(u"pencil"_s);
            mail->SetUserName(u"user"_s);
            mail->setLoginMethod(u"SCRAM-SHA-256"_s);
            mail->setSaslClientNonce(kScramNonce);
            using M = mail::clsEnviarCorreu;
            if (!releasedAtEvent(k, [](M &object) { object.Enruta(); }, &M::Status,
                                 &M::SendFailed, &M::SendSuccesful))
                break; // fewer than k events: each one has been tried
            fresh();
            mail->Enruta();
            EXPECT_EQ(events->successes, 1);
        }
    }
    // The token source itself lets the object go: nothing is sent.
    FakeSmtpServer &fake = fresh();
    logInAs();
    mail->setLoginMethod(u"auto"_s);
    mail->setAccessTokenSource([this](QString &) {
        mail.reset();
        return std::optional<QString>(u"tok3n"_s);
    });
    mail->Enruta();
    EXPECT_FALSE(mail);
    EXPECT_EQ(fake.connections(), 0);
    EXPECT_EQ(socket.State(), 0);
}
