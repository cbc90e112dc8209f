// vessamo-send: one message from the command line through Vessamo's mail object.
#include "sendtool/sendcommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vessamo-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESSAMO_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const auto parsed = vessamo::sendtool::parseArguments(app.arguments().mid(1));
    if (parsed.help) {
        out << vessamo::sendtool::usageText();
        return 0;
    }
    if (parsed.version) {
        out << "vessamo-send (Vessamo) " << VESSAMO_VERSION << Qt::endl;
        return 0;
    }
    if (!parsed.error.isEmpty()) {
        err << "vessamo-send: " << parsed.error << "\nTry 'vessamo-send --help'." << Qt::endl;
        return 2;
    }
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly)) {
        err << "vessamo-send: cannot read standard input" << Qt::endl;
        return 2;
    }
    return vessamo::sendtool::runSend(parsed.options, input, err);
}
