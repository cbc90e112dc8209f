// Composition of the postmaster's notice of a failed pair; pure functions over texts and
// bytes. The boundary starts with "=_", which quoted-printable never writes (its "=" is
// always followed by two hex digits or a line end), so no content can end a part early.
#include "routing/postmasternotice.h"

#include "mail/clsenviarcorreu.h"
#include "mail/encoders.h"

namespace vessamo::routing {

namespace {

constexpr qsizetype kQpLine = 76;

// The host name as a Message-ID may hold it.
QByteArray idHost(const QString &host)
{
    QByteArray out;
    for (const char c : host.toLatin1()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
            || c == '-')
            out += c;
    }
    return out.isEmpty() ? QByteArray("localhost") : out;
}

void appendQpLine(QByteArray &out, const QByteArray &line)
{
    static const char hex[] = "0123456789ABCDEF";
    qsizetype column = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto b = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        QByteArray token;
        if (b >= 33 && b <= 126 && b != '=')
            token = QByteArray(1, char(b));
        else if ((b == ' ' || b == '\t') && !last)
            token = QByteArray(1, char(b));
        else {
            const char escaped[] = {'=', hex[b >> 4], hex[b & 15]};
            token = QByteArray(escaped, 3);
        }
        // Room for the soft break's "=" on this line.
        if (column + token.size() > kQpLine - 1) {
            out += "=\r\n";
            column = 0;
        }
        out += token;
        column += token.size();
    }
    out += "\r\n";
}

QString noticeText(const FailedPair &pair, const QStringList &others)
{
    const auto orNone
        = [](const QString &text) { return text.isEmpty() ? QStringLiteral("(cap)") : text; };
    QString text
        = QStringLiteral("Vessamo no ha pogut reenviar un missatge i l'ha deixat a l'arxiu dels no "
                         "enviats.\n\n"
                         "Missatge:        %1\n"
                         "Reenviar a:      %2\n"
                         "Remitent:        %3\n"
                         "Intents fallits: %4\n"
                         "Motiu:           %5\n\n"
                         "Les capçaleres del missatge original van adjuntes.\n\n"
                         "Quan se n'hagi resolt la causa, torneu-lo a la cua amb:\n"
                         "    vessamo --requeue %1\n"
                         "i vegeu els altres missatges no enviats amb:\n"
                         "    vessamo --failed\n")
              .arg(pair.stem, orNone(pair.forwardTo), orNone(pair.sender))
              .arg(pair.attempts)
              .arg(orNone(pair.reason));
    if (!others.isEmpty()) {
        text
            += QStringLiteral("\nAquesta execució ha deixat %1 missatges més als no enviats, sense "
                              "avís propi (se n'envien com a màxim %2 per execució):\n")
                   .arg(others.size())
                   .arg(kNoticesPerRun);
        for (const QString &other : others)
            text += QStringLiteral("    ") + other + u'\n';
    }
    text += QStringLiteral(
        "\n-- \nAquest avís l'ha generat Vessamo automàticament; no el respongueu.\n");
    return text;
}

} // namespace

QByteArray headerSection(const QByteArray &message, qsizetype limit)
{
    qsizetype end = message.size();
    for (const QByteArray &blank : {QByteArray("\r\n\r\n"), QByteArray("\n\n")}) {
        const qsizetype at = message.indexOf(blank);
        if (at >= 0 && at + blank.size() < end)
            end = at + blank.size();
    }
    if (message.startsWith("\r\n") || message.startsWith('\n'))
        end = 0;
    return message.left(std::min(end, limit));
}

QByteArray quotedPrintable(const QByteArray &bytes)
{
    QByteArray out;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        const bool ended = end >= 0;
        if (!ended)
            end = bytes.size();
        qsizetype lineEnd = end;
        if (ended && lineEnd > start && bytes[lineEnd - 1] == '\r')
            --lineEnd;
        appendQpLine(out, bytes.mid(start, lineEnd - start));
        start = end + 1;
    }
    return out;
}

QByteArray composeNotice(const QString &postmaster, const FailedPair &pair,
                         const QStringList &others, const QDateTime &now, const QString &host)
{
    const QByteArray address = postmaster.toLatin1();
    const QByteArray stem = pair.stem.toLatin1();
    const QByteArray boundary
        = "=_vessamo_" + stem + '_' + QByteArray::number(now.toMSecsSinceEpoch());
    const QString subject = QStringLiteral("Avís de Vessamo: missatge no enviat ") + pair.stem;
    QByteArray out;
    out += "From: " + address + "\r\n";
    out += "To: " + address + "\r\n";
    out += "Subject: " + mail::EncodeHeaderText(subject, false).toLatin1() + "\r\n";
    out += "Date: " + mail::MessageDateText(now).toLatin1() + "\r\n";
    out += "Message-ID: <" + stem + '.' + QByteArray::number(now.toMSecsSinceEpoch()) + ".notice@"
        + idHost(host) + ">\r\n";
    out += "Auto-Submitted: auto-generated\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
    out += "\r\n";
    out += "This is a MIME message.\r\n";
    out += "\r\n--" + boundary + "\r\n";
    out += "Content-Type: text/plain; charset=UTF-8\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    out += quotedPrintable(noticeText(pair, others).toUtf8());
    out += "\r\n--" + boundary + "\r\n";
    out += "Content-Type: text/rfc822-headers\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += "Content-Description: Original headers\r\n\r\n";
    out += quotedPrintable(pair.headers);
    out += "\r\n--" + boundary + "--\r\n";
    return out;
}

} // namespace vessamo::routing
