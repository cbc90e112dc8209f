// UU lines, RFC 2047 encoded words and the small quoting helpers of composition. A header
// text becomes ISO-8859-1 octets when that set holds it, else UTF-8 octets.
#include "mail/encoders.h"

#include "mail/modcorreu.h"
#include "platform/ansi.h"

namespace vessamo::mail {

namespace {

// Q and B words close at these sizes: a word with its prefix and suffix stays within a
// 76-character line (RFC 2047 section 2).
constexpr qsizetype kQWordClose = 54;
// A UTF-8 word closes only after a whole character, which may add 12 octets (=XX four
// times) past the size at which it could close: 51 octets, 12 more and the 12 of prefix
// and suffix make 75.
constexpr qsizetype kQWordCloseUtf8 = 52;
constexpr qsizetype kBWordSource = 42;
// The same for a UTF-8 display name: one word of at most 708 characters, within the 998-octet
// line with the longest header it goes in (Disposition-Notification-To, 29) and the
// longest address (254, with " <" and ">").
constexpr qsizetype kLongWordClose = 676;
constexpr qsizetype kLongWordSource = 522;
const QByteArray kWordSuffix = QByteArrayLiteral("?=");
const QByteArray kWordJoin = QByteArrayLiteral("\r\n\t");

char uuChar(unsigned value)
{
    return value == 0 ? '`' : char(value + 32);
}

// A control character would end or split the header line it stands in.
bool needsEncoding(unsigned char c)
{
    return c > 126 || (c < 32 && c != '\t') || c == 127;
}

// What a Q word may hold as it is: in an unstructured text every printable character but
// "=", "?" and "_"; in a phrase only letters, digits and "!*+-/" (RFC 2047 5(1) and 5(3)).
bool copiedInQ(unsigned char c, bool phrase)
{
    if (phrase)
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
    return c >= 33 && c <= 126 && c != '=' && c != '?' && c != '_';
}

void appendHex(QByteArray &out, unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    out.append(digits[c >> 4]);
    out.append(digits[c & 15]);
}

// An octet inside a UTF-8 character: no encoded word may end before it (RFC 2047 section 5,
// each word holds whole characters). Never true of ISO-8859-1, which is read octet by octet.
bool inCharacter(const QByteArray &bytes, qsizetype i, bool utf8)
{
    return utf8 && i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80;
}

QByteArray qForm(const QByteArray &bytes, bool phrase, bool utf8, qsizetype close)
{
    const QByteArray prefix = utf8 ? "=?UTF-8?Q?" : "=?ISO-8859-1?Q?";
    QByteArray out;
    QByteArray word;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == ' ') {
            word.append('_');
        } else if (copiedInQ(c, phrase)) {
            word.append(char(c));
        } else {
            word.append('=');
            appendHex(word, c);
        }
        if (word.size() >= close && !inCharacter(bytes, i + 1, utf8)) {
            out += prefix + word + kWordSuffix;
            if (i + 1 < bytes.size())
                out += kWordJoin;
            word.clear();
        }
    }
    if (!word.isEmpty())
        out += prefix + word + kWordSuffix;
    return out;
}

QByteArray bForm(const QByteArray &bytes, bool utf8, qsizetype source)
{
    const QByteArray prefix = utf8 ? "=?UTF-8?B?" : "=?ISO-8859-1?B?";
    QByteArray out;
    for (qsizetype start = 0, end; start < bytes.size(); start = end) {
        end = qMin(start + source, bytes.size());
        while (end > start + 1 && inCharacter(bytes, end, utf8))
            --end;
        // One line of Base64 however long the word, without the line end.
        const QByteArray encoded = bytes.mid(start, end - start).toBase64();
        if (start > 0)
            out += kWordJoin;
        out += prefix + encoded + kWordSuffix;
    }
    return out;
}

bool plainIdChar(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')
        || c == u'.' || c == u'_' || c == u'+' || c == u'~' || c == u'-';
}

} // namespace

QByteArray UUEncodeLine(const QByteArray &bytes)
{
    const qsizetype n = bytes.size();
    if (n > kUULineMax)
        return {};
    QByteArray out;
    out.reserve(2 + (n + 2) / 3 * 4);
    out.append(uuChar(unsigned(n)));
    for (qsizetype g = 0; g < n; g += 3) {
        const qsizetype length = qMin<qsizetype>(3, n - g);
        const auto at = [&](qsizetype i) {
            return i < length ? unsigned(static_cast<unsigned char>(bytes[g + i])) : 0u;
        };
        const unsigned b0 = at(0), b1 = at(1), b2 = at(2);
        const unsigned values[4]
            = {b0 >> 2, ((b0 & 3) << 4) | (b1 >> 4), ((b1 & 15) << 2) | (b2 >> 6), b2 & 63};
        for (qsizetype i = 0; i <= length; ++i)
            out.append(uuChar(values[i]));
        if (length == 1)
            out.append("==");
        else if (length == 2)
            out.append('=');
    }
    return out;
}

QString QuotedString(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out.append(u'"');
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            out.append(u'\\');
        out.append(c);
    }
    out.append(u'"');
    return out;
}

bool FitsLatin1(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
    }
    return true;
}

QString EncodeHeaderText(const QString &text, bool quote)
{
    // Text that ISO-8859-1 holds is written in it; any other text in UTF-8, never as "?".
    const bool utf8 = !FitsLatin1(text);
    const QByteArray bytes = utf8 ? text.toUtf8() : text.toLatin1();
    bool encode = false;
    for (const char c : bytes)
        encode = encode || needsEncoding(static_cast<unsigned char>(c));
    if (!encode)
        return quote ? QuotedString(text) : text;
    // A UTF-8 display name stays one word as long as a header line can hold it: readers
    // such as Python's email package put a blank between adjacent encoded words of a
    // phrase, where RFC 2047 section 6.2 says to drop the white space.
    const bool oneWord = utf8 && quote;
    const qsizetype close = utf8 ? kQWordCloseUtf8 : kQWordClose;
    const QByteArray q = qForm(bytes, quote, utf8, oneWord ? kLongWordClose : close);
    const QByteArray b = bForm(bytes, utf8, oneWord ? kLongWordSource : kBWordSource);
    return QString::fromLatin1(q.size() >= b.size() ? b : q);
}

QString MimeParameter(const QString &name, const QString &value)
{
    bool plain = true;
    for (const QChar c : value)
        plain = plain && c.unicode() >= 32 && c.unicode() <= 126 && c != u'"' && c != u'\\';
    if (plain)
        return name + QStringLiteral("=\"") + value + u'"';
    // RFC 2231 attribute-char: any printable ASCII but the tspecials, "*", "'" and "%".
    const QByteArray encoded
        = value.toUtf8().toPercentEncoding("!#$&+-.^_`|~", "*'%()<>@,;:\\\"/[]?={} ");
    return name + QStringLiteral("*=UTF-8''") + QString::fromLatin1(encoded);
}

QString ContentIdFor(const QString &name)
{
    bool plain = !name.isEmpty();
    for (const QChar c : name)
        plain = plain && plainIdChar(c.unicode());
    if (plain)
        return name;
    QByteArray out;
    for (const char c : name.toUtf8()) {
        if (plainIdChar(char16_t(static_cast<unsigned char>(c)))) {
            out.append(c);
        } else {
            out.append('=');
            appendHex(out, static_cast<unsigned char>(c));
        }
    }
    return QString::fromLatin1(out);
}

} // namespace vessamo::mail
