// SASLprep (RFC 4013, the stringprep profile of RFC 3454) for SCRAM's user name and password.
// The tables are the RFC 3454 ones that the profile names, as ranges of code points. A
// character the profile prohibits is refused with the kind of character it is: a password
// that changed silently would only fail later, with a less useful message.
#include "mail/saslprep.h"

#include <QList>
#include <algorithm>

namespace vessamo::mail {

namespace {

struct Range
{
    char32_t first;
    char32_t last;
};

template<std::size_t N> bool inTable(char32_t c, const Range (&table)[N])
{
    return std::any_of(std::begin(table), std::end(table),
                       [c](const Range &r) { return c >= r.first && c <= r.last; });
}

// C.1.2, non-ASCII space characters: mapped to SPACE.
constexpr Range kNonAsciiSpace[] = {
    {0x00A0, 0x00A0}, {0x1680, 0x1680}, {0x2000, 0x200B},
    {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

// B.1, commonly mapped to nothing (soft hyphen, joiners, variation selectors, ...).
constexpr Range kMappedToNothing[] = {
    {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x1806, 0x1806}, {0x180B, 0x180D},
    {0x200B, 0x200D}, {0x2060, 0x2060}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF},
};

// C.2.1 and C.2.2, control characters.
constexpr Range kControl[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
    {0x180E, 0x180E}, {0x200C, 0x200D}, {0x2028, 0x2029}, {0x2060, 0x2063},
    {0x206A, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFC}, {0x1D173, 0x1D17A},
};

// C.3, private use.
constexpr Range kPrivateUse[] = {
    {0xE000, 0xF8FF},
    {0xF0000, 0xFFFFD},
    {0x100000, 0x10FFFD},
};

// C.6 to C.9: inappropriate for plain text or canonical representation, display-changing
// and deprecated, tagging characters.
constexpr Range kUnfit[] = {
    {0x0340, 0x0341}, {0x200E, 0x200F}, {0x202A, 0x202E},   {0x206A, 0x206F},
    {0x2FF0, 0x2FFB}, {0xFFF9, 0xFFFD}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// C.4, non-character code points: U+FDD0..U+FDEF and the last two of every plane.
bool isNonCharacter(char32_t c)
{
    return (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

// The code points of the text; nothing when a surrogate is unpaired (C.5).
std::optional<QList<char32_t>> codePoints(const QString &text)
{
    QList<char32_t> out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out << QChar::surrogateToUcs4(c, text[i + 1]);
            ++i;
        } else if (c.isSurrogate()) {
            return std::nullopt;
        } else {
            out << c.unicode();
        }
    }
    return out;
}

QString prohibition(char32_t c)
{
    if (inTable(c, kControl))
        return QStringLiteral("holds a control character");
    if (inTable(c, kPrivateUse))
        return QStringLiteral("holds a private-use character");
    if (isNonCharacter(c))
        return QStringLiteral("holds a non-character code point");
    if (inTable(c, kUnfit))
        return QStringLiteral("holds a formatting, tagging or other character that SASLprep "
                              "prohibits");
    return QString();
}

// RFC 3454 section 6: text with right-to-left characters holds no left-to-right ones, and
// starts and ends with a right-to-left character.
bool bidiAcceptable(const QList<char32_t> &text)
{
    const auto rtl = [](char32_t c) {
        const QChar::Direction d = QChar::direction(c);
        return d == QChar::DirR || d == QChar::DirAL;
    };
    if (std::none_of(text.begin(), text.end(), rtl))
        return true;
    const bool ltr = std::any_of(text.begin(), text.end(),
                                 [](char32_t c) { return QChar::direction(c) == QChar::DirL; });
    return !ltr && rtl(text.front()) && rtl(text.back());
}

SaslPrepared refused(const QString &why)
{
    return {QString(), why};
}

} // namespace

SaslPrepared saslPrep(const QString &text)
{
    const std::optional<QList<char32_t>> input = codePoints(text);
    if (!input)
        return refused(QStringLiteral("holds a broken UTF-16 surrogate"));
    QList<char32_t> mapped;
    for (const char32_t c : *input) {
        if (inTable(c, kMappedToNothing))
            continue;
        mapped << (inTable(c, kNonAsciiSpace) ? char32_t(' ') : c);
    }
    // Stringprep is defined on Unicode 3.2; later versions changed a few decompositions.
    const QString normalized = QString::fromUcs4(mapped.constData(), mapped.size())
                                   .normalized(QString::NormalizationForm_KC, QChar::Unicode_3_2);
    const std::optional<QList<char32_t>> output = codePoints(normalized);
    if (!output)
        return refused(QStringLiteral("holds a broken UTF-16 surrogate"));
    for (const char32_t c : *output) {
        const QString why = prohibition(c);
        if (!why.isEmpty())
            return refused(why);
    }
    if (!bidiAcceptable(*output))
        return refused(QStringLiteral("mixes right-to-left and left-to-right text in a way "
                                      "SASLprep prohibits"));
    if (output->isEmpty())
        return refused(QStringLiteral("is empty"));
    return {normalized, QString()};
}

} // namespace vessamo::mail
