// vessamo-token: enrols OAuth 2.0 accounts and prints their access tokens.
#include "tokentool/tokencommand.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vessamo-token"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESSAMO_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const auto parsed = vessamo::tokentool::parseArguments(app.arguments().mid(1));
    if (parsed.help) {
        out << vessamo::tokentool::usageText();
        return 0;
    }
    if (parsed.version) {
        out << "vessamo-token (Vessamo) " << VESSAMO_VERSION << Qt::endl;
        return 0;
    }
    if (!parsed.error.isEmpty()) {
        err << "vessamo-token: " << parsed.error << "\nTry 'vessamo-token --help'." << Qt::endl;
        return 2;
    }
    return vessamo::tokentool::runToken(parsed.options, out, err);
}
