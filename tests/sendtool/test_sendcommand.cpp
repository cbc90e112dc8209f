// vessamo-send: bad arguments refused with exit status 2 and a reason; the SMTP settings
// taken from the configuration file and overridden by options, the password from a file or
// the environment; a run against the fake server that sends, and one that is refused.
#include "config/configuracio.h"
#include "sendtool/sendcommand.h"
#include "support/fakesmtp.h"
#include "support/pycheck.h"
#include "support/settingsstore.h"
#include "support/tempenv.h"
#include "support/testcerts.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace vessamo;
using namespace Qt::StringLiterals;
using sendtool::parseArguments;

TEST(SendArguments, BadArgumentsAreRefusedWithAReason)
{
    const std::pair<QStringList, const char *> rows[] = {
        {{u"--bogus"_s}, "Unknown option 'bogus'"},
        {{u"-f"_s}, "Missing value after '-f'"},
        {{u"--to"_s, u"a@b.c"_s}, "no sender"},
        {{u"-f"_s, u"a@b.c"_s}, "no recipient"},
        {{u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"--priority"_s, u"7"_s}, "--priority wants"},
        {{u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"--priority"_s, u"high"_s}, "--priority wants"},
        {{u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"--port=0"_s}, "--port wants"},
        {{u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"--html"_s, u"--uuencode"_s}, "--html needs MIME"},
        {{u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"-a"_s, u"/nonexistent/file"_s},
         "no such file to attach: /nonexistent/file"},
        // Addresses: refused before anything is read or sent, never mended.
        {{u"-f"_s, u"a@b.c"_s, u"-t"_s, u"not-an-address"_s}, "not an e-mail address"},
        {{u"-f"_s, u"a@b.c"_s, u"-t"_s, u"a@b.c\r\nX: 1"_s}, "control character"},
        {{u"-f"_s, u"a\x01@x.test"_s, u"x@y.z"_s}, "sender \"a\\x01@x.test\": holds a control"},
        {{u"-f"_s, u"a@b.c"_s, u"--cc"_s, u"x@y.z\x1b"_s}, "control character"},
        {{u"-f"_s, u"a@b.c"_s, u"--bcc"_s, u"x@y\x7f.z"_s}, "control character"},
        {{u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"--reply-to"_s, u"r@y.z\t"_s}, "control character"},
        {{u"-f"_s, u"a@b.c"_s, u"-t"_s, u"\u0430nna@example.org"_s}, "must be ASCII"},
        {{u"-f"_s, u"a@b.c"_s, u"--cc"_s, u"x@y.z> NOTIFY=NEVER"_s}, "angle bracket"},
    };
    for (const auto &[arguments, reason] : rows) {
        const auto parsed = parseArguments(arguments);
        EXPECT_TRUE(parsed.error.contains(QString::fromLatin1(reason)))
            << arguments.join(u' ').toStdString() << " -> " << parsed.error.toStdString();
    }
    // Recipients come from options and plain arguments, names split off.
    const auto parsed = parseArguments({u"-f"_s, u"a@b.c"_s, u"-t"_s, u"\"Joan V\" <j@x.y>"_s,
                                        u"p@x.y"_s, u"--cc=c@x.y"_s, u"--priority"_s, u"1"_s});
    ASSERT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
    EXPECT_EQ(parsed.options.to, QStringList({u"\"Joan V\" <j@x.y>"_s, u"p@x.y"_s}));
    EXPECT_EQ(parsed.options.cc, QStringList {u"c@x.y"_s});
    EXPECT_EQ(parsed.options.priority, 1);
    EXPECT_EQ(sendtool::splitMailbox(u" \"Joan V\" <j@x.y> "_s),
              std::make_pair(u"Joan V"_s, u"j@x.y"_s));
    EXPECT_TRUE(parseArguments({u"--help"_s}).help);
    // 100 recipients in all are allowed, 101 are not.
    QStringList many {u"-f"_s, u"a@b.c"_s};
    for (int i = 0; i < 100; ++i)
        many << (i % 3 ? u"r%1@x.y"_s : u"--bcc=r%1@x.y"_s).arg(i);
    EXPECT_TRUE(parseArguments(many).error.isEmpty());
    EXPECT_TRUE(
        parseArguments(many << u"--cc=one@more.z"_s).error.contains(u"too many recipients"));
}

// The built program: a bad argument, found early or late, exits 2 before any traffic; the
// server never hears from it.
TEST(SendProgram, BadArgumentsExitTwoBeforeAnyTraffic)
{
    test::FakeSmtpServer server;
    const QString program = QCoreApplication::applicationDirPath() + u"/../../vessamo-send"_s;
    const QStringList common {u"--config"_s, u"/nonexistent/none.vsm"_s,
                              u"--server"_s, u"127.0.0.1"_s,
                              u"--port"_s,   QString::number(server.port())};
    const QStringList rows[] = {
        {u"-f"_s, u"a@b.c"_s, u"-t"_s, u"not-an-address"_s},
        {u"-f"_s, u"a\x01@x.test"_s, u"x@y.z"_s},
        {u"-f"_s, u"a@b.c"_s, u"x@y.z"_s, u"--body"_s, u"/nonexistent/body"_s},
    };
    for (const QStringList &row : rows) {
        QProcess send;
        send.start(program, common + row);
        send.closeWriteChannel();
        ASSERT_TRUE(send.waitForFinished(20000));
        EXPECT_EQ(send.exitCode(), 2)
            << row.join(u' ').toStdString() << send.readAllStandardError().toStdString();
    }
    EXPECT_EQ(server.connections(), 0);
}

class SendCommand : public ::testing::Test
{
protected:
    int run(const QStringList &arguments, const QByteArray &body = "Hello\n")
    {
        const auto parsed = parseArguments(arguments);
        EXPECT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
        QBuffer input;
        input.setData(body);
        input.open(QIODevice::ReadOnly);
        errors.clear();
        QTextStream err(&errors);
        return sendtool::runSend(parsed.options, input, err);
    }

    QString writeConfiguration(quint16 port, bool login)
    {
        config::Configuration configuration;
        config::ConfiguracioRecord &record = configuration.Configuracio;
        record.ServidorSMTP = u"127.0.0.1"_s;
        record.PortSMTP = qint16(port);
        record.AutentificacioSMTP = login ? 1 : 0;
        record.UsuariSMTP = u"ana"_s;
        record.ContrassenyaSMTP = u"from-config"_s;
        const QString path = dir.filePath(u"vessamo.vsm"_s);
        EXPECT_TRUE(config::GravarConfiguracio(path, configuration));
        return path;
    }

    // Runs the built program with `arguments` and a sender and recipient, while the fake
    // servers answer from this event loop; its exit status, and its standard error in `err`.
    static int runProgram(const QStringList &arguments, QString &err)
    {
        QProcess send;
        QEventLoop loop;
        QObject::connect(&send, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        send.start(QCoreApplication::applicationDirPath() + u"/../../vessamo-send"_s,
                   arguments + QStringList {u"-f"_s, u"ana@example.org"_s, u"joan@example.net"_s});
        send.closeWriteChannel();
        loop.exec();
        EXPECT_EQ(send.state(), QProcess::NotRunning);
        err = QString::fromUtf8(send.readAllStandardError());
        return send.state() == QProcess::NotRunning ? send.exitCode() : -1;
    }

    QString writeTokenCommand(const QByteArray &token)
    {
        const QString path = dir.filePath(u"token.sh"_s);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho " + token + "\n");
        file.close();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    test::ScopedSettingsStore store;
    test::FakeSmtpServer server;
    QTemporaryDir dir;
    QString errors;
};

TEST_F(SendCommand, SettingsFromTheConfigurationAndTheOptions)
{
    const QString config = writeConfiguration(server.port(), true);
    QFile passwordFile(dir.filePath(u"pw"_s));
    ASSERT_TRUE(passwordFile.open(QIODevice::WriteOnly));
    passwordFile.write("from-file\nignored\n");
    passwordFile.close();
    struct Row
    {
        const char *name;
        QStringList extra;
        QByteArray environment;
        QByteArray password; // what the AUTH LOGIN answer decodes to
    };
    const Row rows[] = {
        {"configured password", {}, QByteArray(), "from-config"},
        {"environment", {}, "from-env", "from-env"},
        {"file first", {u"--password-file"_s, passwordFile.fileName()}, "from-env", "from-file"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        test::ScopedEnv password("VESSAMO_SMTP_PASSWORD", r.environment);
        const int before = int(server.commands().size());
        EXPECT_EQ(run(QStringList {u"--config"_s, config, u"-f"_s, u"ana@example.org"_s, u"-s"_s,
                                   u"caf\u00e9"_s, u"Joan <joan@example.net>"_s}
                      + r.extra),
                  0)
            << errors.toStdString();
        const QList<QByteArray> commands = server.commands().mid(before);
        EXPECT_TRUE(commands.contains(r.password.toBase64())) << r.name;
    }
    const QByteArray &message = server.messages().last();
    EXPECT_TRUE(message.contains("\r\nTo: \"Joan\" <joan@example.net>\r\n"));
    EXPECT_TRUE(message.contains("Subject: =?ISO-8859-1?Q?caf=E9?=\r\n"));
    EXPECT_TRUE(errors.contains(u"Transmission Complete..."_s));

    // --server and --port replace the configured ones; an empty --user turns the login off.
    test::FakeSmtpServer other;
    EXPECT_EQ(run({u"--config"_s, config, u"--server"_s, u"localhost"_s, u"--port"_s,
                   QString::number(other.port()), u"--user="_s, u"-f"_s, u"ana@example.org"_s,
                   u"joan@example.net"_s}),
              0)
        << errors.toStdString();
    EXPECT_EQ(other.commands().value(0), QByteArray("HELO example.org"));
}

TEST_F(SendCommand, RefusalExitsOneWithTheServersText)
{
    server.play("C: RCPT\nS: 550 5.1.1 no such user");
    const QString missing = dir.filePath(u"none.vsm"_s);
    EXPECT_EQ(run({u"--config"_s, missing, u"--server"_s, u"127.0.0.1"_s, u"--port"_s,
                   QString::number(server.port()), u"-f"_s, u"ana@example.org"_s,
                   u"nobody@example.net"_s}),
              1);
    EXPECT_TRUE(errors.contains(u"vessamo-send: 550 5.1.1 no such user"_s)) << errors.toStdString();
    // Without a configuration file a server must be named.
    EXPECT_EQ(run({u"--config"_s, missing, u"-f"_s, u"a@b.c"_s, u"x@y.z"_s}), 2);
}

namespace {

QJsonObject readBack(const QByteArray &message)
{
    const auto result = test::runPython(test::kMessageSummary, message);
    EXPECT_EQ(result.status, 0) << result.out.toStdString();
    return QJsonDocument::fromJson(result.out).object();
}

QByteArray firstPayload(const QJsonObject &summary)
{
    return QByteArray::fromBase64(
        summary[u"parts"_s].toArray()[0].toObject()[u"payload"_s].toString().toLatin1());
}

} // namespace

// Text in any script reads back exactly through Python's email package: ISO-8859-1 where
// that set holds it (as before), else UTF-8; the envelope gets the IDNA form of a domain
// outside ASCII.
TEST_F(SendCommand, TextOutsideLatin1GoesOutAsUtf8)
{
    const QString missing = dir.filePath(u"none.vsm"_s);
    const QStringList base {u"--config"_s,  missing,     u"--server"_s,
                            u"127.0.0.1"_s, u"--port"_s, QString::number(server.port())};
    const QString japanese
        = u"\u65e5\u672c\u8a9e\u306e\u4ef6\u540d\u3068\u9577\u3044\u30c6\u30ad\u30b9\u30c8"
          u"\u3092\u3053\u3053\u306b\u66f8\u304d\u307e\u3059\u3001\u3082\u3063\u3068"
          u"\u9577\u304f\u3001\u3082\u3063\u3068\u9577\u304f"_s;
    struct Row
    {
        const char *name;
        QString subject, fromName, toName;
        QByteArray body; // as given, UTF-8 unless said
        const char *charset;
        QByteArray bodyOnWire; // the body part's bytes
    };
    const Row rows[] = {
        {"Latin-1 as before", u"caf\u00e9"_s, u"Ana Vidal"_s, u"Jo\u00e3o"_s, "caf\xc3\xa9\n",
         "iso-8859-1", "caf\xe9\r\n"},
        {"Cyrillic", u"\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440"_s,
         u"\u0410\u043d\u043d\u0430"_s,
         u"\u0418\u0432\u0430\u043d \"\u0418\u0432\u0430\u043d\u043e\u0432\""_s,
         "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\n", "utf-8",
         "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\r\n"},
        {"Japanese, long enough for several words", japanese, japanese, u"\u3042"_s,
         japanese.toUtf8() + '\n', "utf-8", japanese.toUtf8() + "\r\n"},
        {"euro sign, not in ISO-8859-1", u"10 \u20ac"_s, QString(), QString(), "10 \xe2\x82\xac\n",
         "utf-8", "10 \xe2\x82\xac\r\n"},
        {"bytes that are not UTF-8 pass as they are", u"x"_s, QString(), QString(), "caf\xe9\n",
         "iso-8859-1", "caf\xe9\r\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        const int before = int(server.messages().size());
        QStringList arguments = base;
        arguments << u"-f"_s << u"ana@example.org"_s << u"-s"_s << r.subject;
        if (!r.fromName.isEmpty())
            arguments << u"-F"_s << r.fromName;
        arguments << (r.toName.isEmpty() ? u"joan@b\u00fccher.example"_s
                                         : r.toName + u" <joan@b\u00fccher.example>"_s);
        ASSERT_EQ(run(arguments, r.body), 0) << errors.toStdString();
        ASSERT_EQ(server.messages().size(), before + 1);
        const QByteArray message = server.messages().last();
        const QJsonObject s = readBack(message);
        const QJsonObject h = s[u"headers"_s].toObject();
        EXPECT_TRUE(s[u"defects"_s].toArray().isEmpty());
        EXPECT_EQ(h[u"Subject"_s].toString(), r.subject);
        if (!r.fromName.isEmpty()) {
            EXPECT_EQ(h[u"From"_s].toString(), r.fromName + u" <ana@example.org>"_s);
        }
        // The name as given (Python shows it quoted where it must), the domain in IDNA.
        const QString to = h[u"To"_s].toString();
        EXPECT_TRUE(to.endsWith(u"<joan@xn--bcher-kva.example>"_s)) << to.toStdString();
        EXPECT_TRUE(QString(to).remove(u'\\').contains(r.toName)) << to.toStdString();
        EXPECT_EQ(s[u"parts"_s].toArray()[0].toObject()[u"charset"_s].toString(),
                  QString::fromLatin1(r.charset));
        EXPECT_EQ(firstPayload(s).trimmed(), r.bodyOnWire.trimmed());
        EXPECT_FALSE(message.contains('?') && !message.contains("=?")) << message.toStdString();
        EXPECT_TRUE(server.commands().contains("RCPT TO: <joan@xn--bcher-kva.example>"));
    }
}

// --html with attached files: only an attribute value that names a file (whole, or as its
// last path segment) becomes a cid: reference; links that merely contain the name stay.
TEST_F(SendCommand, HtmlReferencesOnlyWhereAValueNamesTheFile)
{
    QFile a(dir.filePath(u"a"_s));
    ASSERT_TRUE(a.open(QIODevice::WriteOnly));
    a.write("GIF89a-a");
    a.close();
    QFile logo(dir.filePath(u"Logo.png"_s));
    ASSERT_TRUE(logo.open(QIODevice::WriteOnly));
    logo.write("png");
    logo.close();
    const QByteArray html
        = "<html><a href=\"https://example.org/page\">page</a> <a "
          "href='https://example.org/a'>a</a>"
          "<img src=\"a\"><img src=images/LOGO.PNG alt=\"logo.png\"><img src=\"xlogo.png\">"
          "<p title=\"a b\">a logo.png</p></html>\n";
    ASSERT_EQ(
        run({u"--config"_s, dir.filePath(u"none.vsm"_s), u"--server"_s, u"127.0.0.1"_s, u"--port"_s,
             QString::number(server.port()), u"-f"_s, u"ana@example.org"_s, u"--html"_s, u"-a"_s,
             a.fileName(), u"-a"_s, logo.fileName(), u"joan@example.net"_s},
            html),
        0)
        << errors.toStdString();
    const QJsonObject s = readBack(server.messages().last());
    EXPECT_EQ(s[u"type"_s], u"multipart/related"_s);
    EXPECT_EQ(
        firstPayload(s).trimmed(),
        "<html><a href=\"https://example.org/page\">page</a> <a href='cid:a'>a</a>"
        "<img src=\"cid:a\"><img src=cid:Logo.png alt=\"cid:Logo.png\"><img src=\"xlogo.png\">"
        "<p title=\"a b\">a logo.png</p></html>");
}

// A body of several pieces (64 KiB each), from standard input and from a file, with dots at
// line starts, one right at a piece's start, and a CR LF split between two pieces: byte for
// byte after the server's un-stuffing.
TEST_F(SendCommand, BodyStreamedFromInputAndFile)
{
    QByteArray body;
    const auto linesUpTo = [&](qsizetype size) {
        for (int i = 0; body.size() < size; ++i)
            body += (i % 7 == 0 ? ".dot line " : "line ") + QByteArray::number(i) + '\n';
    };
    linesUpTo(65536 - 200);
    body += QByteArray(65536 - 1 - body.size(), 'p') + "\n.at a piece's start\n";
    linesUpTo(2 * 65536 - 200);
    body += QByteArray(2 * 65536 - 1 - body.size(), 'q') + "\r\n.after a split CR LF\n";
    linesUpTo(300000);
    QFile file(dir.filePath(u"body.txt"_s));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(body);
    file.close();
    for (const bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "file" : "standard input");
        QStringList arguments {u"--config"_s,
                               dir.filePath(u"none.vsm"_s),
                               u"--server"_s,
                               u"127.0.0.1"_s,
                               u"--port"_s,
                               QString::number(server.port()),
                               u"-f"_s,
                               u"ana@example.org"_s,
                               u"joan@example.net"_s};
        if (fromFile)
            arguments << u"--body"_s << file.fileName();
        ASSERT_EQ(run(arguments, fromFile ? QByteArray("ignored") : body), 0)
            << errors.toStdString();
        const QJsonObject s = readBack(server.messages().last());
        EXPECT_EQ(firstPayload(s).replace("\r\n", "\n").trimmed(),
                  QByteArray(body).replace("\r\n", "\n").trimmed());
    }
}

// A refusal of the mail object before any traffic (here a file name with a line break,
// which the arguments' check lets through as an existing file) is a bad argument: status 2,
// and the server never hears from it.
TEST_F(SendCommand, RefusalBeforeAnyTrafficIsABadArgument)
{
    QFile odd(dir.filePath(u"a\nContent-Type: x.bin"_s));
    ASSERT_TRUE(odd.open(QIODevice::WriteOnly));
    odd.write("x");
    odd.close();
    EXPECT_EQ(run({u"--config"_s, dir.filePath(u"none.vsm"_s), u"--server"_s, u"127.0.0.1"_s,
                   u"--port"_s, QString::number(server.port()), u"-f"_s, u"ana@example.org"_s,
                   u"-a"_s, odd.fileName(), u"joan@example.net"_s}),
              2);
    EXPECT_TRUE(errors.contains(u"attached file name"_s)) << errors.toStdString();
    EXPECT_EQ(server.connections(), 0);
}

// The SMTP login of the built program: a method named by --login (exact AUTH line), the
// configuration's login settings with the configured server, a token command that never goes
// out in clear text, a failing token source (status 1, one line, nothing of it on the wire)
// and bad login options (status 2 before any traffic).
TEST_F(SendCommand, LoginMethodsAndTokenSources)
{
    using Reply = test::FakeSmtpServer::Reply;
    // Without a login, in a folder of its own.
    const QString noLoginConfig = dir.filePath(u"none/vessamo.vsm"_s);
    ASSERT_TRUE(QDir().mkpath(dir.filePath(u"none"_s)));
    ASSERT_TRUE(QFile::rename(writeConfiguration(server.port(), false), noLoginConfig));
    const QString config = writeConfiguration(server.port(), true);
    // The same server with a configured login method: PLAIN.
    const QString plainDir = dir.filePath(u"plain"_s);
    ASSERT_TRUE(QDir().mkpath(plainDir));
    const QString plainConfig = plainDir + u"/vessamo.vsm"_s;
    {
        config::Configuration configuration = config::LlegirConfiguracio(config).configuration;
        configuration.smtpLogin.method = u"PLAIN"_s;
        ASSERT_TRUE(config::GravarConfiguracio(plainConfig, configuration));
    }
    const QString marker = dir.filePath(u"token-asked"_s);
    const QString goodCommand = dir.filePath(u"token.sh"_s);
    const QString badCommand = dir.filePath(u"broken.sh"_s);
    for (const auto &[path, text] :
         {std::pair {goodCommand, "#!/bin/sh\ntouch '" + marker.toUtf8() + "'\necho tok123\n"},
          std::pair {badCommand, "#!/bin/sh\necho 'sorry' >&2\nexit 3\n"_ba}}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString port = QString::number(server.port());
    const QStringList other {u"--server"_s, u"127.0.0.1"_s, u"--port"_s, port};
    struct Row
    {
        const char *name;
        QStringList arguments;
        int status;
        QByteArray authLine; // the first AUTH command the server sees; empty: none
        const char *error = nullptr; // on standard error
        bool tokenAsked = false;
    };
    const Row rows[] = {
        {"--login PLAIN", QStringList {u"--config"_s, config, u"--login"_s, u"plain"_s}, 0,
         "AUTH PLAIN AGFuYQBmcm9tLWNvbmZpZw=="},
        {"--login logs in where the configuration does not",
         {u"--config"_s, noLoginConfig, u"--login"_s, u"PLAIN"_s}, 0,
         "AUTH PLAIN AGFuYQBmcm9tLWNvbmZpZw=="},
        {"the configuration's method with its server", {u"--config"_s, plainConfig}, 0,
         "AUTH PLAIN AGFuYQBmcm9tLWNvbmZpZw=="},
        {"another server: the classic login", QStringList {u"--config"_s, plainConfig} + other, 0,
         "AUTH LOGIN"},
        {"--login classic over the configured method",
         {u"--config"_s, plainConfig, u"--login"_s, u"classic"_s}, 0, "AUTH LOGIN"},
        {"a token never in clear text",
         {u"--config"_s, config, u"--login"_s, u"XOAUTH2"_s, u"--token-command"_s, goodCommand},
         1, {}, "without TLS", true},
        {"a token source that fails",
         {u"--config"_s, config, u"--login"_s, u"auto"_s, u"--token-command"_s, badCommand}, 1,
         {}, "vessamo-send: SMTP login: "},
        {"a bad method", {u"--config"_s, config, u"--login"_s, u"APOP"_s}, 2, {}, "--login wants"},
        {"XOAUTH2 without a token source", {u"--config"_s, config, u"--login"_s, u"xoauth2"_s}, 2,
         {}, "XOAUTH2 necessita"},
        {"a token command by a relative path",
         {u"--config"_s, config, u"--login"_s, u"auto"_s, u"--token-command"_s, u"token.sh"_s}, 2,
         {}, "Ordre de testimoni"},
        {"a token account and a command",
         {u"--config"_s, config, u"--login"_s, u"auto"_s, u"--token-account"_s, u"ana"_s,
          u"--token-command"_s, goodCommand},
         2, {}, "no tots dos"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        QFile::remove(marker);
        if (r.authLine.startsWith("AUTH PLAIN"))
            server.script("AUTH", Reply::text("235 2.7.0 ok\r\n"));
        const qsizetype before = server.commands().size();
        const int connections = server.connections();
        QString err;
        EXPECT_EQ(runProgram(r.arguments, err), r.status) << err.toStdString();
        QByteArrayList auth;
        for (const QByteArray &line : server.commands().mid(before))
            if (line.startsWith("AUTH"))
                auth << line;
        EXPECT_EQ(auth.value(0), r.authLine) << auth.join('|').toStdString();
        if (r.error) {
            EXPECT_TRUE(err.contains(QString::fromUtf8(r.error))) << err.toStdString();
            // One line of reason, after the status lines of the session.
            EXPECT_EQ(err.count(u"vessamo-send: "_s), 1) << err.toStdString();
        }
        if (r.status == 2) {
            EXPECT_EQ(server.connections(), connections);
        }
        EXPECT_EQ(QFile::exists(marker), r.tokenAsked);
        EXPECT_FALSE(err.contains(u"tok123"_s) || err.contains(u"from-config"_s));
        for (const QByteArray &line : server.commands())
            EXPECT_FALSE(line.contains("tok123"));
    }
}

// A token command's token goes to the server inside TLS (port 465, TLS from the first byte),
// by the mechanism named or the one auto picks, and nowhere else.
TEST_F(SendCommand, TokenLoginsInsideTls)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "port 465 needs root";
    const test::TestCerts &certs = test::TestCerts::get();
    const test::ScopedEnv ca("VESSAMO_CA_FILE", QFile::encodeName(certs.caFile()));
    const QString command = writeTokenCommand("ya29.tok");
    const QByteArray a = "\x01";
    const std::pair<const char *, QByteArray> rows[] = {
        {"XOAUTH2",
         "AUTH XOAUTH2 " + ("user=ana" + a + "auth=Bearer ya29.tok" + a + a).toBase64()},
        {"auto",
         "AUTH OAUTHBEARER "
             + ("n,a=ana," + a + "host=localhost" + a + "port=465" + a + "auth=Bearer ya29.tok"
                + a + a)
                   .toBase64()},
    };
    for (const auto &[method, authLine] : rows) {
        SCOPED_TRACE(method);
        test::FakeSmtpServer tls;
        tls.setTls(certs.good().certificate, certs.good().key, true);
        ASSERT_TRUE(tls.listenOn(QHostAddress::LocalHost, 465)) << "port 465 is held";
        tls.setEhloReply("250-fake.example Hello\r\n250 AUTH PLAIN XOAUTH2 OAUTHBEARER\r\n");
        tls.play("C: AUTH\nS: 235 2.7.0 Accepted");
        QString err;
        EXPECT_EQ(runProgram({u"--config"_s, dir.filePath(u"none.vsm"_s), u"--server"_s,
                              u"localhost"_s, u"--port"_s, u"465"_s, u"--user"_s, u"ana"_s,
                              u"--login"_s, QString::fromLatin1(method), u"--token-command"_s,
                              command},
                             err),
                  0)
            << err.toStdString();
        QByteArrayList auth;
        for (const QByteArray &line : tls.commands())
            if (line.startsWith("AUTH"))
                auth << line;
        EXPECT_EQ(auth, QByteArrayList {authLine});
        EXPECT_EQ(tls.messages().size(), 1);
        EXPECT_FALSE(err.contains(u"ya29"_s)) << err.toStdString();
    }
}
