#include "config/loginsettings.h"

#include "config/configuracio.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace vessamo::config {

namespace {

const QStringList &sasl()
{
    static const QStringList names = {
        QStringLiteral("PLAIN"),       QStringLiteral("LOGIN"),         QStringLiteral("CRAM-MD5"),
        QStringLiteral("SCRAM-SHA-1"), QStringLiteral("SCRAM-SHA-256"), QStringLiteral("XOAUTH2"),
        QStringLiteral("OAUTHBEARER"),
    };
    return names;
}

bool tokenMechanism(const QString &method)
{
    return method == u"XOAUTH2" || method == u"OAUTHBEARER";
}

bool hasControlCharacter(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    }
    return false;
}

} // namespace

std::optional<QString> checkPostmaster(const QString &address)
{
    if (address.isEmpty())
        return std::nullopt;
    const auto refuse = [&](const char *why) {
        return QStringLiteral("Adreça del postmaster incorrecte: %1 (%2)")
            .arg(address, QString::fromUtf8(why));
    };
    for (QChar c : address) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            return refuse("només caràcters ASCII visibles, sense espais ni salts de línia");
        if (QStringLiteral("<>()[],;:\\\"").contains(c))
            return refuse("una adreça sola, sense nom ni < > ( ) [ ] , ; : \" \\");
    }
    const qsizetype at = address.indexOf(u'@');
    if (at <= 0 || at != address.lastIndexOf(u'@') || at == address.size() - 1)
        return refuse("ha de ser usuari@domini");
    return std::nullopt;
}

QStringList loginMethods(LoginUse use)
{
    QStringList methods = {QString(), QStringLiteral("auto")};
    if (use == LoginUse::Pop3)
        methods << QStringLiteral("APOP");
    return methods + sasl();
}

std::optional<QString> normalisedMethod(const QString &typed)
{
    const QString t = typed.trimmed();
    if (t.isEmpty() || t.compare(u"classic", Qt::CaseInsensitive) == 0)
        return QString();
    if (t.compare(u"auto", Qt::CaseInsensitive) == 0)
        return QStringLiteral("auto");
    const QString upper = t.toUpper();
    if (upper == u"APOP" || sasl().contains(upper))
        return upper;
    return std::nullopt;
}

QString methodText(const QString &method)
{
    return method.isEmpty() ? QStringLiteral("classic") : method;
}

bool usesTokenOnly(const LoginSettings &login)
{
    return tokenMechanism(login.method) || (login.method == u"auto" && login.hasTokenSource());
}

// The same rule as vessamo-token's store, whose file names these are.
bool validTokenAccount(const QString &name)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[A-Za-z0-9_@+-][A-Za-z0-9._@+-]{0,127}")));
    return pattern.match(name).hasMatch();
}

std::optional<LoginRefusal> checkLogin(const LoginSettings &login, LoginUse use,
                                       bool programMustExist)
{
    using F = LoginRefusal::Field;
    const QString protocol
        = use == LoginUse::Smtp ? QStringLiteral("SMTP") : QStringLiteral("POP3");
    if (!loginMethods(use).contains(login.method)) {
        if (login.method == u"APOP")
            return LoginRefusal {
                F::Method,
                QStringLiteral("Mètode d'autentificació %1 incorrecte: APOP només serveix "
                               "per a les bústies POP3")
                    .arg(protocol)};
        QStringList shown = loginMethods(use);
        shown.first() = QStringLiteral("classic");
        return LoginRefusal {F::Method,
                             QStringLiteral("Mètode d'autentificació %1 incorrecte: %2 (val %3)")
                                 .arg(protocol, login.method, shown.join(QStringLiteral(", ")))};
    }
    if (!login.tokenAccount.isEmpty() && !validTokenAccount(login.tokenAccount))
        return LoginRefusal {F::Account,
                             QStringLiteral("Compte de vessamo-token %1 incorrecte: %2 (lletres, "
                                            "xifres i . _ @ + -, fins a 128, sense començar per "
                                            "un punt)")
                                 .arg(protocol, login.tokenAccount)};
    if (!login.tokenCommand.isEmpty()) {
        const QStringList words = QProcess::splitCommand(login.tokenCommand);
        const QString program = words.value(0);
        const bool badForm = hasControlCharacter(login.tokenCommand) || program.isEmpty()
            || !QFileInfo(program).isAbsolute();
        const QFileInfo file(program);
        if (badForm || (programMustExist && !(file.isFile() && file.isExecutable())))
            return LoginRefusal {F::Command,
                                 QStringLiteral("Ordre de testimoni %1 incorrecte: cal el camí "
                                                "absolut d'un programa que existeixi")
                                     .arg(protocol)};
    }
    if (!login.tokenAccount.isEmpty() && !login.tokenCommand.isEmpty())
        return LoginRefusal {F::Command,
                             QStringLiteral("Testimoni %1 incorrecte: doneu un compte de "
                                            "vessamo-token o una ordre de testimoni, no tots dos")
                                 .arg(protocol)};
    if (tokenMechanism(login.method) && !login.hasTokenSource())
        return LoginRefusal {F::Account,
                             QStringLiteral("Testimoni %1 incorrecte: %2 necessita un compte de "
                                            "vessamo-token o una ordre de testimoni")
                                 .arg(protocol, login.method)};
    if (login.hasTokenSource() && !tokenMechanism(login.method) && login.method != u"auto")
        return LoginRefusal {F::Method,
                             QStringLiteral("Testimoni %1 incorrecte: %2 no fa servir cap "
                                            "testimoni; deixeu buits el compte i l'ordre")
                                 .arg(protocol, methodText(login.method))};
    return std::nullopt;
}

MailboxIdentity MailboxIdentity::of(const Bustia &mailbox)
{
    return {mailbox.Servidor, mailbox.port(), mailbox.Usuari};
}

} // namespace vessamo::config
