// Draws the two configuration dialogs, filled with a sample site, into PNG files for the
// README: screenshots DIR. Run under a real X server (scripts/screenshots.sh uses Xvfb),
// so the pictures show the fonts and style an administrator sees.
#include "config/configuracio.h"
#include "shell/frmconfiguracio.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTableWidget>
#include <cstdio>

using namespace vessamo;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screenshots DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    config::Configuration sample;
    config::ConfiguracioRecord &record = sample.Configuracio;
    record.ServidorSMTP = QStringLiteral("smtp.example.org");
    record.PortSMTP = 587;
    record.AutentificacioSMTP = -1;
    record.UsuariSMTP = QStringLiteral("relay");
    record.ContrassenyaSMTP = QStringLiteral("secret");
    record.MarcaSpam = QStringLiteral("X-Spam-Flag: YES");
    record.ProgramaSpam = QStringLiteral("/usr/bin/spamc -c %i %o");
    const char *users[] = {"ana", "joan"};
    for (const char *user : users) {
        const QString name = QString::fromLatin1(user);
        sample.Busties.push_back(config::Bustia {QStringLiteral("pop.example.org"), 995, name,
                                                 QStringLiteral("pw"),
                                                 name + QStringLiteral("@example.net")});
    }
    record.NumBusties = 2;
    sample.postmaster = QStringLiteral("postmaster@example.org");

    shell::DialogPrompts prompts;
    shell::frmConfiguracio dialog(prompts, sample, QStringLiteral("/etc/vessamo/vessamo.vsm"),
                                  QStringLiteral("/var/spool/vessamo"));
    dialog.show();
    dialog.grid()->selectRow(1);
    shell::frmConfiguracioBustia mailbox(prompts, sample, 1, {});
    mailbox.show();
    QApplication::processEvents();
    const bool saved = dialog.grab().save(QDir(out).filePath(QStringLiteral("configuracio.png")))
        && mailbox.grab().save(QDir(out).filePath(QStringLiteral("configuracio-bustia.png")));
    return saved ? 0 : 1;
}
