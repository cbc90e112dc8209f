// vessamo-send: composes one message from its arguments and sends it through the mail
// object (Send), with the SMTP settings of Vessamo's configuration file or of the options
// that override them. Status lines go to standard error; the exit status is 0 when the
// server accepted the message, 1 when it was not sent (the reason on standard error), 2
// for bad arguments.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QIODevice;
class QTextStream;

namespace vessamo::sendtool {

struct SendOptions
{
    QString from, fromName, replyTo, subject;
    // "Name <address>" or a bare address, as given.
    QStringList to, cc, bcc;
    QStringList attachments;
    QString bodyFile; // "-" or empty: standard input
    bool html = false;
    bool receipt = false;
    bool uuencode = false;
    qint32 priority = 3;
    QString configFile;
    QString server;
    std::optional<qint32> port;
    std::optional<QString> user;
    QString passwordFile;
    // The login method, in its stored form ("" classic); none: the configured one.
    std::optional<QString> login;
    // A vessamo-token account or a token command; none given: the configured source.
    std::optional<QString> tokenAccount, tokenCommand;
};

struct ParsedArguments
{
    SendOptions options;
    QString error; // not empty: a bad argument (exit status 2)
    bool help = false;
    bool version = false;
};

// The arguments after the program name.
ParsedArguments parseArguments(const QStringList &arguments);
QString usageText();

// Reads the configuration, sends, and reports on `err`. `input` is standard input, read
// when the body comes from there. Returns the exit status.
int runSend(const SendOptions &options, QIODevice &input, QTextStream &err);

// "Name <address>" split into its name (without surrounding quotes) and address; a bare
// address has an empty name.
std::pair<QString, QString> splitMailbox(const QString &text);

} // namespace vessamo::sendtool
