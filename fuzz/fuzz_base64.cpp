// libFuzzer target for the Base64 coder: the decoder must take any text without crashing,
// and decoding the encoder's output must give back exactly the bytes that were encoded.
#include "mail/modcorreu.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    // Any byte sequence as a text of one character per byte, then as UTF-8, so characters
    // beyond Latin-1 reach the decoder too.
    (void)vessamo::mail::Base64Decode(QString::fromLatin1(input));
    (void)vessamo::mail::Base64Decode(QString::fromUtf8(input));

    QByteArray padded = input;
    const QByteArray encoded = vessamo::mail::Base64Encode(padded);
    if (!encoded.endsWith("\r\n"))
        std::abort();
    // Every line but the last holds exactly 76 characters, the last 4 to 76.
    const QList<QByteArray> lines = encoded.chopped(2).split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].size() != 77 || !lines[i].endsWith('\r'))
            std::abort();
    }
    if (lines.last().size() > 76 || lines.last().size() % 4 != 0)
        std::abort();
    if (vessamo::mail::Base64DecodeBytes(QString::fromLatin1(encoded)) != input)
        std::abort();
    return 0;
}
