// Base64 coding for the mail client (RFC 2045 section 6.8 layout: 76-character lines
// ending in CR LF). The encoder works on bytes; the text forms go through Windows-1252,
// one byte per character, so every byte value survives a decode as one character.
#include "mail/modcorreu.h"

#include "platform/ansi.h"

#include <array>

namespace vessamo::mail {

namespace {

// The 64 digits in value order, then the padding sign.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr int kPadPosition = 64;
constexpr int kGroupsPerLine = 19; // 19 groups of 4 = 76 characters

// Position in the alphabet (0..64) or -1 for a character outside it.
int alphabetPosition(QChar c)
{
    static const std::array<int, 128> table = [] {
        std::array<int, 128> t {};
        t.fill(-1);
        for (int i = 0; i <= kPadPosition; ++i)
            t[static_cast<unsigned char>(kAlphabet[i])] = i;
        return t;
    }();
    const char16_t u = c.unicode();
    return u < table.size() ? table[u] : -1;
}

} // namespace

QByteArray Base64Encode(QByteArray &bytes)
{
    const qsizetype n = bytes.size();
    const int padding = n % 3 == 0 ? 0 : 3 - int(n % 3);
    if (padding)
        bytes.append(padding, '\0');

    const qsizetype groups = bytes.size() / 3;
    QByteArray out;
    out.reserve(groups * 4 + (groups / kGroupsPerLine + 1) * 2);
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.constData());
    for (qsizetype g = 0; g < groups; ++g) {
        if (g > 0 && g % kGroupsPerLine == 0)
            out.append("\r\n", 2);
        const unsigned b0 = in[g * 3], b1 = in[g * 3 + 1], b2 = in[g * 3 + 2];
        out.append(kAlphabet[b0 >> 2]);
        out.append(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
        out.append(kAlphabet[((b1 & 15) << 2) | (b2 >> 6)]);
        out.append(kAlphabet[b2 & 63]);
    }
    for (int i = 1; i <= padding; ++i)
        out[out.size() - i] = '=';
    if (!out.endsWith("\r\n"))
        out.append("\r\n", 2);
    return out;
}

QString Base64EncodeText(const QString &text)
{
    if (text.isEmpty())
        return QString();
    QByteArray bytes = platform::toAnsi(text);
    return QString::fromLatin1(Base64Encode(bytes));
}

QByteArray Base64DecodeBytes(const QString &text)
{
    QString source = text;
    source.remove(QStringLiteral("\r\n"));

    QByteArray out;
    out.reserve(source.size() / 4 * 3 + 3);
    for (qsizetype start = 0; start < source.size(); start += 4) {
        std::array<unsigned, 4> d {};
        // Characters the group yields: 3 for a full group; padding at place i (0-based)
        // leaves i - 1. A group cut short by the end of the text is treated the same
        // way, so missing characters never invent bytes.
        int yield = 3;
        for (int i = 0; i < 4; ++i) {
            if (start + i >= source.size()) {
                yield = qMax(0, i - 1);
                break;
            }
            const int pos = alphabetPosition(source.at(start + i));
            if (pos < 0)
                return QByteArray();
            if (pos == kPadPosition) {
                yield = qMax(0, i - 1);
                break;
            }
            d[i] = unsigned(pos);
        }
        const std::array<unsigned, 3> bytes = {
            d[0] * 4 + ((d[1] >> 4) & 3),
            (d[1] & 15) * 16 + ((d[2] >> 2) & 15),
            (d[2] & 3) * 64 + d[3],
        };
        for (int i = 0; i < yield; ++i)
            out.append(static_cast<char>(bytes[i]));
    }
    return out;
}

QString Base64Decode(const QString &text)
{
    return platform::fromAnsi(Base64DecodeBytes(text));
}

} // namespace vessamo::mail
