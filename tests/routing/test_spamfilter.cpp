// The spam filter: the command-line template, the verdict by the mark in the program's
// output, the output's removal, the message kept safe from the program, and the stop.
#include "routing/runcontext.h"
#include "routing/spamfilter.h"
#include "support/mailfolders.h"
#include "support/recordingview.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace vessamo::routing;

namespace {

TEST(SpamCommand, PlaceholdersAreReplacedExactlyAndOnlyOnce)
{
    const std::tuple<const char *, const char *, const char *> rows[] = {
        // template, message path, command
        {"spamc %i %o", "/q/m", "spamc \"/q/m\" \"/t/o\""},
        {"p -o %o -c %o", "/q/m", "p -o \"/t/o\" -c \"/t/o\""},
        {"p %I %O 100% %%i %", "/q/m", "p %I %O 100% %\"/q/m\" %"},
        {"p %i %o", "/q/a%ob", "p \"/q/a%ob\" \"/t/o\""}, // a path is not replaced again
        {"p %i", "/q/it's \"x\"", "p \"/q/it's \"\"\"x\"\"\"\""},
    };
    for (const auto &[templateText, message, command] : rows)
        EXPECT_EQ(buildSpamCommand(QString::fromUtf8(templateText), QString::fromUtf8(message),
                                   QStringLiteral("/t/o")),
                  QString::fromUtf8(command));
}

TEST(SpamOutput, MarkIsFoundAnywhereInExactCase)
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("o"));
    const std::tuple<QByteArray, const char *, bool> rows[] = {
        {"score=9\nX-Spam: YES", "X-Spam: YES", true},
        {"x-spam: yes", "X-Spam: YES", false},
        {"anything", "", false},
        {QByteArray(65536 - 3, ' ') + "X-Spam: YES", "X-Spam: YES", true}, // across two reads
        {"Resultat: brossa \xe9s", "brossa és", true}, // Windows-1252
    };
    for (const auto &[content, mark, found] : rows) {
        vessamo::test::MailFolders::writeFile(out, content);
        EXPECT_EQ(outputHoldsMark(out, QString::fromUtf8(mark)), found) << mark;
    }
    EXPECT_FALSE(outputHoldsMark(dir.filePath(QStringLiteral("none")), QStringLiteral("x")));
}

class SpamTest : public ::testing::Test, public vessamo::test::MailFolders
{
protected:
    SpamTest()
    {
        writeFile(message, kOriginal);
        configuration.Configuracio.FiltreSpam = -1;
        configuration.Configuracio.MarcaSpam = QStringLiteral("X-Spam: YES");
    }
    // The anti-spam program: a script called with "%i %o".
    void useScript(const QByteArray &body)
    {
        const QString script = dir.filePath(QStringLiteral("filter.sh"));
        writeFile(script, "#!/bin/sh\necho \"$2\" > " + QFile::encodeName(seen) + "\n" + body);
        QFile(script).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        configuration.Configuracio.ProgramaSpam = QStringLiteral("\"%1\" %i %o").arg(script);
    }
    bool check()
    {
        RunContext ctx(view, configuration);
        return ComprovarSpam(ctx, message);
    }

    const QByteArray kOriginal = "Subject: cheap pills\r\n\r\nBuy now\r\n";
    QString message = queue() + QStringLiteral("M202401312359590001.missatge");
    QString seen = dir.filePath(QStringLiteral("output-path")); // where the program wrote
    vessamo::test::RecordingView view;
};

// The verdict is the mark in the output, whose file and folder are gone afterwards. The
// message is already gone from the POP3 server: a program that deletes or empties it must
// not lose it (put back, and logged), while one that rewrites it keeps that right.
TEST_F(SpamTest, VerdictAndTheMessageKeptSafe)
{
    // program, spam, message after, put back
    const std::tuple<QByteArray, bool, QByteArray, bool> rows[] = {
        {"printf 'score 9 X-Spam: YES' > \"$2\"\n", true, kOriginal, false},
        {"rm -f \"$1\"\nprintf 'X-Spam: YES' > \"$2\"\n", true, kOriginal, true},
        {": > \"$1\"\n", false, kOriginal, true},
        {"printf 'X-Checked: yes\\r\\n' > \"$1\"\n", false, "X-Checked: yes\r\n", false},
    };
    for (const auto &[body, spam, after, putBack] : rows) {
        SCOPED_TRACE(body.constData());
        writeFile(message, kOriginal);
        useScript(body);
        QFile::remove(logPath);
        EXPECT_EQ(check(), spam);
        EXPECT_EQ(bytesOf(message), after);
        EXPECT_EQ(files(queue()), QStringList {QFileInfo(message).fileName()});
        EXPECT_EQ(logged().filter(QStringLiteral("Comprovant: ")).size(), putBack ? 1 : 0);
        const QString output = QString::fromUtf8(bytesOf(seen).trimmed());
        ASSERT_TRUE(output.endsWith(QStringLiteral("sortida.txt")));
        EXPECT_FALSE(QFileInfo::exists(QFileInfo(output).path()));
    }
    configuration.Configuracio.ProgramaSpam = QStringLiteral("/nonexistent/spamc %i %o");
    EXPECT_FALSE(check());
    useScript("printf 'X-Spam: YES' > \"$2\"\n");
    QFile::remove(seen);
    configuration.Configuracio.FiltreSpam = 0;
    EXPECT_FALSE(check());
    EXPECT_FALSE(QFileInfo::exists(seen));
    EXPECT_EQ(view.labels.size(), 5); // "Comprovant si és spam" whenever the filter is on
}

// The program runs as whoever runs the router, root for the service's /E: one that anyone
// else could change (the file, a folder above it, or where a link leads) is not run, and
// the entry says why. Owners need root to change.
TEST_F(SpamTest, AProgramOthersCanChangeIsNotRun)
{
    const bool root = ::geteuid() == 0;
    // bin/filter.sh is a link to real/filter.sh, a copy of the script.
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("bin")));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("real")));
    const QByteArray bin = QFile::encodeName(dir.filePath(QStringLiteral("bin")));
    const QByteArray real = QFile::encodeName(dir.filePath(QStringLiteral("real")));
    const QByteArray top = QFile::encodeName(dir.path());
    const QString linked = dir.filePath(QStringLiteral("bin/filter.sh"));
    const QString copy = dir.filePath(QStringLiteral("real/filter.sh"));
    const QByteArray script = QFile::encodeName(dir.filePath(QStringLiteral("filter.sh")));
    struct Row
    {
        const QByteArray *what;
        mode_t mode;
        uid_t owner; // 0: unchanged
        bool throughLink; // the command names bin/filter.sh, the link
        const char *why; // empty: it runs
    };
    const Row rows[] = {
        {&script, 0570, 0, false, "el grup"},
        {&script, 0505, 0, false, ""},
        {&script, 0507, 0, false, "qualsevol usuari"},
        {&top, 0770, 0, false, "el grup"},
        {&top, 0707, 0, true, "qualsevol usuari"}, // above both
        {&real, 0777, 0, true, "qualsevol usuari"}, // the folder the link leads to
        {&bin, 0777, 0, true, "qualsevol usuari"}, // the link's own folder
        {&bin, 01777, 0, true, root ? "" : "qualsevol usuari"}, // sticky: only root's counts
        {&script, 0500, 65534, false, "és de l'usuari"},
    };
    const QByteArray body = "printf 'X-Spam: YES' > \"$2\"\n";
    for (const Row &row : rows) {
        SCOPED_TRACE(QByteArray(*row.what + ' ' + QByteArray::number(row.mode, 8)).constData());
        if (row.owner != 0 && !root) {
            std::printf("skipped (needs root): owner %u\n", unsigned(row.owner));
            continue;
        }
        useScript(body);
        QFile::remove(linked);
        QFile::remove(copy);
        ASSERT_TRUE(QFile::copy(dir.filePath(QStringLiteral("filter.sh")), copy));
        ASSERT_TRUE(QFile::link(copy, linked));
        if (row.throughLink)
            configuration.Configuracio.ProgramaSpam = QStringLiteral("\"%1\" %i %o").arg(linked);
        QFile::remove(seen);
        QFile::remove(logPath);
        ASSERT_EQ(::chmod(row.what->constData(), row.mode), 0);
        if (row.owner != 0) {
            ASSERT_EQ(::chown(row.what->constData(), row.owner, row.owner), 0);
        }
        const bool spam = check();
        ASSERT_EQ(::chmod(row.what->constData(), row.what == &script ? 0500 : 0700), 0);
        if (row.owner != 0) {
            ASSERT_EQ(::chown(row.what->constData(), ::geteuid(), ::getegid()), 0);
        }
        const QStringList entries = logged();
        if (*row.why == 0) {
            EXPECT_TRUE(spam);
            EXPECT_TRUE(entries.isEmpty()) << entries.join(u'|').toStdString();
            continue;
        }
        EXPECT_FALSE(spam);
        EXPECT_FALSE(QFileInfo::exists(seen)) << "the program ran";
        ASSERT_EQ(entries.size(), 1);
        EXPECT_TRUE(entries[0].startsWith(
            QStringLiteral("Comprovant: no s'executa el programa antispam perquè altres usuaris "
                           "el poden canviar (")))
            << entries[0].toStdString();
        EXPECT_TRUE(entries[0].contains(QString::fromUtf8(row.why))) << entries[0].toStdString();
        EXPECT_TRUE(entries[0].contains(QFile::decodeName(*row.what))) << entries[0].toStdString();
    }

    // In a sticky folder a link is its owner's to point elsewhere, whatever it names now.
    if (!root) {
        std::printf("skipped (needs root): a link of another user\n");
        return;
    }
    QFile::remove(seen);
    QFile::remove(logPath);
    ASSERT_EQ(::chmod(bin.constData(), 01777), 0);
    ASSERT_EQ(::lchown(QFile::encodeName(linked).constData(), 65534, 65534), 0);
    configuration.Configuracio.ProgramaSpam = QStringLiteral("\"%1\" %i %o").arg(linked);
    EXPECT_FALSE(check());
    EXPECT_FALSE(QFileInfo::exists(seen)) << "the program ran";
    const QStringList entries = logged();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries[0].contains(linked + QStringLiteral(" és de l'usuari")))
        << entries[0].toStdString();
}

// A program that never ends and ignores SIGTERM: the run's stop ends it (its children with
// it: test_syncshell.cpp), and the message is not spam and stays as it was.
TEST_F(SpamTest, StopEndsAHangingProgram)
{
    useScript("trap '' TERM\ni=0; while [ $i -lt 15 ]; do sleep 1; i=$((i+1)); done\n"
              "printf 'X-Spam: YES' > \"$2\"\n");
    RunContext ctx(view, configuration);
    QTimer::singleShot(300, [&ctx] { ctx.abort.request(); });
    EXPECT_FALSE(ComprovarSpam(ctx, message));
    EXPECT_EQ(logged().filter(QStringLiteral("Comprovant: ")).size(), 1);
    EXPECT_EQ(bytesOf(message), kOriginal);
}

} // namespace
