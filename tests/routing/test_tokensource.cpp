// The access-token sources of a run: the token command (its first line judged, its time
// bounded with its process group ended, a program others could change not run, nothing
// it wrote in an error), the run's one report per failing source with the built-in OAuth
// client against the fake authorization server (tests/mail/fakeoauth.py), and where the
// token store is.
#include "config/layout.h"
#include "config/tokenfolder.h"
#include "mail/oauthstore.h"
#include "routing/tokencommand.h"
#include "routing/tokensource.h"
#include "support/mailfolders.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace vessamo;
using namespace vessamo::routing;
using test::MailFolders;

namespace {

// Writes an executable shell script and returns its path.
QString writeScript(const QString &path, const QByteArray &body)
{
    MailFolders::writeFile(path, "#!/bin/sh\n" + body);
    QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return path;
}

QString quoted(const QString &path)
{
    return u'"' + path + u'"';
}

// What a token command yields: the token, or the error text.
struct Yield
{
    std::optional<QString> token;
    QString error;
};

Yield runCommand(const QString &commandLine, const platform::StopSource *stop = nullptr,
                 int limitSeconds = kTokenCommandLimitSeconds)
{
    Yield yield;
    yield.token = runTokenCommand(commandLine, yield.error, stop, limitSeconds);
    return yield;
}

// The first line is the token: trimmed, only what a bearer token may hold, bounded. The
// error names the program and how it failed, never what it wrote (stdout or stderr).
TEST(TokenCommand, FirstLineIsTheTokenAndNothingElseIsTrusted)
{
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("token.sh"));
    // script body, token, error part
    const std::tuple<QByteArray, const char *, const char *> rows[] = {
        {"printf 'ya29.a0-Ab_C~+/9==\\nSECRET second line\\n'\n", "ya29.a0-Ab_C~+/9==", ""},
        {"printf '  eyJ0.eXA \\r\\n'\n", "eyJ0.eXA", ""},
        {"printf 'no-newline'\n", "no-newline", ""},
        // A line that fits, then more output than is ever kept: read, dropped, not waited on.
        {"echo tok\nhead -c 1000000 /dev/zero\n", "tok", ""},
        {"echo SECRET-tok >&2\n", nullptr, "no ha escrit cap testimoni"},
        {"printf '\\nSECRET\\n'\n", nullptr, "no ha escrit cap testimoni"},
        {"echo 'Bearer SECRET'\n", nullptr, "no és un testimoni vàlid"},
        {"echo 'SECRET=x'\n", nullptr, "no és un testimoni vàlid"},
        {"printf 'SECRET\\001'\n", nullptr, "no és un testimoni vàlid"},
        {"printf 'SECRET\\303\\251'\n", nullptr, "no és un testimoni vàlid"},
        {"head -c 20000 /dev/zero | tr '\\0' S\n", nullptr, "de més de 16384 octets"},
        {"head -c 500000 /dev/zero | tr '\\0' S\n", nullptr, "de més de 16384 octets"},
        {"echo SECRET\necho SECRET >&2\nexit 3\n", nullptr, "ha acabat amb el codi 3"},
        {"echo SECRET\nkill -9 $$\n", nullptr, "ha acabat per un senyal"},
    };
    for (const auto &[body, token, error] : rows) {
        SCOPED_TRACE(body.constData());
        writeScript(script, body);
        const Yield yield = runCommand(quoted(script));
        if (token) {
            EXPECT_EQ(yield.token, QString::fromLatin1(token)) << yield.error.toStdString();
            continue;
        }
        EXPECT_FALSE(yield.token);
        EXPECT_TRUE(
            yield.error.startsWith(QStringLiteral("l'ordre del testimoni d'accés %1 ").arg(script)))
            << yield.error.toStdString();
        EXPECT_TRUE(yield.error.contains(QString::fromUtf8(error))) << yield.error.toStdString();
        EXPECT_FALSE(yield.error.contains(QStringLiteral("SECRET"))) << yield.error.toStdString();
    }
    // A bare name is found on PATH and named by its full path; a missing program is named.
    const Yield onPath = runCommand(QStringLiteral("true"));
    EXPECT_FALSE(onPath.token);
    EXPECT_TRUE(onPath.error.contains(QStringLiteral("/true no ha escrit cap testimoni")))
        << onPath.error.toStdString();
    EXPECT_EQ(runCommand(QStringLiteral("/nonexistent/helper --x")).error,
              QStringLiteral("no es troba el programa /nonexistent/helper de l'ordre del "
                             "testimoni d'accés"));
    EXPECT_FALSE(runCommand(QStringLiteral("  ")).token);
}

// A command that hangs and ignores SIGTERM is ended at its limit or at the run's stop, with
// what it started: nothing of it survives the call.
TEST(TokenCommand, AHangingCommandIsEndedWithItsProcessGroup)
{
    struct Row
    {
        int limitSeconds;
        bool stop; // the run's stop comes after 300 ms
        const char *error;
    };
    const Row rows[] = {
        {1, false, "no ha acabat en 1 segons; s'ha aturat"},
        {30, true, "s'ha aturat perquè l'enrutament s'atura"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.error);
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("child"));
        // It would answer after 8 seconds, far past the limit.
        const QString script = writeScript(
            dir.filePath(QStringLiteral("hangs.sh")),
            "trap '' TERM\nsleep 300 &\necho $! > \"$1\"\n"
            "i=0; while [ $i -lt 8 ]; do sleep 1; i=$((i+1)); done\necho late-token\n");
        platform::StopSource stop;
        if (row.stop)
            QTimer::singleShot(300, [&stop] { stop.request(); });
        const Yield yield
            = runCommand(quoted(script) + u' ' + quoted(pidFile), &stop, row.limitSeconds);
        EXPECT_FALSE(yield.token);
        EXPECT_TRUE(yield.error.endsWith(QString::fromUtf8(row.error)))
            << yield.error.toStdString();
        const pid_t child = MailFolders::bytesOf(pidFile).trimmed().toInt();
        ASSERT_GT(child, 0);
        EXPECT_TRUE(test::eventually(
            [&] {
                const QByteArray stat
                    = MailFolders::bytesOf(QStringLiteral("/proc/%1/stat").arg(child));
                return stat == "<missing>" || stat.contains(") Z");
            },
            3000))
            << "the grandchild survived";
        ::kill(child, SIGKILL);
    }
}

// The command runs as whoever runs the router, root for the service: one that others
// could change (the file or a folder above it) is not run, and the error says why.
TEST(TokenCommand, ACommandOthersCanChangeIsNotRun)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("bin")));
    const QByteArray bin = QFile::encodeName(dir.filePath(QStringLiteral("bin")));
    const QString ran = dir.filePath(QStringLiteral("ran"));
    const QString script = writeScript(dir.filePath(QStringLiteral("bin/token.sh")),
                                       "echo yes > " + QFile::encodeName(ran) + "\necho tok\n");
    const QByteArray file = QFile::encodeName(script);
    const std::tuple<const QByteArray *, mode_t, const char *> rows[] = {
        {&file, 0570, "el grup"},
        {&file, 0507, "qualsevol usuari"},
        {&bin, 0777, "qualsevol usuari"},
        {&file, 0500, ""},
    };
    for (const auto &[what, mode, why] : rows) {
        SCOPED_TRACE(QByteArray(*what + ' ' + QByteArray::number(mode, 8)).constData());
        QFile::remove(ran);
        ASSERT_EQ(::chmod(what->constData(), mode), 0);
        const Yield yield = runCommand(quoted(script));
        ASSERT_EQ(::chmod(what->constData(), what == &file ? 0500 : 0700), 0);
        if (*why == 0) {
            EXPECT_EQ(yield.token, QStringLiteral("tok")) << yield.error.toStdString();
            continue;
        }
        EXPECT_FALSE(yield.token);
        EXPECT_FALSE(QFileInfo::exists(ran)) << "the command ran";
        EXPECT_TRUE(yield.error.startsWith(
            QStringLiteral("no s'executa l'ordre del testimoni d'accés perquè altres usuaris "
                           "la poden canviar (")))
            << yield.error.toStdString();
        EXPECT_TRUE(yield.error.contains(QString::fromUtf8(why))) << yield.error.toStdString();
    }
}

TEST(TokenCommand, BearerTokenCharacters)
{
    const std::pair<const char *, bool> rows[] = {
        {"aZ09-._~+/", true}, {"a==", true},  {"=", false},    {"", false},
        {"a=b", false},       {"a b", false}, {"a\"b", false}, {"a,b", false},
    };
    for (const auto &[token, valid] : rows)
        EXPECT_EQ(validBearerToken(QByteArrayView(token)), valid) << token;
}

// The fake authorization server, on a loopback port it prints first.
class FakeProvider
{
public:
    FakeProvider()
    {
        process_.start(QStringLiteral("/usr/bin/python3"),
                       QStringList {QStringLiteral(FAKE_OAUTH_SCRIPT)});
        if (process_.waitForReadyRead(20000))
            port_ = process_.readLine().trimmed().toInt();
    }
    ~FakeProvider()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    bool running() const { return port_ > 0; }
    QString url(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(port_) + QLatin1String(path);
    }
    int refreshes()
    {
        QNetworkAccessManager network;
        const std::unique_ptr<QNetworkReply> reply(
            network.get(QNetworkRequest(QUrl(url("/stats")))));
        platform::waitUntil([&] { return reply->isFinished(); }, QDeadlineTimer(20000));
        return QJsonDocument::fromJson(reply->readAll())
            .object()
            .value(QStringLiteral("refresh_token"))
            .toInt(-1);
    }

private:
    QProcess process_;
    int port_ = 0;
};

class TokenSourcesTest : public ::testing::Test, public MailFolders
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.running());
        ASSERT_EQ(::mkdir(QFile::encodeName(store).constData(), 0700), 0);
    }
    // An enrolled account whose access token has run out.
    void seed(const QString &name, const QString &refreshToken)
    {
        mail::OAuthAccount account;
        account.name = name;
        account.provider = QStringLiteral("custom");
        account.tokenUrl = provider.url("/token");
        account.clientId = QStringLiteral("vessamo-test");
        account.refreshToken = refreshToken;
        account.accessTokenExpires = QDateTime::currentDateTimeUtc().addSecs(-10);
        ASSERT_TRUE(mail::TokenStore(store).save(account).isEmpty());
    }

    QString store = dir.filePath(QStringLiteral("tokens"));
    FakeProvider provider;
};

// A revoked refresh token: one clear entry per run, whichever logins ask and however
// often, and the provider asked once; a good account is refreshed once for the whole run.
TEST_F(TokenSourcesTest, OneEntryPerFailingAccountPerRun)
{
    seed(QStringLiteral("revoked"), QStringLiteral("gone-1"));
    seed(QStringLiteral("good"), QStringLiteral("seed-g"));
    QStringList tokens;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        platform::StopSource stop;
        TokenSources sources(store, &stop);
        const AccessTokenCallback pop3
            = sources.accessTokenFor(QStringLiteral("Rebent: "), QStringLiteral("revoked"), {});
        const AccessTokenCallback smtp
            = sources.accessTokenFor(QStringLiteral("Enviant: "), QStringLiteral("revoked"), {});
        for (const AccessTokenCallback &login : {pop3, pop3, smtp}) {
            QString error;
            EXPECT_FALSE(login(error));
            EXPECT_TRUE(error.startsWith(QStringLiteral(
                "no s'ha pogut obtenir el testimoni d'accés: OAuth account 'revoked': the "
                "provider refused its refresh token")))
                << error.toStdString();
            EXPECT_FALSE(error.contains(QStringLiteral("gone-1")));
        }
        const QStringList entries = logged();
        ASSERT_EQ(entries.size(), run);
        EXPECT_TRUE(entries.last().startsWith(
            QStringLiteral("Rebent: no s'ha pogut obtenir el testimoni d'accés: OAuth account "
                           "'revoked'")))
            << entries.last().toStdString();
        EXPECT_TRUE(entries.last().contains(QStringLiteral("enrol the account again")));

        for (const char *phase : {"Rebent: ", "Enviant: "}) {
            QString error;
            const std::optional<QString> token = sources.accessTokenFor(
                QString::fromLatin1(phase), QStringLiteral("good"), {})(error);
            ASSERT_TRUE(token) << error.toStdString();
            tokens << *token;
        }
    }
    // The revoked account was asked once a run; the good one refreshed once and then
    // cached (in the store for the second run).
    EXPECT_EQ(provider.refreshes(), 3);
    EXPECT_EQ(tokens.size(), 4);
    EXPECT_EQ(tokens.count(tokens.first()), 4);
    EXPECT_EQ(logged().size(), 2);
}

// A failing command is reported once in the run and not run again in it; a working one
// runs at each login; no source, no callback.
TEST_F(TokenSourcesTest, ACommandIsAskedAtEachLoginAndAFailingOneOnce)
{
    const QString count = dir.filePath(QStringLiteral("count"));
    const QString good = writeScript(dir.filePath(QStringLiteral("good.sh")),
                                     "echo x >> \"$1\"\necho tok-$(wc -l < \"$1\")\n");
    const QString bad = writeScript(dir.filePath(QStringLiteral("bad.sh")),
                                    "echo x >> \"$1\"\necho SECRET\nexit 2\n");
    TokenSources sources(store);
    EXPECT_FALSE(sources.accessTokenFor(QStringLiteral("Enviant: "), {}, {}));
    const AccessTokenCallback failing = sources.accessTokenFor(QStringLiteral("Enviant: "), {},
                                                               quoted(bad) + u' ' + quoted(count));
    for (int i = 0; i < 2; ++i) {
        QString error;
        EXPECT_FALSE(failing(error));
        EXPECT_EQ(
            error,
            QStringLiteral("l'ordre del testimoni d'accés %1 ha acabat amb el codi 2").arg(bad));
    }
    EXPECT_EQ(MailFolders::bytesOf(count), "x\n");
    EXPECT_EQ(logged(),
              QStringList {QStringLiteral("Enviant: l'ordre del testimoni d'accés %1 ha acabat "
                                          "amb el codi 2")
                               .arg(bad)});
    QFile::remove(count);
    const AccessTokenCallback working = sources.accessTokenFor(QStringLiteral("Rebent: "), {},
                                                               quoted(good) + u' ' + quoted(count));
    for (const char *expected : {"tok-1", "tok-2"}) {
        QString error;
        EXPECT_EQ(working(error), QString::fromLatin1(expected)) << error.toStdString();
    }
    EXPECT_EQ(logged().size(), 1);
}

// vessamo-token and the router agree on the store: the service's state folder when
// installed, else beside the configuration file in use.
TEST(TokenFolder, TheServiceStateFolderOrBesideTheConfiguration)
{
    config::Layout installed;
    installed.installed = true;
    installed.configurationFile = QStringLiteral("/etc/vessamo/vessamo.vsm");
    config::Layout perUser = installed;
    perUser.perUser = true;
    perUser.configurationFile = QStringLiteral("/home/ana/.config/vessamo/vessamo.vsm");
    config::Layout beside;
    beside.configurationFile = QStringLiteral("/opt/router/vessamo.vsm");
    EXPECT_EQ(config::tokenFolder(installed, QStringLiteral("/srv/other.vsm")),
              QStringLiteral("/var/lib/vessamo/tokens"));
    EXPECT_EQ(config::tokenFolder(perUser, perUser.configurationFile),
              QStringLiteral("/home/ana/.config/vessamo/tokens"));
    EXPECT_EQ(config::tokenFolder(beside, QStringLiteral("/srv/site/router.vsm")),
              QStringLiteral("/srv/site/tokens"));
    const test::ScopedEnv env("VESSAMO_CONFIG", "/srv/test/x.vsm");
    EXPECT_EQ(config::tokenFolder(beside), QStringLiteral("/srv/test/tokens"));
}

} // namespace
