// How the SMTP session and each mailbox log in, beyond what the binary file holds: the
// method (classic USER/PASS or AUTH LOGIN, "auto", APOP, or a SASL mechanism) and where an
// access token comes from (a vessamo-token account or a command). These settings live in a
// companion file beside the configuration (configuration path + ".login"), as "key = value"
// lines; a mailbox's entry is keyed by the mailbox's identity (server, port, user), never
// by its position, so deleting or reordering mailboxes cannot hand one mailbox's login to
// another. None of it is a secret: passwords stay in the binary file, tokens in the token
// store.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <tuple>

namespace vessamo::config {

struct Bustia;

struct LoginSettings
{
    // "" classic (POP3 USER/PASS, SMTP AUTH LOGIN, as ever), "auto", "APOP" (POP3 only), or
    // a SASL mechanism's name in upper case; see loginMethods().
    QString method;
    // A vessamo-token account name whose access token the login uses.
    QString tokenAccount;
    // A command whose first output line is an access token.
    QString tokenCommand;

    bool classic() const { return method.isEmpty(); }
    bool hasTokenSource() const { return !tokenAccount.isEmpty() || !tokenCommand.isEmpty(); }
    bool operator==(const LoginSettings &) const = default;
};

// Which login a setting is for: APOP exists only for POP3.
enum class LoginUse { Smtp, Pop3 };

// The methods a setting may name, as stored: "" (classic) first.
QStringList loginMethods(LoginUse use);

// The stored form of a method as typed (any case; "classic" or nothing for classic);
// nothing when it is not a method.
std::optional<QString> normalisedMethod(const QString &typed);

// The method as the text interface shows it ("classic" for classic).
QString methodText(const QString &method);

// XOAUTH2 and OAUTHBEARER, and "auto" with a token source, log in with a token only.
bool usesTokenOnly(const LoginSettings &login);

// vessamo-token's rule for account names (its token store's file names).
bool validTokenAccount(const QString &name);

// Why a login is refused, in the dialogs' words, and which of its settings is wrong.
struct LoginRefusal
{
    enum Field { Method, Account, Command };
    Field field = Method;
    QString message;
};

// Why `login` is refused; nothing when it is fine. `method` must be in its stored form
// already, or the refusal names it. With `programMustExist`, a token command's
// program must be an existing file named by an absolute path (a save); without it only the
// form is checked (a load: a program removed since is the login's failure, not the file's).
std::optional<LoginRefusal> checkLogin(const LoginSettings &login, LoginUse use,
                                       bool programMustExist = true);

// Why a postmaster address (where notices of failed mail go) is refused, in the dialogs'
// words; nothing when it is fine. Empty is fine: no notices. Otherwise one plain address,
// local part "@" domain, in printable ASCII without blanks, angle brackets, quotes or the
// list separators: it goes into an SMTP command and into the notice's headers as it is.
std::optional<QString> checkPostmaster(const QString &address);

// A mailbox as its login entry knows it.
struct MailboxIdentity
{
    QString server;
    quint16 port = 0;
    QString user;

    static MailboxIdentity of(const Bustia &mailbox);
    bool operator==(const MailboxIdentity &) const = default;
    bool operator<(const MailboxIdentity &o) const
    {
        return std::tie(server, port, user) < std::tie(o.server, o.port, o.user);
    }
};

} // namespace vessamo::config
