// The composition encoders: UU lines against known lines and a decoder written here, apart
// from the encoder; RFC 2047 words against hand-counted rows and read back by Python's
// email package, as a phrase in an address header too; MIME parameters and Content-IDs.
#include "mail/encoders.h"
#include "platform/ansi.h"
#include "support/pycheck.h"
#include "support/uudecode.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <gtest/gtest.h>

using namespace vessamo::mail;
using vessamo::test::runPython;
using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(QRandomGenerator &random, qsizetype n)
{
    QByteArray bytes(n, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

} // namespace

TEST(UUEncodeLine, KnownLinesLimitsAndRoundTrips)
{
    const std::pair<QByteArray, QByteArray> rows[] = {
        {"", "`"}, // no bytes: the count alone
        {"Cat", "#0V%T"},
        {QByteArray(3, '\0'), "#````"}, // value 0 is the grave accent, never a blank
        {"A", "!00=="}, // a short last group is filled to four characters
        {"AB", "\"04(="},
        {QByteArray(64, 'x'), ""}, // too long for one line
    };
    for (const auto &[bytes, line] : rows)
        EXPECT_EQ(UUEncodeLine(bytes), line) << bytes.toHex().toStdString();
    EXPECT_EQ(UUEncodeLine(QByteArray(45, 'x')).size(), 61); // "M" and 60 characters
    EXPECT_EQ(UUEncodeLine(QByteArray(45, 'x')).at(0), 'M');
    EXPECT_EQ(UUEncodeLine(QByteArray(63, 'x')).size(), 85);

    QRandomGenerator random(13);
    for (qsizetype n = 0; n <= 63; ++n) {
        const QByteArray bytes = randomBytes(random, n);
        const QByteArray line = UUEncodeLine(bytes);
        EXPECT_EQ(vessamo::test::uuDecodeLine(line), bytes) << n;
        // Printable, no blank (some transports strip trailing blanks), no line break.
        for (const char c : line)
            EXPECT_TRUE(c > 32 && c < 127) << n;
    }
}

TEST(EncodeHeaderText, FormsLimitsAndQuoting)
{
    const QString sixty = u'\u00e9' + QString(59, u'a');
    const QString fifty = QString(50, u'\u00e9');
    struct Row
    {
        const char *name;
        QString text;
        bool quote;
        QString expected;
    };
    const Row rows[] = {
        {"plain text unchanged", u"Hello world"_s, false, u"Hello world"_s},
        {"plain phrase quoted", u"Ana Vidal"_s, true, u"\"Ana Vidal\""_s},
        {"quote and backslash escaped", u"Ana \"Boss\" \\x"_s, true,
         u"\"Ana \\\"Boss\\\" \\\\x\""_s},
        {"one letter: Q shorter", u"\u00e9"_s, false, u"=?ISO-8859-1?Q?=E9?="_s},
        {"tie goes to B", u"\u00e9a"_s, false, u"=?ISO-8859-1?B?6WE=?="_s},
        // Q closes a word once it holds 54 characters: "=E9" and 51 letters.
        {"Q words of 54", sixty, false,
         u"=?ISO-8859-1?Q?=E9"_s + QString(51, u'a') + u"?=\r\n\t=?ISO-8859-1?Q?aaaaaaaa?="_s},
        // Fifty accented letters: B words of 42 source characters (56 encoded), then 8.
        {"B words of 42", fifty, false,
         u"=?ISO-8859-1?B?"_s + QString::fromLatin1(QByteArray(42, '\xe9').toBase64())
             + u"?=\r\n\t=?ISO-8859-1?B?"_s + QString::fromLatin1(QByteArray(8, '\xe9').toBase64())
             + u"?="_s},
        // A line break never starts a header of its own: it is encoded.
        {"line break in a text", u"a\r\nBcc: x@y"_s, false, u"=?ISO-8859-1?Q?a=0D=0ABcc:_x@y?="_s},
        // In a phrase ":" and "@" must be encoded too, which makes B the shorter.
        {"line break in a phrase", u"a\r\nBcc: x@y"_s, true,
         u"=?ISO-8859-1?B?YQ0KQmNjOiB4QHk=?="_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(EncodeHeaderText(row.text, row.quote), row.expected) << row.name;
}

// Every encoded word decodes to the text, read by Python's email package: as an
// unstructured header, and as the display name of an address (only valid phrase words
// survive that parser).
// Each UTF-8 word on its own decodes to whole characters (RFC 2047 section 5): a reader
// that decodes word by word never sees half a character.
TEST(EncodeHeaderText, Utf8WordsHoldWholeCharacters)
{
    QStringList texts = {QString(70, u'\u65e5'), u"a"_s + QString(40, u'\u0436'),
                         QString(400, u'\u0436'), QString(300, u'a') + QString(200, u'\u20ac'),
                         QString::fromUtf8("x\xf0\x9f\x98\x80").repeated(30)};
    // Mostly ASCII, so the Q form wins: the euro sign falls across every place a word
    // could close.
    for (int k = 44; k < 56; ++k) {
        texts << QString(k, u'a') + u"\u20ac"_s + QString(60, u'b');
        texts << QString(k, u'a') + QString::fromUtf8("\xf0\x9f\x98\x80") + QString(60, u'b');
    }
    for (const QString &text : std::as_const(texts)) {
        for (const bool phrase : {false, true}) {
            const QString encoded = EncodeHeaderText(text, phrase);
            QString joined;
            for (const QString &word : encoded.split(u"\r\n\t"_s)) {
                ASSERT_TRUE(word.startsWith(u"=?UTF-8?"_s) && word.endsWith(u"?="_s))
                    << word.toStdString();
                // A text's words keep the 75-character limit (a display name is one word
                // on purpose, see EncodeHeaderText).
                if (!phrase) {
                    EXPECT_LE(word.size(), 75) << word.toStdString();
                } else {
                    // A display name's word leaves room on its line for the longest header
                    // it goes in and the longest address: 998 octets in all.
                    EXPECT_LE(QStringLiteral("Disposition-Notification-To: ").size() + word.size()
                                  + 3 + 254,
                              998);
                }
                const QByteArray body = word.mid(10, word.size() - 12).toLatin1();
                QByteArray bytes;
                if (word.at(8) == u'B') {
                    bytes = QByteArray::fromBase64(body);
                } else {
                    for (qsizetype i = 0; i < body.size(); ++i) {
                        if (body[i] == '=') {
                            bytes.append(char(body.mid(i + 1, 2).toInt(nullptr, 16)));
                            i += 2;
                        } else {
                            bytes.append(body[i] == '_' ? ' ' : body[i]);
                        }
                    }
                }
                QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
                joined += utf8.decode(bytes);
                EXPECT_FALSE(utf8.hasError()) << word.toStdString();
            }
            EXPECT_EQ(joined, text);
        }
    }
}

TEST(EncodeHeaderText, PythonReadsEveryWordBack)
{
    QRandomGenerator random(2047);
    QStringList texts = {
        u"Caf\u00e9 cr\u00e8me, s'il vous pla\u00eet"_s,
        u"M\u00fcller, Hans <boss@x.y> (\"quoted\")"_s, u"a\r\nBcc: victim@example.org"_s,
        u"=?ISO-8859-1?Q?not_a_word?= \u00e9 _ ? ="_s, QString(130, u'\u00f1'),
        u"\u00e9"_s + QString(200, u'x'),
        // Beyond ISO-8859-1: UTF-8 words, each of whole characters.
        u"\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440"_s, QString(70, u'\u65e5'),
        u"10 \u20ac"_s, QString::fromUtf8("\xf0\x9f\x98\x80 emoji \xf0\x9f\x98\x80").repeated(9)};
    for (int i = 0; i < 60; ++i) {
        QString text;
        const int n = 1 + int(random.bounded(120));
        for (int k = 0; k < n; ++k) {
            const quint32 kind = random.bounded(i < 40 ? 2 : 4);
            const char32_t c = kind == 0 ? 32 + random.bounded(95)
                : kind == 1              ? 160 + random.bounded(96)
                : kind == 2              ? 0x400 + random.bounded(0x2000)
                                         : 0x1F600 + random.bounded(64);
            text += QString::fromUcs4(&c, 1);
        }
        texts << text;
    }
    QJsonArray rows;
    for (const QString &text : texts) {
        for (const bool phrase : {false, true}) {
            const QString encoded = EncodeHeaderText(text, phrase);
            // No line may hold a bare line break, and folded lines begin with a blank.
            EXPECT_FALSE(encoded.contains(u"\r\n"_s + u'\r'));
            for (const QString &line : encoded.split(u"\r\n"_s).mid(1))
                EXPECT_TRUE(line.startsWith(u'\t')) << encoded.toStdString();
            rows.append(
                QJsonObject {{u"text"_s, text}, {u"encoded"_s, encoded}, {u"phrase"_s, phrase}});
        }
    }
    // Python's phrase reader puts a blank between adjacent encoded words (RFC 2047 section
    // 6.2 says to drop it): the phrase is checked as a structure there, and its text by the
    // word decoder.
    const char *script = R"(
import email, email.header, email.policy, json, sys
bad = 0
for row in json.load(sys.stdin):
    text, encoded = row["text"], row["encoded"]
    msg = email.message_from_string("Subject: %s\r\n\r\n" % encoded, policy=email.policy.default)
    got = str(msg["Subject"])
    if row["phrase"] and not encoded.startswith('"'):
        got = "".join(b.decode(c) for b, c in email.header.decode_header(encoded))
    if row["phrase"] and "\n" not in text:
        frm = email.message_from_string("From: %s <a@example.org>\r\n\r\n" % encoded,
                                        policy=email.policy.default)["From"]
        if len(frm.addresses) != 1 or frm.addresses[0].addr_spec != "a@example.org" \
                or frm.defects:
            bad += 1
            print("BROKEN PHRASE", repr(encoded), frm.addresses, frm.defects)
        elif encoded.startswith('"'):
            got = frm.addresses[0].display_name
    if got != text:
        bad += 1
        print("MISMATCH", row["phrase"], repr(encoded), repr(got), repr(text))
sys.exit(1 if bad else 0)
)";
    const auto result = runPython(script, QJsonDocument(rows).toJson());
    EXPECT_EQ(result.status, 0) << result.out.toStdString();
}

TEST(MimeParameter, FileNamesThatWouldBreakAParameter)
{
    const std::tuple<QString, QString, QString> rows[] = {
        {u"report.pdf"_s, u"name=\"report.pdf\""_s, u"report.pdf"_s},
        {u"a \"b\".txt"_s, u"name*=UTF-8''a%20%22b%22.txt"_s, u"a=20=22b=22.txt"_s},
        {u"caf\u00e9.png"_s, u"name*=UTF-8''caf%C3%A9.png"_s, u"caf=C3=A9.png"_s},
        {u"x;y=z\\.gif"_s, u"name*=UTF-8''x%3By%3Dz%5C.gif"_s, u"x=3By=3Dz=5C.gif"_s},
    };
    for (const auto &[file, parameter, contentId] : rows) {
        EXPECT_EQ(MimeParameter(u"name"_s, file), parameter);
        EXPECT_EQ(ContentIdFor(file), contentId);
    }
}
