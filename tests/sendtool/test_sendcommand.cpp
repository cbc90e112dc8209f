// vessamo-send: bad arguments refused with exit status 2 and a reason; the SMTP settings
// taken from the configuration file and overridden by options, the password from a file or
// the environment; a run against the fake server that sends, and one that is refused.
#include "config/configuracio.h"
#include "sendtool/sendcommand.h"
#include "support/fakesmtp.h"
#include "support/settingsstore.h"
#include "support/tempenv.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTextStream>
#include <gtest/gtest.h>

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
        config::resetConfiguration();
        config::Configuracio.ServidorSMTP = u"127.0.0.1"_s;
        config::Configuracio.PortSMTP = qint16(port);
        config::Configuracio.AutentificacioSMTP = login ? 1 : 0;
        config::Configuracio.UsuariSMTP = u"ana"_s;
        config::Configuracio.ContrassenyaSMTP = u"from-config"_s;
        const QString path = dir.filePath(u"vessamo.vsm"_s);
        EXPECT_TRUE(config::GravarConfiguracio(path));
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
