// The POP3 logins other than USER/PASS against the fake server, over loopback: the exact
// dialogue of each method, the failures that must send nothing secret, a mechanism that gives
// the exchange up with "*", and what the status list and the wire log show of the payloads.
// The same logins against a real Dovecot: test_pop3_dovecot.cpp. Over TLS (the token
// mechanisms): test_pop3_tls.cpp.
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "support/wirelogcapture.h"
#include "support/fakepop3.h"
#include "support/mailfolders.h"
#include "support/recordingview.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>

using namespace vessamo;
using namespace Qt::StringLiterals;
using test::FakePop3;

namespace {

const QByteArray kMessage = "From: a@b.cat\r\nSubject: one\r\n\r\nbody\r\n";
QStringList wireLines;

QString b64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

// An exact command, as a pattern.
QString exactly(const QString &command)
{
    return QRegularExpression::escape(command);
}

const QStringList kFetch = {u"STAT"_s, u"RETR 1"_s, u"DELE 1"_s, u"QUIT"_s};

// A CAPA reply is complete at its "." line (or at a refusal's line end), wherever it was cut;
// the SASL line gives the mechanisms and the USER line USER/PASS.
TEST(Pop3CapaReply, CompleteAtItsEndAndRead)
{
    const QByteArray dovecot = "+OK\r\nCAPA\r\nTOP\r\nUSER\r\nSASL PLAIN login  CRAM-MD5\r\n.\r\n";
    for (qsizetype cut = 0; cut < dovecot.size(); ++cut)
        EXPECT_EQ(routing::capaReplyLength(dovecot.left(cut)), -1) << cut;
    EXPECT_EQ(routing::capaReplyLength(dovecot + "+OK next"), dovecot.size());
    const routing::Pop3Capabilities read = routing::parseCapaReply(dovecot);
    EXPECT_TRUE(read.listed && read.user);
    EXPECT_EQ(read.sasl, QByteArrayList({"PLAIN", "LOGIN", "CRAM-MD5"}));
    // Bare LF line ends, and a line that only starts with a dot.
    const QByteArray lf = "+OK\n.x\nSASL SCRAM-SHA-256\n.\n";
    EXPECT_EQ(routing::capaReplyLength(lf), lf.size());
    EXPECT_EQ(routing::parseCapaReply(lf).sasl, QByteArrayList({"SCRAM-SHA-256"}));
    EXPECT_FALSE(routing::parseCapaReply(lf).user);
    // A refusal ends at its first line and lists nothing.
    EXPECT_EQ(routing::capaReplyLength("-ERR no\r\nSASL PLAIN\r\n"), 9);
    EXPECT_FALSE(routing::parseCapaReply("-ERR no\r\nSASL PLAIN\r\n").listed);
    EXPECT_TRUE(routing::parseCapaReply("-ERR no\r\nSASL PLAIN\r\n").sasl.isEmpty());
}

TEST(Pop3Greeting, ApopTimestamp)
{
    const std::pair<QByteArray, QByteArray> rows[] = {
        // greeting, timestamp ("" for none)
        {"+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>",
         "<1896.697170952@dbc.mtview.ca.us>"},
        {"+OK Dovecot (Debian) ready. <935.2.6b16ebc0.AKC2lRO7mgT+Q==@vm>\r\n",
         "<935.2.6b16ebc0.AKC2lRO7mgT+Q==@vm>"},
        {"+OK Dovecot (Debian) ready.\r\n", ""},
        {"+OK <no at sign>", ""},
        {"+OK <a b@c>", ""}, // a blank inside
        {"+OK <1.2@x", ""}, // not closed
        {"+OK <1.2@x>, <3.4@y>", "<1.2@x>"},
    };
    for (const auto &[greeting, stamp] : rows)
        EXPECT_EQ(routing::apopTimestamp(greeting).value_or(QByteArray()), stamp)
            << greeting.constData();
}

class Pop3LoginTest : public ::testing::Test, public test::MailFolders
{
protected:
    // One session with this login against `server`, the wire log recorded.
    void read(FakePop3 &server, const routing::Pop3Login &login, quint16 port = 0)
    {
        server.addMessage(kMessage);
        configuration.Busties = {{u"127.0.0.1"_s, static_cast<qint16>(port ? port : server.port()),
                                  user, u"secret"_s, u"a@b.cat"_s}};
        configuration.Configuracio.NumBusties = 1;
        {
            test::WireLogCapture capture("vessamo.wire.pop3");
            session.LlegirBustia(configuration.Busties[0], login);
            wireLines = capture.lines;
        }
        EXPECT_FALSE(session.busy());
    }
    // The commands the server received match these patterns, in order.
    static void expectCommands(const FakePop3 &server, const QStringList &patterns)
    {
        QStringList got;
        for (const QByteArray &command : server.commands())
            got << QString::fromLatin1(command);
        bool same = got.size() == patterns.size();
        for (qsizetype i = 0; same && i < got.size(); ++i)
            same = QRegularExpression(u"\\A(?:"_s + patterns[i] + u")\\z"_s)
                       .match(got[i])
                       .hasMatch();
        EXPECT_TRUE(same) << "got:\n  " << got.join(u"\n  "_s).toStdString() << "\nexpected:\n  "
                          << patterns.join(u"\n  "_s).toStdString();
    }

    QString user = u"usuari"_s;
    test::RecordingView view;
    routing::RunContext ctx {view, configuration};
    platform::SocketControl socket;
    routing::Pop3Session session {socket, ctx};
};

// Each method's dialogue, byte for byte where nothing is random; the message is fetched and
// nothing is logged.
TEST_F(Pop3LoginTest, ExactDialogueOfEachMethod)
{
    const QString stamp = u"<1896.697170952@fake.example>"_s;
    const QByteArray cram = QMessageAuthenticationCode::hash("<1896.697170952@fake.example>",
                                                             "secret", QCryptographicHash::Md5)
                                .toHex();
    const QString longUser = QString(200, u'u');
    struct Row
    {
        const char *name;
        QString method;
        QByteArray offered;
        QStringList commands; // patterns, before STAT
        QString user = u"usuari"_s;
    };
    const Row rows[] = {
        {"no method: USER/PASS as ever, no CAPA",
         u""_s,
         "PLAIN",
         {u"USER usuari"_s, u"PASS secret"_s}},
        {"USER asked for", u"user"_s, "PLAIN", {u"CAPA"_s, u"USER usuari"_s, u"PASS secret"_s}},
        {"PLAIN with its initial response",
         u"PLAIN"_s,
         "PLAIN LOGIN",
         {u"CAPA"_s, exactly(u"AUTH PLAIN "_s + b64(QByteArray("\0usuari\0secret", 14)))}},
        {"PLAIN too long for the command line",
         u"PLAIN"_s,
         "PLAIN",
         {u"CAPA"_s, u"AUTH PLAIN"_s,
          exactly(b64('\0' + longUser.toLatin1() + QByteArray("\0secret", 7)))},
         longUser},
        {"LOGIN",
         u"LOGIN"_s,
         "PLAIN LOGIN",
         {u"CAPA"_s, u"AUTH LOGIN"_s, exactly(b64("usuari")), exactly(b64("secret"))}},
        {"CRAM-MD5",
         u"cram-md5"_s,
         "CRAM-MD5",
         {u"CAPA"_s, u"AUTH CRAM-MD5"_s, exactly(b64("usuari " + cram))}},
        // The nonce is random: the client-first message is n,,n=usuari,r=<nonce>.
        {"SCRAM-SHA-256",
         u"SCRAM-SHA-256"_s,
         "PLAIN SCRAM-SHA-256",
         {u"CAPA"_s, u"AUTH SCRAM-SHA-256 biwsbj11c3Vhcmkscj[A-Za-z0-9+/=]+"_s,
          u"Yz1iaXdzLHI9[A-Za-z0-9+/=]+"_s, u""_s}},
        {"SCRAM-SHA-1",
         u"SCRAM-SHA-1"_s,
         "SCRAM-SHA-1",
         {u"CAPA"_s, u"AUTH SCRAM-SHA-1 biwsbj11c3Vhcmkscj[A-Za-z0-9+/=]+"_s,
          u"Yz1iaXdzLHI9[A-Za-z0-9+/=]+"_s, u""_s}},
        {"auto in clear text: the strongest, never PLAIN",
         u"auto"_s,
         "PLAIN LOGIN CRAM-MD5 SCRAM-SHA-1 SCRAM-SHA-256",
         {u"CAPA"_s, u"AUTH SCRAM-SHA-256 .*"_s, u".+"_s, u""_s}},
        {"auto, CRAM-MD5 the best offered",
         u"AUTO"_s,
         "LOGIN CRAM-MD5 PLAIN",
         {u"CAPA"_s, u"AUTH CRAM-MD5"_s, exactly(b64("usuari " + cram))}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3 server;
        server.setSaslMechanisms(row.offered);
        server.setCredentials(row.user.toLatin1(), "secret");
        user = row.user;
        QFile::remove(logPath);
        read(server, {row.method, {}});
        expectCommands(server, row.commands + kFetch);
        EXPECT_TRUE(server.messages().isEmpty());
        EXPECT_TRUE(logged().isEmpty()) << logged().join(u'\n').toStdString();
    }
    // APOP: the MD5 of the greeting's timestamp and the password.
    FakePop3 server;
    server.setApopTimestamp(stamp.toLatin1());
    QFile::remove(logPath);
    read(server, {u"APOP"_s, {}});
    const QByteArray digest
        = QCryptographicHash::hash(stamp.toLatin1() + "secret", QCryptographicHash::Md5).toHex();
    expectCommands(
        server, QStringList {u"CAPA"_s, u"APOP usuari "_s + QString::fromLatin1(digest)} + kFetch);
    EXPECT_TRUE(server.messages().isEmpty());
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'\n').toStdString();
}

// What may not log in fails with one clear entry, before anything secret is sent where the
// rules forbid it; a refusal keeps the server's own words, as a refused PASS does; no
// message is fetched and none is stored.
TEST_F(Pop3LoginTest, FailuresAreClearAndSendNothingTheyMayNot)
{
    struct Row
    {
        const char *name;
        QString method;
        std::function<void(FakePop3 &)> setUp;
        QStringList commands; // patterns
        QString logged; // the one entry's beginning
    };
    const Row rows[] = {
        {"a required mechanism the server lacks",
         u"CRAM-MD5"_s,
         [](FakePop3 &s) { s.setSaslMechanisms("PLAIN SCRAM-SHA-1"); },
         {u"CAPA"_s},
         u"Rebent: The server does not offer CRAM-MD5 (it offers: PLAIN SCRAM-SHA-1)"_s},
        {"auto in clear text, only PLAIN offered",
         u"auto"_s,
         [](FakePop3 &s) { s.setSaslMechanisms("PLAIN"); },
         {u"CAPA"_s},
         u"Rebent: The server offers only mechanisms that would send the password in clear"_s},
        {"auto in clear text, CAPA refused",
         u"auto"_s,
         [](FakePop3 &s) { s.play("C: CAPA\nS: -ERR unknown command"); },
         {u"CAPA"_s},
         u"Rebent: 127.0.0.1 offers no SASL mechanism that logs in with a password, and "
         u"without TLS USER/PASS would send the password in clear text"_s},
        {"auto in clear text, no mechanism for a password",
         u"auto"_s,
         [](FakePop3 &s) { s.setSaslMechanisms("GSSAPI XOAUTH2"); },
         {u"CAPA"_s},
         u"Rebent: 127.0.0.1 offers no SASL mechanism that logs in with a password"_s},
        {"XOAUTH2 in clear text",
         u"XOAUTH2"_s,
         [](FakePop3 &s) { s.setSaslMechanisms("XOAUTH2"); },
         {u"CAPA"_s},
         u"Rebent: XOAUTH2 needs an access token"_s},
        {"APOP, the greeting without a timestamp",
         u"APOP"_s,
         [](FakePop3 &) {},
         {u"CAPA"_s},
         u"Rebent: APOP is required, and the greeting of 127.0.0.1 holds no timestamp"_s},
        {"an unknown method",
         u"NTLM"_s,
         [](FakePop3 &s) { s.setSaslMechanisms("NTLM"); },
         {u"CAPA"_s},
         u"Rebent: Unknown authentication mechanism: NTLM"_s},
        {"PLAIN, wrong password",
         u"PLAIN"_s,
         [](FakePop3 &s) {
             s.setSaslMechanisms("PLAIN");
             s.setCredentials("usuari", "other");
         },
         {u"CAPA"_s, u"AUTH PLAIN .+"_s},
         u"Rebent: -ERR [AUTH] Authentication failed.\r\n"_s},
        {"APOP, wrong password",
         u"APOP"_s,
         [](FakePop3 &s) {
             s.setApopTimestamp("<1.2@fake>");
             s.setCredentials("usuari", "other");
         },
         {u"CAPA"_s, u"APOP usuari [0-9a-f]{32}"_s},
         u"Rebent: -ERR [AUTH] Authentication failed.\r\n"_s},
        // The server proves nothing: the exchange is cancelled, STAT never sent.
        {"SCRAM-SHA-256, the server's signature wrong",
         u"SCRAM-SHA-256"_s,
         [](FakePop3 &s) {
             s.setSaslMechanisms("SCRAM-SHA-256");
             s.spoilScramSignature();
         },
         {u"CAPA"_s, u"AUTH SCRAM-SHA-256 .+"_s, u".+"_s, u"\\*"_s},
         u"Rebent: The server's SCRAM-SHA-256 signature is wrong"_s},
        {"SCRAM-SHA-256, success without the signature",
         u"SCRAM-SHA-256"_s,
         [](FakePop3 &s) {
             s.setSaslMechanisms("SCRAM-SHA-256");
             s.play("C: AUTHDATA\nS: +OK logged in");
         },
         {u"CAPA"_s, u"AUTH SCRAM-SHA-256 .+"_s, u".+"_s},
         u"Rebent: The server reported success without proving"_s},
        {"a challenge that is not Base64",
         u"CRAM-MD5"_s,
         [](FakePop3 &s) {
             s.setSaslMechanisms("CRAM-MD5");
             s.play("C: AUTH\nS: + !!not base64!!");
         },
         {u"CAPA"_s, u"AUTH CRAM-MD5"_s, u"\\*"_s},
         u"Rebent: the server's CRAM-MD5 challenge is not Base64"_s},
        // The CAPA reply is kept in memory: one without end is refused at a bound.
        {"a CAPA reply without end",
         u"auto"_s,
         [](FakePop3 &s) {
             s.setReply("CAPA", {"+OK\r\n", QByteArray(20000, 'x') + "\r\n", "SASL PLAIN\r\n"});
         },
         {u"CAPA"_s},
         u"Rebent: the CAPA reply of 127.0.0.1 is longer than 16384 octets"_s},
        {"a challenge after the end of PLAIN",
         u"PLAIN"_s,
         [](FakePop3 &s) {
             s.setSaslMechanisms("PLAIN");
             s.play("C: AUTH\nS: + bW9yZQ==");
         },
         {u"CAPA"_s, u"AUTH PLAIN .+"_s, u"\\*"_s},
         u"Rebent: The server sent a PLAIN challenge after the exchange should have ended"_s},
    };
    // 3 s of silence at most: a reply waited for in vain fails the row, not the whole test.
    session.setSafetyTickMs(50);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3 server;
        row.setUp(server);
        QFile::remove(logPath);
        read(server, {row.method, {}});
        expectCommands(server, row.commands);
        EXPECT_EQ(server.messages().size(), 1);
        EXPECT_TRUE(files(queue()).isEmpty());
        ASSERT_EQ(logged().size(), 1) << logged().join(u'\n').toStdString();
        EXPECT_TRUE(logged()[0].startsWith(row.logged)) << logged()[0].toStdString();
        EXPECT_FALSE(logged()[0].contains(u"secret"_s));
    }
}

// The status list and the wire log show the mechanism, never a payload, the APOP digest or
// the password; the server's challenges are masked as well.
TEST_F(Pop3LoginTest, PayloadsMaskedInTheStatusListAndTheWireLog)
{
    const QString stamp = u"<7.8@fake>"_s;
    struct Row
    {
        const char *name;
        QString method;
        QStringList statuses; // from CAPA to the verdict
    };
    const Row rows[] = {
        {"PLAIN", u"PLAIN"_s, {u"AUTH PLAIN *******"_s, u"+OK logged in"_s}},
        {"LOGIN",
         u"LOGIN"_s,
         {u"AUTH LOGIN"_s, u"+ *******"_s, u"*******"_s, u"+ *******"_s, u"*******"_s,
          u"+OK logged in"_s}},
        {"SCRAM-SHA-256",
         u"SCRAM-SHA-256"_s,
         {u"AUTH SCRAM-SHA-256 *******"_s, u"+ *******"_s, u"*******"_s, u"+ *******"_s,
          u"*******"_s, u"+OK logged in"_s}},
        {"APOP", u"APOP"_s, {u"APOP usuari *******"_s, u"+OK logged in"_s}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePop3 server;
        server.setSaslMechanisms("PLAIN LOGIN SCRAM-SHA-256");
        server.setApopTimestamp(stamp.toLatin1());
        view.statuses.clear();
        read(server, {row.method, {}});
        EXPECT_TRUE(server.messages().isEmpty());
        const qsizetype capa = view.statuses.indexOf(u"CAPA"_s);
        ASSERT_GE(capa, 0) << view.statuses.join(u'\n').toStdString();
        EXPECT_EQ(view.statuses.mid(capa, 2 + row.statuses.size()),
                  QStringList({u"CAPA"_s, u"+OK Capability list follows"_s}) + row.statuses);
        // Whatever the client sent after CAPA (up to STAT) shows nowhere, nor the password.
        const QString shown = view.statuses.join(u'\n') + wireLines.join(u'\n');
        EXPECT_FALSE(shown.contains(u"secret"_s) || shown.contains(u"VXNlcm5hbWU6"_s))
            << shown.toStdString();
        const QList<QByteArray> sent = server.commands();
        for (qsizetype i = 1; i < sent.size() && sent[i] != "STAT"; ++i) {
            const QByteArray payload = sent[i].mid(sent[i].lastIndexOf(' ') + 1);
            if (payload.size() > 8) {
                EXPECT_FALSE(shown.contains(QString::fromLatin1(payload))) << payload.constData();
            }
        }
        EXPECT_TRUE(wireLines.contains(u"C: "_s + row.statuses[0]))
            << wireLines.join(u'\n').toStdString();
    }
}

} // namespace
