// vessamo-token: enrols an OAuth 2.0 account once (device code or browser sign-in) and then
// hands out its access tokens, refreshed when needed, for XOAUTH2 and OAUTHBEARER logins.
//
//   vessamo-token enrol ACCOUNT --provider google|microsoft|custom --client-id ID ...
//   vessamo-token show ACCOUNT     what is stored, never a token or secret
//   vessamo-token token ACCOUNT    a fresh access token on standard output
//   vessamo-token forget ACCOUNT
//
// Exit status 0 on success, 1 on failure (one line on standard error), 2 for bad arguments.
#pragma once

#include <QString>
#include <QStringList>

class QTextStream;

namespace vessamo::tokentool {

struct TokenOptions
{
    enum class Command { Enrol, Show, Token, Forget };
    enum class Flow { Default, Device, Browser };
    Command command = Command::Show;
    QString account;
    QString provider, tenant, clientId, clientSecretFile;
    Flow flow = Flow::Default;
    QString authUrl, deviceUrl, tokenUrl, scope;
    QString store; // empty: the installed program's folder
    int timeoutSeconds = 300; // the browser sign-in's wait
};

struct ParsedArguments
{
    TokenOptions options;
    QString error; // not empty: a bad argument (exit status 2)
    bool help = false;
    bool version = false;
};

ParsedArguments parseArguments(const QStringList &arguments);
QString usageText();

// Runs the command: prompts and results on `out`, the reason of a failure on `err`.
// Returns the exit status.
int runToken(const TokenOptions &options, QTextStream &out, QTextStream &err);

} // namespace vessamo::tokentool
