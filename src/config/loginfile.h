// The login file beside the configuration: its name and its text. Lines are "key = value"
// as in the configuration's text form ("#" starts a comment):
//   smtp.login = XOAUTH2
//   smtp.token-account = relay
//   pop3.ana@pop.example.org:995.login = SCRAM-SHA-256
//   postmaster = postmaster@example.org
// A mailbox's keys name it by user, server and port ("%" escapes "%", "=", blanks, control
// characters, and "@" in the server). Only what differs from a classic login is written,
// and only for the mailboxes of the table: a mailbox deleted, or whose server, port or user
// changed away from an entry, no longer has that entry after the next save.
#pragma once

#include "config/configuracio.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace vessamo::config {

// The configuration's path + ".login": found from the path itself, whatever its name.
QString loginFilePath(const QString &configurationPath);

// Whether the configuration has anything the login file would hold.
bool hasLoginSettings(const Configuration &configuration);

// The file's text for `configuration` (UTF-8).
QByteArray encodeLoginFile(const Configuration &configuration, const QString &configurationPath);

struct LoginFileRead
{
    LoginSettings smtp;
    std::map<MailboxIdentity, LoginSettings> mailboxes;
    QString postmaster;
    // Why the text is refused ("línia N: ..."); empty when it was read.
    QString error;
};
LoginFileRead parseLoginFile(const QByteArray &bytes);

} // namespace vessamo::config
